# Entry points: `make demo` and `make test` work on a fresh machine.
PYTHON := /usr/bin/python3
BUILD := build
ASAN_BUILD := build-asan
FUZZ_BUILD := build-fuzz
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc)
CMAKE_FLAGS := -G Ninja -DPYBIND11_FINDPYTHON=ON -DPython_EXECUTABLE=$(PYTHON)

.PHONY: all setup build demo test test-cpp test-python test-asan fuzz bench clean

all: build

setup:
	@bash scripts/setup.sh

$(BUILD)/build.ninja: | setup
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# The demo needs the module and what it links, nothing else: tests and benchmarks are left to
# `make test`.
demo: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target core
	PYTHONPATH=$(BUILD) $(PYTHON) examples/demo.py

test: build
	@bash scripts/run_tests.sh $(BUILD)

$(ASAN_BUILD)/build.ninja: | setup
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DQALTO_SANITIZE=ON

test-asan: setup $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	@QALTO_ASAN=1 bash scripts/run_tests.sh $(ASAN_BUILD)

# libFuzzer harnesses built with clang (only the libraries they use), each run for
# FUZZ_SECONDS on a scratch copy of its seeds and regression inputs; findings go to fuzz/findings.
$(FUZZ_BUILD)/build.ninja: | setup
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQALTO_FUZZ=ON

fuzz: setup $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@FUZZ_SECONDS=$(FUZZ_SECONDS) bash scripts/fuzz.sh $(FUZZ_BUILD)

bench: build
	@for b in $(BUILD)/bench/*; do [ -x "$$b" ] || continue; "$$b" || exit 1; done
	PYTHONPATH=$(BUILD) $(PYTHON) bench/ratios.py

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
