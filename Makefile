# Front door of the build. `make test` is what CI runs.
JOBS ?= $(shell nproc)
TEST_DIR := build/test
BENCH_DIR := build/bench
APP_DIR := build/app
RUN_DIR := build/run
CLIENT ?= 1

.PHONY: test bench run deps format clean fuzz

deps:
	@./scripts/install-deps.sh

test: deps
	cmake -S . -B $(TEST_DIR) -DCMAKE_BUILD_TYPE=Debug -DTARVEX_SANITIZE=ON
	cmake --build $(TEST_DIR) -j $(JOBS)
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS)

# The long random run of the sync: five computers, 200 rounds, edits made
# during syncs, in the sanitizer build of `make test`. `make soak SEED=7`
# runs another sequence; a failure names its seed and round.
SEED ?= 1
SOAK_ROUNDS ?= 200
.PHONY: soak
soak: deps
	cmake -S . -B $(TEST_DIR) -DCMAKE_BUILD_TYPE=Debug -DTARVEX_SANITIZE=ON
	cmake --build $(TEST_DIR) -j $(JOBS) --target tarvex_sync_tests
	TZ=UTC LC_ALL=C.UTF-8 TARVEX_SOAK_SEED=$(SEED) TARVEX_SOAK_ROUNDS=$(SOAK_ROUNDS) \
	  $(TEST_DIR)/ie/sync/tarvex_sync_tests --gtest_filter='LongRunTest.*'

# The client against a sync service on this computer, for a person:
# `make run`, and `make run CLIENT=2` in another terminal for a second
# computer of the same account.
run: deps
	cmake -S . -B $(APP_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEX_SANITIZE=OFF
	cmake --build $(APP_DIR) -j $(JOBS) --target tarvex-run
	$(APP_DIR)/ie/shell/tarvex-run --dir $(RUN_DIR) --client $(CLIENT)

bench: deps
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DTARVEX_SANITIZE=OFF
	# Every target, so a warning only the optimiser shows cannot hide.
	cmake --build $(BENCH_DIR) -j $(JOBS)
	@set -e; for b in $(BENCH_DIR)/bench/bench_*; do echo "== $$b"; "$$b"; done

# The fuzz targets (fuzz/), each for FUZZ_SECONDS, built with clang,
# libFuzzer, ASan and UBSan in build/fuzz. Inputs found go to
# build/fuzz/corpus/<target>, crashes and time-outs to
# build/fuzz/findings/<target>/; an input that found a fault is kept in
# fuzz/corpus/<target>/, which `make test` replays.
FUZZ_DIR := build/fuzz
FUZZ_SECONDS ?= 180
FUZZ_TARGETS := baseline commands ini menuorder favicon requests replies plist
fuzz: deps
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=Debug -DTARVEX_SANITIZE=OFF -DTARVEX_FUZZ=ON \
	  -DCMAKE_CXX_COMPILER=clang++-14 \
	  "-DCMAKE_CXX_FLAGS=-O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target tarvex_fuzzers
	@set -e; for t in $(FUZZ_TARGETS); do \
	  echo "== $$t"; \
	  mkdir -p $(FUZZ_DIR)/corpus/$$t $(FUZZ_DIR)/findings/$$t; \
	  $(FUZZ_DIR)/fuzz/fuzz_$$t $(FUZZ_DIR)/corpus/$$t fuzz/corpus/$$t \
	    -max_total_time=$(FUZZ_SECONDS) -timeout=25 -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_DIR)/findings/$$t/; \
	done

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
