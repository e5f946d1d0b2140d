# make test: install what is missing, configure, build, run every test.
# make demo: install what is missing, build, run the quickstart example.
BUILD ?= build
PYTHON ?= /usr/bin/python3
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo bench clean

all: build

deps:
	./scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython3_EXECUTABLE=$(PYTHON)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure

demo: build
	PYTHONPATH=$(BUILD) $(PYTHON) examples/quickstart.py

bench: build
	@for b in $(BUILD)/bench_*; do [ -x "$$b" ] && "$$b"; done; true
	PYTHONPATH=$(BUILD) $(PYTHON) bench/python_bench.py

clean:
	rm -rf $(BUILD)
