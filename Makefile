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
# argument binder), the benchmark and the start-method cases (programs of
# their own, which the choice of path does not reach; the latter take the
# public path themselves where it matters) and the test that runs part of the
# suite through that path itself.
PUBLIC_PATH_SKIP := $(addprefix --ignore=,test_cluster.py test_cluster_nodes.py test_typing.py \
	test_packaging.py test_argument_binding.py test_bench_smoke.py test_public_path.py test_start_methods.py)
test-public: build
	cd tests && ../$(VENV)/bin/pytest --queue-path=public $(PUBLIC_PATH_SKIP) $(PYTEST_ARGS)

# The package as users get it. The sdist is built once; each interpreter's
# wheel is built from it (isolated, with the build requirements that
# pyproject.toml declares, warnings as errors), installed with its `test`
# extra into a new virtual environment, and tests run there.
CHECK_WITH ?= $(PY)
CHECK_DIR ?= build/wheel-check
CHECK_VENV := $(CHECK_DIR)/venv
WHEEL_DIR ?= dist
CHECK_TESTS ?=
WHEEL_CHECK_SKIP ?=

sdist: $(STAMP)
	rm -f dist/vantrel-*.tar.gz
	$(PY) -m build --quiet --sdist --no-isolation --outdir dist .

# The wheel of CHECK_WITH (an interpreter) from the sdist already in dist/,
# and the tests CHECK_TESTS (all when empty) less WHEEL_CHECK_SKIP.
check-built-sdist:
	tag=$$($(CHECK_WITH) -c 'import sys; print("cp%d%d" % sys.version_info[:2])') && \
	rm -rf $(CHECK_VENV) $(WHEEL_DIR)/vantrel-*-$$tag-*.whl && \
	$(CHECK_WITH) -m venv $(CHECK_VENV) && \
	$(CHECK_VENV)/bin/python -m pip wheel --quiet --no-deps --wheel-dir $(WHEEL_DIR) \
		-C cmake.define.VANTREL_WERROR=$(WERROR) dist/vantrel-*.tar.gz && \
	$(CHECK_VENV)/bin/python -m pip install --quiet "$$(ls $(WHEEL_DIR)/vantrel-*-$$tag-*.whl)[test]"
	cd tests && ../$(CHECK_VENV)/bin/pytest $(PYTEST_ARGS) $(WHEEL_CHECK_SKIP) $(CHECK_TESTS)

wheel-check: sdist
	$(MAKE) --no-print-directory check-built-sdist

# --- every supported CPython ---------------------------------------------------
# CPython 3.14 and 3.15 come from a Debian unstable chroot when the host has
# none (PyPI carries no interpreters): `make chroot` makes it under CHROOT, or
# reuses it, with the compiler and both interpreters (root needed; see
# tools/sid-chroot). A wheel built there lands in build/sid-dist: it needs the
# chroot's newer C library and runs only there.
CHROOT ?= /var/tmp/vantrel-sid
SID_CHROOT := tools/sid-chroot $(CHROOT)
.PHONY: chroot check-version
chroot:
	$(SID_CHROOT) setup

# What each version runs: `all` the whole suite, `whole` the suite less what
# runs once (ONCE_ONLY: the three-node Ray cluster, the Ray benchmark rows,
# the long sweeps and soaks), `core` the core tests and the start-method
# module. 3.14 runs under its default start method, forkserver; the others
# under fork.
MATRIX ?= 3.11=core 3.12=all 3.13=core 3.14=whole 3.15=core
ONCE_ONLY := --ignore=test_cluster_nodes.py --deselect=tests/test_cluster.py::test_benchmark_rows_run
CORE_TESTS := test_monorun_handle.py test_monorun_job_loop.py test_monorun_collector.py \
	test_pool_lifecycle.py test_pool_surface.py test_scatter_gather.py test_message_path.py \
	test_message_order.py test_faults.py test_orphans.py test_runner.py test_public_path.py \
	test_packaging.py test_start_methods.py

