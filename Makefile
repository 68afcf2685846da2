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

.PHONY: all venv build demo test lint format sanitize bench clean

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

bench: build
	cd bench && ../$(PY) bench.py $(BENCH_ARGS)

# The whole suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, in an environment of its own.
SAN_VENV := .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python
SAN_RUNTIME = $$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)
sanitize:
	@test -x $(SAN_PY) || { base=$$($(FIND_PYTHON)) && "$$base" -m venv $(SAN_VENV); }
	$(SAN_PY) -m pip install --quiet "scikit-build-core>=0.10" cmake ninja numpy setproctitle "pytest>=8" pytest-timeout hypothesis
	$(SAN_PY) -m pip install --quiet --no-build-isolation --no-deps --force-reinstall \
		-C cmake.define.VANTREL_SANITIZE=ON -C build-dir=build/sanitize -C cmake.build-type=Debug .
	cd tests && LD_PRELOAD="$(SAN_RUNTIME)" PYTHONMALLOC=malloc \
		ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		../$(SAN_VENV)/bin/pytest -p no:cacheprovider $(PYTEST_ARGS)

clean:
	rm -rf build dist $(BUILD_STAMP)
