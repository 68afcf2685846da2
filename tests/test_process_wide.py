"""MultiProcessNoRep: one pool per holder object, reused and resized instead of restarted."""

import types

import pytest

from vantrel import monorun, polyrun
from vantrel.polyrun import MultiProcessNoRep, MultiProcessPool

PREFIX = "NoRepeatProcessingPool"


@pytest.fixture
def started(monkeypatch):
    """Every worker handle started during the test; the class is reset and all are killed after."""
    handles = []

    def single_process(name):
        h = monorun.SingleProcess(name)
        handles.append(h)
        return h

    monkeypatch.setattr(polyrun, "cs", types.SimpleNamespace(SingleProcess=single_process))
    yield handles
    MultiProcessNoRep.builtin = None
    for h in handles:
        if h.proc.is_alive():
            h.proc.kill()


@pytest.fixture
def holder(started):
    h = types.SimpleNamespace()
    MultiProcessNoRep.set(h)
    return h


def test_create_reuse_and_resize(holder, started):
    assert MultiProcessNoRep.init_process(2) is None
    pool = holder.MPNR
    assert type(pool) is MultiProcessPool
    assert (pool.N, pool.name_pref) == (2, PREFIX)
    first_pids = list(pool.procs)
    assert first_pids == [h.proc.pid for h in started]

    # Same size: the very pool back, no process started or stopped.
    assert MultiProcessNoRep.init_process(2) is pool
    assert MultiProcessNoRep.init_process(n=2.0) is pool
    assert list(pool.procs) == first_pids and len(started) == 2
    assert pool.N == 2 and type(pool.N) is int

    # Another size: the same pool object, every worker replaced.
    assert MultiProcessNoRep.init_process(3) is pool
    assert holder.MPNR is pool and pool.N == 3 and pool.name_pref == PREFIX
    assert list(pool.procs) == [h.proc.pid for h in started[2:]] and len(started) == 5
    for h in started[:2]:
        h.proc.join(timeout=5)
        assert h.proc.exitcode is not None
    assert pool.map(["xreturn(i=0)", "xreturn(i=1)", "xreturn(i=2)"])[2][3] == {"i": 2}


def test_killed_pool_is_handed_out_again_without_restart(holder, started):
    MultiProcessNoRep.init_process(1)
    holder.MPNR.kill_all()
    assert MultiProcessNoRep.init_process(1) is holder.MPNR
    assert holder.MPNR.procs == {} and len(started) == 1


def test_second_holder_gets_a_second_pool(holder, started):
    MultiProcessNoRep.init_process(1)
    other = types.SimpleNamespace()
    assert MultiProcessNoRep.set(builtin=other) is None
    assert MultiProcessNoRep.builtin is other
    assert MultiProcessNoRep.init_process(1) is None
    assert other.MPNR is not holder.MPNR
    assert list(holder.MPNR.procs) == [started[0].proc.pid]
    assert list(other.MPNR.procs) == [started[1].proc.pid]


class Touchy:
    """A holder whose attributes cannot be read: `error` is raised instead."""

    def __init__(self, error):
        object.__setattr__(self, "error", error)

    def __getattr__(self, name):
        raise self.error


@pytest.mark.parametrize("error", [AttributeError("MPNR"), RuntimeError("no MPNR here")])
def test_holder_whose_pool_read_fails_counts_as_empty(started, error):
    h = Touchy(error)
    MultiProcessNoRep.set(h)
    assert MultiProcessNoRep.init_process(1) is None
    assert type(h.MPNR) is MultiProcessPool and h.MPNR.N == 1


@pytest.mark.parametrize("error", [MemoryError(), KeyboardInterrupt()])
def test_caller_trouble_reading_the_pool_is_raised_and_starts_nothing(started, error):
    # Taken for "no pool", an interrupt or a MemoryError would start a second
    # pool beside the first, whose workers nobody could reach then.
    h = Touchy(error)
    MultiProcessNoRep.set(h)
    with pytest.raises(type(error)):
        MultiProcessNoRep.init_process(1)
    assert started == [] and "MPNR" not in vars(h)


class Sealed:
    __slots__ = ()


@pytest.mark.parametrize("target", [None, Sealed()], ids=["no holder", "read-only holder"])
def test_pool_that_cannot_be_stored_leaves_no_worker_running(started, target):
    MultiProcessNoRep.set(target)
    with pytest.raises(AttributeError, match="MPNR"):
        MultiProcessNoRep.init_process(2)
    assert MultiProcessNoRep.builtin is target
    assert not hasattr(target, "MPNR")
    # Stored nowhere, so the workers must already be gone.
    assert len(started) == 2
    for h in started:
        h.proc.join(timeout=5)
        assert h.proc.exitcode is not None, f"worker {h.proc.pid} left running"


@pytest.mark.parametrize("n, restarted", [(4, False), (4.0, False), (5, True)])
def test_stored_object_is_taken_as_the_pool(started, n, restarted):
    # Whatever sits under MPNR is the pool: compared through N, restarted through init_process.
    calls = []
    stored = types.SimpleNamespace(N=4, init_process=lambda: calls.append("restart"))
    MultiProcessNoRep.set(types.SimpleNamespace(MPNR=stored))
    assert MultiProcessNoRep.init_process(n) is stored
    assert calls == (["restart"] if restarted else [])
    assert stored.N == (n if restarted else 4)
    assert started == []


NOTEBOOK = """
import builtins
from vantrel.polyrun import MultiProcessNoRep

CELL = "MultiProcessNoRep.set(builtins)\\nresult = MultiProcessNoRep.init_process(2)\\n"
ns = {"builtins": builtins, "MultiProcessNoRep": MultiProcessNoRep}

exec(CELL, ns)
assert ns["result"] is None
pids = list(MPNR.procs)

exec(CELL, ns)
assert ns["result"] is MPNR and list(MPNR.procs) == pids and MPNR.N == 2
answers = MPNR.map(["import os; xreturn(pid=os.getpid())"] * 2)
assert [a[3]["pid"] for a in answers] == pids, answers
MPNR.kill_all()
print("one pool", len(pids))
"""


def test_cell_run_twice_in_a_real_interpreter_shares_one_pool(run_python):
    run = run_python(NOTEBOOK)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "one pool 2\n"
