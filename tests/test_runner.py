"""vantrel._runner runs jobs exactly as a worker's job loop does."""

import pickle
import signal

import pytest

from vantrel import _runner

# Jobs whose answers a worker and a runner must agree on, in one sequence (the
# namespace carries over from job to job).
CORPUS = [
    "x = 1",
    "xprint('x is', x)\nxreturn(x=x)",
    ["a = 2", {"b": 3}, 1, None, "xreturn(s=a+b)"],
    "xprint('before')\n1/0",
    "y = 5\ndef f():\n    return y\nxreturn(r=f())",
    ["y = 5\ndef f():\n    return y", "xreturn(r=f())"],
    42,
    {"xprint('from a dict key')": "ignored"},
    "import queue\nraise queue.Empty",
    "",
    [],
    "xprint('x', end=5)",
    "def broken(:\n    pass",
    "xreturn(big=list(range(1000)))",
]


def test_answers_match_a_worker(worker):
    runner = _runner.JobRunner()
    for job in CORPUS:
        assert runner.run(job) == worker.blocked_put(job), job


def test_interrupts_and_exits():
    runner = _runner.JobRunner()
    # A worker answers nothing for a job that raises KeyboardInterrupt.
    assert runner.run("raise KeyboardInterrupt") is None
    assert runner.run("xreturn(ok=1)") == ["SUCCESS", "", "", {"ok": 1}]
    # What ends a worker propagates.
    with pytest.raises(SystemExit):
        runner.run("raise SystemExit(3)")
    assert runner.run("xreturn(still=True)")[0] == "SUCCESS"


def test_unsendable_answer_keeps_what_pickles():
    error = pickle.PicklingError("cannot pickle")
    answer = ["SUCCESS", "printed\n", "", {"ok": 1, "bad": lambda: 0}]
    status, printed, info, values = _runner.unsendable_answer(answer, error)
    assert (status, printed, values) == ("EXCEPTION", "printed\n", {"ok": 1})
    assert "PicklingError: cannot pickle" in info and "'bad'" in info


class Refuses:
    def __init__(self, how):
        self.how = how

    def __reduce__(self):
        self.how()
        return int, (0,)


def interrupt():
    signal.raise_signal(signal.SIGINT)  # this process's own Ctrl-C, while pickling


def refuse(exc):
    def how():
        raise exc

    return how


@pytest.mark.parametrize(
    ("how", "outcome"),
    [
        (refuse(KeyboardInterrupt("mine")), None),  # the value's own: left out
        (refuse(ValueError("no")), None),
        (interrupt, KeyboardInterrupt),  # the process's: raised, not made a stand-in
        (refuse(MemoryError()), MemoryError),
    ],
)
def test_unsendable_answer_raises_what_is_not_the_values_own(how, outcome):
    error = pickle.PicklingError("cannot pickle")
    answer = ["SUCCESS", "", "", {"ok": 1, "bad": Refuses(how)}]
    if outcome is None:
        assert _runner.unsendable_answer(answer, error)[3] == {"ok": 1}
        return
    with pytest.raises(outcome):
        _runner.unsendable_answer(answer, error)
