# make demo   builds everything and shows both components at work
# make test   builds everything and runs every test (plain and sanitized)
# make bench  builds everything and prints the benchmark tables
# make format applies the one C++ style (.clang-format); make test checks it
# make fuzz   runs every fuzz target and the watcher's random races FUZZ_SECONDS seconds (needs clang; make test runs 20 s each)

PYENV_ROOT ?= $(HOME)/.pyenv
export PATH := $(PYENV_ROOT)/bin:$(PATH)
PYTHON2_PREFIX ?= $(shell pyenv prefix 2.7.18 2>/dev/null)
PYTHON2 := $(or $(wildcard $(PYTHON2_PREFIX)/bin/python2.7),python2.7)
JOBS ?= 2
FUZZ_SECONDS ?= 300

CONFIGURE = cmake -S . -DPYTHON2_PREFIX=$(PYTHON2_PREFIX) -Wno-dev

.PHONY: all demo test bench fuzz deps native windows sanitize fuzz-build format format-check clean
all: native windows

deps:
	@scripts/install-deps.sh

native: deps
	$(CONFIGURE) -B build/native
	cmake --build build/native -j $(JOBS)

windows: deps
	$(CONFIGURE) -B build/windows-tree -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
	cmake --build build/windows-tree -j $(JOBS)
	$(CONFIGURE) -B build/windows-matcher64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-matcher-x86_64.cmake
	cmake --build build/windows-matcher64 -j $(JOBS)
	$(CONFIGURE) -B build/windows-matcher32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-matcher-i686.cmake
	cmake --build build/windows-matcher32 -j $(JOBS)

sanitize: deps
	$(CONFIGURE) -B build/sanitize -DCORVAMIRE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
	    -DCORVAMIRE_OUTPUT_ROOT=$(CURDIR)/build/sanitize/out
	cmake --build build/sanitize -j $(JOBS)

# The fuzz targets: clang's libFuzzer in a tree of their own, none without clang++.
fuzz-build: deps
	@if command -v clang++ >/dev/null 2>&1; then \
	    $(CONFIGURE) -B build/fuzz -DCORVAMIRE_FUZZ=ON \
	        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ && \
	    cmake --build build/fuzz -j $(JOBS); \
	else echo "clang++ not found: no fuzz targets"; fi

demo: native
	PYTHONPATH=build/python:. $(PYTHON2) -m corvamire.demo

test: format-check native windows sanitize fuzz-build
	cd build/sanitize && ctest --output-on-failure -L sanitize
	cd build/native && ctest --output-on-failure
	if [ -f build/fuzz/CTestTestfile.cmake ]; then \
	    cd build/fuzz && ctest --output-on-failure -L fuzz; fi

# Each target over its corpus, then fuzzing; the figures of each run are printed.
# The watcher's random races run as long, against the native build.
fuzz: fuzz-build native
	if [ -f build/fuzz/CTestTestfile.cmake ]; then \
	    cd build/fuzz && CORVAMIRE_FUZZ_SECONDS=$(FUZZ_SECONDS) \
	        ctest -V -L fuzz --timeout $$(( $(FUZZ_SECONDS) + 300 )); fi
	cd build/native && CORVAMIRE_FUZZ_SECONDS=$(FUZZ_SECONDS) \
	    ctest -V -L fuzz --timeout $$(( $(FUZZ_SECONDS) + 300 ))

bench: native
	@scripts/install-deps.sh bench
	PYTHONPATH=build/python:. $(PYTHON2) -m bench.run

# Every C++ file of the project, in the one style of .clang-format.
CXX_FILES = $(shell git ls-files '*.cpp' '*.h')
format: deps
	clang-format -i $(CXX_FILES)
format-check: deps
	clang-format --dry-run --Werror $(CXX_FILES)

clean:
	rm -rf build
