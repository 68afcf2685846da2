"""RayPool on a local Ray instance: the same answers as a local pool, the
surface, and the faults that one machine can show. One Ray instance serves
the whole module (its start-up takes seconds)."""

import json
import math
import multiprocessing
import os
import pathlib
import re
import signal
import sys
import threading
import time

import numpy as np
import pytest
from programs import run_program
from ray_pools import pools_killed_at_the_end

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("VANTREL_SANITIZED")), reason="Ray's processes do not run under ASan"
)


@pytest.fixture(scope="module")
def local_pool():
    """A MultiProcessPool forked before Ray's threads exist in this process
    (the suite kills it after the first test that uses it)."""
    from vantrel import polyrun

    pool = polyrun.MultiProcessPool(2)
    try:
        yield pool
    finally:
        pool.kill_all()


@pytest.fixture(scope="module")
def ray_pool(local_pool):
    """A pool of 2 that started the local Ray instance itself (no address)."""
    import ray

    from vantrel import cluster

    assert not ray.is_initialized()
    pool = cluster.RayPool(2, "Shared")
    try:
        yield pool
    finally:
        pool.kill_all()
        ray.shutdown()


@pytest.fixture
def make_ray_pool(ray_pool):
    yield from pools_killed_at_the_end()


# A class of the caller's __main__, as every class of a notebook is, its
# methods included; made before the local pool forks its workers, which then
# find it by name. RayPool's workers, whose __main__ is Ray's, cannot.
CALLER = """\
class Caller:
    def __init__(self, n):
        self.n = n

    def __eq__(self, other):
        return type(other) is type(self) and other.n == self.n

    __hash__ = None
"""
main_namespace = {"__name__": "__main__"}
exec(CALLER, main_namespace)
Caller = main_namespace["Caller"]
sys.modules["__main__"].Caller = Caller


class RaisesWhenRead:
    """Pickles, and raises `error` where it is unpickled."""

    def __init__(self, error):
        self.error = error

    def __reduce__(self):
        return (exec, (f"raise {self.error}",))


def read_only(array):
    array.setflags(write=False)
    return array


def gone(pid, within=20.0):
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.05)
    return False


# ---------------------------------------------------------------------------
# The same answers as MultiProcessPool


def corpus():
    lock = threading.Lock()
    first = [
        "x = 1\nimport math",
        ["y = 5", {"w": [1, 2]}, "xreturn(s=y + sum(w))"],
        "xprint('a', 1, [2], end='')\nxprint()\nxreturn(k=1)\nxreturn(k=2, j=3)",
        [1, None, b"skipped", ("t",), "xreturn(skipped=True)"],
        7,
        {"xreturn(from_key=1)": "ignored"},
        "y = 5\ndef f():\n    return y\nxreturn(r=f())",
        ["xprint('before')", "xreturn(a=1)", "1 / 0", "xreturn(never=1)"],
        "import queue\nraise queue.Empty",
        "",
        [],
        [{"arr": np.arange(6.0)}, "arr *= 2\nxreturn(arr=arr, first=float(arr[1]))"],
        [{"lock": lock}, "xreturn(unreached=1)"],
        "import threading\nxprint('kept')\nxreturn(lock=threading.Lock(), ok=1)",
        "xreturn(text='é' * 100_000)",
        "def g():\n    raise ValueError('bad ' + 'input')",
        "g()",
        "xreturn(m=math.floor(2.5))",
        "class Point:\n    pass\np = Point()\nxreturn(name=type(p).__name__)",
        "import numpy as np\nbig = np.ones(300_000)\nbig[0] = 7\nxreturn(big=big)",
        # Read-only where they are pickled, writable where they arrive.
        [
            {
                "ro": read_only(np.arange(6.0)),
                "ro_f": read_only(np.asfortranarray(np.arange(6.0).reshape(2, 3))),
                "ro_bytes": np.frombuffer(b"\x01\x02\x03", dtype=np.uint8),
                "ro_strided": read_only(np.arange(8))[::2],
                "ro_big": read_only(np.ones(200_000)),
            },
            "ro += 1\nro_f += 1\nro_bytes += 1\nro_strided += 1\nro_big += 1\n"
            "back = np.frombuffer(bytes(24))\nback_f = np.asfortranarray(np.ones((2, 2)))\n"
            "back_f.setflags(write=False)\nback_big = np.frombuffer(bytes(800_000))\n"
            "xreturn(ro=ro, ro_f=ro_f, ro_bytes=ro_bytes, ro_strided=ro_strided, "
            "big_sum=float(ro_big.sum()), back=back, back_f=back_f, back_big=back_big)",
        ],
    ]
    if multiprocessing.get_start_method() == "fork":
        # Objects of the caller's __main__ there and back. Only a forked local
        # worker has the test's Caller: spawn and forkserver import a file's
        # __main__ afresh (a notebook's classes travel by value on both pools:
        # test_jupyter).
        first.append([{"c": Caller(3)}, "c.n += 1\nxreturn(c=c, kind=type(c).__name__, cs=[c, c])"])
    # What each worker's namespace holds afterwards.
    names = ["xreturn(names=sorted(k for k in globals() if not k.startswith('__')))"] * 2
    return [first, names]


