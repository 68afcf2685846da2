"""MultiProcessPool.map and reduce: dealing jobs in rotation, answers back in job order."""

import os
import queue
import re
import signal
import threading
import time
import types

import pytest

from vantrel import polyrun


def ok(**values):
    return ["SUCCESS", "", "", values]


def handles(pool):
    return list(pool.procs.values())


def test_jobs_dealt_in_rotation_and_answered_in_job_order(pool):
    assert pool.map(["x = 1", "x = 2", "x = 3"]) == [ok(), ok(), ok()]
    # Jobs 0 and 2 ran in the first worker, in that order; job 1 in the second.
    assert pool.map(["xreturn(x=x)", "xreturn(x=x)"]) == [ok(x=3), ok(x=2)]


def test_answers_in_job_order_not_completion_order(pool):
    jobs = ["import time; time.sleep(0.3); xreturn(i=0)", "xreturn(i=1)", "xreturn(i=2)"]
    assert pool.map(jobs) == [ok(i=0), ok(i=1), ok(i=2)]


def test_failed_job_is_an_answer_like_any_other(pool):
    answers = pool.map(["1/0", "xprint('fine')"])
    assert answers[0][0] == "EXCEPTION" and "ZeroDivisionError" in answers[0][2]
    assert answers[1] == ["SUCCESS", "fine\n", "", {}]


@pytest.mark.parametrize("block", [True, 1, "no", False, 0, None, ""])
def test_block_decides_between_answers_and_output_queues(pool, block):
    first, second = handles(pool)
    got = pool.map(["xreturn(i=0)", "xreturn(i=1)", "xreturn(i=2)"], block=block)
    if not block:
        # The very output queues, one per job, for the caller to read later.
        assert type(got) is list and len(got) == 3
        assert got[0] is first.qo and got[1] is second.qo and got[2] is first.qo
        got = polyrun.reduce(got)
    assert got == [ok(i=0), ok(i=1), ok(i=2)]


def test_str_args_is_one_job_per_character(pool):
    a, b = pool.map("ab")
    assert "name 'a' is not defined" in a[2] and "name 'b' is not defined" in b[2]


@pytest.mark.parametrize("block", [True, False])
def test_iterator_args_sent_once_and_collected_on_next_call(pool, block):
    # The second pass over args finds nothing: no queue to read, answers stay queued...
    assert pool.map(iter(["xreturn(i=0)", "xreturn(i=1)"]), block=block) == []
    while any(h.qo.empty() for h in handles(pool)):
        time.sleep(0.01)
    # ...until the drain that opens the next call.
    assert pool.map(["xreturn(i=5)", "xreturn(i=6)"]) == [ok(i=5), ok(i=6)]


def test_no_jobs_or_no_workers(pool, make_pool):
    assert pool.map([]) == [] and pool.map([], block=False) == []
    empty = make_pool(0)
    assert empty.map([]) == [] and empty.map([], block=False) == []
    with pytest.raises(ZeroDivisionError):
        empty.map(["xreturn(i=0)"])
    with pytest.raises(TypeError):
        empty.map(5)


def test_map_drains_stale_answers_first(pool):
    first = handles(pool)[0]
    first.qi.put("xreturn(stale=True)")
    while first.qo.empty():
        time.sleep(0.01)
    assert pool.map(["xreturn(i=0)", "xreturn(i=1)"]) == [ok(i=0), ok(i=1)]


def test_block_whose_truth_test_raises_after_jobs_were_sent(pool):
    class Undecided:
        def __bool__(self):
            raise ValueError("undecided")

    with pytest.raises(ValueError, match="undecided"):
        pool.map(["xreturn(i=0)", "xreturn(i=1)"], block=Undecided())
    assert [h.qo.get(timeout=5) for h in handles(pool)] == [ok(i=0), ok(i=1)]


def test_map_uses_reduce_bound_at_call_time(pool, monkeypatch):
    seen = []

    def counting_reduce(red):
        seen.append(list(red))
        return "reduced"

    monkeypatch.setattr(polyrun, "reduce", counting_reduce)
    assert pool.map(["xreturn(i=0)"]) == "reduced"
    assert seen == [[handles(pool)[0].qo]]
    assert pool.map(["xreturn(i=0)"], block=False) == seen[0]


