"""Faults end in an answer or a clear error, never in a hang or a lost answer."""

import os
import signal
import threading
import time

import pytest

from vantrel import polyrun


def later(seconds, action):
    timer = threading.Timer(seconds, action)
    timer.start()
    return timer


def is_pickling_failure(answer, text="pickl"):
    return answer[0] == "EXCEPTION" and text in answer[2].lower()


# --- messages that cannot be pickled -----------------------------------------

UNPICKLABLE = {
    "lambda in a dict item": lambda: ["y = 1", {"f": lambda: 0}],
    "open file": lambda: [{"f": open(os.devnull)}],
    "generator": lambda: (line for line in ["y = 1"]),
}


@pytest.mark.parametrize("make_job", UNPICKLABLE.values(), ids=UNPICKLABLE.keys())
def test_unpicklable_job_is_answered_in_its_place(worker, make_job):
    answer = worker.blocked_put(make_job())
    assert is_pickling_failure(answer) and answer[1] == "" and answer[3] == {}
    # Nothing of the job ran, and the worker goes on.
    assert worker.blocked_put("xreturn(y=globals().get('y'))") == ["SUCCESS", "", "", {"y": None}]


def test_unpicklable_jobs_keep_every_answer_in_place_under_load(pool):
    jobs = [f"xreturn(i={i})" if i % 7 else [{"f": lambda: 0}] for i in range(300)]
    answers = pool.map(jobs)
    for i, answer in enumerate(answers):
        assert is_pickling_failure(answer) if i % 7 == 0 else answer[3] == {"i": i}


def test_unpicklable_returned_value_is_named_and_the_worker_lives_on(worker):
    worker.blocked_put("kept = 41")
    answer = worker.blocked_put("xprint('before'); xreturn(ok=1, f=lambda: 0, g=open('/dev/null'))")
    status, printed, info, values = answer
    assert (status, printed, values) == ("EXCEPTION", "before\n", {"ok": 1})
    assert "'f', 'g'" in info and "cannot be pickled" in info
    assert worker.blocked_put("xreturn(kept=kept + 1)") == ["SUCCESS", "", "", {"kept": 42}]


def test_unpicklable_answers_keep_their_place_under_load(pool):
    jobs = [f"xreturn(i={i}" + (", f=lambda: 0)" if i % 5 == 0 else ")") for i in range(300)]
    for i, (status, _, info, values) in enumerate(pool.map(jobs)):
        assert values == {"i": i}
        assert (status == "EXCEPTION" and "'f'" in info) if i % 5 == 0 else status == "SUCCESS"


def test_a_namespace_that_breaks_traceback_formatting_keeps_the_worker(worker):
    # Non-str keys in the namespace make the traceback module fail on a NameError.
    assert worker.blocked_put([{1: "one"}, "kept = 1"])[0] == "SUCCESS"
    status, _, info, _ = worker.blocked_put("undefined_name")
    assert status == "EXCEPTION" and "NameError: name 'undefined_name' is not defined" in info
    assert worker.blocked_put("xreturn(kept=kept)") == ["SUCCESS", "", "", {"kept": 1}]


# --- dying and stopped workers -------------------------------------------------


def assert_worker_gone(call, pid, code):
    started = time.monotonic()
    with pytest.raises(RuntimeError, match=rf"worker process {pid} ended \(exit code {code}\)"):
        call()
    assert time.monotonic() - started < 5


@pytest.mark.parametrize(
    "fault, code",
    [
        ("kill idle", -9),
        ("kill during the job", -9),
        ("import os; os._exit(3)", 3),
        ("raise SystemExit(4)", 4),
    ],
)
def test_dead_worker_ends_the_wait(make_worker, fault, code):
    h = make_worker()
    pid = h.proc.pid
    job = "import time; time.sleep(30)"
    if fault == "kill idle":
        os.kill(pid, signal.SIGKILL)
        h.proc.join()
    elif fault == "kill during the job":
        later(0.3, lambda: os.kill(pid, signal.SIGKILL))
    else:
        job = fault
    assert_worker_gone(lambda: h.blocked_put(job), pid, code)


def test_pool_survives_a_killed_worker_and_restarts(pool):
    pids = list(pool.procs)
    later(0.3, lambda: os.kill(pids[0], signal.SIGKILL))
    jobs = ["import time; time.sleep(0.6); xreturn(done=1)"] * 4
    with pytest.raises(
        RuntimeError, match=rf"{pids[0]} .* job 0: killed by SIGKILL; resident memory"
    ):
        pool.map(jobs)
    pool.init_process()
    assert [a[3] for a in pool.map(["xreturn(done=1)"] * 4)] == [{"done": 1}] * 4


def test_stopped_worker_answers_once_continued(worker):
    pid = worker.proc.pid
    os.kill(pid, signal.SIGSTOP)
    later(0.6, lambda: os.kill(pid, signal.SIGCONT))
    assert worker.blocked_put("xreturn(a=1)") == ["SUCCESS", "", "", {"a": 1}]


# --- an interrupted caller ------------------------------------------------------


def interrupt_after(seconds):
    return later(seconds, lambda: signal.pthread_kill(threading.main_thread().ident, signal.SIGINT))


def test_interrupted_map_does_not_confuse_the_next_one(pool):
    interrupt_after(0.3)
    with pytest.raises(KeyboardInterrupt):
        pool.map([f"import time; time.sleep(0.2); xreturn(old={i})" for i in range(8)])
    answers = pool.map([f"xreturn(new={i})" for i in range(5)])
    assert [a[3] for a in answers] == [{"new": i} for i in range(5)]


def test_interrupted_reduce_then_map(pool):
    red = pool.map([f"import time; time.sleep(0.3); xreturn(old={i})" for i in range(4)], False)
    interrupt_after(0.1)
    with pytest.raises(KeyboardInterrupt):
        polyrun.reduce(red)
    assert [a[3] for a in pool.map(["xreturn(new=1)"] * 3)] == [{"new": 1}] * 3


def test_interrupted_blocked_put_does_not_confuse_the_next_one(worker):
    interrupt_after(0.2)
    with pytest.raises(KeyboardInterrupt):
        worker.blocked_put("import time; time.sleep(0.5); xreturn(old=1)")
    assert worker.blocked_put("xreturn(new=1)") == ["SUCCESS", "", "", {"new": 1}]
    # A drain settles what the interrupted wait left, and nothing more.
    interrupt_after(0.2)
    with pytest.raises(KeyboardInterrupt):
        worker.blocked_put("import time; time.sleep(0.5); xreturn(old=2)")
    worker.clear_output()
    assert worker.qo.empty()
    assert worker.blocked_put("xreturn(new=2)") == ["SUCCESS", "", "", {"new": 2}]