def shown(value):
    """A comparable form of a value, arrays with their writability."""
    if isinstance(value, np.ndarray):
        flags = value.flags
        return ("ndarray", value.dtype.str, value.tolist(), flags.writeable, flags.f_contiguous)
    if isinstance(value, dict):
        return {k: shown(v) for k, v in value.items()}
    if isinstance(value, list | tuple):
        return type(value)(shown(v) for v in value)
    return value


def trace_lines(trace):
    """The traceback less what names our own files: the job's frames and the
    exception lines stay."""
    kept, skip_source = [], False
    for line in trace.splitlines():
        if line.startswith('  File "'):
            skip_source = '"<string>"' not in line
            if skip_source:
                continue
        elif line.startswith("    ") and (skip_source or set(line.strip()) <= set("^~")):
            continue
        kept.append(line)
    return kept


def comparable(answer):
    status, printed, trace, values = answer
    return [status, printed, trace_lines(trace), shown(values)]


def test_same_answers_as_a_local_pool(ray_pool, local_pool, monkeypatch):
    # The module's first test: both pools are new, their namespaces empty.
    local, remote = local_pool, ray_pool
    for batch in corpus():
        want = [comparable(a) for a in local.map(batch)]
        with monkeypatch.context() as m:
            # __main__ as in a notebook, no file to import it from (the local
            # workers, forked, find Caller in theirs).
            m.delattr(sys.modules["__main__"], "__file__", raising=False)
            got = [comparable(a) for a in remote.map(batch)]
        for k, (g, w) in enumerate(zip(got, want, strict=True)):
            assert g == w, f"job {k}: {batch[k]!r}"

    # An answer that cannot be rebuilt here: what rebuilding raised, unchanged.
    unreadable = (
        "class Unreadable:\n    def __reduce__(self):\n"
        "        return (exec, ('raise ValueError(\"not here\")',))\nxreturn(u=Unreadable())"
    )
    for pool in (local, remote):
        with pytest.raises(ValueError, match="^not here$"):
            pool.map(["pass", unreadable])
        assert pool.map(["xreturn(k=0)", "xreturn(k=1)"])[1][3] == {"k": 1}


def test_answers_carry_failures_and_stand_ins(ray_pool):
    # The differential test compares; this one says what the answers are.
    a = ray_pool.map(
        [
            [{"lock": threading.Lock()}],
            "import threading\nxprint('kept')\nxreturn(lock=threading.Lock(), ok=1)",
            "xprint('a')\n1/0",
        ]
    )
    assert a[0][0] == "EXCEPTION" and "could not be pickled and was not sent" in a[0][2]
    assert a[1][0] == "EXCEPTION" and a[1][1] == "kept\n" and a[1][3] == {"ok": 1}
    assert "under 'lock' cannot be pickled" in a[1][2]
    assert a[2][:2] == ["EXCEPTION", "a\n"] and "ZeroDivisionError" in a[2][2]


# ---------------------------------------------------------------------------
# Surface


def test_workers_and_dealing(ray_pool):
    import ray

    here = ray.get_runtime_context().get_node_id()
    assert list(ray_pool.procs) == ["Shared_0", "Shared_1"]
    for name, w in ray_pool.procs.items():
        assert (w.name, w.node_id) == (name, here) and w.pid > 0
        assert w.actor_id == w.actor._actor_id.hex()
    answers = ray_pool.map(["import os\nxreturn(pid=os.getpid())"] * 5)
    pids = [w.pid for w in ray_pool.procs.values()]
    assert [a[3]["pid"] for a in answers] == [pids[k % 2] for k in range(5)]
    assert ray_pool.map([]) == [] and ray_pool.map([], block=False) == []


