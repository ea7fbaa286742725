# Set-up, build, test and demo. Every target installs what it needs itself.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(VENV)/bin/pip
DEB_PACKAGES := librust-blake3-dev libgtest-dev libicu-dev cmake g++ pkg-config
# BLAS comes from PyPI's scipy-openblas32 (cmake/blas.cmake), not from Debian.
PY_PACKAGES := "numpy>=2.0" "scipy-openblas32>=0.3.28" threadpoolctl pytest \
  "scikit-build-core>=0.10" "cmake>=3.26" ninja
CPP_BUILD := build/cpp
ASAN_BUILD := build/asan
JOBS := $(shell nproc)

.PHONY: all deps venv install cpp-test test test-sanitize demo bench clean

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

deps: .deps-debian.stamp $(VENV)/.stamp

install: deps
	$(PIP) install -q --no-build-isolation .

cpp-test: deps
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DLUMVO_BUILD_PYTHON=OFF -DLUMVO_BUILD_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(CPP_BUILD) -j $(JOBS)
	$(CPP_BUILD)/lumvero_cpp_tests --gtest_brief=1

test: install cpp-test
	cd tests/python && ../../$(PY) -m pytest -q -p no:cacheprovider .

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
