# make test: install what is missing, configure, build, run every test.
# make demo: install what is missing, build, run the quickstart example.
# make asan: the C++ suites and the pytest suite under AddressSanitizer and
#   UndefinedBehaviorSanitizer, in build-asan (not part of make test).
# make tsan: the C++ suites under ThreadSanitizer, in build-tsan (not part of make test).
BUILD ?= build
PYTHON ?= /usr/bin/python3
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo bench clean asan tsan

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
	PYTHONPATH=$(BUILD) $(PYTHON) bench/w4_bench.py
	PYTHONPATH=$(BUILD) $(PYTHON) bench/hub_bench.py 100000
	PYTHONPATH=$(BUILD) $(PYTHON) bench/hub_bench.py 50000

# The C++ suites run in two binaries: velmora_cpp_tests has no interpreter;
# velmora_py_tests embeds one and never finalizes it, and tests/lsan.supp
# leaves what it holds at exit out of that binary's leak report. Debian's
# interpreter is not instrumented, so the pytest run preloads the sanitizer
# runtimes that the module was linked against, without leak checking (the
# interpreter frees little at exit). The peak-size test of test_lifetimes.py
# runs on its own with an empty free-memory quarantine, which otherwise holds
# on to every freed block. Any report of UndefinedBehaviorSanitizer ends the
# run. The fuzzer runs fewer cases: everything is several times slower here.
ASAN_BUILD ?= build-asan
ASAN_JOBS ?= $(JOBS)
ASAN_FUZZ_CASES ?= 2500
ASAN_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
ASAN_OPTS = strict_init_order=1:check_initialization_order=1
ASAN_ENV = UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 VELMORA_BUILD_DIR=$(CURDIR)/$(ASAN_BUILD)
ASAN_LSAN = LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0
ASAN_PYTEST = $(ASAN_ENV) LD_PRELOAD="$(ASAN_PRELOAD)" PYTHONPATH=$(CURDIR)/$(ASAN_BUILD) \
  PYTHONDONTWRITEBYTECODE=1 VELMORA_FUZZ_CASES=$(ASAN_FUZZ_CASES) $(PYTHON) -m pytest -q -p no:cacheprovider

asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_SANITIZE=address,undefined \
	  -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=undefined -DVELMORA_BENCH=OFF -DPython3_EXECUTABLE=$(PYTHON)
	cmake --build $(ASAN_BUILD) -j $(ASAN_JOBS)
	cd $(ASAN_BUILD) && $(ASAN_ENV) ASAN_OPTIONS=$(ASAN_OPTS) ./velmora_cpp_tests
	cd $(ASAN_BUILD) && $(ASAN_ENV) ASAN_OPTIONS=$(ASAN_OPTS) $(ASAN_LSAN) ./velmora_py_tests
	ASAN_OPTIONS=$(ASAN_OPTS):detect_leaks=0 $(ASAN_PYTEST) --ignore=tests/python/test_lifetimes.py tests/python
	ASAN_OPTIONS=$(ASAN_OPTS):detect_leaks=0:quarantine_size_mb=0 $(ASAN_PYTEST) tests/python/test_lifetimes.py

# The pool (libtbb) is not instrumented: src/utils/tsan.hpp states its fork/join
# edges and tests/tsan.supp names what is left inside the pool's own code.
# Both C++ binaries run; the slow test below is one of velmora_cpp_tests.
# CreatePathLimits.ManyThreadsNeverExceedTheCount runs on its own without
# ThreadSanitizer's lock-order checker: its 200 graphs of 64-shard maps give
# that checker so many mutexes that a run takes minutes instead of seconds;
# races are still checked there, and lock order everywhere else.
# history_size=7 keeps enough of each thread's past to restore the stack of
# the earlier access in a report: a pool worker's write to its caller's wait
# node, on the caller's stack, is then seen to be the pool's own (suppressed
# above) instead of a race with no stack, which the suppressions cannot match.
# The largest instrumented compile (a test file) peaks at about 1.1 GB, so a
# job per core fits in 24 GiB.
TSAN_BUILD ?= build-tsan
TSAN_JOBS ?= $(JOBS)
TSAN_SLOW = CreatePathLimits.ManyThreadsNeverExceedTheCount
TSAN_OPTS = suppressions=$(CURDIR)/tests/tsan.supp halt_on_error=1 second_deadlock_stack=1 history_size=7
TSAN_RUN = cd $(TSAN_BUILD) && VELMORA_BUILD_DIR=$(CURDIR)/$(TSAN_BUILD)

tsan: deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_SANITIZE=thread \
	  -DVELMORA_BENCH=OFF -DPython3_EXECUTABLE=$(PYTHON)
	cmake --build $(TSAN_BUILD) -j $(TSAN_JOBS) --target velmora_cpp_tests velmora_py_tests
	$(TSAN_RUN) TSAN_OPTIONS="$(TSAN_OPTS)" ./velmora_cpp_tests --gtest_filter=-$(TSAN_SLOW)
	$(TSAN_RUN) TSAN_OPTIONS="$(TSAN_OPTS) detect_deadlocks=0" ./velmora_cpp_tests --gtest_filter=$(TSAN_SLOW)
	$(TSAN_RUN) TSAN_OPTIONS="$(TSAN_OPTS)" ./velmora_py_tests

clean:
	rm -rf $(BUILD)
