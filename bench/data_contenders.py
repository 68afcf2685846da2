"""The data-by-name sections of the benchmark: a broadcast of a large array
beside the one-copy floor (writing its bytes once into /dev/shm), beside
pushing it to each worker in turn and beside multiprocessing.Pool; push and
pull of a small value beside one map of tiny jobs; the peak resident size of
a worker that receives a broadcast.

bench.py adds these sections to its own.
"""

import multiprocessing as mp
import os
import secrets

import numpy as np
import report
from contenders import Contender, end_pool, end_std_pool, expect, per_call_us

from vantrel import polyrun

KEYS = ("data_broadcast", "data_small", "data_memory")

SIZES = {
    "full": {"mb": 800, "rounds": 7, "calls": 300, "small_rounds": 15},
    "quick": {"mb": 80, "rounds": 3, "calls": 100, "small_rounds": 3},
    "smoke": {"mb": 2, "rounds": 1, "calls": 10, "small_rounds": 1},
}


_arrays = {}


def _array(mb):
    """One array of `mb` MB, shared by the rows of a run."""
    if mb not in _arrays:
        _arrays.clear()
        _arrays[mb] = np.arange(int(mb * 10**6) // 8, dtype=np.float64)
    return _arrays[mb]


def _renew(a):
    """Every page of `a` changed in place, untimed: what a row sends in a round
    is new data, which nothing it sent before can stand for."""
    a += 1.0


def _ms(call):
    return [per_call_us(call, 1)[0] / 1e3]


class OursBroadcast(Contender):
    key, ours = "ours", True

    def __init__(self, mb):
        self.label = "MultiProcessPool(2).broadcast"
        self.a = _array(mb)
        self.pool = polyrun.MultiProcessPool(2)

    def sample(self):
        self.pool.map(["x = None"] * 2)  # the last round's array goes first
        _renew(self.a)
        got = _ms(lambda: self.pool.broadcast("x", self.a))
        answers = self.pool.map(["xreturn(n=len(x))"] * 2)
        expect(all(a[3]["n"] == len(self.a) for a in answers), answers)
        return got

    def close(self):
        end_pool(self.pool)


class OnceIntoShm(Contender):
    key, label, ref = "once", "the same bytes written once into /dev/shm (pwrite)", "ours"

    def __init__(self, mb):
        self.a = _array(mb)

    def sample(self):
        _renew(self.a)
        path = f"/dev/shm/bench_{os.getpid()}_{secrets.token_hex(4)}"

        def write():
            fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
            try:
                view, done = memoryview(self.a).cast("B"), 0
                while done < view.nbytes:
                    done += os.pwrite(fd, view[done:], done)
            finally:
                os.close(fd)

        try:
            return _ms(write)
        finally:
            os.unlink(path)


class PushInTurn(Contender):
    ref = "ours"

    def __init__(self, mb, same=False):
        self.same = same
        if same:
            # An array of its own, never changed: sent again, it is compared
            # with what the segments hold and not written.
            self.key = "in_turn_same"
            self.label = "push in turn, the same unchanged array again (compared, not written)"
            self.a = _array(mb).copy()
        else:
            self.key, self.label = "in_turn", "push to each worker in turn (pool.push, workers=[k])"
            self.a = _array(mb)
        self.pool = polyrun.MultiProcessPool(2)

    def sample(self):
        self.pool.map(["x = None"] * 2)
        if not self.same:
            _renew(self.a)

        def each():
            for k in range(2):
                self.pool.push({"x": self.a}, workers=[k])

        return _ms(each)

    def close(self):
        end_pool(self.pool)


def _store(a):
    global _kept
    _kept = a
    return len(a)


def _drop(_):
    global _kept
    _kept = None


class StdPoolBroadcast(Contender):
    key, label, ref = "std_pool", "multiprocessing.Pool(2).map(store, [a, a], chunksize=1)", "ours"

    def __init__(self, mb):
        self.a = _array(mb)
        self.pool = mp.get_context("fork").Pool(2)

    def sample(self):
        self.pool.map(_drop, [0, 1], chunksize=1)
        _renew(self.a)
        got = _ms(lambda: self.pool.map(_store, [self.a, self.a], chunksize=1))
        return got

    def close(self):
        end_std_pool(self.pool)


class Small(Contender):
    """push or pull of a 1 KB value on 2 workers, one map of 2 tiny jobs, or
    the same push and pull written as maps."""

    KINDS = ("pull", "push", "map", "map_back", "map_dict")

    def __init__(self, kind, calls):
        self.kind, self.calls = kind, calls
        self.key, self.ours = kind, kind in ("pull", "push")
        self.ref = {"map": "pull", "map_back": "pull", "map_dict": "push"}.get(kind)
        self.label = {
            "pull": "pool.pull('v'): a 1 KB value from each of 2 workers",
            "push": "pool.push({'v': value}): a 1 KB value to each of 2 workers",
            "map": "pool.map(['pass'] * 2): one map of N tiny jobs",
            "map_back": "pool.map(['xreturn(v=v)'] * 2): the pull written as a map",
            "map_dict": "pool.map([[{'v': value}]] * 2): the push written as a map",
        }[kind]
        self.pool = polyrun.MultiProcessPool(2)
        self.value = b"v" * 1000
        self.pool.push({"v": self.value})

    def sample(self):
        call = {
            "pull": lambda: self.pool.pull("v"),
            "push": lambda: self.pool.push({"v": self.value}),
            "map": lambda: self.pool.map(["pass", "pass"]),
            "map_back": lambda: self.pool.map(["xreturn(v=v)"] * 2),
            "map_dict": lambda: self.pool.map([[{"v": self.value}]] * 2),
        }[self.kind]
        return per_call_us(call, self.calls)

    def close(self):
        end_pool(self.pool)


def _status_mib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            name, _, value = line.partition(":")
            if name == key:
                return int(value.split()[0]) / 1024
    raise KeyError(key)


def _anonymous_mib(pid):
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith("Anonymous:"):
                return int(line.split()[1]) / 1024
    raise KeyError("Anonymous")


class WorkerPeak(Contender):
    """One worker given a broadcast that it then reads whole (or writes
    whole): its peak resident size (VmHWM, reset just before) above what it
    held before, or the growth of its anonymous memory, the pages that are
    its own copy."""

    def __init__(self, mb, what):
        self.what = what
        self.key, self.ours, self.ref = what, True, None
        self.label = {
            "peak": "peak RSS growth: broadcast, then x.sum() over all of it",
            "own_read": "its own (anonymous) memory after that: nothing copied",
            "own_written": "its own memory after x += 1 instead (every page copied)",
        }[what]
        self.a = _array(mb)
        self.pool = polyrun.MultiProcessPool(2)

    def sample(self):
        self.pool.map(["x = None"] * 2)
        pid = next(iter(self.pool.procs))
        rss, own = _status_mib(pid, "VmRSS"), _anonymous_mib(pid)
        with open(f"/proc/{pid}/clear_refs", "w") as f:
            f.write("5")  # resets VmHWM
        self.pool.broadcast("x", self.a)
        job = "x += 1" if self.what == "own_written" else "s = float(x.sum())"
        self.pool.map([job] * 2)
        if self.what == "peak":
            return [_status_mib(pid, "VmHWM") - rss]
        return [max(0.0, _anonymous_mib(pid) - own)]  # freed pages are not a copy

    def close(self):
        end_pool(self.pool)


def sections(profile):
    s = SIZES[profile]
    mb, rounds, calls = s["mb"], s["rounds"], s["calls"]
    return [
        (
            "data_broadcast",
            f"Broadcast of a {mb:g} MB numpy array to 2 workers",
            "ms",
            "From the call until both workers hold the array. Ours writes it once into one"
            " file in /dev/shm that both workers map copy-on-write; the floor row writes the"
            " same bytes once into a new file there; pushing it to each worker in turn sends"
            " it through each worker's messages; `multiprocessing.Pool` pickles it for each"
            " worker through its pipes. Every page of the array is changed before each"
            " round (untimed), so each row moves new data; the last row pushes an array of"
            " its own that never changes, which each worker's reused segment already holds:"
            " its pages are compared and none is written.",
            [
                lambda: OursBroadcast(mb),
                lambda: OnceIntoShm(mb),
                lambda: PushInTurn(mb),
                lambda: StdPoolBroadcast(mb),
                lambda: PushInTurn(mb, same=True),
            ],
            rounds,
        ),
        (
            "data_small",
            "Push and pull of a 1 KB value on 2 workers",
            "µs per call",
            "One call of `pull` or `push` (one job to each worker, its answer read) beside"
            " one `map` of one tiny job per worker (a `'pass'` job and its empty answer take"
            " the path that needs no pickler), and beside the same pull and push written"
            " by hand as one `map` (values in the answer, a dict item in the job).",
            [lambda kind=kind: Small(kind, calls) for kind in Small.KINDS],
            s["small_rounds"],
        ),
        (
            "data_memory",
            f"Peak resident size of a worker given a {mb:g} MB broadcast",
            "MiB",
            "VmHWM of one worker, reset through `/proc/<pid>/clear_refs` before the broadcast,"
            " minus its resident size before it; and the growth of its anonymous memory"
            " (`/proc/<pid>/smaps_rollup`), the pages that are its own copy. Pages read are"
            " the shared segment's, counted once however many workers read them; a page"
            " written becomes the worker's own.",
            [
                lambda: WorkerPeak(mb, "peak"),
                lambda: WorkerPeak(mb, "own_read"),
                lambda: WorkerPeak(mb, "own_written"),
            ],
            rounds,
        ),
    ]


def targets(results):
    out = []

    def add(what, value, op, limit):
        out.append(report.target("data", what, value, op, limit))

    def medians(key):
        return report.medians(results, key)

    bc, small, mem = medians("data_broadcast"), medians("data_small"), medians("data_memory")
    if bc:
        add("broadcast ÷ one write into /dev/shm", bc["ours"] / bc["once"], "<=", 1.3)
        add("push to each in turn ÷ broadcast", bc["in_turn"] / bc["ours"], ">=", 2.0)
    if small:
        add("pull of 1 KB ÷ one map of N tiny jobs", small["pull"] / small["map"], "<=", 1.2)
        add("push of 1 KB ÷ one map of N tiny jobs", small["push"] / small["map"], "<=", 1.2)
    if mem:
        mb = results["sizes"].get("data_mb")
        if mb:
            size = mb * 1e6 / 2**20
            add("worker peak RSS ÷ broadcast size (read whole)", mem["peak"] / size, "<=", 1.1)
            add(
                "worker's own copy ÷ broadcast size (read whole)", mem["own_read"] / size, "<=", 0.1
            )
    return out
