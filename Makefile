# The entry points of the project; `make` alone lists them. Each target line
# carries its description after "##".
.PHONY: help test example build install asan tsan clean deps format format-check debug werror clang fuzz tidy
.DEFAULT_GOAL := help

# JOBS=n builds and tests with n jobs at a time (e.g. on a shared machine);
# by default the build tool and the test presets choose.
JOBS ?=
JOBSFLAG := $(if $(JOBS),-j $(JOBS))

help: ## lists these targets
	@echo "Targets (make <target>):"
	@awk '/^[a-z][a-z_-]*:.*## / { t = $$1; sub(/:.*/, "", t); sub(/.*## /, ""); printf "  %-13s %s\n", t, $$0 }' $(MAKEFILE_LIST)

deps: ## installs what building and testing need, where missing
	@tools/install-deps.sh

# PRESET=name builds and tests with another preset of CMakePresets.json (in
# build/<name>), e.g. PRESET=werror where every warning is an error.
PRESET ?= release

build: deps ## configures and builds everything, optimised (build/release; PRESET=name: build/name)
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET) $(JOBSFLAG)

test: build ## builds and runs every test (PRESET=werror: with every warning an error)
	tools/run-ctest.sh --preset $(PRESET) $(JOBSFLAG)

# PREFIX names where install puts the programs (PREFIX/bin) and the
# installation data (PREFIX/share/kalvo).
PREFIX ?= /usr/local
install: build ## builds and installs the programs into PREFIX/bin and the installation data into PREFIX/share/kalvo (PREFIX=/usr/local)
	cmake --install build/$(PRESET) --prefix $(PREFIX)

example: deps ## builds the programs the example needs and runs it (results in build/example)
	@examples/run.sh

asan: deps ## every test under AddressSanitizer + UndefinedBehaviorSanitizer
	cmake --preset asan
	cmake --build --preset asan $(JOBSFLAG)
	tools/run-ctest.sh --preset asan $(JOBSFLAG)

tsan: deps ## the threaded tests under ThreadSanitizer
	cmake --preset tsan
	cmake --build --preset tsan $(JOBSFLAG)
	tools/run-ctest.sh --preset tsan $(JOBSFLAG)

debug: deps ## configures and builds everything without optimisation, full debug information (build/debug)
	cmake --preset debug
	cmake --build --preset debug $(JOBSFLAG)

werror: ## every test on a g++ build where every warning is an error (build/werror): make test PRESET=werror
	$(MAKE) test PRESET=werror

clang: deps ## the tests but those labelled slow on a clang build where every warning is an error, with the fuzzers (build/clang)
	cmake --preset clang
	cmake --build --preset clang $(JOBSFLAG)
	tools/run-ctest.sh --preset clang $(JOBSFLAG)

FUZZ_SECONDS ?= 20
fuzz: ## runs each fuzzer of the clang build (scan files, instrument-profile files) FUZZ_SECONDS (20) on its corpus
	tools/run-fuzzers.sh $(FUZZ_SECONDS) build/clang/bin

# TIDY_BUILD names the build whose compile commands are checked (configured
# here when it is the release build).
TIDY_BUILD ?= build/release
tidy: ## clang-tidy (.clang-tidy) on every C++ source of src, tests, bench and tools; fails on a finding
	$(if $(filter build/release,$(TIDY_BUILD)),cmake --preset release >/dev/null)
	TIDY_JOBS=$(or $(JOBS),3) tools/run-tidy.sh $(TIDY_BUILD)

clean: ## removes every build and the example's results
	rm -rf build

# Every C++ source under src, tests, bench and tools in the layout of .clang-format.
CXX_SOURCES = $(shell find src tests bench tools -name '*.cpp' -o -name '*.hpp' 2>/dev/null)
format: ## puts every C++ source into the layout of .clang-format
	@clang-format -i $(CXX_SOURCES)

format-check: ## fails on a C++ source that is not in that layout
	@clang-format --dry-run --Werror $(CXX_SOURCES)
