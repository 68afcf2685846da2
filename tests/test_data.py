"""Data by name on local pools: push, pull, broadcast, scatter and gather with
real workers; what is left in /dev/shm after failures, kills and interrupts;
the same calls under every start method."""

import json
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from programs import Watch, run_program

SHM = pathlib.Path("/dev/shm")


def segments(pid=None):
    """This project's broadcast and scatter segments (of caller `pid`)."""
    start = "vantrel_data_" if pid is None else f"vantrel_data_{pid}_"
    return sorted(p.name for p in SHM.iterdir() if p.name.startswith(start))


def worker_values(pool, source):
    return [a[3] for a in pool.map([source] * len(pool.procs))]


class Dies:
    """Ends the process that unpickles it."""

    def __reduce__(self):
        return (os._exit, (3,))


class FailsToLoad:
    def __reduce__(self):
        return (int, ("not a number",))


class Unpicklable:
    def __reduce__(self):
        raise ValueError("refuses to pickle")


@pytest.mark.parametrize("n", [1, 2, 3])
def test_each_call_on_pools_of_one_to_three(make_pool, n):
    pool = make_pool(n)
    pool.push({"a": 1, "b": [2, 3]})
    assert pool.pull("a") == [1] * n
    assert pool.pull(["b", "a"]) == [{"b": [2, 3], "a": 1}] * n
    pool.push({"only": "last"}, workers=[n - 1])
    assert pool.pull("only", default=None) == [None] * (n - 1) + ["last"]
    assert pool.pull("only", workers=n - 1) == ["last"]
    # Per worker, in the order asked for.
    pool.map([f"k = {k}" for k in range(n)])
    assert pool.pull("k", workers=list(reversed(range(n)))) == list(reversed(range(n)))

    x = np.arange(300_000, dtype=np.float64)  # 2.4 MB: through one segment
    pool.broadcast("x", x)
    pool.broadcast("small", {"v": 1})
    assert (
        worker_values(pool, "xreturn(s=float(x.sum()), v=small['v'])")
        == [{"s": float(x.sum()), "v": 1}] * n
    )

    pool.scatter("part", np.arange(10 * n + 1))
    sizes = [v["len"] for v in worker_values(pool, "xreturn(len=len(part))")]
    assert sizes == [11] + [10] * (n - 1)
    assert pool.gather("part").tolist() == list(range(10 * n + 1))
    assert segments(os.getpid()) == []


def test_the_process_wide_pool_has_them(tmp_path):
    code = (
        "import types\nimport numpy as np\nfrom vantrel import polyrun\n"
        "holder = types.SimpleNamespace()\npolyrun.MultiProcessNoRep.set(holder)\n"
        "polyrun.MultiProcessNoRep.init_process(2)\n"
        "try:\n"
        "    holder.MPNR.broadcast('x', np.ones(300_000))\n"
        "    holder.MPNR.scatter('p', np.arange(5))\n"
        "    pool = holder.MPNR\n"
        "    print([float(v.sum()) for v in pool.pull('x')], pool.gather('p').tolist())\n"
        "finally:\n    holder.MPNR.kill_all()\n"
    )
    done = run_program(code, cwd=tmp_path, timeout=60)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.strip() == "[300000.0, 300000.0] [0, 1, 2, 3, 4]"


def test_arguments_checked_before_anything_is_sent(pool):
    pool.push({"x": 0})
    with pytest.raises(IndexError, match="out of range"):
        pool.push({"x": 1}, workers=[0, 2])
    with pytest.raises(ValueError, match="named twice"):
        pool.pull("x", workers=[1, 1])
    with pytest.raises(TypeError, match="str"):
        pool.push({1: "x"})
    with pytest.raises(TypeError, match="dict"):
        pool.push([("x", 1)])
    with pytest.raises(ValueError, match="out of bounds"):
        pool.scatter("x", np.zeros((2, 2)), axis=2)
    with pytest.raises(ValueError, match="at least one dimension"):
        pool.scatter("x", np.float64(1.0))
    assert pool.pull("x") == [0, 0]
    assert pool.push({}) is None and pool.pull("x", workers=[]) == []