def test_non_blocking_handles(ray_pool):
    from vantrel import cluster

    handles = ray_pool.map(
        ["import time\ntime.sleep(1.5)\nxreturn(k=0)", "xreturn(k=1)", "xreturn(k=2)"],
        block=False,
    )
    workers = list(ray_pool.procs.values())
    assert [(h.position, h.worker) for h in handles] == [(k, workers[k % 2]) for k in range(3)]
    assert handles[1].get(timeout=30)[3] == {"k": 1}
    with pytest.raises(TimeoutError, match="job 0 has no answer from worker Shared_0"):
        handles[0].get(timeout=0.05)
    assert [a[3]["k"] for a in cluster.reduce(handles)] == [0, 1, 2]
    assert handles[0].get() is handles[0].get()
    twice = ray_pool.map(["xreturn(k=3)"], block=False)
    assert [a[3] for a in cluster.reduce(twice * 2)] == [{"k": 3}] * 2

    class Plain:
        def get(self):
            return "plain"

    assert cluster.reduce([Plain(), handles[2]]) == ["plain", handles[2].get()]


def test_init_process_restarts_with_empty_namespaces(make_ray_pool):
    pool = make_ray_pool(2, "Restart")
    pool.map(["kept = 1"] * 2)
    old = [w.pid for w in pool.procs.values()]
    pool.N = 3
    pool.init_process()
    assert list(pool.procs) == ["Restart_0", "Restart_1", "Restart_2"]
    assert all(gone(pid) for pid in old)
    assert [a[0] for a in pool.map(["kept"] * 3)] == ["EXCEPTION"] * 3


def test_kill_all_ends_every_worker_process(make_ray_pool):
    pool = make_ray_pool(2)
    workers = list(pool.procs.values())
    pool.kill_all()
    assert pool.procs == {}
    assert all(gone(w.pid) for w in workers)
    with pytest.raises(RuntimeError, match="no workers: call init_process"):
        pool.map(["pass"])


@pytest.mark.parametrize(
    "job", ["import os\nos._exit(3)", "raise SystemExit(3)"], ids=["os._exit", "SystemExit"]
)
def test_job_that_ends_its_worker(make_ray_pool, job):
    pool = make_ray_pool(2, "Ends")
    w = pool.procs["Ends_1"]
    with pytest.raises(RuntimeError) as e:
        pool.map(["xreturn(a=1)", job, "xreturn(b=1)"])
    assert re.search(rf"worker Ends_1 \(pid {w.pid}\) on node {w.node_id} .* job 1\b", str(e.value))
    # Never restarted behind the caller's back: the next map says so again.
    with pytest.raises(RuntimeError, match="worker Ends_1 .* job 1\\b"):
        pool.map(["pass", "pass"])
    assert pool.map(["pass"])[0][0] == "SUCCESS"  # worker 0 goes on


@pytest.mark.parametrize(
    "job",
    ["raise KeyboardInterrupt", [{"x": RaisesWhenRead("KeyboardInterrupt")}]],
    ids=["raised", "unpickling"],
)
def test_job_raising_keyboard_interrupt_has_no_answer(ray_pool, job):
    # Never one of Ray's own exceptions, whichever way the answer is read.
    message = "job 1 raised KeyboardInterrupt in worker Shared_1"
    with pytest.raises(RuntimeError, match=message):
        ray_pool.map(["pass", job])
    with pytest.raises(RuntimeError, match=message):
        ray_pool.map(["pass", job], block=False)[1].get(timeout=60)
    assert ray_pool.map(["xreturn(k=0)", "xreturn(k=1)"])[1][3] == {"k": 1}


def test_worker_death_reported_while_earlier_jobs_run(make_ray_pool):
    pool = make_ray_pool(2, "Early")
    victim = pool.procs["Early_1"]
    timer = threading.Timer(1.0, os.kill, (victim.pid, signal.SIGKILL))
    timer.start()
    started = time.monotonic()
    try:
        with pytest.raises(RuntimeError, match="worker Early_1 .* job 1\\b"):
            pool.map(["import time\ntime.sleep(60)"] * 2)
    finally:
        timer.cancel()
    # Job 0 still runs: the error did not wait for its answer.
    assert time.monotonic() - started < 30


