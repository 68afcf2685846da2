"""Odd input of every kind ends in an answer or a clear Python exception.

`make fuzz` runs these with many more examples (HYPOTHESIS_PROFILE=fuzz).
"""

import multiprocessing
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vantrel import polyrun


class Text(str):
    pass


class Key(int):
    def __hash__(self):
        return 7


scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(),
    st.binary(max_size=20),
    st.text(max_size=20),
    st.text(alphabet="xy=1+() \n", max_size=20).map(Text),
    st.sampled_from(["", "pass", "xreturn(k=1)", "xprint(1, end=None)", "1/0", "import sys"]),
)
odd_keys = st.one_of(st.text(max_size=5), st.integers(), st.tuples(st.integers()), st.none())
messages = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.lists(inner, max_size=4).map(tuple),
        st.dictionaries(odd_keys, inner, max_size=3),
        st.dictionaries(st.integers(), inner, max_size=3).map(
            lambda d: {Key(k): v for k, v in d.items()}
        ),
        st.lists(inner, max_size=3).map(lambda items: (item for item in items)),
    ),
    max_leaves=12,
)


def is_answer(answer):
    status, printed, info, values = answer
    return status in ("SUCCESS", "EXCEPTION") and isinstance(printed, str)


@settings(deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(message=messages)
def test_any_job_message_gets_an_answer(worker, message):
    assert is_answer(worker.blocked_put(message))


@pytest.mark.parametrize(
    "name", ["w\x00nul", "x" * 100_000, "ünïcødé ☃", 1, b"bytes", ["list"], 0.5]
)
def test_odd_worker_names(make_worker, name):
    h = make_worker(name)
    try:
        answer = h.blocked_put("xreturn(a=1)")
    except RuntimeError as e:  # the worker refused the title and ended
        assert "ended (exit code 1)" in str(e)
    else:
        assert answer == ["SUCCESS", "", "", {"a": 1}]


@pytest.mark.parametrize(
    "n, prefix, error",
    [
        (1.5, "p", TypeError),
        ("2", "p", TypeError),
        (None, "p", TypeError),
        (-3, "p", None),
        (True, "p", None),
        (1, 7, TypeError),
        (1, b"p", TypeError),
        (1, "p\x00q", None),
        (1, "é" * 5000, None),
    ],
)
def test_odd_pool_sizes_and_prefixes(make_pool, n, prefix, error):
    if error:
        with pytest.raises(error):
            make_pool(n, prefix)
        return
    pool = make_pool(n, prefix)
    assert len(pool.procs) == max(int(n), 0)
    try:
        answers = pool.map(["xreturn(a=1)"] * len(pool.procs))
    except RuntimeError as e:
        assert "ended (exit code 1)" in str(e)
    else:
        assert answers == [["SUCCESS", "", "", {"a": 1}]] * len(pool.procs)


class Unstorable(Exception):
    pass


class Holder:
    def __init__(self, read_error, write_error):
        object.__setattr__(self, "errors", (read_error, write_error))

    def __getattr__(self, name):
        raise self.errors[0]

    def __setattr__(self, name, value):
        if self.errors[1]:
            raise self.errors[1]
        object.__setattr__(self, name, value)


@pytest.fixture
def shared():
    yield polyrun.MultiProcessNoRep
    polyrun.MultiProcessNoRep.builtin = None


@pytest.mark.parametrize(
    "read_error", [AttributeError("no"), KeyError("MPNR"), RuntimeError(), SystemExit(3)]
)
@pytest.mark.parametrize("write_error", [None, Unstorable("read only")])
def test_holders_whose_attributes_raise(shared, read_error, write_error):
    shared.set(Holder(read_error, write_error))
    if isinstance(read_error, MemoryError) or not isinstance(read_error, Exception):
        # The caller's own trouble (an interrupt, no memory) is raised, never
        # taken for "no pool"; a holder's ordinary exception means no pool.
        before = {p.pid for p in multiprocessing.active_children()}
        with pytest.raises(type(read_error)):
            shared.init_process(1)
        assert {p.pid for p in multiprocessing.active_children()} == before
        return
    if write_error is None:
        assert shared.init_process(1) is None
        pool = shared.builtin.MPNR
        pool.kill_all()
        return
    before = {p.pid for p in multiprocessing.active_children()}
    with pytest.raises(Unstorable):
        shared.init_process(1)
    deadline = time.monotonic() + 5
    while {p.pid for p in multiprocessing.active_children()} - before:
        assert time.monotonic() < deadline, "the unstored pool's worker still runs"
        time.sleep(0.05)
