# `make` sets everything up on a fresh Debian 12 machine (as root): Debian packages, the
# interpreter, its venv, the build, and the package installed into the venv.
# `make test` does the same, then runs every test (C++ and Python) through CTest.
#
# VESPRA_PY picks the interpreter: 3.13t, the free-threaded CPython 3.13 (the default: `.venv`
# and `build/`), or 3.13, the regular one with the GIL (`.venv-3.13` and `build-3.13/`).
# VESPRA_PYTHON=/path names an interpreter of your own instead (scripts/bootstrap-python.sh);
# set VESPRA_PY beside it to keep its venv and build folders apart from the default's.
# VESPRA_PY=3.14 and VESPRA_PY=3.15 are Debian's CPython 3.14 and 3.15 (with the GIL), which
# need a newer C library than Debian 12's: every target of theirs runs inside a Debian unstable
# root made once in the cache (scripts/bootstrap-root.sh, scripts/in-root.sh), with `.venv-3.14`
# and `build-3.14/` in the checkout as for the others.
# `make test-matrix` runs the Python-level suite against every supported interpreter.

FLAVOUR := $(or $(VESPRA_PY),3.13t)
ifeq ($(FLAVOUR),3.13t)
FLAVOUR_SUFFIX :=
else
FLAVOUR_SUFFIX := -$(FLAVOUR)
endif
BUILD ?= build$(FLAVOUR_SUFFIX)
VENV ?= .venv$(FLAVOUR_SUFFIX)
JOBS ?= $(shell nproc)
PY := $(VENV)/bin/python
.DEFAULT_GOAL := all

# Each supported interpreter in turn (built into the cache on first use), one summary line each.
.PHONY: test-matrix
test-matrix:
	@bash scripts/install-deps.sh
	@bash scripts/test-matrix.sh

ifneq ($(filter 3.14 3.15,$(FLAVOUR)),)
ifndef VESPRA_IN_ROOT
# Outside the root, each goal is the same goal made inside it.
GOALS := $(filter-out test-matrix,$(or $(MAKECMDGOALS),all))
.PHONY: $(GOALS)
$(GOALS):
	@bash scripts/in-root.sh $(MAKE) --no-print-directory VESPRA_PY=$(FLAVOUR) $@
ROOTED := 1
endif
endif

ifndef ROOTED

.PHONY: all deps venv configure build build-package build-python test test-python interpreter demo bench wheel clean

all: build

deps:
	@bash scripts/install-deps.sh

# The venv is made from the interpreter the bootstrap script finds or builds, and made again
# when that interpreter changes (another VESPRA_PYTHON, say).
venv: deps
	@base=$$($(if $(VESPRA_PY),VESPRA_PY=$(VESPRA_PY)) bash scripts/bootstrap-python.sh) && \
	real=$$("$$base" -c 'import os, sys; print(os.path.realpath(sys.executable))') && \
	if ! grep -qxF "executable = $$real" $(VENV)/pyvenv.cfg 2>/dev/null; then \
		rm -rf $(VENV) && "$$base" -m venv $(VENV); \
	fi

configure: venv
	@cmake -S . -B $(BUILD) -DVESPRA_PYTHON=$(abspath $(PY)) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j 2

# Only what the Python-level tests need (the extension, the package installed into the venv,
# the benchmark's helper modules), then those tests.
build-python: configure
	@cmake --build $(BUILD) -j $(JOBS) --target python_suite

test-python: build-python
	@cd $(BUILD) && ctest --output-on-failure -j 2 -R '^py_'

# The interpreter of this VESPRA_PY, in one line.
interpreter: venv
	@$(PY) -c 'import sys, sysconfig; print("CPython", sys.version.split()[0], \
		"free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "with the GIL")'

# Traces examples/demo.py (threads, generators, exceptions, a child process) into one file. Builds
# only what that needs: the extension and the package installed into the venv.
DEMO_TRACE := $(BUILD)/demo/demo.pb

build-package: configure
	@cmake --build $(BUILD) -j $(JOBS) --target vespra_package

demo: build-package
	@mkdir -p $(dir $(DEMO_TRACE))
	@$(VENV)/bin/vespra run -o $(DEMO_TRACE) examples/demo.py
	@echo
	@echo "To view it, open https://ui.perfetto.dev in a browser, choose \"Open trace file\""
	@echo "and pick $(abspath $(DEMO_TRACE))."
	@echo "Without a viewer: $(VENV)/bin/vespra summary $(DEMO_TRACE)"
	@echo "       or a flame graph: $(VENV)/bin/vespra flamegraph $(DEMO_TRACE) -o $(BUILD)/demo/demo.svg"
	@echo "JSON instead: $(VENV)/bin/vespra run -f json -o $(BUILD)/demo/demo.json examples/demo.py"

# Whole-program overhead: untraced, a no-op sys.monitoring callback, cProfile, vespra (bench/README.md).
bench: build
	@$(PY) bench/overhead.py

# A wheel for the chosen interpreter in dist/, built by pip through the backend as for a user.
wheel: venv
	@$(PY) -m pip wheel --quiet --no-index --no-deps --disable-pip-version-check -w dist .
	@ls dist/*.whl

clean:
	rm -rf $(BUILD) dist

endif
