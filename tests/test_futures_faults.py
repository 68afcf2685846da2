"""vantrel.futures and the cell magic where a demanding user breaks them:
refused calls, extreme limits, many open files, interrupts at any moment,
many cancels, and the magic's options."""

import builtins
import gc
import resource

import pytest
from programs import run_program
from waits import deadline

from vantrel import _magic, futures


def values(future, timeout=10):
    status, printed, trace, returned = future.result(timeout=timeout)
    assert status == "SUCCESS", trace
    return returned


def test_refused_submits_leave_no_trace(pool):
    for worker, error in ((1.0, TypeError), (True, TypeError), ("0", TypeError), (5, IndexError)):
        with pytest.raises(error):
            futures.submit(pool, "pass", worker)
    for limit, error in ((0, ValueError), (float("nan"), ValueError), ("1", TypeError)):
        with pytest.raises(error):
            futures.submit(pool, "pass", time_limit=limit)
    assert futures.pending(pool) == []
    assert [a[3] for a in pool.map(["xreturn(k=0)", "xreturn(k=1)"])] == [{"k": 0}, {"k": 1}]
    assert values(futures.submit(pool, "xreturn(k=2)", 1)) == {"k": 2}


def test_long_time_limits_mean_no_limit(pool):
    for limit in (float("inf"), 25 * 24 * 3600.0, 1e300):
        assert values(futures.submit(pool, "xreturn(k=1)", 0, time_limit=limit)) == {"k": 1}
    # The reader still serves the pool afterwards.
    assert [values(f)["k"] for f in futures.submit_batch(pool, ["xreturn(k=3)"] * 4)] == [3] * 4


def test_more_than_1024_open_files(make_pool):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < 2048:
        pytest.skip("the hard limit of open files is below 2048")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, 2048), hard))
    held = []
    try:
        while len(held) < 1100:
            held.extend(__import__("os").pipe())
        p = make_pool(2)  # its pipes are numbered above 1024
        assert values(futures.submit(p, "xreturn(k=1)", 1)) == {"k": 1}

        async def awaited():
            return (await futures.asubmit(p, "xreturn(k=2)", 0))[3]

        import asyncio

        with deadline(20, "asyncio above 1024"):
            assert asyncio.run(awaited()) == {"k": 2}
    finally:
        for fd in held:
            __import__("os").close(fd)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def test_jobs_that_rebind_xreturn_or_set_any_name_still_pair(pool):
    jobs = [
        "xreturn = None",  # rebinds it for good in worker 0
        "_vantrel_job = 5\nglobals().clear()",
        "xprint('still')",
        "raise KeyboardInterrupt",
        "xprint('after')",
    ]
    sent = [futures.submit(pool, job, 0) for job in jobs]
    assert sent[0].result(timeout=10)[0] == "SUCCESS"
    assert sent[1].result(timeout=10)[0] == "SUCCESS"
    assert sent[2].result(timeout=10)[:2] == ["EXCEPTION", ""]  # xprint is gone with globals
    with pytest.raises(RuntimeError, match="no answer"):
        sent[3].result(timeout=10)
    assert sent[4].result(timeout=10)[0] == "EXCEPTION"
    # The other worker, untouched, and map on the same pool, in turn.
    assert values(futures.submit(pool, "del globals()['xreturn']\nxprint('gone')", 1)) == {}
    assert pool.map(["xreturn(k=0)", "pass"])[1][0] == "SUCCESS"
    assert [a[:2] for a in futures.map(pool, ["pass", "xprint(1)"])] == [
        ["SUCCESS", ""],
        ["SUCCESS", "1\n"],
    ]


def test_a_job_that_does_not_pickle_is_answered_like_maps(pool):
    import asyncio
    import threading

    job = [{"lock": threading.Lock()}, "xreturn(k=1)"]
    by_map = pool.map([job])[0]
    by_future = futures.submit(pool, job).result(timeout=10)

    async def awaited():
        return await futures.asubmit(pool, job)

    with deadline(20, "asyncio"):
        by_await = asyncio.run(awaited())
    for answer in (by_map, by_future, by_await):
        assert answer[0] == "EXCEPTION" and "lock" in answer[2]
    assert values(futures.submit(pool, "xreturn(k=2)")) == {"k": 2}


def test_gather_counts_every_position(pool, capsys):
    pytest.importorskip("tqdm")
    f = futures.submit(pool, "xreturn(k=1)")
    seen = []
    answers = futures.gather([f, f, f], progress="jobs", on_answer=lambda k, a: seen.append(k))
    assert [a[3] for a in answers] == [{"k": 1}] * 3 and sorted(seen) == [0, 1, 2]
    assert "3/3" in capsys.readouterr().err
    assert futures.gather([], progress=True) == [] and futures.map(pool, [], progress=True) == []
    assert capsys.readouterr().err == ""  # no bar without jobs


