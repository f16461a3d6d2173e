# `make test` and `make demo` set up everything on a fresh Debian machine: the system
# packages (apt-get, as root, only when missing), a virtual environment, the package.

PYTHON ?= python3
VENV ?= .venv
VPY := $(VENV)/bin/python
BUILD_CPP ?= build/cpp
WERROR ?= OFF
JOBS ?= 2

APT_PACKAGES := g++ libsuitesparse-dev libarpack2-dev libopenblas-dev liblapack-dev \
                libgtest-dev libeigen3-dev

.PHONY: all test test-cpp test-python demo bench system-deps install venv clean

all: test

system-deps:
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  SUDO=""; [ "$$(id -u)" -eq 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

$(VPY):
	@$(PYTHON) -c 'import sys; assert sys.version_info >= (3, 11), "corvane needs Python 3.11 or later"'
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q cmake ninja numpy pytest

venv: $(VPY)

install: system-deps venv
	$(VPY) -m pip install -q ".[test]"

test-cpp: system-deps venv
	$(VENV)/bin/cmake -S . -B $(BUILD_CPP) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCORVANE_BUILD_TESTS=ON -DCORVANE_BUILD_BENCH=ON -DCORVANE_BUILD_PYTHON=OFF -DCORVANE_WERROR=$(WERROR) > /dev/null
	$(VENV)/bin/cmake --build $(BUILD_CPP) -j$(JOBS)
	$(VENV)/bin/ctest --test-dir $(BUILD_CPP) --output-on-failure -j$(JOBS)

test-python: install
	$(VPY) -m pytest -q tests/python

test: test-cpp test-python

demo: install
	$(VPY) examples/strip_waveguide.py

bench: test-cpp install
	@for b in $(BUILD_CPP)/bench_*; do echo "== $$b"; $$b; done
	@for b in bench/bench_*.py; do echo "== $$b"; $(VPY) $$b; done

clean:
	rm -rf build $(VENV)
