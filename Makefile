# vantrel developer commands. `make demo` and `make test` work on a fresh clone.
# The interpreter is CPython 3.12 when there is one, else the newest supported
# one found, or the one given as PYTHON= (see tools/find-python).
SHELL := /bin/bash
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
FIND_PYTHON := tools/find-python
PYVER := import sys; print("%d.%d" % sys.version_info[:2])
STAMP := $(VENV)/.deps-stamp
SOURCES := $(shell find vantrel -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name py.typed)
SOURCES += CMakeLists.txt pyproject.toml README.md LICENSE
BUILD_STAMP := $(VENV)/.build-stamp
PYTEST_ARGS ?=
# Compiler warnings fail the build here and in CI (`make build WERROR=OFF` to
# look past them); a plain `pip install .` keeps them warnings.
WERROR ?= ON

# An environment made with one interpreter is never silently used for another.
ifneq ($(PYTHON),)
ifneq ($(wildcard $(PY)),)
WANT_PY := $(shell PYTHON='$(PYTHON)' $(FIND_PYTHON))
ifeq ($(WANT_PY),)
$(error PYTHON=$(PYTHON) cannot be used (see above))
endif
VENV_VERSION := $(shell $(PY) -c '$(PYVER)' 2>/dev/null)
WANT_VERSION := $(shell $(WANT_PY) -c '$(PYVER)')
ifneq ($(VENV_VERSION),$(WANT_VERSION))
$(error $(VENV) holds Python $(VENV_VERSION), not $(WANT_VERSION) (PYTHON=$(PYTHON)): remove it, or pick another folder with VENV=.venv-$(WANT_VERSION))
endif
endif
endif

.PHONY: all venv build demo test test-public test-all wheels lint format sanitize fuzz bench clean wheel-check \
	sdist check-built-sdist

all: build

$(PY):
	@base=$$($(FIND_PYTHON)) || exit 1; \
	echo "using $$base"; \
	"$$base" -m venv $(VENV) || { echo "error: could not create a virtual environment with $$base"; exit 1; }

# Build tools, then the runtime, test and lint dependencies that pyproject.toml
# declares (read from it, so that they are listed in one place).
BUILD_DEPS := "scikit-build-core>=0.10" cmake ninja build
# $(call DECLARED,python,extras[,names left out])
DECLARED = $$($(1) -c 'import re, tomllib; p = tomllib.load(open("pyproject.toml", "rb"))["project"]; \
	print(" ".join(repr(d) for d in p["dependencies"] + sum((p["optional-dependencies"][e] for e in "$(2)".split()), []) \
	if re.split("[^A-Za-z0-9_.-]", d)[0] not in "$(3)".split()))')
$(STAMP): pyproject.toml | $(PY)
	$(PIP) install --quiet --upgrade pip
	$(PIP) install --quiet $(BUILD_DEPS)
	eval $(PIP) install --quiet $(call DECLARED,$(PY),test lint)
	@touch $@

venv: $(STAMP)

# A real wheel build installed into the environment: tests import the installed
# package, never the source tree.
$(BUILD_STAMP): $(STAMP) $(SOURCES)
	$(PIP) install --quiet --no-build-isolation --no-deps --force-reinstall \
		-C cmake.define.VANTREL_WERROR=$(WERROR) .
	@touch $@

build: $(BUILD_STAMP)

demo: build
	cd examples && ../$(PY) demo.py