def test_argument_checks_as_a_local_pool(ray_pool):
    from vantrel import cluster, polyrun

    for args in [(1, 5), (1, None), ("2",)]:
        with pytest.raises(TypeError) as local:
            polyrun.MultiProcessPool(*args)
        with pytest.raises(TypeError) as remote:
            cluster.RayPool(*args)
        assert str(remote.value) == str(local.value)
    handle = ray_pool.map(["pass"], block=False)[0]
    with pytest.raises(ValueError, match="'timeout' must be a non-negative number"):
        handle.get(timeout=-1)
    with pytest.raises(TypeError, match="^timeout must be a number or None, not str$"):
        handle.get(timeout="x")
    assert handle.get(timeout=0.0 + 60)[0] == "SUCCESS"


def test_interrupted_map_leaves_the_pool_usable(ray_pool):
    slow = "import time\ntime.sleep(0.3)\nxreturn(old=1)"
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            ray_pool.map([slow] * 10)
    finally:
        timer.cancel()
    answers = ray_pool.map([f"xreturn(k={k})" for k in range(6)])
    assert [a[3] for a in answers] == [{"k": k} for k in range(6)]


# ---------------------------------------------------------------------------
# Options and start-up


def test_actor_options_reach_every_worker(make_ray_pool):
    pool = make_ray_pool(2, actor_options={"runtime_env": {"env_vars": {"VANTREL_TEST": "on"}}})
    answers = pool.map(["import os\nxreturn(v=os.environ.get('VANTREL_TEST'))"] * 2)
    assert [a[3]["v"] for a in answers] == ["on", "on"]


@pytest.mark.parametrize(
    "options",
    [
        {"max_restarts": 2},
        {"max_task_retries": 2},
        {"max_concurrency": 2},
        # Two workers made one actor, or a worker outliving its pool.
        {"name": "one"},
        {"name": "one", "get_if_exists": True},
        {"namespace": "elsewhere"},
        {"lifetime": "detached"},
    ],
    ids=lambda options: "+".join(options),
)
def test_options_that_would_break_the_pool_are_refused(ray_pool, options):
    import ray

    from vantrel import cluster

    with pytest.raises(ValueError, match=f"may not set {', '.join(sorted(options))}:"):
        cluster.RayPool(2, actor_options=options)
    assert not ray.util.list_named_actors(all_namespaces=True)


def missing_package(tmp_path):
    # Nodes whose Python finds another `vantrel` first, without this module.
    (tmp_path / "vantrel").mkdir()
    (tmp_path / "vantrel" / "__init__.py").write_text("")
    return {"runtime_env": {"env_vars": {"PYTHONPATH": str(tmp_path)}}}, 60.0


START_FAILURES = {
    "resources no node has": (
        lambda tmp_path: ({"resources": {"no_such_thing": 1}}, 2.0),
        r"Never_0: not started after 2.0 s; Never_1: not started",
    ),
    "vantrel missing on the node": (
        missing_package,
        r"Never_0: it failed to start: ModuleNotFoundError: No module named 'vantrel.cluster'",
    ),
}


@pytest.mark.parametrize("case", sorted(START_FAILURES))
def test_workers_that_cannot_start_are_reported_and_killed(ray_pool, case, tmp_path):
    import ray

    from vantrel import cluster

    make_options, message = START_FAILURES[case]
    options, timeout = make_options(tmp_path)
    before = ray.available_resources()
    with pytest.raises(RuntimeError, match=message):
        cluster.RayPool(2, "Never", actor_options=options, start_timeout=timeout)
    assert ray.available_resources().get("CPU") == before.get("CPU")


FRESH_CHECKS = {
    "without_ray": (
        "import sys\nsys.modules['ray'] = None\n"
        "from vantrel import cluster\n"
        "try:\n    cluster.RayPool(1)\nexcept ImportError as e:\n    print(e)\n",
        "vantrel.cluster needs Ray, which is not installed: pip install 'vantrel[ray]'",
    ),
    "from_a_thread": (
        "import threading, ray\nfrom vantrel import cluster\n"
        "def start():\n"
        "    try:\n        cluster.RayPool(1)\n"
        "    except RuntimeError as e:\n        print(e)\n"
        "t = threading.Thread(target=start)\nt.start()\nt.join()\n"
        "print('ray running:', ray.is_initialized())\n",
        "from a thread other than the main thread",
    ),
}


