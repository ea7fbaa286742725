# Set-up, build, test and demo. Every target installs what it needs itself.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(VENV)/bin/pip
DEB_PACKAGES := librust-blake3-dev libgtest-dev libopenblas-dev libicu-dev cmake g++ pkg-config
PY_PACKAGES := "numpy>=2.0" pytest hypothesis "scikit-build-core>=0.10" "cmake>=3.26" ninja
CPP_BUILD := build/cpp
ASAN_BUILD := build/asan
TSAN_BUILD := build/tsan
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 120
FUZZ_PACKAGES := clang-16 libfuzzer-16-dev
JOBS := $(shell nproc)

.PHONY: all deps venv install cpp-test test test-long test-sanitize test-tsan fuzz demo bench clean

all: install

# Debian packages: only when one is missing, so repeated runs stay fast.
.deps-debian.stamp:
	@missing=""; for p in $(DEB_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
	@touch $@

$(VENV)/.stamp: .deps-debian.stamp
	python3 -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q $(PY_PACKAGES)
	@touch $@

# Extras of lumvero_contrib: sharded search on Ray and the lumvero-index tool.
CONTRIB_PACKAGES := "ray>=2.9" tqdm blake3
$(VENV)/.contrib.stamp: $(VENV)/.stamp
	$(PIP) install -q $(CONTRIB_PACKAGES)
	@touch $@

deps: .deps-debian.stamp $(VENV)/.stamp $(VENV)/.contrib.stamp

install: deps
	$(PIP) install -q --no-build-isolation .

cpp-test: deps
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DLUMVO_BUILD_PYTHON=OFF -DLUMVO_BUILD_TESTS=ON >/dev/null
	$(VENV)/bin/cmake --build $(CPP_BUILD) -j $(JOBS)
	$(CPP_BUILD)/lumvero_cpp_tests --gtest_brief=1

test: install cpp-test
	cd tests/python && ../../$(PY) -m pytest -q -p no:cacheprovider .

# The reliability tests at their full counts (the plain run uses short forms).
test-long: install
	cd tests/python && ../../$(PY) -m pytest -q -p no:cacheprovider --long test_faults.py test_leaks.py test_concurrency.py

# The C++ suite under ThreadSanitizer. OpenBLAS is not instrumented; it runs
# single-threaded here so that its own threads stay out of the picture.
# Left out: the fork tests (ThreadSanitizer cannot start threads in the child
# of a threaded process) and the test that a foreign SIGBUS still kills
# (ThreadSanitizer's own handler takes that fault and exits with 66).
test-tsan: deps
	$(VENV)/bin/cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DLUMVO_BUILD_PYTHON=OFF -DLUMVO_BUILD_TESTS=ON -DLUMVO_TSAN=ON >/dev/null
	$(VENV)/bin/cmake --build $(TSAN_BUILD) -j $(JOBS)
	OPENBLAS_NUM_THREADS=1 TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  $(TSAN_BUILD)/lumvero_cpp_tests --gtest_brief=1 \
	  --gtest_filter='-PoolFork.*:ShortenedFile.ForeignFaultsStillKill'

# Fuzzes index opening and every query for FUZZ_SECONDS seconds (libFuzzer,
# ASan, UBSan); new inputs collect in $(FUZZ_BUILD)/corpus.
fuzz: deps
	@missing=""; for p in $(FUZZ_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
	CC=clang-16 CXX=clang++-16 $(VENV)/bin/cmake -S . -B $(FUZZ_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMVO_BUILD_PYTHON=OFF -DLUMVO_BUILD_FUZZ=ON >/dev/null
	$(VENV)/bin/cmake --build $(FUZZ_BUILD) -j $(JOBS) --target lumvero_fuzz_open
	mkdir -p $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/lumvero_fuzz_open -max_total_time=$(FUZZ_SECONDS) -max_len=16384 \
	  -rss_limit_mb=2048 -print_final_stats=1 $(FUZZ_BUILD)/corpus tests/fuzz/corpus

# The whole pytest suite against an ASan+UBSan build of the module.
test-sanitize: deps
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DLUMVO_SANITIZE=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd tests/python && \
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONMALLOC=malloc LUMVO_SANITIZED=1 PYTHONPATH=$(abspath $(ASAN_BUILD)) \
	  ../../$(PY) -m pytest -q -p no:cacheprovider .

demo: install
	$(PY) examples/demo.py

bench: install
	$(PIP) install -q faiss-cpu blake3
	for b in benchmarks/bench_*.py; do $(PY) $$b; done

clean:
	rm -rf build $(VENV) .deps-debian.stamp
