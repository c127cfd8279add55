# The commands a person types: make test, make demo, make bench.
# Everything they need (virtual environment, PyPI packages, GoogleTest) is set up here.

SHELL := /bin/bash

# Python 3.13: PYTHON overrides; else python3.13 on PATH if it runs; else the newest pyenv 3.13.
PYTHON ?= $(shell \
  if python3.13 -c 'pass' >/dev/null 2>&1; then command -v python3.13; \
  elif command -v pyenv >/dev/null 2>&1; then \
    ls -d "$$(pyenv root)"/versions/3.13*/bin/python3.13 2>/dev/null | sort -V | tail -n 1; \
  fi)

VENV := .venv
VPY := $(VENV)/bin/python
JOBS ?= 2
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: test core-tests sanitize python-tests build demo bench clean

test: core-tests sanitize python-tests

$(VENV)/.ready: pyproject.toml
	@if [ -z "$(PYTHON)" ]; then echo "Python 3.13 not found: set PYTHON=/path/to/python3.13" >&2; exit 1; fi
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet "scikit-build-core>=0.10" "numpy>=2.0" "nanobind>=2.0"
	$(VPY) -m pip install --quiet --no-build-isolation ".[test,dask]"
	touch $@

/usr/include/gtest/gtest.h:
	$(SUDO) apt-get install -y libgtest-dev || ($(SUDO) apt-get update && $(SUDO) apt-get install -y libgtest-dev)

core-tests: /usr/include/gtest/gtest.h
	cmake -S . -B build/core -DQUORVALIS_MODULE=OFF -DQUORVALIS_TESTS=ON -DQUORVALIS_BENCH=ON >/dev/null
	cmake --build build/core -j $(JOBS)
	build/core/core_tests --gtest_brief=1

sanitize: /usr/include/gtest/gtest.h
	cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DQUORVALIS_MODULE=OFF -DQUORVALIS_TESTS=ON -DQUORVALIS_SANITIZE=ON >/dev/null
	cmake --build build/sanitize -j $(JOBS)
	build/sanitize/core_tests --gtest_brief=1

build: $(VENV)/.ready
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps .

python-tests: build
	$(VPY) -m ruff check python examples tests/python bench
	$(VPY) -m pytest tests/python

demo: build
	$(VPY) examples/countries.py

bench: build
	cmake -S . -B build/core -DQUORVALIS_MODULE=OFF -DQUORVALIS_TESTS=ON -DQUORVALIS_BENCH=ON >/dev/null
	cmake --build build/core -j $(JOBS)
	@for b in build/core/bench_*; do echo "== $$b"; $$b; done
	@for b in bench/*.py; do echo "== $$b"; $(VPY) $$b; done

clean:
	rm -rf build $(VENV)
