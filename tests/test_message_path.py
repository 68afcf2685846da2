"""Faults on the path of a job and its answer: interrupts, deaths and odd
values never unpair an answer from its job, leak, or keep a program alive.

Where a fault ends in a hang (a read, an exit), or leaves a thread that would
keep the test run from exiting, it is played by a program of its own; the
other waits here are bounded by `deadline`.
"""

import contextlib
import gc
import os
import signal
import sys
import threading
import time

import pytest
from programs import run_program, run_with_pool
from waits import deadline

from vantrel import polyrun

pytestmark = pytest.mark.timeout(60)

# Far more than a pipe holds (64 KiB by default, at most 1 MiB here), so that
# a message of this size is still on its way when its reader or writer stops.
BIG = 4_000_000


def ok(**values):
    return ["SUCCESS", "", "", values]


# --- a map cut short while sending -------------------------------------------


def slow_jobs(n):
    # Slow enough that none is answered before the next map has drained.
    return [f"import time; time.sleep(0.1); xreturn(old={k})" for k in range(n)]


def stops_after(jobs, n, stop):
    for k, job in enumerate(jobs):
        if k == n:
            stop()
        yield job


def fail():
    raise ValueError("no more jobs")


def interrupt():
    os.kill(os.getpid(), signal.SIGINT)


CUT_SHORT = {
    # map walks its jobs twice: a generator is empty the second time.
    "generator": (iter, True),
    "generator, block=False": (iter, False),
    "iterable raises": (lambda jobs: stops_after(jobs, 3, fail), True),
    "interrupt": (lambda jobs: stops_after(jobs, 3, interrupt), True),
}


@pytest.mark.parametrize("cut, block", CUT_SHORT.values(), ids=CUT_SHORT.keys())
def test_jobs_of_a_map_cut_short_never_answer_the_next(pool, cut, block):
    with contextlib.suppress(ValueError, KeyboardInterrupt):
        pool.map(cut(slow_jobs(6)), block=block)
    with deadline(10, "map after a map cut short"):
        answers = pool.map([f"xreturn(new={k})" for k in range(4)])
    assert [a[3] for a in answers] == [{"new": k} for k in range(4)]


# --- interrupts inside the queue's own steps ------------------------------------

INTERRUPTED_READ = """
import os, signal, threading, time
from vantrel import polyrun

def main(pool, size):
    (h,) = pool.procs.values()
    red = pool.map([f"xreturn(b=bytes({size}))"], block=False)
    while h.qo.empty():
        time.sleep(0.005)
    # The rest of the answer waits until the worker goes on. A writer the
    # signal has not stopped yet goes on writing as long as the pipe has
    # room, so the read starts only once it is stopped.
    os.kill(h.proc.pid, signal.SIGSTOP)
    while open(f"/proc/{h.proc.pid}/stat").read().rpartition(")")[2].split()[0] != "T":
        time.sleep(0.001)

    def interrupt_mid_message():
        # Once the reader has taken what the pipe held, it waits for the rest.
        give_up = time.monotonic() + 3
        while not h.qo.empty() and time.monotonic() < give_up:
            time.sleep(0.005)
        time.sleep(0.1)
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
        time.sleep(0.3)
        os.kill(h.proc.pid, signal.SIGCONT)

    threading.Thread(target=interrupt_mid_message).start()
    try:
        polyrun.reduce(red)
    except KeyboardInterrupt:
        pass
    for batch in range(3):
        answers = pool.map([f"xreturn(batch={batch}, k={k})" for k in range(4)])
        print([a[3] for a in answers] == [{"batch": batch, "k": k} for k in range(4)])
"""


def test_interrupt_inside_a_read_leaves_the_stream_in_step(tmp_path):
    done = run_with_pool(INTERRUPTED_READ, 1, BIG, cwd=tmp_path, timeout=20)
    assert done.stdout == "True\n" * 3, done.stderr[-2000:]


