# vantrel developer commands. `make demo` and `make test` work on a fresh clone.
SHELL := /bin/bash
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
FIND_PYTHON := tools/find-python
STAMP := $(VENV)/.deps-stamp
SOURCES := $(shell find vantrel -name '*.cpp' -o -name '*.hpp' -o -name '*.py') CMakeLists.txt pyproject.toml
BUILD_STAMP := $(VENV)/.build-stamp
PYTEST_ARGS ?=

.PHONY: all venv build demo test lint format sanitize clean

all: build

$(PY):
	@base=$$($(FIND_PYTHON)) || exit 1; \
	echo "using $$base"; \
	"$$base" -m venv $(VENV) || { echo "error: could not create a virtual environment with $$base (on Debian: apt-get install python3.12-venv)"; exit 1; }

# Build tools, runtime and test dependencies, all from the project's own files.
$(STAMP): pyproject.toml | $(PY)
	$(PIP) install --quiet --upgrade pip
	$(PIP) install --quiet "scikit-build-core>=0.10" cmake ninja
	$(PIP) install --quiet numpy setproctitle "pytest>=8" pytest-timeout hypothesis ruff clang-format
	@touch $@

venv: $(STAMP)

# A real wheel build installed into the environment: tests import the installed
# package, never the source tree.
$(BUILD_STAMP): $(STAMP) $(SOURCES)
	$(PIP) install --quiet --no-build-isolation --no-deps --force-reinstall .
	@touch $@

build: $(BUILD_STAMP)

demo: build
	cd examples && ../$(PY) demo.py

lint: $(STAMP)
	$(VENV)/bin/clang-format --dry-run --Werror $$(find vantrel -name '*.cpp' -o -name '*.hpp')
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .

format: $(STAMP)
	$(VENV)/bin/clang-format -i $$(find vantrel -name '*.cpp' -o -name '*.hpp')
	$(VENV)/bin/ruff format .
	$(VENV)/bin/ruff check --fix .

test: build lint
	cd tests && ../$(VENV)/bin/pytest $(PYTEST_ARGS)

clean:
	rm -rf build dist $(BUILD_STAMP)
