"""Reference leaks: repeating a call, successful or failing, must not grow memory."""

import gc
import queue
import signal
import sys

import pytest

from vantrel import monorun as m
from vantrel import polyrun as p


def leaked_blocks(call, repeat=2000):
    for _ in range(200):
        call()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(repeat):
        call()
    gc.collect()
    return sys.getallocatedblocks() - before


def raises(fn, *args, **kwargs):
    def call():
        try:
            fn(*args, **kwargs)
        except Exception:
            pass

    return call


class Done(BaseException):
    pass


class FakeQueues:
    """Feeds the job loop a fixed list of jobs, then ends it."""

    def __init__(self, jobs):
        self.jobs, self.answers = list(jobs), []

    def get(self, timeout):
        if not self.jobs:
            raise Done
        job = self.jobs.pop()
        if job is queue.Empty:
            raise queue.Empty
        return job

    def put(self, message):
        self.answers.append(message)


def run_loop(jobs):
    q = FakeQueues(jobs)
    saved = signal.getsignal(signal.SIGINT)
    try:
        m.monorun_main(None, q, q)
    except Done:
        pass
    finally:
        signal.signal(signal.SIGINT, saved)
    return q.answers


pc = m._HandleContent()


class BadStr:
    def __str__(self):
        raise ValueError


CALLS = {
    "xprint": lambda: (pc.clear(), pc.xprint("a", 1, [2], BadStr(), end="!")),
    "xprint bad end": raises(pc.xprint, "a", end=5),
    "xreturn": lambda: pc.xreturn(a=1, b=[2]),
    "too many positionals": raises(m.clear_queue, 1, 2),
    "missing with keywords": raises(m.monorun_main, "n", qo=1),
    "unexpected keyword": raises(m.clear_queue, q=1, zz=2),
    "multiple values": raises(m.clear_queue, 1, q=2),
    "reduce of a non-iterable": raises(p.reduce, 5),
    "clear_queue": lambda: m.clear_queue(queue.Queue()),
    "reduce": lambda: p.reduce([queue.Queue()] * 0),
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_calls_do_not_leak(call):
    assert leaked_blocks(call) < 20


def test_job_loop_does_not_leak():
    jobs = [
        "x = 1",
        ["y = x + 1", {"z": [1, 2]}, "xreturn(y=y)", 3, None],
        "xprint('p', end='')\n1 / 0",
        "def f(): return z\nf()",
        queue.Empty,
        "import queue\nqueue.Queue().get_nowait()",
        "raise KeyboardInterrupt",
        7,
        "syntax error here",
    ] * 20
    answers = run_loop(jobs)
    assert len(answers) == 140  # no answer for the timeout and the KeyboardInterrupt
    assert leaked_blocks(lambda: run_loop(jobs), repeat=20) < 50


def test_name_error_does_not_leak(monkeypatch):
    monkeypatch.delattr(m, "clear_queue")
    handle = m.SingleProcess.__new__(m.SingleProcess)
    handle.qo = queue.Queue()
    assert leaked_blocks(raises(handle.clear_output)) < 20
