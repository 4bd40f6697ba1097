# make demo   builds everything and shows both components at work
# make test   builds everything and runs every test (plain and sanitized)
# make bench  builds everything and prints the benchmark tables

PYENV_ROOT ?= $(HOME)/.pyenv
export PATH := $(PYENV_ROOT)/bin:$(PATH)
PYTHON2_PREFIX ?= $(shell pyenv prefix 2.7.18 2>/dev/null)
PYTHON2 := $(or $(wildcard $(PYTHON2_PREFIX)/bin/python2.7),python2.7)
JOBS ?= 2

CONFIGURE = cmake -S . -DPYTHON2_PREFIX=$(PYTHON2_PREFIX) -Wno-dev

.PHONY: all demo test bench deps native windows sanitize clean
all: native windows

deps:
	@scripts/install-deps.sh

native: deps
	$(CONFIGURE) -B build/native
	cmake --build build/native -j $(JOBS)

windows: deps
	$(CONFIGURE) -B build/windows-tree -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
	cmake --build build/windows-tree -j $(JOBS)

sanitize: deps
	$(CONFIGURE) -B build/sanitize -DCORVAMIRE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
	    -DCORVAMIRE_OUTPUT_ROOT=$(CURDIR)/build/sanitize/out
	cmake --build build/sanitize -j $(JOBS)

demo: native
	PYTHONPATH=build/python:. $(PYTHON2) -m corvamire.demo

test: native windows sanitize
	cd build/sanitize && ctest --output-on-failure -L sanitize
	cd build/native && ctest --output-on-failure

bench: native
	@scripts/install-deps.sh bench
	PYTHONPATH=build/python:. $(PYTHON2) -m bench.run

clean:
	rm -rf build