@pytest.mark.parametrize("case", sorted(FRESH_CHECKS))
def test_fresh_interpreter(case, tmp_path):
    code, expected = FRESH_CHECKS[case]
    result = run_program([sys.executable, "-c", code], cwd=tmp_path, timeout=60)
    assert result.returncode == 0, result.stderr
    assert expected in result.stdout
    assert "ray running: True" not in result.stdout


def test_from_a_thread_on_a_running_cluster(ray_pool, tmp_path):
    # Found as ray.init() finds it, here through RAY_ADDRESS.
    import ray

    code = (
        "import threading\nfrom vantrel import cluster\n"
        "def start():\n    pool = cluster.RayPool(1)\n"
        "    try:\n        print('answer:', pool.map(['xreturn(k=1)'])[0][3])\n"
        "    finally:\n        pool.kill_all()\n"
        "t = threading.Thread(target=start)\nt.start()\nt.join()\n"
    )
    env = {**os.environ, "RAY_ADDRESS": ray.get_runtime_context().gcs_address}
    result = run_program([sys.executable, "-c", code], cwd=tmp_path, timeout=60, env=env)
    assert result.returncode == 0, result.stderr
    assert "answer: {'k': 1}" in result.stdout, result.stderr[-3000:]


NOTEBOOK_CLASSES = """\
import numpy as np
from vantrel import cluster

class Point:
    def __init__(self, x):
        self.x = x

pool = cluster.RayPool(2, address={address!r})
try:
    answers = pool.map([[{{"p": Point(k)}}, "p.x *= 10\\nxreturn(p=p, same=type(p).__name__)"]
                        for k in range(1, 3)])
    print([a[0] for a in answers], [type(a[3]["p"]) is Point for a in answers],
          [a[3]["p"].x for a in answers])
finally:
    pool.kill_all()
"""


def test_classes_of_a_notebook_reach_the_workers(ray_pool, tmp_path, monkeypatch):
    import ray
    from test_jupyter import Kernel

    for var, sub in [("JUPYTER_DATA_DIR", "data"), ("JUPYTER_RUNTIME_DIR", "runtime")]:
        monkeypatch.setenv(var, str(tmp_path / sub))
    monkeypatch.setenv("IPYTHONDIR", str(tmp_path / "ipython"))
    kernel = Kernel(tmp_path)
    try:
        address = ray.get_runtime_context().gcs_address
        printed = kernel.ok(NOTEBOOK_CLASSES.format(address=address))
    finally:
        kernel.close()
    assert printed.strip().splitlines()[-1] == "['SUCCESS', 'SUCCESS'] [True, True] [10, 20]"


def test_benchmark_rows_run(tmp_path):
    # The Ray sections of `make bench`, at tiny sizes; speed is not asserted.
    bench = pathlib.Path(__file__).resolve().parent.parent / "bench" / "bench.py"
    only = "--only=ray_throughput,ray_payload"
    args = [sys.executable, str(bench), "--smoke", only, "--no-chart", "--out", str(tmp_path)]
    result = run_program(args, cwd=tmp_path, timeout=100)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    results = json.loads((tmp_path / "bench.json").read_text())
    for key in ("ray_throughput", "ray_payload"):
        rows = {r["key"]: r for r in results["sections"][key]["rows"]}
        assert set(rows) == {"ours", "plain_actors", "local_pool"}
        assert all(0 < r["median"] < math.inf for r in rows.values())
    ray_targets = [t for t in results["targets"] if t["area"] == "ray"]
    assert len(ray_targets) == 2 and all(t["value"] is not None for t in ray_targets)


# ---------------------------------------------------------------------------
# vantrel.futures on a RayPool


