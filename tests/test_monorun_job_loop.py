"""monorun_main driven in this process through fake queues: job items, namespace, failures."""

import builtins
import queue
import signal
import sys
import traceback
import types

import pytest
from programs import MANY_LINES

import vantrel.monorun as m


class Stop(BaseException):
    """Ends a loop under test: no handler of the loop catches it."""


class Raise:
    def __init__(self, exc):
        self.exc = exc


class FakeQueues:
    """qi and qo in one: hands out the jobs, then ends the loop; keeps every answer."""

    def __init__(self, jobs):
        self.jobs, self.out, self.gets = list(jobs), [], []

    def get(self, *args, **kwargs):
        self.gets.append((args, kwargs))
        if not self.jobs:
            raise Stop
        job = self.jobs.pop(0)
        if isinstance(job, Raise):
            raise job.exc
        return job

    def put(self, *args):
        self.out.append(*args)


@pytest.fixture(autouse=True)
def restore_sigint(monkeypatch):
    saved = signal.getsignal(signal.SIGINT)
    monkeypatch.setattr(m, "stop", None, raising=False)
    yield
    signal.signal(signal.SIGINT, saved)


def run(jobs, name=None, ends=Stop):
    q = FakeQueues(jobs)
    with pytest.raises(ends) as info:
        m.monorun_main(name, q, q)
    q.error = info.value
    return q


def answers(*jobs):
    return run(jobs).out


def last_line(tb):
    return tb.rstrip("\n").rpartition("\n")[2]


def test_messages_in_order_with_persistent_namespace():
    q = run(["x = 1", "xprint(x)", ["a = 2", {"b": 3}, "xreturn(s=a+b)"], "d = []; xreturn(d=d)"])
    assert q.out == [
        ["SUCCESS", "", "", {}],
        ["SUCCESS", "1\n", "", {}],
        ["SUCCESS", "", "", {"s": 5}],
        ["SUCCESS", "", "", {"d": []}],
    ]
    assert all(type(msg) is list for msg in q.out)
    assert q.gets == [((), {"timeout": 0.1})] * 5 and type(q.gets[0][1]["timeout"]) is float
    # A message holds the job's own objects and the collector's dict of that cycle.
    out = answers("d = []; xreturn(d=d)", "d.append(1); xreturn(e=2)")
    assert out[0][3] == {"d": [1]} and out[1][3] == {"e": 2}


class Src(str):
    def __str__(self):
        return "xreturn(wrong=1)"


def generated():
    yield "g = 1"
    yield "xreturn(g=g)"


@pytest.mark.parametrize(
    "job, status, printed, error, returned",
    [
        ("", "SUCCESS", "", "", {}),
        ([], "SUCCESS", "", "", {}),
        ((), "SUCCESS", "", "", {}),
        ([1, None, b"x", "xreturn(k=1)"], "SUCCESS", "", "", {"k": 1}),
        (b"xreturn(k=1)", "SUCCESS", "", "", {}),
        (("xreturn(t=1)",), "SUCCESS", "", "", {"t": 1}),
        ({"xreturn(a=1)": None, "xreturn(b=2)": "ignored"}, "SUCCESS", "", "", {"a": 1, "b": 2}),
        (Src("xreturn(s=1)"), "SUCCESS", "", "", {"s": 1}),
        ([Src("xreturn(s=1)")], "SUCCESS", "", "", {"s": 1}),
        (generated(), "SUCCESS", "", "", {"g": 1}),
        (5, "EXCEPTION", "", "TypeError: 'int' object is not iterable", {}),
        ("xprint('a')\n1/0", "EXCEPTION", "a\n", "ZeroDivisionError: division by zero", {}),
        ("xreturn(r=1); xprint('p'); undefined", "EXCEPTION", "p\n", "NameError", {"r": 1}),
        ("def (", "EXCEPTION", "", "SyntaxError", {}),
        ("a\0", "EXCEPTION", "", "SyntaxError: source code string cannot contain null bytes", {}),
    ],
)
def test_job_shapes(job, status, printed, error, returned):
    ((got_status, got_printed, tb, got_returned),) = answers(job)
    assert (got_status, got_printed, got_returned) == (status, printed, returned)
    assert last_line(tb).startswith(error) if error else tb == ""


