# Front door of the build. `make test` is what CI runs.
JOBS ?= $(shell nproc)
TEST_DIR := build/test
BENCH_DIR := build/bench

.PHONY: test bench deps format clean

deps:
	@./scripts/install-deps.sh

test: deps
	cmake -S . -B $(TEST_DIR) -DCMAKE_BUILD_TYPE=Debug -DTARVEX_SANITIZE=ON
	cmake --build $(TEST_DIR) -j $(JOBS)
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS)

bench: deps
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DTARVEX_SANITIZE=OFF
	# Every target, so a warning only the optimiser shows cannot hide.
	cmake --build $(BENCH_DIR) -j $(JOBS)
	@set -e; for b in $(BENCH_DIR)/bench/bench_*; do echo "== $$b"; "$$b"; done

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