def test_futures_and_awaits_on_ray(make_ray_pool):
    import asyncio
    import concurrent.futures as cf

    from vantrel import futures

    pool = make_ray_pool(2, "Fut")
    pids = [w.pid for w in pool.procs.values()]
    slow = futures.submit(pool, "import time\ntime.sleep(1)\nxreturn(k='slow')", 0)
    quick = [futures.submit(pool, "import os\nxreturn(pid=os.getpid())") for _ in range(4)]
    assert {f.result(timeout=20)[3]["pid"] for f in quick} == {pids[1]}  # past the slow one
    assert not slow.done()
    queued = futures.submit(pool, "pass", 0)  # the second in flight: sent
    waiting = futures.submit(pool, "ran = 1", 0)
    assert waiting.cancel() and not queued.cancel()
    done, _ = cf.wait([slow], timeout=20)
    assert slow.result()[3] == {"k": "slow"}
    assert futures.submit(pool, "xreturn(r='ran' in globals())", 0).result(20)[3] == {"r": False}

    lost = futures.submit(pool, "raise KeyboardInterrupt", 1)
    with pytest.raises(RuntimeError, match="raised KeyboardInterrupt in worker Fut_1"):
        lost.result(timeout=20)

    async def gather():
        return await asyncio.gather(*(futures.asubmit(pool, f"xreturn(k={k})") for k in range(6)))

    assert [a[3]["k"] for a in asyncio.run(gather())] == list(range(6))
    answers = futures.map(pool, [f"xreturn(k={k})" for k in range(6)], progress=False)
    assert [a[3]["k"] for a in answers] == list(range(6))


def test_futures_time_limit_and_dead_worker_on_ray(make_ray_pool):
    from vantrel import futures

    pool = make_ray_pool(2, "Lim")
    futures.submit(pool, "state = 1", 0).result(timeout=20)
    old = pool.procs["Lim_0"]
    late = futures.submit(pool, "import time\ntime.sleep(60)", 0, time_limit=0.5)
    behind = futures.submit(pool, "xreturn(has=('state' in globals()))", 0)
    with pytest.raises(TimeoutError, match="fresh worker .* new, empty namespace"):
        late.result(timeout=60)
    assert behind.result(timeout=60)[3] == {"has": False}
    assert pool.procs["Lim_0"].pid != old.pid and gone(old.pid)
    assert pool.map(["xreturn(k=0)", "xreturn(k=1)"])[0][3] == {"k": 0}

    w = pool.procs["Lim_1"]
    doomed = futures.submit(pool, "import os\nos._exit(3)", 1)
    with pytest.raises(RuntimeError, match=rf"worker Lim_1 \(pid {w.pid}\) on node .* job"):
        doomed.result(timeout=30)
    assert futures.submit(pool, "xreturn(k=2)").result(timeout=20)[3] == {"k": 2}


# ---------------------------------------------------------------------------
# Data by name on a RayPool


@pytest.mark.parametrize("n", [1, 3])
def test_data_by_name_on_ray(make_ray_pool, n):
    pool = make_ray_pool(n)
    pool.push({"a": 1, "b": [2]})
    assert pool.pull(["a", "b"]) == [{"a": 1, "b": [2]}] * n
    pool.push({"only": n}, workers=[n - 1])
    assert pool.pull("only", default=None) == [None] * (n - 1) + [n]
    with pytest.raises(NameError, match=f"'nothing' is not defined in worker {pool.name_pref}_0"):
        pool.pull("nothing")
    with pytest.raises(TypeError) as caught:
        pool.push({"fine": 1, "lock": threading.Lock()})
    assert "'lock'" in " ".join(caught.value.__notes__)
    assert pool.pull("fine", default="absent") == ["absent"] * n

    # One object in Ray's store, read into memory of each worker's own.
    x = np.arange(400_000, dtype=np.int64)
    x.flags.writeable = False
    pool.broadcast("x", x)
    pool.map([f"x[:{k + 1}] = -1" for k in range(n)])
    assert [int((v < 0).sum()) for v in pool.pull("x")] == [k + 1 for k in range(n)]

    for array in (np.arange(3 * 1001.0).reshape(3, 1001), np.asfortranarray(np.ones((7, 5)))):
        for axis in (0, 1):
            pool.scatter("p", array, axis=axis)
            assert all(pool.map(["xreturn(w=p.flags.writeable)"] * n)[k][3]["w"] for k in range(n))
            assert np.array_equal(pool.gather("p", axis=axis), array)