# The wheel of CPython V built from the sdist in dist/ and tested (SUITE:
# all, whole or core), on the host or in the chroot.
V ?=
SUITE ?= all
check-version:
	@p=$$(CHROOT=$(CHROOT) $(FIND_PYTHON) --all 2>/dev/null | while read -r c; do \
		case $$c in *python$(V)) echo "$$c"; break ;; esac; done); \
	[ -n "$$p" ] || { echo "error: no CPython $(V) here or in $(CHROOT) (make chroot)"; exit 1; }; \
	case "$(SUITE)" in \
		all) tests=; skip= ;; whole) tests=; skip="$(ONCE_ONLY)" ;; \
		core) tests="$(CORE_TESTS)"; skip= ;; *) echo "error: SUITE=$(SUITE)"; exit 1 ;; \
	esac; \
	echo "=== CPython $(V), $(SUITE): $$p ($$(date +%T))"; start=$$(date +%s); \
	case $$p in \
		chroot:*) $(SID_CHROOT) run make --no-print-directory check-built-sdist CHECK_WITH=$${p#chroot:} \
			CHECK_DIR=build/wheel-check-$(V) WHEEL_DIR=build/sid-dist WERROR=$(WERROR) \
			PYTEST_ARGS="$(PYTEST_ARGS)" CHECK_TESTS="$$tests" WHEEL_CHECK_SKIP="$$skip" ;; \
		*) $(MAKE) --no-print-directory check-built-sdist CHECK_WITH=$$p CHECK_DIR=build/wheel-check-$(V) \
			CHECK_TESTS="$$tests" WHEEL_CHECK_SKIP="$$skip" ;; \
	esac; rc=$$?; \
	echo "=== CPython $(V), $(SUITE): $$([ $$rc = 0 ] && echo passed || echo FAILED) in $$(( $$(date +%s) - start )) s"; \
	exit $$rc

# MATRIX, every version found (tools/find-python says which it did not
# find). Goes on after a failure and sums up at the end.
wheels: sdist
	@rm -f dist/vantrel-*.whl; passed=; failed=; \
	for entry in $(MATRIX); do \
		v=$${entry%%=*}; \
		CHROOT=$(CHROOT) $(FIND_PYTHON) --all 2>/dev/null | grep -q "python$$v$$" || continue; \
		if $(MAKE) --no-print-directory check-version V=$$v SUITE=$${entry#*=}; \
		then passed="$$passed $$v"; else failed="$$failed $$v"; fi; \
	done; \
	echo "=== passed:$${passed:- none}; failed:$${failed:- none} ($$(date +%T))"; \
	CHROOT=$(CHROOT) $(FIND_PYTHON) --all >/dev/null; \
	[ -z "$$failed" ]

test-all: lint chroot wheels

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

# The latency and throughput sections under the project's interpreter and,
# in the chroot, under CPython 3.14 and 3.15 (each in an environment of its
# own under build/, the wheel built there from the sdist), with their targets
# side by side (bench/versions.py). Writes build/bench-versions/, not docs/.
.PHONY: bench-versions
BENCH_VERSIONS ?= 3.14 3.15
BENCH_VERSIONS_OUT := build/bench-versions
BENCH_VERSIONS_RUN = bench.py --only latency,throughput --no-chart --out ../$(BENCH_VERSIONS_OUT)/$(1) $(BENCH_ARGS)
bench-versions: build $(BENCH_STAMP) sdist chroot
	rm -rf $(BENCH_VERSIONS_OUT)
	v=$$($(PY) -c '$(PYVER)') && cd bench && ../$(PY) $(call BENCH_VERSIONS_RUN,$$v)
	for v in $(BENCH_VERSIONS); do \
		$(SID_CHROOT) run sh -c "rm -rf build/bench-$$v && python$$v -m venv build/bench-$$v && \
			build/bench-$$v/bin/pip install --quiet \"\$$(ls dist/vantrel-*.tar.gz)\" loky && \
			cd bench && $(abspath build)/bench-$$v/bin/python $(call BENCH_VERSIONS_RUN,$$v)" || exit 1; \
	done
	$(PY) bench/versions.py $(BENCH_VERSIONS_OUT)

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
