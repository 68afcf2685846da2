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

.PHONY: all venv build demo test test-public test-all wheels lint format sanitize fuzz bench clean wheel-check browser \
	sdist check-built-sdist

all: build

$(PY):
	@base=$$($(FIND_PYTHON)) || exit 1; \
	echo "using $$base"; \
	"$$base" -m venv $(VENV) || { echo "error: could not create a virtual environment with $$base"; exit 1; }

# Build tools, then the runtime, test and lint dependencies that pyproject.toml
# declares (read from it, so that they are listed in one place).
BUILD_DEPS := "scikit-build-core>=0.11" cmake ninja build
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

# Headless Chromium (Debian's package) for the test that loads the example
# notebook's page; installed when missing and apt-get can, else that test skips.
browser:
	@command -v chromium >/dev/null 2>&1 || command -v chromium-browser >/dev/null 2>&1 || \
	{ command -v apt-get >/dev/null 2>&1 && [ "$$(id -u)" = 0 ] && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends chromium; } || \
	echo "no chromium: the rendered-page test will skip"

# The suite against the wheel installed in .venv; the packaged wheel is
# checked by `wheel-check` (and by `test-all` for every interpreter).
test: build lint browser
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
# pyproject.toml declares, warnings as errors) by Zig's C++ compiler against
# the symbols of glibc WHEEL_GLIBC (tools/zig-c++; libc++ linked in), on this
# host or in the chroot alike; `auditwheel repair` tags it
# manylinux_<WHEEL_GLIBC> (and refuses a wheel that needs more) and
# tools/wheel_symbols.py checks what it needs from the system. The tagged
# wheel in dist/ is then installed the way an index serves it, from local
# folders only, into a new virtual environment that has nothing but pip,
# its `test` extra is added, and tests run there.
CHECK_WITH ?= $(PY)
CHECK_DIR ?= build/wheel-check
CHECK_VENV := $(CHECK_DIR)/venv
CHECK_TESTS ?=
WHEEL_CHECK_SKIP ?=
# The source's own floor is glibc 2.26 (pwritev2, getrandom); 2.28 is the
# usual manylinux floor (RHEL 8, Debian 10, Ubuntu 20.04), numpy's too.
WHEEL_GLIBC ?= 2.28
WHEEL_PLAT := manylinux_$(subst .,_,$(WHEEL_GLIBC))_$(shell uname -m)
RAW_DIR := build/raw-wheels
# The wheel tools (the `wheels` extra) in an environment of their own, inside
# the work tree: the chroot sees the zig binary at the same path.
WHEEL_TOOLS := build/wheel-tools
WT_STAMP := $(WHEEL_TOOLS)/.stamp
ZIG := $(abspath $(WHEEL_TOOLS))/bin/zig
CP_TAG := import sys; print("cp%d%d" % sys.version_info[:2])
# $(call LISTED,python,dependencies|extra): one list of pyproject.toml, quoted.
LISTED = $$($(1) -c 'import tomllib; p = tomllib.load(open("pyproject.toml", "rb"))["project"]; \
	print(" ".join(repr(d) for d in (p["dependencies"] if "$(2)" == "dependencies" else p["optional-dependencies"]["$(2)"])))')

# A new sdist outdates the wheels built from the last one.
sdist: $(STAMP)
	rm -f dist/vantrel-*.tar.gz dist/vantrel-*.whl
	$(PY) -m build --quiet --sdist --no-isolation --outdir dist .

$(WT_STAMP): pyproject.toml
	rm -rf $(WHEEL_TOOLS)
	base=$$($(FIND_PYTHON)) && "$$base" -m venv $(WHEEL_TOOLS)
	eval $(WHEEL_TOOLS)/bin/pip install --quiet $(call LISTED,$(WHEEL_TOOLS)/bin/python,wheels)
	ln -sf "$$($(WHEEL_TOOLS)/bin/python -c 'import ziglang, os; print(os.path.dirname(ziglang.__file__))')/zig" $(ZIG)
	@touch $@

wheel-tools: $(WT_STAMP)