# An interrupt that lands while put starts the queue's sending thread: the
# thread runs on, but the queue forgets it and starts another at the next put.
INTERRUPTED_FIRST_SEND = """
import contextlib, signal, sys, threading

def main(pool):
    fired = []

    def interrupt_once(frame, event, arg):
        sys.setprofile(None)
        if not fired and threading.current_thread().name == "QueueFeederThread":
            fired.append(True)
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    before = set(threading.enumerate())
    threading.setprofile(interrupt_once)
    try:
        with contextlib.suppress(KeyboardInterrupt):
            pool.map(["xreturn(first=1)"])
    finally:
        threading.setprofile(None)
    jobs = ["order = []", *(f"order.append({k}); xreturn(k={k})" for k in range(300))]
    answers = pool.map([*jobs, "xreturn(order=order)"])
    new = set(threading.enumerate()) - before
    print(len([t for t in new if t.name == "QueueFeederThread"]) <= 1)
    print(answers[-1][3] == {"order": list(range(300))})
    print([a[3] for a in answers[1:-1]] == [{"k": k} for k in range(300)])
"""


def test_interrupted_first_send_leaves_one_sender_and_order(tmp_path):
    done = run_with_pool(INTERRUPTED_FIRST_SEND, 1, cwd=tmp_path, timeout=20)
    sender, order, pairs = (done.stdout.split() + ["(none)"] * 3)[:3]
    assert sender == "True", f"more than one thread sends on a queue\n{done.stderr[-2000:]}"
    assert (order, pairs) == ("True", "True"), "jobs ran out of order"


# --- values of an answer -----------------------------------------------------------

# name: (the next job's change, the job's own value, that value as plain data)
CHANGED_LATER = {
    "list": ("L.append('later')", "L = [{k}]", lambda k: [k]),
    "dict": ("L['later'] = 1", "L = {{'k': {k}}}", lambda k: {"k": k}),
    "numpy array": ("L[:] = -1", "L = np.full(2, {k})", lambda k: [k, k]),
}


def as_plain(value):
    return value.tolist() if hasattr(value, "tolist") else value


@pytest.mark.parametrize("change, make, plain", CHANGED_LATER.values(), ids=CHANGED_LATER.keys())
def test_answer_holds_values_as_they_were_when_its_job_ended(make_pool, change, make, plain):
    pool = make_pool(1)
    pool.map(["import numpy as np", make.format(k=-1)])
    # Each job changes what the job before it handed back, then hands back its own.
    jobs = [f"{change}\n{make.format(k=k)}\nxreturn(v=L)" for k in range(200)]
    got = [a[3]["v"] for a in pool.map(jobs)]
    changed = [k for k, v in enumerate(got) if as_plain(v) != plain(k)]
    assert not changed, f"{len(changed)} of 200 answers changed after their job, first {changed[0]}"


# --- what an idle worker meets ----------------------------------------------------

LATE_ALARM = """
import signal
def late(*_):
    raise ValueError('late alarm')
signal.signal(signal.SIGALRM, late)
signal.setitimer(signal.ITIMER_REAL, 0.1)
"""


def test_an_error_while_waiting_for_a_job_is_no_answer(worker, direct_path_only):
    assert worker.blocked_put(LATE_ALARM) == ok()
    time.sleep(0.5)  # the alarm goes off while the worker waits for its next job
    assert worker.blocked_put("xreturn(a=1)") == ok(a=1)
    assert worker.blocked_put("xreturn(a=2)") == ok(a=2)


class FailsOnArrival:
    """Pickles, but cannot be unpickled: the worker takes it and fails."""

    def __reduce__(self):
        return int, ("not a number",)


def test_a_job_taken_but_not_unpickled_is_answered_in_its_place(pool):
    jobs = [[{"x": FailsOnArrival()}] if k % 5 == 2 else f"xreturn(k={k})" for k in range(30)]
    for k, (status, _, info, values) in enumerate(pool.map(jobs)):
        if k % 5 == 2:
            assert status == "EXCEPTION" and "ValueError" in info and values == {}
        else:
            assert (status, values) == ("SUCCESS", {"k": k})


# --- pickling that raises a BaseException -------------------------------------------


class RefusesPickling:
    def __init__(self, exc):
        self.exc = exc

    def __reduce__(self):
        raise self.exc("refused")


REFUSING_ANSWER = """
class Refuses:
    def __reduce__(self):
        raise {name}('refused')
xreturn(kept=1, r=Refuses())
"""


