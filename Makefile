# The two entry points of the project:
#   make test     installs what is missing, configures, builds and runs every test
#   make example  builds the programs and runs the worked example
.PHONY: test example build asan tsan clean deps format format-check

deps:
	@tools/install-deps.sh

build: deps
	cmake --preset release
	cmake --build --preset release

test: build
	ctest --preset release

example: build
	examples/run.sh build/release/bin

asan: deps
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan

clean:
	rm -rf build

# Every C++ source under src, tests, bench and tools in the layout of .clang-format.
CXX_SOURCES = $(shell find src tests bench tools -name '*.cpp' -o -name '*.hpp' 2>/dev/null)
format:
	@clang-format -i $(CXX_SOURCES)

format-check:
	@clang-format --dry-run --Werror $(CXX_SOURCES)