def test_futures_of_a_collected_pool_fail_plainly():
    from conftest import kill_handle

    from vantrel import polyrun

    p = polyrun.MultiProcessPool(1)
    handles = list(p.procs.values())
    try:
        sent = [futures.submit(p, "import time\ntime.sleep(0.3)", 0) for _ in range(3)]
        del p
        gc.collect()
        for g in sent:
            with pytest.raises(RuntimeError) as e:
                g.result(timeout=10)
            assert str(e.value).startswith("the pool of these futures was collected")
            assert "its worker" not in str(e.value)
    finally:
        for h in handles:
            kill_handle(h)


INTERRUPTS = """
import atexit, multiprocessing, random, signal, sys
from vantrel import futures, polyrun
# A failed check must not leave workers that keep this program from exiting.
atexit.register(lambda: [c.kill() for c in multiprocessing.active_children()])

def interrupt(signum, frame):
    raise KeyboardInterrupt
signal.signal(signal.SIGALRM, interrupt)
random.seed(int(sys.argv[1]) if len(sys.argv) > 1 else 1)

def storm(action, rounds):
    for _ in range(rounds):
        try:
            try:
                signal.setitimer(signal.ITIMER_REAL, random.uniform(0, 0.0004))
                action()
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
        except KeyboardInterrupt:
            pass

for _ in range(15):  # interrupted at a pool's first submit
    pool = polyrun.MultiProcessPool(1)
    storm(lambda: futures.submit(pool, "pass"), 1)
    assert futures.submit(pool, "xreturn(k=1)").result(timeout=10)[3] == {"k": 1}
    pool.kill_all()

pool = polyrun.MultiProcessPool(2)
sent = []
storm(lambda: sent.append(futures.submit(pool, "xreturn(k=1)")), 150)
storm(lambda: futures.submit(pool, "xreturn(k=1)", 1).result(), 150)
storm(lambda: futures.map(pool, ["xreturn(k=1)"] * 20), 60)
for f in sent:
    assert f.result(timeout=10)[3] == {"k": 1}, f.result()
import concurrent.futures
concurrent.futures.wait(futures.pending(pool), timeout=20)
assert futures.pending(pool) == []
answers = pool.map([f"xreturn(k={k})" for k in range(6)])
assert [a[3] for a in answers] == [{"k": k} for k in range(6)], answers
assert futures.submit(pool, "xreturn(k=7)", 0).result(timeout=10)[3] == {"k": 7}
pool.kill_all()
print("ok")
"""


@pytest.mark.parametrize("seed", [1, 2])
def test_interrupts_at_any_moment_leave_nothing_half_done(tmp_path, seed):
    done = run_program([__import__("sys").executable, "-c", INTERRUPTS, str(seed)], tmp_path, 100)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr[-3000:]


# The futures' locks under a storm of interrupts: none is left taken by the
# interrupted thread (a plain `with` of a C lock can be, on CPython 3.14).
LOCK_STORM = """
import random, signal
from vantrel import _lock
from vantrel.futures import _waiting

def interrupt(signum, frame):
    raise KeyboardInterrupt
signal.signal(signal.SIGALRM, interrupt)
random.seed(3)

def churn(lock, timed):
    for _ in range(100):
        with lock:
            with lock:
                pass
        if timed and lock.acquire(timeout=1):
            try:
                pass
            finally:
                lock.release()

future = _waiting.Future()
kinds = [("RLock", _lock.RLock(), lambda l: l._lock._is_owned(), True),
         ("Condition", future._condition, lambda c: c._is_owned(), False)]
left = {}
for name, lock, owned, timed in kinds:
    left[name] = 0
    for _ in range(1500):
        try:
            signal.setitimer(signal.ITIMER_REAL, random.uniform(0, 0.0002))
            try:
                churn(lock, timed)
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
        except KeyboardInterrupt:
            pass
        while owned(lock):
            left[name] += 1
            lock.release()
print(left)
"""


