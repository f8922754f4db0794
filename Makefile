# Every target sets up what it needs in its own virtual environment, so each
# works on a fresh checkout.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
SOURCES := $(shell find native src -type f -not -name '*.pyc') CMakeLists.txt pyproject.toml
PYTEST_ARGS ?=
BENCH_ARGS ?=
# NumPy 1.x needs pandas 2.x and pyarrow before 24 (both later require NumPy 2).
NUMPY1 ?= numpy==1.26.4 "pandas>=2.2,<3" "pyarrow<24"

.PHONY: test install demo report-png docs bench bench-sweep sanitize test-numpy1 fuzz memcheck clean

test: $(VENV)/.installed
	$(PY) -m pytest $(PYTEST_ARGS)

install: $(VENV)/.installed

# Full benchmark with the peer; BENCH_ARGS="--quick" or "--only U1,PEER" for less.
bench: $(VENV)/.bench-installed
	$(PY) bench/run.py $(BENCH_ARGS)

# Parameter-sweep throughput on U1 (serial, 1 and 2 processes); BENCH_ARGS="--quick" for a short run.
bench-sweep: $(VENV)/.installed
	$(PY) bench/sweep.py $(BENCH_ARGS)

# Runs the sample strategy on the built-in synthetic market and writes the
# HTML report, trades CSV and equity PNG into out/demo.
demo: $(VENV)/.installed
	$(VENV)/bin/orvane demo --out out/demo

# The README's picture of the report: the demo's page as headless Chromium
# shows it (the top of the page: costs, equity, statistics, monthly returns).
report-png: demo
	command -v chromium >/dev/null || (apt-get update && apt-get install -y chromium)
	chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1200,1500 \
	    --screenshot=docs/report.png "file://$(CURDIR)/out/demo/report.html" 2>/dev/null

# The documentation site, from docs/ and the docstrings, into site/ (open
# site/index.html). MkDocs reads the sources without importing them, so the
# package need not be built; --strict makes a warning (a broken link, a
# docstring that does not parse) fail the build.
DOCS_VENV := .venv-docs
$(DOCS_VENV)/.installed: docs/requirements.txt
	test -x $(DOCS_VENV)/bin/python || $(PYTHON) -m venv $(DOCS_VENV)
	$(DOCS_VENV)/bin/python -m pip install -q -r docs/requirements.txt
	touch $@

docs: $(DOCS_VENV)/.installed
	NO_MKDOCS_2_WARNING=1 $(DOCS_VENV)/bin/mkdocs build --strict --site-dir site

# Build requirements: the extensions always compile against NumPy 2 headers.
%/.build-deps:
	$(PYTHON) -m venv $*
	$*/bin/python -m pip install -q --upgrade pip
	$*/bin/python -m pip install -q "scikit-build-core>=0.10" "numpy>=2.0" cmake ninja
	touch $@

# Each environment has its own build directory, which persists, so a
# reinstall after an edit recompiles only what changed. The environments
# that run the tests get the test-only extension modules too.
TEST_BUILD := -Ccmake.define.ORVANE_WERROR=ON -Ccmake.define.ORVANE_TEST_MODULES=ON
$(VENV)/.installed: $(VENV)/.build-deps $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/release $(TEST_BUILD) \
	    ".[report,test]"
	touch $@

# Same build flags as the test install, so the build directory is reused.
$(VENV)/.bench-installed: $(VENV)/.installed
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/release $(TEST_BUILD) \
	    ".[report,test,bench]"
	touch $@

# The test suite under AddressSanitizer and UndefinedBehaviorSanitizer: the
# sanitizer runtime is preloaded into the (uninstrumented) interpreter, and
# Python's own allocator is bypassed so that ASan sees every object (the C++
# runtime is preloaded too, so that ASan can intercept exceptions thrown by the
# extensions).
# Interpreter-lifetime allocations are not leaks of ours, so LeakSanitizer is
# off here; leaks are measured by the leak tests and `make memcheck`. An
# allocation too large to satisfy fails (MemoryError) as in the plain build
# instead of aborting.
SAN_VENV := .venv-sanitize
ASAN_RUNTIME := $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libstdc++.so)
$(SAN_VENV)/.installed: $(SAN_VENV)/.build-deps $(SOURCES)
	$(SAN_VENV)/bin/python -m pip install -q --no-build-isolation -Cbuild-dir=build/sanitize \
	    -Ccmake.build-type=RelWithDebInfo -Ccmake.define.ORVANE_SANITIZE=address,undefined \
	    -Ccmake.define.ORVANE_TEST_MODULES=ON ".[test]"
	touch $@

sanitize: $(SAN_VENV)/.installed
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1:allocator_may_return_null=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONMALLOC=malloc ORVANE_SANITIZED=1 LD_PRELOAD="$(ASAN_RUNTIME)" \
	    $(SAN_VENV)/bin/python -m pytest -p no:cacheprovider $(PYTEST_ARGS)

# The fuzz tests at length: every target gets FUZZ_FACTOR times the examples
# of the bounded run that `make test` does.
FUZZ_FACTOR ?= 200
fuzz: $(VENV)/.installed
	HYPOTHESIS_PROFILE=fuzz ORVANE_FUZZ_FACTOR=$(FUZZ_FACTOR) \
	    $(PY) -m pytest -p no:cacheprovider -q --hypothesis-show-statistics tests/test_fuzz_*.py $(PYTEST_ARGS)

# A small workload of every module under valgrind; fails on a definite leak
# or a memory error in our modules (see tests/memcheck.py).
memcheck: $(VENV)/.installed
	command -v valgrind >/dev/null || (apt-get update && apt-get install -y valgrind)
	$(PY) tests/memcheck.py

# The same build run against the oldest NumPy line we support at run time.
# The wheel is built in the main environment, against NumPy 2 headers (as
# released wheels are), with the test-only modules, and installed here next
# to NumPy 1.x.
NP1_VENV := .venv-numpy1
WHEELHOUSE := build/wheelhouse
$(NP1_VENV)/.installed: $(VENV)/.installed
	test -x $(NP1_VENV)/bin/python || $(PYTHON) -m venv $(NP1_VENV)
	rm -rf $(WHEELHOUSE)
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -Cbuild-dir=build/release \
	    $(TEST_BUILD) -w $(WHEELHOUSE) .
	$(NP1_VENV)/bin/python -m pip install -q --force-reinstall --no-deps $(WHEELHOUSE)/orvane-*.whl
	$(NP1_VENV)/bin/python -m pip install -q "$$(ls $(WHEELHOUSE)/orvane-*.whl)[test]" $(NUMPY1)
	touch $@

test-numpy1: $(NP1_VENV)/.installed
	$(NP1_VENV)/bin/python -c "import numpy; assert numpy.__version__.startswith('1.'), numpy.__version__"
	$(NP1_VENV)/bin/python -m pytest -p no:cacheprovider $(PYTEST_ARGS)

clean:
	rm -rf build site $(VENV) $(SAN_VENV) $(NP1_VENV) $(DOCS_VENV)