# The untagged wheel of CHECK_WITH (an interpreter; run in the chroot for
# the chroot's) from the sdist in dist/, into build/raw-wheels. Zig's cache
# is shared by every version, here and in the chroot.
wheel-build:
	@test -x $(ZIG) || { echo "error: no $(ZIG) (make wheel-tools)"; exit 1; }
	tag=$$($(CHECK_WITH) -c '$(CP_TAG)') && \
	rm -rf $(CHECK_VENV) $(RAW_DIR)/vantrel-*-$$tag-*.whl && \
	$(CHECK_WITH) -m venv $(CHECK_VENV) && \
	CXX=$(abspath tools/zig-c++) ZIG=$(ZIG) WHEEL_GLIBC=$(WHEEL_GLIBC) ZIG_GLOBAL_CACHE_DIR=$(abspath build/zig-cache) \
		$(CHECK_VENV)/bin/python -m pip wheel --quiet --no-deps --wheel-dir $(RAW_DIR) \
		-C cmake.define.VANTREL_WERROR=$(WERROR) dist/vantrel-*.tar.gz

# The raw wheel of TAG (cp311, ...) tagged into dist/, shown, checked.
TAG ?=
wheel-repair: $(WT_STAMP)
	rm -f dist/vantrel-*-$(TAG)-*.whl
	set -o pipefail; PATH="$(abspath $(WHEEL_TOOLS))/bin:$$PATH" $(WHEEL_TOOLS)/bin/auditwheel repair \
		--plat $(WHEEL_PLAT) --wheel-dir dist $(RAW_DIR)/vantrel-*-$(TAG)-linux_*.whl 2>&1 | sed '/^INFO:/d'
	set -o pipefail; $(WHEEL_TOOLS)/bin/auditwheel show dist/vantrel-*-$(TAG)-*.whl 2>&1 | sed '/^INFO:/d'
	$(WHEEL_TOOLS)/bin/python tools/wheel_symbols.py dist/vantrel-*-$(TAG)-*.whl

# CHECK_WITH's tagged wheel in dist/, from local folders only: the runtime
# dependencies are first gathered as wheels into build/deps-<tag> (built
# there when the index has only their sources); the tests CHECK_TESTS (all
# when empty) less WHEEL_CHECK_SKIP run against it.
wheel-test:
	set -o pipefail; tag=$$($(CHECK_WITH) -c '$(CP_TAG)') && deps=build/deps-$$tag && \
	ls dist/vantrel-*-$$tag-*manylinux*.whl >/dev/null && \
	rm -rf $(CHECK_VENV) && $(CHECK_WITH) -m venv $(CHECK_VENV) && \
	eval $(CHECK_VENV)/bin/python -m pip wheel --quiet --wheel-dir $$deps \
		$(call LISTED,$(CHECK_VENV)/bin/python,dependencies) && \
	$(CHECK_VENV)/bin/python -m pip install --no-index --only-binary vantrel \
		--find-links dist --find-links $$deps vantrel | grep -E '^(Processing|Successfully)' && \
	$(CHECK_VENV)/bin/python -m pip check && \
	eval $(CHECK_VENV)/bin/python -m pip install --quiet $(call LISTED,$(CHECK_VENV)/bin/python,test)
	cd tests && ../$(CHECK_VENV)/bin/pytest $(PYTEST_ARGS) $(WHEEL_CHECK_SKIP) $(CHECK_TESTS)

# All three for CHECK_WITH on this host.
check-built-sdist: $(WT_STAMP)
	$(MAKE) --no-print-directory wheel-build
	$(MAKE) --no-print-directory wheel-repair TAG=$$($(CHECK_WITH) -c '$(CP_TAG)')
	$(MAKE) --no-print-directory wheel-test

wheel-check: sdist
	$(MAKE) --no-print-directory check-built-sdist

# What an index would get: every artefact in dist/ through `twine check`,
# then each wheel's tag and highest glibc and C++ runtime symbol versions.
wheel-summary: $(WT_STAMP)
	$(WHEEL_TOOLS)/bin/twine check --strict dist/vantrel-*
	@echo "=== wheels ($(WHEEL_PLAT) asked for)"
	set -o pipefail; $(WHEEL_TOOLS)/bin/python tools/wheel_symbols.py dist/vantrel-*.whl | tee build/wheel-summary.txt

