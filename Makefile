# Entry points: `make demo` and `make test` work on a fresh machine.
PYTHON := /usr/bin/python3
BUILD := build
ASAN_BUILD := build-asan
JOBS ?= $(shell nproc)
CMAKE_FLAGS := -G Ninja -DPYBIND11_FINDPYTHON=ON -DPython_EXECUTABLE=$(PYTHON)

.PHONY: all setup build demo test test-cpp test-python test-asan bench clean

all: build

setup:
	@bash scripts/setup.sh

$(BUILD)/build.ninja: | setup
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	PYTHONPATH=$(BUILD) $(PYTHON) examples/demo.py

test: build
	@bash scripts/run_tests.sh $(BUILD)

$(ASAN_BUILD)/build.ninja: | setup
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DQALTO_SANITIZE=ON

test-asan: setup $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	@QALTO_ASAN=1 bash scripts/run_tests.sh $(ASAN_BUILD)

bench: build
	@for b in $(BUILD)/bench/*; do [ -x "$$b" ] && "$$b"; done; true
	PYTHONPATH=$(BUILD) $(PYTHON) bench/ratios.py

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