# clang-tidy reads the real compile flags (Python headers included) from a
# compile database that CMake writes at configure time; nothing is compiled.
TIDY_DIR := build/tidy
lint: $(STAMP)
	$(VENV)/bin/clang-format --dry-run --Werror $$(find vantrel -name '*.cpp' -o -name '*.hpp')
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	@mkdir -p $(TIDY_DIR)
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(TIDY_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DPython_EXECUTABLE="$(abspath $(PY))" > $(TIDY_DIR)/configure.log \
		|| { cat $(TIDY_DIR)/configure.log; exit 1; }
	$(PY) tools/run_tidy.py $(VENV)/bin/clang-tidy $(TIDY_DIR)

format: $(STAMP)
	$(VENV)/bin/clang-format -i $$(find vantrel -name '*.cpp' -o -name '*.hpp')
	$(VENV)/bin/ruff format .
	$(VENV)/bin/ruff check --fix .

# The suite against the wheel installed in .venv; the packaged wheel is
# checked by `wheel-check` (and by `test-all` for every interpreter).
test: build lint
	cd tests && ../$(VENV)/bin/pytest $(PYTEST_ARGS)

# The suite with every multiprocessing queue taken through its public put and
# get, as on a Python whose queues vantrel does not know. Left out: what sends
# nothing through those queues (Ray's pools, the stubs, the packaging, the
# argument binder), the benchmark (a program of its own, which the choice of
# path does not reach) and the test that runs part of the suite through that
# path itself.
PUBLIC_PATH_SKIP := $(addprefix --ignore=,test_cluster.py test_cluster_nodes.py test_typing.py \
	test_packaging.py test_argument_binding.py test_bench_smoke.py test_public_path.py)
test-public: build
	cd tests && ../$(VENV)/bin/pytest --queue-path=public $(PUBLIC_PATH_SKIP) $(PYTEST_ARGS)

# The package as users get it. The sdist is built once; each interpreter's
# wheel is built from it (isolated, with the build requirements that
# pyproject.toml declares, warnings as errors), installed with its `test`
# extra into a new virtual environment, and the whole suite runs there. The
# three-node Ray cluster tests and the Ray benchmark rows exercise nothing of
# the packaging that the local Ray tests do not: `wheels` runs them under the
# preferred interpreter only.
CHECK_WITH ?= $(PY)
CHECK_DIR ?= build/wheel-check
CHECK_VENV := $(CHECK_DIR)/venv
WHEEL_CHECK_SKIP := --ignore=test_cluster_nodes.py --deselect=tests/test_cluster.py::test_benchmark_rows_run

sdist: $(STAMP)
	rm -f dist/vantrel-*.tar.gz
	$(PY) -m build --quiet --sdist --no-isolation --outdir dist .

# The wheel of CHECK_WITH (an interpreter) from the sdist already in dist/.
check-built-sdist:
	tag=$$($(CHECK_WITH) -c 'import sys; print("cp%d%d" % sys.version_info[:2])') && \
	rm -rf $(CHECK_VENV) dist/vantrel-*-$$tag-*.whl && \
	$(CHECK_WITH) -m venv $(CHECK_VENV) && \
	$(CHECK_VENV)/bin/python -m pip wheel --quiet --no-deps --wheel-dir dist \
		-C cmake.define.VANTREL_WERROR=$(WERROR) dist/vantrel-*.tar.gz && \
	$(CHECK_VENV)/bin/python -m pip install --quiet "$$(ls dist/vantrel-*-$$tag-*.whl)[test]"
	cd tests && ../$(CHECK_VENV)/bin/pytest $(PYTEST_ARGS) $(WHEEL_CHECK_SKIP)

wheel-check: sdist
	$(MAKE) --no-print-directory check-built-sdist

# `wheel-check` under every supported interpreter that tools/find-python finds
# (it says which it did not find). dist/ ends with the sdist and one tested
# wheel per interpreter. Goes on after a failure and sums up at the end.
wheels: sdist
	@pythons=$$($(FIND_PYTHON) --all) || exit 1; \
	[ -n "$$pythons" ] || { echo "error: no supported CPython found"; exit 1; }; \
	rm -f dist/vantrel-*.whl; \
	preferred=$$($(FIND_PYTHON)); passed=; failed=; \
	for p in $$pythons; do \
		v=$$($$p -c '$(PYVER)'); \
		skip="$(WHEEL_CHECK_SKIP)"; [ "$$p" = "$$preferred" ] && skip=; \
		echo "=== CPython $$v: $$p ($$(date +%T))"; \
		if $(MAKE) --no-print-directory check-built-sdist CHECK_WITH=$$p CHECK_DIR=build/wheel-check-$$v \
			WHEEL_CHECK_SKIP="$$skip"; \
		then passed="$$passed $$v"; else failed="$$failed $$v"; fi; \
	done; \
	echo "=== passed:$${passed:- none}; failed:$${failed:- none} ($$(date +%T))"; \
	$(FIND_PYTHON) --all >/dev/null; \
	[ -z "$$failed" ]

test-all: lint wheels

# Long fuzz runs of the input fuzzers (the suite runs them briefly).
fuzz: build
	cd tests && HYPOTHESIS_PROFILE=fuzz ../$(VENV)/bin/pytest -q test_fuzz.py test_monorun_surface.py -k "fuzz or any_job or binding"

# Benchmark tools (the `bench` extra) go into the project venv, never into the
# test dependencies. `make bench` is the full run (about 4 minutes, writes
# docs/bench.*, docs/performance.md); `make bench-quick` takes under a minute.
.PHONY: bench-quick
BENCH_STAMP := $(VENV)/.bench-stamp
$(BENCH_STAMP): pyproject.toml | $(STAMP)
	eval $(PIP) install --quiet $(call DECLARED,$(PY),bench)
	@touch $@

bench: build $(BENCH_STAMP)
	cd bench && ../$(PY) bench.py $(BENCH_ARGS)

bench-quick: build $(BENCH_STAMP)
	cd bench && ../$(PY) bench.py --quick $(BENCH_ARGS)

# The whole suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, in an environment of its own. Ray's processes do
# not run under ASan, so Ray is not installed there. Workers start from a
# forkserver: ASan's allocator is not fork-safe, and a worker forked while
# another thread of the test process (a queue's feeder) held its lock would
# hang at its first large allocation.
SAN_VENV := .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python
SAN_RUNTIME = $$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)
sanitize:
	@test -x $(SAN_PY) || { base=$$($(FIND_PYTHON)) && "$$base" -m venv $(SAN_VENV); }
	$(SAN_PY) -m pip install --quiet $(BUILD_DEPS)
	eval $(SAN_PY) -m pip install --quiet $(call DECLARED,$(SAN_PY),test,ray)
	$(SAN_PY) -m pip install --quiet --no-build-isolation --no-deps --force-reinstall \
		-C cmake.define.VANTREL_SANITIZE=ON -C cmake.define.VANTREL_WERROR=ON \
		-C build-dir=build/sanitize -C cmake.build-type=Debug .
	cd tests && VANTREL_SANITIZED=1 VANTREL_TEST_START_METHOD=forkserver LD_PRELOAD="$(SAN_RUNTIME)" PYTHONMALLOC=malloc \
		ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		../$(SAN_VENV)/bin/pytest -p no:cacheprovider $(PYTEST_ARGS)

clean:
	rm -rf build dist $(BUILD_STAMP)
