# The entry points of the project; `make` alone lists them. Each target line
# carries its description after "##".
.PHONY: help test example build asan tsan clean deps format format-check
.DEFAULT_GOAL := help

help: ## lists these targets
	@echo "Targets (make <target>):"
	@awk '/^[a-z][a-z_-]*:.*## / { t = $$1; sub(/:.*/, "", t); sub(/.*## /, ""); printf "  %-13s %s\n", t, $$0 }' $(MAKEFILE_LIST)

deps: ## installs what building and testing need, where missing
	@tools/install-deps.sh

build: deps ## configures and builds everything, optimised (build/release)
	cmake --preset release
	cmake --build --preset release

test: build ## builds and runs every test
	tools/run-ctest.sh --preset release

example: deps ## builds the programs the example needs and runs it (results in build/example)
	@examples/run.sh

asan: deps ## every test under AddressSanitizer + UndefinedBehaviorSanitizer
	cmake --preset asan
	cmake --build --preset asan
	tools/run-ctest.sh --preset asan

tsan: deps ## the threaded tests under ThreadSanitizer
	cmake --preset tsan
	cmake --build --preset tsan
	tools/run-ctest.sh --preset tsan

clean: ## removes every build and the example's results
	rm -rf build

# Every C++ source under src, tests, bench and tools in the layout of .clang-format.
CXX_SOURCES = $(shell find src tests bench tools -name '*.cpp' -o -name '*.hpp' 2>/dev/null)
format: ## puts every C++ source into the layout of .clang-format
	@clang-format -i $(CXX_SOURCES)

format-check: ## fails on a C++ source that is not in that layout
	@clang-format --dry-run --Werror $(CXX_SOURCES)