def test_push_is_all_or_nothing(pool):
    lock = threading.Lock()
    with pytest.raises(TypeError) as caught:
        pool.push({"fine": 1, "lock": lock, "after": 2})
    assert "'lock'" in " ".join(caught.value.__notes__)
    # The pickling error itself, unchanged.
    with pytest.raises(ValueError, match="refuses to pickle") as caught:
        pool.push({"fine": 1, "bad": Unpicklable()})
    assert "'bad'" in " ".join(caught.value.__notes__)
    assert (
        pool.pull(["fine", "after"], default="absent")
        == [{"fine": "absent", "after": "absent"}] * 2
    )
    assert pool.pull("x", default=None) == [None, None]


def test_pull_of_a_missing_name(pool):
    pool.push({"here": 1}, workers=[0])
    pid = list(pool.procs)[1]
    with pytest.raises(NameError, match=rf"'here' is not defined in worker 1 \(pid {pid}\)") as e:
        pool.pull("here")
    assert e.value.name == "here"
    assert pool.pull(["here"], default=0) == [{"here": 1}, {"here": 0}]
    # A value that cannot travel back raises naming its worker.
    pool.map(["import threading\nlock = threading.Lock()"] * 2)
    with pytest.raises(RuntimeError, match="pull failed in worker 0"):
        pool.pull("lock")


def test_broadcast_is_writable_and_private_per_worker(make_pool):
    pool = make_pool(3)
    x = np.arange(1_000_000, dtype=np.int64)
    frozen = x.copy()
    frozen.flags.writeable = False
    pool.broadcast("x", {"a": x, "frozen": frozen, "raw": bytearray(2**21)})
    pool.map([f"x['a'][:{k + 1}] = -1\nx['frozen'][0] = {k}\nx['raw'][0] = {k}" for k in range(3)])
    seen = worker_values(
        pool, "xreturn(neg=int((x['a'] < 0).sum()), f=int(x['frozen'][0]), r=x['raw'][0])"
    )
    assert seen == [{"neg": k + 1, "f": k, "r": k} for k in range(3)]
    assert (x >= 0).all()  # nor did the caller's copy change
    # Mapped from a file, not copied into each worker's own memory.
    maps = worker_values(
        pool,
        "import ctypes\naddress = x['a'].ctypes.data\n"
        "xreturn(m=[l for l in open('/proc/self/maps') "
        "if int(l.split('-')[0], 16) <= address < int(l.split()[0].split('-')[1], 16)])",
    )
    assert all("vantrel_data_" in v["m"][0] for v in maps)
    assert segments(os.getpid()) == []


DTYPES = [np.int8, np.uint16, np.float32, np.float64, np.complex128, np.bool_, "M8[s]"]


@pytest.mark.parametrize("dtype", DTYPES)
def test_scatter_gather_round_trip(make_pool, dtype):
    pool = make_pool(3)
    rng = np.random.default_rng(5)
    base = (rng.random((37, 11, 700)) * 100).astype(np.int64).astype(dtype)
    for array in (base, np.asfortranarray(base), base[:, ::2, 1:]):
        for axis in (0, 1, 2, -2):
            pool.scatter("p", array, axis=axis)
            parts = worker_values(pool, "xreturn(s=p.shape, w=p.flags.writeable)")
            lengths = [v["s"][axis] for v in parts]
            assert sorted(lengths, reverse=True) == lengths and max(lengths) - min(lengths) <= 1
            assert all(v["w"] for v in parts)
            back = pool.gather("p", axis=axis)
            assert back.dtype == array.dtype and np.array_equal(back, array)
    assert segments(os.getpid()) == []


def test_scatter_of_small_object_and_short_arrays(make_pool):
    pool = make_pool(3)
    for array in (np.arange(2), np.array(["a", None, 3, 4.0], dtype=object), np.zeros((0, 4))):
        pool.scatter("p", array)
        assert pool.gather("p").tolist() == array.tolist()
    pool.scatter("p", [[1, 2], [3, 4], [5, 6], [7, 8]], axis=1)
    assert pool.pull("p")[2].shape == (4, 0)
    assert pool.gather("p", axis=1).tolist() == [[1, 2], [3, 4], [5, 6], [7, 8]]