def test_reduce_reads_one_item_per_entry_in_order():
    assert polyrun.reduce([]) == []
    q = queue.Queue()
    for item in ("a", "b", "c"):
        q.put(item)
    # One queue twice gives its next two items; any object with get() will do.
    fake = types.SimpleNamespace(get=iter([1, 2]).__next__)
    assert polyrun.reduce([q, fake, q]) == ["a", 1, "b"]
    assert polyrun.reduce(iter([fake])) == [2]


def numbers_besides(message, pid):
    """The numbers that a message holds apart from the worker's pid."""
    assert re.search(rf"(?<![\d-]){pid}(?!\d)", message), message
    return sorted(re.findall(r"-?\d+", re.sub(rf"(?<![\d-]){pid}(?!\d)", "", message, count=1)))


@pytest.mark.timeout(30)  # a missed death would otherwise wait for good
def test_worker_killed_during_blocking_map(pool):
    victim = handles(pool)[1].proc
    killer = threading.Timer(0.3, os.kill, (victim.pid, signal.SIGKILL))
    killer.start()
    started = time.monotonic()
    with pytest.raises(RuntimeError) as info:
        pool.map(["import time; time.sleep(0.1); xreturn(i=0)", "import time; time.sleep(60)"])
    killer.join()
    assert time.monotonic() - started < 5
    victim.join(timeout=5)
    # What follows ": " tells how it ended (its signal, its memory).
    head, _, how = str(info.value).partition(": ")
    assert numbers_besides(head, victim.pid) == sorted([str(victim.exitcode), "1"])
    assert how.startswith("killed by SIGKILL; resident memory")
    # A restart replaces the dead worker and the pool works again.
    pool.init_process()
    assert pool.map(["xreturn(i=0)", "xreturn(i=1)"]) == [ok(i=0), ok(i=1)]


@pytest.mark.timeout(30)  # a missed death would otherwise wait for good
def test_worker_exit_after_answers_already_delivered(pool):
    jobs = [
        "import time; time.sleep(0.8); xreturn(i=0)",
        "xreturn(i=1)",
        "xreturn(i=2)",
        # The pause lets the worker deliver its answer to job 1 before it ends.
        "import os, time; time.sleep(0.3); os._exit(3)",
    ]
    victim = handles(pool)[1].proc
    with pytest.raises(RuntimeError) as info:
        pool.map(jobs)
    # Job 1's answer was read although its worker had already ended: job 3 is the one missing.
    assert numbers_besides(str(info.value).partition(": ")[0], victim.pid) == ["3", "3"]


@pytest.mark.timeout(30)  # a missed death would otherwise wait for good
def test_reduce_after_non_blocking_map_with_dead_worker(pool):
    first, second = handles(pool)
    red = pool.map(["xreturn(i=0)", "xreturn(i=1)", "xreturn(i=2)"], block=False)
    while second.qo.empty():
        time.sleep(0.01)
    second.kill()
    second.proc.join(timeout=5)
    # An answer that arrived before the death is still handed out.
    assert polyrun.reduce(red) == [ok(i=0), ok(i=1), ok(i=2)]

    red = pool.map(["xreturn(i=0)", "xreturn(i=1)"], block=False)
    with pytest.raises(RuntimeError) as info:
        polyrun.reduce(red)
    assert numbers_besides(str(info.value).partition(": ")[0], second.proc.pid) == ["-9", "1"]
    pool.init_process()
    assert pool.map(["xreturn(i=0)", "xreturn(i=1)"]) == [ok(i=0), ok(i=1)]


def test_map_after_the_handles_sent_first(pool):
    # The handles' queues first met by the worker module (blocked_put, or the
    # barrier that settles an interrupted reduce), then by map.
    for h in pool.procs.values():
        assert h.blocked_put("pass")[0] == "SUCCESS"
    assert [a[3] for a in pool.map(["xreturn(k=0)", "xreturn(k=1)"])] == [{"k": 0}, {"k": 1}]
