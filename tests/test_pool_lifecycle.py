"""MultiProcessPool: starting, naming, restarting, draining and killing its workers."""

import itertools
import pathlib
import time
import types

import pytest

from vantrel import monorun, polyrun
from vantrel.polyrun import MultiProcessPool


@pytest.fixture
def started(monkeypatch):
    """Every handle a pool starts during the test, in start order; all killed at teardown."""
    handles = []

    def single_process(name):
        handles.append(monorun.SingleProcess(name))
        return handles[-1]

    monkeypatch.setattr(polyrun, "cs", types.SimpleNamespace(SingleProcess=single_process))
    yield handles
    for h in handles:
        if h.proc.is_alive():
            h.proc.kill()


def assert_all_dead(handles):
    for h in handles:
        h.proc.join(timeout=5)
        assert h.proc.exitcode is not None, f"worker {h.proc.pid} still running"


def titles(pids, expected):
    """The process titles of `pids`, once the workers have had a moment to set them."""
    deadline = time.monotonic() + 5
    while True:
        seen = [
            pathlib.Path(f"/proc/{p}/cmdline").read_bytes().split(b"\0")[0].decode() for p in pids
        ]
        if seen == expected or time.monotonic() > deadline:
            return seen
        time.sleep(0.02)


def test_empty_pool_starts_nothing(started):
    pool = MultiProcessPool(0)
    assert vars(pool) == {"N": 0, "procs": {}, "name_pref": "MultiProcessingPool"}
    pool.kill_all()
    pool.clear_output()
    assert pool.procs == {} and started == []


@pytest.mark.parametrize(
    "args, kwargs, names",
    [
        ((2,), {}, ["MultiProcessingPool_0", "MultiProcessingPool_1"]),
        ((), {"N": 1}, ["MultiProcessingPool_0"]),
        ((3, "abc"), {}, ["abc_0", "abc_1", "abc_2"]),
        ((1,), {"name_pref": "x"}, ["x_0"]),
    ],
)
def test_workers_keyed_by_pid_in_start_order_and_named(started, args, kwargs, names):
    pool = MultiProcessPool(*args, **kwargs)
    assert list(pool.procs.items()) == [(h.proc.pid, h) for h in started]
    assert titles(pool.procs, names) == names


def test_resize_kills_old_workers_before_starting_new_ones(started, monkeypatch):
    pool = MultiProcessPool(2, "r")
    old, start, running_at_start = list(started), polyrun.cs.SingleProcess, []

    def checking_start(name):
        for h in old:  # a killed worker ends at once; one left running makes join time out
            h.proc.join(timeout=2)
        running_at_start.append([h.proc.pid for h in old if h.proc.exitcode is None])
        return start(name)

    monkeypatch.setattr(polyrun.cs, "SingleProcess", checking_start)
    pool.N = 3
    assert pool.init_process() is None
    assert running_at_start == [[], [], []]
    assert list(pool.procs.items()) == [(h.proc.pid, h) for h in started[2:]]
    assert titles(pool.procs, ["r_0", "r_1", "r_2"]) == ["r_0", "r_1", "r_2"]


def test_kill_all_then_restart(started):
    pool = MultiProcessPool(2)
    assert pool.kill_all() is None and pool.procs == {}
    assert_all_dead(started)
    pool.kill_all()
    assert pool.procs == {}
    pool.init_process()
    assert list(pool.procs) == [h.proc.pid for h in started[2:]] and len(started) == 4
    assert all(h.proc.is_alive() for h in started[2:])


@pytest.mark.parametrize(
    "attr, value, same_error_as",
    [("N", 1.5, lambda: range(1.5)), ("name_pref", 5, lambda: 5 + "_")],
)
def test_bad_size_or_prefix(started, attr, value, same_error_as):
    with pytest.raises(TypeError) as expected:
        same_error_as()
    with pytest.raises(TypeError) as info:
        MultiProcessPool(**{"N": 1, "name_pref": "p", attr: value})
    assert str(info.value) == str(expected.value) and started == []
    # On a restart the old workers are already gone when the error comes.
    pool = MultiProcessPool(1)
    setattr(pool, attr, value)
    with pytest.raises(TypeError):
        pool.init_process()
    assert pool.procs == {}
    assert_all_dead(started)


def refusing_subclass(monkeypatch):
    class Refusing(MultiProcessPool):
        def init_process(self):
            MultiProcessPool.init_process(self)
            raise ValueError("refused")

    return lambda: Refusing(2)


def second_start_fails(monkeypatch):
    start, calls = polyrun.cs.SingleProcess, itertools.count(1)

    def flaky(name):
        if next(calls) == 2:
            raise ValueError("refused")
        return start(name)

    monkeypatch.setattr(polyrun.cs, "SingleProcess", flaky)
    return lambda: MultiProcessPool(3)


@pytest.mark.parametrize("setup, n_started", [(refusing_subclass, 2), (second_start_fails, 1)])
def test_failed_constructor_kills_the_workers_it_started(started, monkeypatch, setup, n_started):
    # No pool object reaches the caller, so nobody else could ever kill these workers.
    construct = setup(monkeypatch)
    with pytest.raises(ValueError, match="refused"):
        construct()
    assert len(started) == n_started
    assert_all_dead(started)


def test_clear_output_drops_answers_already_there(pool):
    handles = list(pool.procs.values())
    for h in handles:
        h.qi.put("xreturn(a=1)")
        h.qi.put("xprint('b')")
    deadline = time.monotonic() + 5
    while any(h.qo.qsize() < 2 for h in handles) and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.1)  # qsize counts puts; give the workers' feeder threads time to deliver
    assert pool.clear_output() is None
    assert all(h.qo.empty() for h in handles)


@pytest.mark.parametrize(
    "handle_attrs", [{"qo": None}, {}], ids=["handle with qo", "handle with only proc"]
)
def test_init_process_looks_up_cs_at_each_call(monkeypatch, handle_attrs):
    # Fake worker module: handles that only record their start and kill, no processes.
    log, pids = [], itertools.count(10_000)

    def fake_module(module_name):
        def single_process(name):
            pid = next(pids)
            log.append(("start", f"{module_name}:{name}", pid))
            kill = lambda: log.append(("kill", pid))
            return types.SimpleNamespace(
                proc=types.SimpleNamespace(pid=pid), kill=kill, **handle_attrs
            )

        return types.SimpleNamespace(SingleProcess=single_process)

    pool = MultiProcessPool(0, "f")
    for module_name in ("one", "two"):
        monkeypatch.setattr(polyrun, "cs", fake_module(module_name))
        pool.N = 2
        pool.init_process()
    assert log == [
        ("start", "one:f_0", 10_000),
        ("start", "one:f_1", 10_001),
        ("kill", 10_000),
        ("kill", 10_001),
        ("start", "two:f_0", 10_002),
        ("start", "two:f_1", 10_003),
    ]
    assert list(pool.procs) == [10_002, 10_003]