@pytest.mark.parametrize("exc", [SystemExit, KeyboardInterrupt])
@pytest.mark.parametrize("side", ["job", "answer"])
def test_base_exception_while_pickling_is_an_answer_in_place(pool, side, exc):
    if side == "job":
        bad = [{"r": RefusesPickling(exc)}, "xreturn(kept=1)"]
    else:
        bad = REFUSING_ANSWER.format(name=exc.__name__)
    jobs = [f"xreturn(k={k})" for k in range(6)]
    jobs[2] = bad
    with deadline(5, f"answers to a batch with a {side} whose pickling raises {exc.__name__}"):
        answers = pool.map(jobs)
    status, _, info, values = answers.pop(2)
    assert status == "EXCEPTION" and exc.__name__ in info
    assert values == ({"kept": 1} if side == "answer" else {})
    assert answers == [ok(k=k) for k in (0, 1, 3, 4, 5)]
    with deadline(5, "the next map"):
        assert pool.map(["xreturn(k=0)", "xreturn(k=1)"]) == [ok(k=0), ok(k=1)]


# --- workers that are gone ------------------------------------------------------------


def census():
    return threading.active_count(), len(os.listdir("/proc/self/fd"))


def pool_lifetime():
    pool = polyrun.MultiProcessPool(2)
    procs = [h.proc for h in pool.procs.values()]
    try:
        pool.map(["pass", "pass"])
    finally:
        pool.kill_all()
        for p in procs:
            p.join(10)


def test_killed_workers_leave_no_threads_or_descriptors():
    pool_lifetime()  # whatever is made once per process exists from here on
    gc.collect()
    before = census()
    for _ in range(10):
        pool_lifetime()
    gc.collect()
    stop = time.monotonic() + 5
    while any(n > b for n, b in zip(census(), before, strict=True)) and time.monotonic() < stop:
        time.sleep(0.05)  # threads that were told to end take a moment
    (threads, fds), (threads_before, fds_before) = census(), before
    assert threads <= threads_before, f"{threads - threads_before} threads left by 10 pools of 2"
    assert fds <= fds_before, f"{fds - fds_before} descriptors left by 10 pools of 2"


KILLED_MID_ANSWER = """
import time
from vantrel import polyrun

def main(pool, size, reader):
    (h,) = pool.procs.values()
    h.qi.put(f"xreturn(b=bytes({size}))")
    while h.qo.empty():
        time.sleep(0.005)
    h.proc.kill()  # the answer stops part-way through the pipe
    h.proc.join()
    read = {
        "reduce": lambda: polyrun.reduce([h.qo]),
        "blocked_put": lambda: h.blocked_put("pass"),
        "map": lambda: pool.map(["pass"]),
    }[reader]
    started = time.monotonic()
    try:
        read()
    except RuntimeError as e:
        print(h.proc.pid, round(time.monotonic() - started), e)
"""


@pytest.mark.parametrize("reader", ["reduce", "blocked_put", "map"])
def test_worker_killed_mid_answer_ends_the_read(tmp_path, reader):
    done = run_with_pool(KILLED_MID_ANSWER, 1, BIG, reader, cwd=tmp_path, timeout=15)
    pid, seconds, message = (done.stdout.split(" ", 2) + ["", "", ""])[:3]
    assert f"worker process {pid} ended (exit code -9)" in message, done.stdout + done.stderr
    assert int(seconds) < 5


MEETS_A_DEAD_WORKER = """
import sys
from vantrel import polyrun

pool = polyrun.MultiProcessPool(2)
first = next(iter(pool.procs.values()))
big = [{"pad": bytes(int(sys.argv[1]))}, "pass"]
case = sys.argv[2]
if case == "busy":  # killed while a large job waits for it
    pool.map(["import time; time.sleep(60)", "pass", big], block=False)
else:
    first.proc.kill()
    first.proc.join()
    try:
        pool.map([big, "pass"]) if case == "map" else first.blocked_put(big)
    except RuntimeError:
        pass
pool.kill_all()
print("exiting")
"""


@pytest.mark.parametrize("case", ["map", "blocked_put", "busy"])
def test_a_program_that_met_a_dead_worker_exits(tmp_path, case):
    program = [sys.executable, "-c", MEETS_A_DEAD_WORKER, str(BIG), case]
    done = run_program(program, cwd=tmp_path, timeout=15)
    assert (done.returncode, done.stdout) == (0, "exiting\n"), done.stderr[-2000:]