def reference_loop(jobs):
    """The job loop as plain Python over exec, for namespace rules."""
    pc = types.SimpleNamespace(print_content="", return_content={})

    def xprint(*ws, end="\n"):
        pc.print_content += "".join(map(str, ws)) + end

    g, out = {"xprint": xprint, "xreturn": lambda **kw: pc.return_content.update(kw)}, []
    for job in jobs:
        pc.print_content, pc.return_content = "", {}
        try:
            for w in [job] if isinstance(job, str) else job:
                if isinstance(w, str):
                    local = {}
                    exec(w, g, local)
                    g.update(local)
                elif isinstance(w, dict):
                    g.update(w)
            out.append(["SUCCESS", pc.print_content, "", pc.return_content])
        except KeyboardInterrupt:
            pass
        except Exception:
            out.append(["EXCEPTION", pc.print_content, traceback.format_exc(), pc.return_content])
    return [[s, p, last_line(tb), r] for s, p, tb, r in out]


@pytest.mark.parametrize(
    "jobs",
    [
        ["y = 5\ndef f(): return y\nxreturn(r=f())", "xreturn(y=globals().get('y'))"],
        ["y = 5", "def f(): return y", "xreturn(r=f())"],
        [["a = 1", {"b": 2}, "1/0", "c = 3"], "xreturn(a=a, b=b, c=globals().get('c'))"],
        ["n = 0", "n += 1", "n += 1", "xreturn(n=n)"],
        ["x = 1", {"x": 2}, "xreturn(x=x)", ["x = 3", {"x": 4}], "xreturn(x=x)"],
        ["def g():\n    global G\n    G = 1", "g()", "xreturn(G=G)"],
        ["import math as mm\nclass A:\n    v = mm.floor(2.5)", "xreturn(v=A.v)"],
        ["class B:\n    v = 1\n    w = [v for _ in 'a']", "xreturn(b='B' in globals())"],
        ["xreturn(keys=list(globals()), name=__name__)", "xreturn(keys=list(globals()))"],
        ["xprint = len", "xprint('abc')\nxreturn(k=1)"],
        ["del xreturn", "xreturn(still=1)"],
        ["raise KeyboardInterrupt", "xreturn(after=1)"],
        ["import queue\nqueue.Queue().get_nowait()", "xreturn(after=2)"],
        ["xprint('a', 1, [2], end='')", "xprint(); xprint('b', end='.')"],
        ["globals().clear()", "xreturn(a=1)"],
        ["x = '\ud800'", "# coding: latin-1\nxreturn(x='é')", "a = 1\r\nxreturn(a=a)\r\n"],
    ],
)
def test_namespace_rules_match_exec(jobs):
    ours = [[s, p, last_line(tb), r] for s, p, tb, r in answers(*jobs)]
    assert ours == reference_loop(jobs)


def test_items_appended_to_the_running_job_are_run():
    # A job list is walked like a for loop walks it: items added while it runs are run too.
    job = []
    job += [{"job": job}, "job.append('xreturn(late=1)')"]
    assert answers(job)[0][3] == {"late": 1}


def test_many_sources_and_long_sources():
    # Many distinct, repeated and very long items: each one runs as written, whatever the
    # worker keeps from earlier items.
    big = ["# " + "x" * ((1 << 20) - 20) + f"\nbig = {i}" for i in range(20)]
    jobs = [f"v = {i}" for i in range(600)] + big + ["v += 1", big[0], "xreturn(v=v, big=big)"]
    assert answers(jobs)[0][3] == {"v": 600, "big": 0}
    assert answers("x" * (2 << 20) + " = 7", "xreturn(n=len(globals()))")[1][3] == {"n": 4}


def test_a_job_printing_many_lines():
    (msg,) = answers(f"for i in range({MANY_LINES}):\n    xprint('line', i)")
    assert msg[1] == "".join(f"line{i}\n" for i in range(MANY_LINES))


@pytest.mark.parametrize(
    "job, outcome",
    [
        (Raise(queue.Empty()), None),  # the wait timed out: no job, no answer
        (Raise(KeyboardInterrupt()), None),
        ("raise KeyboardInterrupt", None),
        (Raise(ValueError("unreadable job")), "ValueError: unreadable job"),
        ("raise ValueError('bad')", "ValueError: bad"),
        (Raise(SystemExit(4)), SystemExit),
        (Raise(GeneratorExit()), GeneratorExit),
        ("raise SystemExit(4)", SystemExit),
        ("raise GeneratorExit", GeneratorExit),
    ],
)
def test_handlers_by_exception_kind(job, outcome):
    ends = outcome if isinstance(outcome, type) else Stop
    q = run(["xreturn(a=1)", job, "xreturn(b=2)"], ends=ends)
    assert q.out[0] == ["SUCCESS", "", "", {"a": 1}]
    if ends is not Stop:
        assert len(q.out) == 1 and q.jobs == ["xreturn(b=2)"]
        return
    assert q.out[-1] == ["SUCCESS", "", "", {"b": 2}] and len(q.out) == 2 + bool(outcome)
    if outcome:
        assert q.out[1][0] == "EXCEPTION" and last_line(q.out[1][2]) == outcome


