"""Shared fixtures: every worker a test starts is killed when the test ends."""

import gc
import multiprocessing
import multiprocessing.queues
import os
import pathlib
import signal
import subprocess
import sys

import pytest
from hypothesis import settings
from programs import HAS_RAY

import vantrel

# Ray instances that tests start (here or in programs they run): an object
# store sized for tests rather than 30 % of the machine, and no usage report
# sent over the network.
os.environ.setdefault("RAY_DEFAULT_OBJECT_STORE_MAX_MEMORY_BYTES", str(1 << 30))
os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")

# `make fuzz` selects the long profile.
settings.register_profile("default", deadline=None)
settings.register_profile("fuzz", deadline=None, max_examples=5000)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))


def pytest_addoption(parser):
    parser.addoption(
        "--queue-path",
        choices=("direct", "public", "unknown-layout"),
        default="direct",
        help="public: every multiprocessing queue takes its public put and get; "
        "unknown-layout: the same, because multiprocessing.Queue looks unfamiliar",
    )


def pytest_configure(config):
    # The tests interrupt themselves as Ctrl-C would; a shell that starts the
    # run in the background has SIGINT ignored, which Python keeps.
    if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    # Before any queue is met: the choice holds for the whole process and the
    # workers it forks.
    method = os.environ.get("VANTREL_TEST_START_METHOD")
    if method:
        multiprocessing.set_start_method(method, force=True)
    path = config.getoption("--queue-path")
    if path == "public":
        import vantrel._control

        vantrel._control.queue_fast_path = False
    elif path == "unknown-layout":
        from programs import unfamiliar_queue_layout

        unfamiliar_queue_layout()


def pytest_sessionstart(session):
    # Tests exercise the installed wheel, never the source folder.
    installed = pathlib.Path(vantrel.__file__).resolve()
    if "site-packages" not in installed.parts:
        raise pytest.UsageError(f"vantrel imported from {installed}, not an installed wheel")


@pytest.fixture
def direct_path_only(request):
    """For faults that only reading and writing the pipe directly can repair."""
    if request.config.getoption("--queue-path") != "direct":
        pytest.skip("the public queue path cannot repair this")


# Ray and jupyter_client leave threads of their own in this process; the tests
# that fork local workers run before them (a fork while another thread holds
# a lock, the sanitizer's allocator lock for one, leaves the child stuck).
THREADED_MODULES = (
    "test_jupyter.py",
    "test_live_page.py",
    "test_cluster.py",
    "test_cluster_nodes.py",
)


def pytest_collection_modifyitems(session, config, items):
    items.sort(key=lambda item: item.path.name in THREADED_MODULES)
    if not HAS_RAY:
        no_ray = pytest.mark.skip(reason="Ray is not installed (no wheels for this Python)")
        for item in items:
            if item.path.name in ("test_cluster.py", "test_cluster_nodes.py"):
                item.add_marker(no_ray)


def pytest_sessionfinish(session, exitstatus):
    # Workers are not daemons: one left alive would keep the run from exiting.
    # Nor may the feeder of a queue still reachable here, blocked on the full
    # pipe of a worker killed here or by a test that did not clean up.
    for child in multiprocessing.active_children():
        child.kill()
    for obj in gc.get_objects():
        if isinstance(obj, multiprocessing.queues.Queue):
            obj.cancel_join_thread()
    # Nor may a Ray instance that a failed test left connected.
    ray = sys.modules.get("ray")
    if ray is not None and ray.is_initialized():
        ray.shutdown()


def kill_handle(h):
    """Kills a handle's worker as SingleProcess.kill does, which also lets the
    caller exit past its queues' feeders; by the process for a handle that a
    test took apart."""
    proc = h.__dict__.get("proc")
    if proc is None or not proc.is_alive():
        return
    try:
        h.kill()
    except Exception:
        proc.kill()


@pytest.fixture
def make_worker():
    """Factory for SingleProcess handles; all are killed at teardown."""
    from vantrel import monorun

    handles = []

    def make(*args, **kwargs):
        h = monorun.SingleProcess(*args, **kwargs)
        handles.append(h)
        return h

    yield make
    for h in handles:
        kill_handle(h)


@pytest.fixture
def worker(make_worker):
    """One live worker, killed at teardown."""
    return make_worker()


@pytest.fixture
def make_pool():
    """Factory for MultiProcessPool objects; every worker they ever held is killed."""
    from vantrel import polyrun

    pools = []

    def make(*args, **kwargs):
        p = polyrun.MultiProcessPool.__new__(polyrun.MultiProcessPool)
        pools.append(p)
        p.__init__(*args, **kwargs)
        return p

    yield make
    for p in pools:
        for h in list(getattr(p, "procs", {}).values()):
            kill_handle(h)


@pytest.fixture
def pool(make_pool):
    """A pool of two workers, killed at teardown."""
    return make_pool(2)


@pytest.fixture(autouse=True)
def _no_leftover_children():
    yield
    for child in multiprocessing.active_children():
        child.kill()


@pytest.fixture
def run_python(tmp_path):
    """Runs source text in a fresh interpreter, from a folder outside the source
    tree so that the installed package is the one imported."""

    def run(code, timeout=60):
        return subprocess.run(
            [sys.executable, "-c", code],
            cwd=tmp_path,
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    return run