SCRIPT_CLASSES = """\
from vantrel import cluster


class Point:
    def __init__(self, x):
        self.x = x

    def scaled(self, k):
        return Point(self.x * k)


def double(v):
    return 2 * v


if __name__ == "__main__":
    pool = cluster.RayPool(1, address={address!r})
    try:
        answer = pool.map([[{{"p": Point(3), "f": double}}, "xreturn(p=p.scaled(f(5)))"]])[0]
        pool.push({{"q": Point(4)}})
        print(answer[0], type(answer[3]["p"]) is Point, answer[3]["p"].x, pool.pull("q")[0].x)
    finally:
        pool.kill_all()
"""


def test_classes_of_a_script_reach_the_workers(ray_pool, tmp_path):
    import ray

    script = tmp_path / "script_classes.py"
    script.write_text(SCRIPT_CLASSES.format(address=ray.get_runtime_context().gcs_address))
    result = run_program([sys.executable, str(script)], cwd=tmp_path, timeout=90)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip().splitlines()[-1] == "SUCCESS True 30 4"


def test_setup_replayed_into_replacement_actors(make_ray_pool, tmp_path):
    from vantrel._pool.healing import SetupError

    pool = make_ray_pool(2, "Healing")
    assert pool.setup("base = 40")[0][0] == "SUCCESS"
    pool.setup("base += 2", worker=1)
    victim = list(pool.procs.values())[1]
    os.kill(victim.pid, signal.SIGKILL)
    deadline = time.monotonic() + 60
    while not (dead := pool.restart_dead()) and time.monotonic() < deadline:
        time.sleep(0.5)
    assert dead == [1] and list(pool.procs.values())[1].pid != victim.pid
    assert [a[3] for a in pool.map(["xreturn(b=base)"] * 2)] == [{"b": 40}, {"b": 42}]

    pool.auto_restart = True
    os.kill(list(pool.procs.values())[0].pid, signal.SIGKILL)
    time.sleep(1)  # Ray learns of the death
    assert [a[3] for a in pool.map(["xreturn(b=base)"] * 2)] == [{"b": 40}, {"b": 42}]

    pool.N = 3
    pool.init_process()
    assert [a[3] for a in pool.map(["xreturn(b=base)"] * 3)] == [{"b": 40}, {"b": 42}, {"b": 40}]
    needed = tmp_path / "needed"
    needed.touch()
    pool.setup(f"open({str(needed)!r}).close()", worker=2)
    needed.unlink()
    kept = dict(pool.procs)
    with pytest.raises(SetupError, match="FileNotFoundError") as info:
        pool.replace_worker(2)
    assert info.value.worker == 2 and pool.procs == kept


def test_status_of_a_ray_pool(make_ray_pool):
    """Rows name the node; a running job and its worker's memory show (the
    workers run on this machine); a replacement counts as a restart."""
    from vantrel import futures

    pool = make_ray_pool(2, "Seen")
    idle = pool.status()
    assert [(w.index, w.state, w.node) for w in idle] == [
        (0, "idle", pool.procs["Seen_0"].node_id),
        (1, "idle", pool.procs["Seen_1"].node_id),
    ]
    assert all(w.rss and w.rss > 0 for w in idle)
    busy = futures.submit(pool, "import time\ntime.sleep(1.5)", 1)
    deadline = time.monotonic() + 60
    while pool.status()[1].state != "running":
        assert time.monotonic() < deadline
        time.sleep(0.05)
    row = pool.status()[1]
    assert row.job == "import time" and row.running_for >= 0
    busy.result(timeout=60)
    pool.replace_worker(0)
    after = pool.status()
    assert [(w.state, w.restarts) for w in after] == [("idle", 1), ("idle", 0)]
    assert after[1].answered >= 1
    text = str(after)
    assert "Seen: 2 workers, 0 running" in text and "node" in text


def test_futures_retries_and_time_limit_replay_on_ray(make_ray_pool, tmp_path):
    from vantrel import futures

    pool = make_ray_pool(1, "Retried")
    pool.setup("base = 40")
    late = futures.submit(pool, "import time; time.sleep(60)", 0, time_limit=1.0)
    with pytest.raises(TimeoutError, match="with the pool's recorded set-up replayed$"):
        late.result(120)
    marker = tmp_path / "ran"
    job = (
        f"import os\nif not os.path.exists({str(marker)!r}):\n"
        f"    open({str(marker)!r}, 'w').close()\n    os.kill(os.getpid(), 9)\nxreturn(b=base)"
    )
    assert futures.submit(pool, job, 0, retries=1).result(120)[3] == {"b": 40}
