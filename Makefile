# Front door of the build. `make test` is what CI runs.
JOBS ?= $(shell nproc)
TEST_DIR := build/test
BENCH_DIR := build/bench
APP_DIR := build/app
RUN_DIR := build/run
CLIENT ?= 1

.PHONY: test bench run deps format clean

deps:
	@./scripts/install-deps.sh

test: deps
	cmake -S . -B $(TEST_DIR) -DCMAKE_BUILD_TYPE=Debug -DTARVEX_SANITIZE=ON
	cmake --build $(TEST_DIR) -j $(JOBS)
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS)

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

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
