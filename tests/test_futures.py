"""vantrel.futures on local pools: futures, awaitables, time limits, faults,
and the guard that keeps map and the futures from taking each other's answers."""

import asyncio
import concurrent.futures as cf
import os
import signal
import time

import pytest
from programs import run_program
from waits import deadline

from vantrel import futures, polyrun

SLOW = "import time\ntime.sleep({})\nxreturn(k={})"


def values(future, timeout=10):
    status, printed, trace, returned = future.result(timeout=timeout)
    assert status == "SUCCESS", trace
    return returned


def test_answers_carry_their_own_values_and_nothing_added(pool):
    f = futures.submit(pool, ["xprint('hi')", "xreturn(a=1)"], 0)
    assert f.result(timeout=10) == ["SUCCESS", "hi\n", "", {"a": 1}]
    # A job of any iterable kind, a dict item, a failing job.
    answers = [
        futures.submit(pool, iter(["xreturn(b=2)"]), 1).result(timeout=10),
        futures.submit(pool, ({"z": 5}, "xreturn(z=z)")).result(timeout=10),
        futures.submit(pool, "1/0").result(timeout=10),
    ]
    assert answers[0] == ["SUCCESS", "", "", {"b": 2}]
    assert answers[1] == ["SUCCESS", "", "", {"z": 5}]
    assert answers[2][0] == "EXCEPTION" and "ZeroDivisionError" in answers[2][2]
    # The tag that pairs answers leaves nothing in the namespace.
    for i in range(2):
        names = values(futures.submit(pool, "xreturn(names=sorted(globals()))", i))["names"]
        assert not [n for n in names if "vantrel" in n]


def test_chosen_worker_keeps_its_state_and_free_jobs_skip_a_slow_worker(pool):
    pids = list(pool.procs)
    for i in range(2):
        assert (
            values(futures.submit(pool, "import os\nxreturn(pid=os.getpid())", i))["pid"]
            == (pids[i])
        )
    slow = futures.submit(pool, SLOW.format(1.5, -1), 0)
    started = time.monotonic()
    quick = [futures.submit(pool, "import os\nxreturn(pid=os.getpid())") for _ in range(6)]
    assert {values(f)["pid"] for f in quick} == {pids[1]}
    assert time.monotonic() - started < 1.5 and not slow.done()
    assert values(slow)["k"] == -1


def test_completion_order_timeouts_and_callbacks(pool):
    slow = futures.submit(pool, SLOW.format(0.8, 0), 0)
    fast = futures.submit(pool, SLOW.format(0.0, 1), 1)
    done, not_done = cf.wait([slow, fast], timeout=10, return_when=cf.FIRST_COMPLETED)
    assert done == {fast} and not_done == {slow}
    with pytest.raises(cf.TimeoutError):
        slow.result(timeout=0.01)
    seen = []
    slow.add_done_callback(lambda f: seen.append(f.result()[3]["k"]))
    assert [values(f)["k"] for f in cf.as_completed([slow, fast], timeout=10)] == [1, 0]
    assert seen == [0]


def test_waiting_jobs_can_be_cancelled_and_never_run(pool):
    running = futures.submit(pool, SLOW.format(0.5, 0), 0)
    queued = futures.submit(pool, "xreturn(k=1)", 0)  # second in flight: sent
    waiting = futures.submit(pool, "ran = True", 0)
    assert not queued.cancel() and waiting.cancel()
    assert values(running)["k"] == 0 and values(queued)["k"] == 1
    assert values(futures.submit(pool, "xreturn(ran='ran' in globals())", 0)) == {"ran": False}


def test_batches_in_job_order_with_progress_callbacks(pool):
    jobs = [f"xreturn(k={k})" for k in range(40)]
    seen = []
    answers = futures.map(pool, jobs, on_answer=lambda k, a: seen.append(k))
    assert [a[3]["k"] for a in answers] == list(range(40))
    assert sorted(seen) == list(range(40))
    # dealt: job k in worker k % N, as map deals it.
    pids = list(pool.procs)
    dealt = futures.map(pool, ["import os\nxreturn(pid=os.getpid())"] * 4)
    assert [a[3]["pid"] for a in dealt] == [pids[0], pids[1], pids[0], pids[1]]


def test_progress_bar_counts_answers(pool, capsys):
    pytest.importorskip("tqdm")
    futures.map(pool, ["pass"] * 7, progress="jobs")
    err = capsys.readouterr().err
    assert "jobs" in err and "7/7" in err


def test_map_and_handles_refuse_while_futures_are_unanswered(pool):
    slow = futures.submit(pool, SLOW.format(0.5, 0), 0)
    handle = list(pool.procs.values())[0]
    for call in (
        lambda: pool.map(["pass"]),
        pool.clear_output,
        lambda: handle.blocked_put("pass"),
        lambda: polyrun.reduce([handle.qo]),
    ):
        with pytest.raises(RuntimeError, match="futures.*unanswered"):
            call()
    assert futures.pending(pool) == [slow]
    values(slow)
    # Answered: the pool is map's again, and pairs.
    assert [a[3] for a in pool.map(["xreturn(k=0)", "xreturn(k=1)"])] == [{"k": 0}, {"k": 1}]


