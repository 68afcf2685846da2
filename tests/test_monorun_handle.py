"""SingleProcess and clear_queue: real workers where the process matters, fakes elsewhere."""

import multiprocessing
import multiprocessing.queues
import os
import pathlib
import queue
import signal
import time
import types

import pytest

import vantrel.monorun as m


def test_constructor_failure_leaves_what_was_set(monkeypatch):
    monkeypatch.setattr(m, "mp", types.SimpleNamespace(Queue=list, Process=None))
    h = m.SingleProcess.__new__(m.SingleProcess)
    with pytest.raises(TypeError):
        h.__init__("w0")
    assert vars(h) == {"qi": [], "qo": []}


class CountingQueue(queue.Queue):
    def get(self, *args, **kwargs):
        self.gets = getattr(self, "gets", 0) + 1
        return super().get(*args, **kwargs)


def test_clear_queue():
    assert m.clear_queue(multiprocessing.Queue()) is None
    q = CountingQueue()
    for item in "abc":
        q.put(item)
    assert m.clear_queue(q) is None and q.empty() and q.gets == 3
    answers, got = iter([0, 0, (1,)]), []
    fake = types.SimpleNamespace(empty=lambda: next(answers), get=lambda: got.append(1))
    assert m.clear_queue(fake) is None and got == [1, 1]

    class Undecided:
        def __bool__(self):
            raise ValueError("no truth")

    with pytest.raises(ValueError, match="no truth"):
        m.clear_queue(types.SimpleNamespace(empty=Undecided))


def test_worker_round_trips(worker):
    assert list(vars(worker)) == ["qi", "qo", "proc"] and worker.proc.is_alive()
    assert type(worker.qi) is type(worker.qo) is multiprocessing.queues.Queue
    assert worker.blocked_put("x = 1") == ["SUCCESS", "", "", {}]
    assert worker.blocked_put("xprint(x)") == ["SUCCESS", "1\n", "", {}]
    status, printed, tb, returned = worker.blocked_put(["xprint('a')", "def f(): 1/0", "f()"])
    assert (status, printed, returned) == ("EXCEPTION", "a\n", {})
    assert tb.count('File "<string>"') == 2 and tb.endswith("ZeroDivisionError: division by zero\n")
    # Longer than the answer wait polls: a live worker is waited for.
    job = "import time; time.sleep(0.5); xreturn(a=1, pid=__import__('os').getpid())"
    assert worker.blocked_put(job) == ["SUCCESS", "", "", {"a": 1, "pid": worker.proc.pid}]


def test_answers_pair_with_jobs_only_after_clear_output(worker):
    worker.qi.put("xprint(1)")
    assert worker.blocked_put("xprint(2)")[1] == "1\n"
    while worker.qo.empty():
        time.sleep(0.01)
    assert worker.clear_output() is None and worker.clear_output() is None
    assert worker.blocked_put("xprint(3)")[1] == "3\n"


def cmdline(pid):
    return pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().rstrip(b"\0").split(b"\0")


@pytest.mark.parametrize("args, kwargs", [((), {}), (("w0",), {}), ((), {"name": "w0"})])
def test_process_title(make_worker, args, kwargs):
    h = make_worker(*args, **kwargs)
    assert list(vars(h)) == ["qi", "qo", "proc"]
    # Start-up is over once a job is answered. Unnamed, a worker keeps the
    # command line of the process it was forked from: this one, or a forkserver.
    parent = h.blocked_put("import os; xreturn(parent=os.getppid())")[3]["parent"]
    expected = [b"w0"] if args or kwargs else cmdline(parent)
    assert cmdline(h.proc.pid)[: len(expected)] == expected


def test_sigint_leaves_worker_and_namespace_alive(worker):
    worker.blocked_put("kept = 1")
    worker.qi.put("import time; time.sleep(0.2); xreturn(a=kept)")
    os.kill(worker.proc.pid, signal.SIGINT)
    assert worker.qo.get(timeout=30) == ["SUCCESS", "", "", {"a": 1}]
    os.kill(worker.proc.pid, signal.SIGINT)
    answer = worker.blocked_put("import vantrel.monorun as m; xreturn(stop=m.stop, kept=kept)")
    assert answer == ["SUCCESS", "", "", {"stop": True, "kept": 1}] and worker.proc.is_alive()


def test_kill(worker):
    assert worker.kill() is None and worker.kill() is None
    worker.proc.join(10)
    assert worker.proc.exitcode == -signal.SIGKILL
    assert worker.kill() is None and list(vars(worker)) == ["qi", "qo", "proc"]


@pytest.mark.parametrize("ending, code", [(None, -9), ("raise SystemExit(3)", 3)])
def test_dead_worker_raises_instead_of_waiting(worker, ending, code):
    worker.qi.put("xreturn(before=1)")
    if ending is None:
        assert worker.qo.get(timeout=30)[3] == {"before": 1}
        worker.proc.kill()
    else:
        # An answer that is already on its way is handed out before the error.
        assert worker.blocked_put(ending)[3] == {"before": 1}
    for _ in range(2):
        with pytest.raises(RuntimeError, match=rf"\b{worker.proc.pid}\b.*exit code {code}\b"):
            worker.blocked_put("xreturn(after=1)")


def test_replaced_queue_or_process_keeps_plain_get(worker):
    real_qo, real_proc = worker.qo, worker.proc
    worker.qo = plain = queue.Queue()
    plain.put("waiting")
    assert worker.blocked_put("xreturn(n=1)") == "waiting"
    worker.qo = real_qo
    assert worker.qo.get(timeout=30)[3] == {"n": 1}
    worker.proc = types.SimpleNamespace()
    try:
        assert worker.blocked_put("xreturn(n=2)")[3] == {"n": 2}
    finally:
        worker.proc = real_proc


@pytest.mark.parametrize("method", ["spawn", "forkserver"])
def test_other_start_methods(monkeypatch, make_worker, method):
    monkeypatch.setattr(m, "mp", multiprocessing.get_context(method))
    h = make_worker("w_" + method)
    assert isinstance(h.proc, multiprocessing.get_context(method).Process)
    job = ["import os", "xreturn(x=2, parent=os.getppid())"]
    answer = h.blocked_put(job)
    assert answer[:3] == ["SUCCESS", "", ""] and answer[3]["x"] == 2
    assert (answer[3]["parent"] == os.getpid()) == (method == "spawn")
    assert cmdline(h.proc.pid)[0] == b"w_" + method.encode()