def test_queue_module_is_looked_up_when_matching(monkeypatch):
    monkeypatch.setattr(m, "queue", types.SimpleNamespace(Empty=LookupError))
    out = answers(Raise(KeyError()), Raise(queue.Empty()), "import queue\nraise queue.Empty")
    assert len(out) == 2 and all(last_line(msg[2]) == "_queue.Empty" for msg in out)
    monkeypatch.delattr(m, "queue")
    q = run([Raise(queue.Empty())], ends=NameError)
    assert str(q.error) == "name 'queue' is not defined"
    assert isinstance(q.error.__context__, queue.Empty)


@pytest.mark.parametrize(
    "missing, name, jobs",
    [
        ("setproctitle", "w", []),
        ("signal", None, []),
        ("sigint_handler", None, []),
        ("_HandleContent", None, []),
        ("traceback", None, ["xreturn(a=1)", "1/0"]),
    ],
)
def test_deleted_module_global_ends_the_loop(monkeypatch, missing, name, jobs):
    monkeypatch.delattr(m, missing)
    q = run(jobs, name=name, ends=NameError)
    assert str(q.error) == f"name '{missing}' is not defined"
    assert q.out == [["SUCCESS", "", "", {"a": 1}]][: len(jobs) - 1]


def test_startup_uses_module_globals(monkeypatch):
    calls = []
    monkeypatch.setattr(m, "setproctitle", types.SimpleNamespace(setproctitle=calls.append))
    run([], name="w0")
    run([], name=None)
    assert calls == ["w0"]
    assert signal.getsignal(signal.SIGINT) is m.sigint_handler

    class NeverDiffers:
        def __ne__(self, other):
            return False

    run([], name=NeverDiffers())
    assert calls == ["w0"]
    monkeypatch.setattr(m, "setproctitle", sys.modules["setproctitle"])
    q = run(["xreturn(a=1)"], name=5, ends=TypeError)
    assert q.gets == [] and q.out == []


def test_sigint_only_sets_stop():
    job = "import signal\nsignal.raise_signal(signal.SIGINT)\nxreturn(ok=1)"
    assert answers(job) == [["SUCCESS", "", "", {"ok": 1}]]
    assert m.stop is True
    assert m.sigint_handler(signal.SIGINT, None) is None


def test_rebound_collector_class_is_used(monkeypatch):
    class Loud(m._HandleContent):
        def xprint(self, *ws, end="\n"):
            super().xprint(*(str(w).upper() for w in ws), end=end)

        def clear(self):
            self.clears = getattr(self, "clears", 0) + 1
            if self.clears > 2:
                raise RuntimeError("collector broke")
            super().clear()

    monkeypatch.setattr(m, "_HandleContent", Loud)
    q = run(["xprint('hi')", "xreturn(never=1)"], ends=RuntimeError)
    assert q.out == [["SUCCESS", "HI\n", "", {}]] and q.jobs == ["xreturn(never=1)"]


def test_failing_put_ends_the_loop():
    q = FakeQueues(["xreturn(a=1)"])
    sent = []

    def put(msg):
        sent.append(msg)
        raise OSError("queue closed")

    q.put = put
    with pytest.raises(OSError):
        m.monorun_main(None, q, q)
    assert [msg[0] for msg in sent] == ["SUCCESS", "EXCEPTION"]
    assert last_line(sent[1][2]) == "OSError: queue closed"


def test_caller_handled_exception_is_kept():
    try:
        raise KeyError("outer")
    except KeyError as outer:
        q = run(["1/0"])
        assert sys.exception() is outer
    assert last_line(q.out[0][2]) == "ZeroDivisionError: division by zero"


def test_builtins_added_to_namespace_is_the_running_builtins():
    (msg,) = answers("xreturn(b=__builtins__)")
    assert msg[3]["b"] is vars(builtins)