def test_interrupts_leave_no_lock_taken(tmp_path):
    done = run_program(LOCK_STORM, tmp_path, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.strip() == "{'RLock': 0, 'Condition': 0}"


# Ctrl-C while the event loop reads answers of awaited jobs: no frame is cut,
# and later awaits and maps of the same workers still pair.
ASYNC_INTERRUPTS = """
import asyncio, atexit, random, signal, sys, threading, time
from vantrel import futures, polyrun
random.seed(int(sys.argv[1]))
pool = polyrun.MultiProcessPool(2)
atexit.register(pool.kill_all)
main = threading.main_thread().ident

async def burst(n):
    jobs = (futures.asubmit(pool, f"xreturn(k={k})", k % 2) for k in range(n))
    return await asyncio.gather(*jobs)

for _ in range(30):
    interrupt = lambda: signal.pthread_kill(main, signal.SIGINT)
    timer = threading.Timer(random.uniform(0, 0.01), interrupt)
    try:
        timer.start()
        answers = asyncio.run(burst(8))
        assert [a[3] for a in answers] == [{"k": k} for k in range(8)], answers
        timer.join()
        time.sleep(0.02)  # an interrupt that came after the burst is taken here
    except KeyboardInterrupt:
        pass
    timer.join()
for _ in range(100):
    if not futures.pending(pool):
        break
    time.sleep(0.05)
answers = asyncio.run(burst(6))
assert [a[3] for a in answers] == [{"k": k} for k in range(6)], answers
answers = pool.map([f"xreturn(m={k})" for k in range(4)])
assert [a[3] for a in answers] == [{"m": k} for k in range(4)], answers
print("ok")
"""


@pytest.mark.parametrize("seed", [1, 2])
def test_interrupts_while_the_event_loop_reads_leave_every_answer_paired(tmp_path, seed):
    program = [__import__("sys").executable, "-c", ASYNC_INTERRUPTS, str(seed)]
    done = run_program(program, tmp_path, 120)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr[-3000:]


KILL_ALL_RACE = """
import random, time
from vantrel import futures, polyrun
for i in range(10):
    pool = polyrun.MultiProcessPool(1)
    f = futures.submit(pool, "import time; time.sleep(5)", 0, time_limit=0.05)
    time.sleep(random.uniform(0.03, 0.2))
    pool.kill_all()
print("ok")
"""


def test_kill_all_racing_a_time_limit_leaves_no_worker_behind(tmp_path):
    done = run_program(KILL_ALL_RACE, tmp_path, timeout=120)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr[-3000:]


CANCELS = """
import concurrent.futures
from vantrel import futures, polyrun
pool = polyrun.MultiProcessPool(1)
busy = futures.submit(pool, "import time; time.sleep(10)", 0)
waiting = futures.submit_batch(pool, ["ran = globals().get('ran', 0) + 1"] * 60000, dealt=True)
for f in waiting:
    f.cancel()
print(sum(f.cancelled() for f in waiting))
busy.result(timeout=40)
print(futures.submit(pool, "xreturn(ran=ran)", 0).result(timeout=20)[3])
pool.kill_all()
"""


def test_many_cancels_cost_each_the_same(tmp_path):
    # Each cancel used to rebuild every queue of waiting jobs: minutes here.
    done = run_program(CANCELS, tmp_path, timeout=90)
    assert done.returncode == 0, done.stderr[-3000:]
    # One was sent behind the busy job before the cancels; none of the rest ran.
    assert done.stdout.split("\n")[:2] == ["59999", "{'ran': 1}"]


def magic(line, cell, ns):
    return _magic.run_cell(line, cell, ns)


def test_magic_runs_each_chosen_worker_once(pool, capsys):
    ns = {"p": pool}
    magic("-p p -w 0,0,0-1 -o out", "n = globals().get('n', 0) + 1\nxreturn(n=n)", ns)
    assert capsys.readouterr().out == "[worker 0] SUCCESS\n[worker 1] SUCCESS\n"
    assert ns["out"] == {0: {"n": 1}, 1: {"n": 1}}
    magic("-p p -t inf -q", "pass", ns)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "line",
    [
        "-p notapool",
        "-p p -t 0",
        "-p p -t -1",
        "-p p -t nan",
        "-p p -t soon",
        "-p p --bogus",
        "-p p -w 1-0",
        "-p p -w a",
        "-p p -w 7",
        "-p p -o 1bad",
        "-p p -o class",
        "-p dead",
    ],
)
def test_magic_bad_options_are_usage_errors(pool, make_pool, line):
    dead = make_pool(1)
    dead.kill_all()
    ns = {"p": pool, "notapool": [1, 2], "dead": dead}
    with pytest.raises(_magic.UsageError) as e:
        magic(line, "ran = True", ns)
    assert str(e.value).strip() and "Traceback" not in str(e.value)
    assert "out" not in ns and not hasattr(builtins, "ran")
    assert values(futures.submit(pool, "xreturn(ran='ran' in globals())", 0)) == {"ran": False}
