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

# ---- reliability jobs: sanitizers, fuzzing, leak check ---------------------------------
# `sanitize`: the C++ tests and the native module's Python tests against a build with
# AddressSanitizer + UndefinedBehaviorSanitizer (its own build dirs and venv). Tests that
# need a real allocation failure under an address-space limit are deselected there only:
# ASan reserves terabytes of address space. Huge requests fail as bad_alloc
# (allocator_may_return_null), as they would without the sanitizer. libstdc++ is preloaded
# after the ASan runtime so that its __cxa_throw interceptor finds the real one (the
# interpreter itself links no C++ runtime).
# `fuzz`: >= 20,000 hostile calls of both solvers in watched child processes, then the
# Python layer (structures, solve settings, sweeps, mutated files and TOML) the same way.
# `leakcheck`: RSS growth per call over 1,000 solves and 1,000 failing calls.
BUILD_ASAN_CPP ?= build/asan-cpp
VENV_ASAN ?= .venv-asan
SANITIZE_ENV := ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1 \
                UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
SANITIZE_PYTESTS = tests/python/test_arguments.py tests/python/test_binding_failures.py \
                   tests/python/test_binding_result.py tests/python/test_end_to_end.py \
                   tests/python/test_exports.py tests/python/test_module.py \
                   tests/python/test_physics.py tests/python/test_solve_inputs.py \
                   tests/python/test_reliability.py $(wildcard tests/python/test_engine*.py)
FUZZ_CALLS ?= 20000

.PHONY: sanitize sanitize-cpp sanitize-python fuzz leakcheck

sanitize: sanitize-cpp sanitize-python

sanitize-cpp: system-deps venv
	$(VENV)/bin/cmake -S . -B $(BUILD_ASAN_CPP) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE=ON -DCORVANE_BUILD_TESTS=ON \
	  -DCORVANE_BUILD_BENCH=OFF -DCORVANE_BUILD_PYTHON=OFF > /dev/null
	$(VENV)/bin/cmake --build $(BUILD_ASAN_CPP) -j$(JOBS)
	$(SANITIZE_ENV) $(VENV)/bin/ctest --test-dir $(BUILD_ASAN_CPP) --output-on-failure -j$(JOBS)

$(VENV_ASAN)/bin/python:
	$(PYTHON) -m venv $(VENV_ASAN)
	$(VENV_ASAN)/bin/python -m pip install -q --upgrade pip

sanitize-python: system-deps $(VENV_ASAN)/bin/python
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VENV_ASAN)/bin/python -m pip install -q ".[test]" \
	  --config-settings=build-dir=build/asan-{wheel_tag} \
	  --config-settings=cmake.build-type=RelWithDebInfo \
	  --config-settings=cmake.define.CORVANE_SANITIZE=ON
	$(SANITIZE_ENV) LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	  $(VENV_ASAN)/bin/python -m pytest -q -p no:cacheprovider -m "not needs_real_oom" $(SANITIZE_PYTESTS)

fuzz: install
	$(VPY) tests/fuzz/fuzz_core.py --calls $(FUZZ_CALLS)
	$(VPY) tests/fuzz/fuzz_python.py

leakcheck: install
	$(VPY) tests/fuzz/leak_check.py
# ---- end of reliability jobs -------------------------------------------------------------