# --- every supported CPython ---------------------------------------------------
# CPython 3.14 and 3.15 come from a Debian unstable chroot when the host has
# none (PyPI carries no interpreters): `make chroot` makes it under CHROOT, or
# reuses it, with the compiler and both interpreters (root needed; see
# tools/sid-chroot). Their wheels are built there and tagged like the host's.
CHROOT ?= /var/tmp/vantrel-sid
SID_CHROOT := tools/sid-chroot $(CHROOT)
.PHONY: chroot check-version chroot-bookworm check-bookworm wheel-tools wheel-build wheel-repair wheel-test \
	wheel-summary
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

# The wheel of CPython V built from the sdist in dist/, tagged, and tested
# (SUITE: all, whole or core), on the host or in the chroot.
V ?=
SUITE ?= all
check-version: $(WT_STAMP)
	@p=$$(CHROOT=$(CHROOT) $(FIND_PYTHON) --all 2>/dev/null | while read -r c; do \
		case $$c in *python$(V)) echo "$$c"; break ;; esac; done); \
	[ -n "$$p" ] || { echo "error: no CPython $(V) here or in $(CHROOT) (make chroot)"; exit 1; }; \
	case "$(SUITE)" in \
		all) tests=; skip= ;; whole) tests=; skip="$(ONCE_ONLY)" ;; \
		core) tests="$(CORE_TESTS)"; skip= ;; *) echo "error: SUITE=$(SUITE)"; exit 1 ;; \
	esac; \
	echo "=== CPython $(V), $(SUITE): $$p ($$(date +%T))"; start=$$(date +%s); \
	case $$p in \
		chroot:*) run="$(SID_CHROOT) run make"; with=$${p#chroot:} ;; \
		*) run="$(MAKE)"; with=$$p ;; \
	esac; \
	$$run --no-print-directory wheel-build CHECK_WITH=$$with CHECK_DIR=build/wheel-check-$(V) \
		WERROR=$(WERROR) WHEEL_GLIBC=$(WHEEL_GLIBC) && \
	$(MAKE) --no-print-directory wheel-repair TAG=cp$(subst .,,$(V)) && \
	$$run --no-print-directory wheel-test CHECK_WITH=$$with CHECK_DIR=build/wheel-check-$(V) \
		PYTEST_ARGS="$(PYTEST_ARGS)" CHECK_TESTS="$$tests" WHEEL_CHECK_SKIP="$$skip"; rc=$$?; \
	echo "=== CPython $(V), $(SUITE): $$([ $$rc = 0 ] && echo passed || echo FAILED) in $$(( $$(date +%s) - start )) s"; \
	exit $$rc

# An older system than the chroot's: Debian 12 as its users have it (CPython
# 3.11, glibc 2.36, no compiler, no Python headers), under BOOKWORM.
# `check-bookworm` installs the 3.11 wheel in dist/ there from local folders
# and runs the core tests.
BOOKWORM ?= /var/tmp/vantrel-bookworm
chroot-bookworm:
	tools/sid-chroot $(BOOKWORM) setup bookworm

check-bookworm:
	tools/sid-chroot $(BOOKWORM) run make --no-print-directory wheel-test CHECK_WITH=/usr/bin/python3.11 \
		CHECK_DIR=build/wheel-check-bookworm CHECK_TESTS="$(CORE_TESTS)" PYTEST_ARGS="$(PYTEST_ARGS)"

# MATRIX, every version found (tools/find-python says which it did not
# find). Goes on after a failure and sums up at the end, with the wheels.
wheels: sdist $(WT_STAMP)
	@rm -f dist/vantrel-*.whl; passed=; failed=; \
	for entry in $(MATRIX); do \
		v=$${entry%%=*}; \
		CHROOT=$(CHROOT) $(FIND_PYTHON) --all 2>/dev/null | grep -q "python$$v$$" || continue; \
		if $(MAKE) --no-print-directory check-version V=$$v SUITE=$${entry#*=}; \
		then passed="$$passed $$v"; else failed="$$failed $$v"; fi; \
	done; \
	$(MAKE) --no-print-directory wheel-summary || failed="$$failed summary"; \
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
