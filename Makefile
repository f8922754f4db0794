# Every target sets up what it needs in .venv itself, so each works on a
# fresh checkout.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
SOURCES := $(shell find native src -type f -not -name '*.pyc') CMakeLists.txt pyproject.toml
PYTEST_ARGS ?=
BENCH_ARGS ?=

.PHONY: test install demo bench bench-sweep clean

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

$(VENV)/.build-deps:
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "numpy>=2.0" cmake ninja
	touch $@

# The build directory persists, so a reinstall after an edit recompiles only
# what changed.
$(VENV)/.installed: $(VENV)/.build-deps $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation -Ccmake.define.ORVANE_WERROR=ON ".[report,test]"
	touch $@

# Same build flags as the test install, so the build directory is reused.
$(VENV)/.bench-installed: $(VENV)/.installed
	$(PY) -m pip install -q --no-build-isolation -Ccmake.define.ORVANE_WERROR=ON ".[test,bench]"
	touch $@

clean:
	rm -rf build $(VENV)
