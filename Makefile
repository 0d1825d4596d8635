# `make` sets everything up on a fresh Debian 12 machine (as root): Debian packages, the
# free-threaded interpreter, .venv, the build, and the package installed into .venv.
# `make test` does the same, then runs every test (C++ and Python) through CTest.

BUILD ?= build
JOBS ?= $(shell nproc)
VENV := .venv
PY := $(VENV)/bin/python

.PHONY: all deps venv build test demo bench wheel clean

all: build

deps:
	@bash scripts/install-deps.sh

# The venv is made from the interpreter the bootstrap script finds or builds.
$(PY): scripts/bootstrap-python.sh | deps
	@base=$$(bash scripts/bootstrap-python.sh) && "$$base" -m venv $(VENV)
	@$(PY) -c 'import sys; assert not sys._is_gil_enabled()'

venv: deps $(PY)

build: venv
	@cmake -S . -B $(BUILD) -DVESPRA_PYTHON=$(abspath $(PY)) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j 2

# Traces examples/demo.py (threads, generators, exceptions, a child process) into one file.
DEMO_TRACE := $(BUILD)/demo/demo.pb

demo: build
	@mkdir -p $(dir $(DEMO_TRACE))
	@$(VENV)/bin/vespra run -o $(DEMO_TRACE) examples/demo.py
	@echo
	@echo "Trace written to $(abspath $(DEMO_TRACE))"
	@echo "To view it, open https://ui.perfetto.dev in a browser, choose \"Open trace file\""
	@echo "and pick that file."
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