def test_futures_after_an_interrupted_map_pair(pool):
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    saved = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with pytest.raises(KeyboardInterrupt):
            pool.map([SLOW.format(0.5, k) for k in range(4)])
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, saved)
    assert values(futures.submit(pool, "xreturn(k='mine')", 1)) == {"k": "mine"}


def test_a_job_without_an_answer_fails_alone(pool):
    # Behind a job that raises KeyboardInterrupt: the next answer is not its.
    lost = futures.submit(pool, "raise KeyboardInterrupt", 0)
    after = futures.submit(pool, "xreturn(k='after')", 0)
    assert values(after) == {"k": "after"}
    with pytest.raises(RuntimeError, match="job .* got no answer from worker 0.*KeyboardInterrupt"):
        lost.result(timeout=10)
    # Alone in flight: found out by a probe.
    alone = futures.submit(pool, "raise KeyboardInterrupt", 1)
    with pytest.raises(RuntimeError, match="no answer"):
        alone.result(timeout=10)
    assert values(futures.submit(pool, "xreturn(k=1)", 1)) == {"k": 1}


def test_dead_worker_fails_its_futures_like_map_and_spares_the_others(pool):
    pids = list(pool.procs)
    doomed = futures.submit(pool, SLOW.format(5, 0), 0)
    behind = futures.submit(pool, "pass", 0)
    other = futures.submit(pool, SLOW.format(0.3, 1), 1)
    time.sleep(0.2)
    os.kill(pids[0], signal.SIGKILL)
    started = time.monotonic()
    for f in (doomed, behind):
        with pytest.raises(
            RuntimeError,
            match=rf"worker process {pids[0]} ended \(exit code -9\) "
            r"without answering job \d+",
        ):
            f.result(timeout=5)
    assert time.monotonic() - started < 2
    assert values(other) == {"k": 1}
    with pytest.raises(RuntimeError, match="without answering"):
        futures.submit(pool, "pass", 0).result(timeout=5)
    assert values(futures.submit(pool, "xreturn(k=2)")) == {"k": 2}  # goes to the live one


def test_time_limit_replaces_the_worker(pool):
    pids = list(pool.procs)
    futures.submit(pool, "state = 1", 0).result(timeout=10)
    late = futures.submit(pool, SLOW.format(30, 0), 0, time_limit=0.3)
    behind = futures.submit(pool, "xreturn(has_state='state' in globals())", 0)
    with pytest.raises(TimeoutError, match="time limit of 0.3 s.*fresh worker.*empty namespace"):
        late.result(timeout=10)
    assert values(behind) == {"has_state": False}
    new_pids = list(pool.procs)
    assert new_pids[1] == pids[1] and new_pids[0] != pids[0]
    assert pool.map(["pass", "pass"])[0][0] == "SUCCESS"  # the pool's map sees the fresh worker
    with pytest.raises(ValueError):
        futures.submit(pool, "pass", time_limit=0)


def test_unknown_worker_and_pool_without_workers(make_pool):
    p = make_pool(1)
    with pytest.raises(IndexError, match="worker 3 is not in this pool"):
        futures.submit(p, "pass", 3)
    p.kill_all()
    with pytest.raises(RuntimeError, match="no workers"):
        futures.submit(p, "pass")
    p.init_process()
    assert values(futures.submit(p, "xreturn(k=1)", 0)) == {"k": 1}


def test_asyncio_gather_wait_for_and_cancelling(pool):
    async def main():
        answers = await asyncio.gather(
            *(futures.asubmit(pool, f"xreturn(k={k})") for k in range(6))
        )
        assert [a[3]["k"] for a in answers] == list(range(6))
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(futures.asubmit(pool, SLOW.format(0.6, 0), 0), 0.05)
        # The cancelled await took nothing: the next answer on that worker is the next job's.
        first = [
            (await f)[3]["k"]
            for f in asyncio.as_completed(
                [
                    futures.asubmit(pool, SLOW.format(0.3, 1), 1),
                    futures.asubmit(pool, "xreturn(k=2)", 0),
                ]
            )
        ]
        assert sorted(first) == [1, 2]
        # The loop keeps running while a job runs.
        ticks = 0
        job = futures.asubmit(pool, SLOW.format(0.3, 3), 0)
        while not job.done():
            ticks += 1
            await asyncio.sleep(0.01)
        assert ticks > 5 and (await job)[3] == {"k": 3}
        # One after another: the loop and the reader thread race for each answer.
        for k in range(300):
            assert (await futures.asubmit(pool, f"xreturn(k={k})", k % 2))[3] == {"k": k}

    with deadline(20, "asyncio"):
        asyncio.run(main())


def test_reader_thread_never_keeps_the_interpreter_from_exiting(tmp_path):
    program = """
import sys
from vantrel import futures, polyrun
pool = polyrun.MultiProcessPool(2)
print(futures.submit(pool, "xreturn(k=1)").result(timeout=10)[3])
left = futures.submit(pool, "import time; time.sleep(30)", 0)  # never answered
pool.kill_all()
"""
    done = run_program(program, cwd=tmp_path, timeout=30)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "{'k': 1}"