def test_a_worker_that_fails_or_dies_in_a_broadcast_leaves_no_segment(pool):
    big = np.ones(400_000)
    with pytest.raises(RuntimeError, match=r"broadcast failed in worker 0 .*ValueError"):
        pool.broadcast("x", (big, FailsToLoad()))
    assert segments(os.getpid()) == []
    with pytest.raises(RuntimeError, match="ended"):
        pool.broadcast("x", (big, Dies()))
    assert segments(os.getpid()) == []
    for k in range(2):
        pool.replace_worker(k)
    pool.broadcast("x", big)
    assert worker_values(pool, "xreturn(s=float(x.sum()))") == [{"s": 400_000.0}] * 2
    assert segments(os.getpid()) == []


INTERRUPTED = r"""
import os, random, signal, sys
import numpy as np
from vantrel import polyrun

pool = polyrun.MultiProcessPool(2)
try:
    big = np.arange(1_500_000, dtype=np.float64)
    interrupted = 0
    random.seed(int(sys.argv[1]))
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    for attempt in range(40):
        try:
            signal.setitimer(signal.ITIMER_REAL, random.uniform(0.0005, 0.03))
            if attempt % 2:
                pool.scatter("x", big)
            else:
                pool.broadcast("x", big)
            signal.setitimer(signal.ITIMER_REAL, 0)
        except KeyboardInterrupt:
            interrupted += 1
        signal.setitimer(signal.ITIMER_REAL, 0)
        left = [n for n in os.listdir("/dev/shm") if n.startswith(f"vantrel_data_{os.getpid()}_")]
        assert left == [], left
        # Every later call pairs its answers with its own jobs.
        pool.push({"k": attempt})
        assert pool.pull("k") == [attempt, attempt]
    print(interrupted)
finally:
    pool.kill_all()
"""


def test_interrupts_leave_nothing_half_done(tmp_path):
    done = run_program([sys.executable, "-c", INTERRUPTED, "7"], cwd=tmp_path, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    assert int(done.stdout) > 0


KILLED_CALLER = r"""
import os, sys
import numpy as np
from vantrel import polyrun

pool = polyrun.MultiProcessPool(2)
print(" ".join(str(p) for p in pool.procs), flush=True)
big = np.ones(20_000_000 // 8)
while True:
    pool.broadcast("x", big)
"""


def test_a_caller_killed_mid_broadcast_leaves_nothing(tmp_path):
    proc = subprocess.Popen(
        [sys.executable, "-c", KILLED_CALLER],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )
    try:
        workers = Watch(int(p) for p in proc.stdout.readline().split())
        deadline = time.monotonic() + 20
        while not segments(proc.pid) and time.monotonic() < deadline:
            time.sleep(0.001)
        assert segments(proc.pid), "no broadcast seen in flight"
        proc.kill()
        proc.wait()
        # The workers notice their caller is gone; the resource tracker they
        # shared with it then removes what is left.
        assert workers.wait_ended(20) == []
        deadline = time.monotonic() + 20
        while segments(proc.pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert segments(proc.pid) == []
    finally:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


UNDER_METHOD = r"""
import json, multiprocessing, sys
import numpy as np
from vantrel import polyrun


class Box:
    def __init__(self, v):
        self.v = v


def main():
    multiprocessing.set_start_method(sys.argv[1], force=True)
    pool = polyrun.MultiProcessPool(2)
    try:
        pool.push({"box": Box(3), "n": 1})
        out = {"pull": [b.v for b in pool.pull("box")]}
        pool.broadcast("x", np.arange(500_000.0))
        pool.map(["x[0] = 99"] * 1)
        out["private"] = [float(v[0]) for v in pool.pull("x")]
        a = np.asfortranarray(np.arange(3 * 200_001).reshape(3, 200_001))
        pool.scatter("p", a, axis=1)
        out["round_trip"] = bool((pool.gather("p", axis=1) == a).all())
        print(json.dumps(out))
    finally:
        pool.kill_all()


if __name__ == "__main__":
    main()
"""


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_under_every_start_method(tmp_path, method):
    script = tmp_path / "data_calls.py"
    script.write_text(UNDER_METHOD)
    done = run_program([sys.executable, str(script), method], cwd=tmp_path, timeout=90)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stderr == ""
    assert json.loads(done.stdout) == {"pull": [3, 3], "private": [99.0, 0.0], "round_trip": True}
