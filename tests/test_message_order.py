"""What a caller sees on a worker's queues: one order for every message, small
or large, sent by hand or by the library; counts that stay right; answers
that pair with their jobs under random interrupts; queue subclasses served
through their own put and get."""

import multiprocessing
import multiprocessing.queues
import os
import queue
import signal
import threading
import time
import types

import pytest
from programs import TaggedQueue, run_with_pool
from waits import deadline

import vantrel.monorun as m

pytestmark = pytest.mark.timeout(60)

# Larger than a pipe can hold (64 KiB by default, at most 1 MiB here).
LARGE = 1_500_000


def job(k, size_in=0, size_out=0):
    """Job k carries size_in bytes and hands back k and size_out bytes."""
    return [{"pad_in": bytes(size_in)}, f"xreturn(k={k}, pad=bytes({size_out}))"]


def answered(answer, k, size_out=0):
    status, _, info, values = answer
    assert status == "SUCCESS", info
    assert values.keys() == {"k", "pad"} and values["k"] == k, f"answer to job {values['k']}"
    assert len(values["pad"]) == size_out
    return True


def assert_drained(handle):
    assert handle.qi.qsize() == 0 and handle.qo.qsize() == 0
    assert handle.qo.empty()
    with pytest.raises(queue.Empty):
        handle.qo.get(block=False)


@pytest.fixture
def stopped(make_pool):
    """A pool of one worker and its handle; `stopped.hold()` stops the worker
    until the end of the test or `stopped.release()`."""
    pool = make_pool(1)
    pool.map(["pass"])  # started and idle
    (h,) = pool.procs.values()
    state = types.SimpleNamespace(pool=pool, h=h, held=False)

    def hold():
        os.kill(h.proc.pid, signal.SIGSTOP)
        state.held = True

    def release():
        if state.held:
            os.kill(h.proc.pid, signal.SIGCONT)
            state.held = False

    state.hold, state.release = hold, release
    yield state
    release()


def test_mixed_sizes_in_and_out_read_by_hand_in_job_order(pool):
    sizes = [(LARGE if k % 3 == 0 else 0, LARGE if k % 4 == 1 else 0) for k in range(120)]
    with deadline(60, "120 mixed jobs"):
        queues = pool.map([job(k, *s) for k, s in enumerate(sizes)], block=False)
        for k, (q, (_, size_out)) in enumerate(zip(queues, sizes, strict=True)):
            if k % 2:
                answer = q.get()
            else:  # the answer is there once the queue says so
                while q.empty():
                    time.sleep(0.001)
                answer = q.get(block=False)
            assert answered(answer, k, size_out)
    for h in pool.procs.values():
        assert_drained(h)


ONE_ORDER = {
    "large by hand, small by map": (LARGE, 0),
    "small by hand, large by map": (0, LARGE),
    "large both ways": (LARGE, LARGE),
}


@pytest.mark.parametrize("by_hand, by_map", ONE_ORDER.values(), ids=ONE_ORDER.keys())
def test_hand_puts_and_map_share_one_order(stopped, by_hand, by_map):
    h = stopped.h
    stopped.hold()  # nothing is taken, so everything queues up behind the first
    with deadline(10, "sends to a stopped worker"):
        h.qi.put(job(0, by_hand))
        stopped.pool.map([job(1, by_map), job(2)], block=False)
        h.qi.put(job(3, by_hand))
    assert h.qi.qsize() == 4
    stopped.release()
    with deadline(30, "four answers"):
        for k in range(4):
            assert answered(h.qo.get(), k)
    assert_drained(h)


@pytest.mark.parametrize("by_hand", [0, LARGE], ids=["small", "large"])
def test_blocked_put_after_hand_puts_returns_the_oldest_answer(stopped, by_hand):
    h = stopped.h
    stopped.hold()
    h.qi.put(job(0, by_hand))
    h.qi.put(job(1, by_hand))
    threading.Timer(0.2, stopped.release).start()
    with deadline(30, "blocked_put behind jobs put by hand"):
        assert answered(h.blocked_put(job(2, LARGE)), 0)
        assert answered(h.qo.get(), 1) and answered(h.qo.get(), 2)
    assert_drained(h)


def test_large_messages_nobody_reads_yet_stall_neither_side(stopped, tmp_path):
    h, reached = stopped.h, tmp_path / "reached"
    jobs = [job(k, LARGE, LARGE) for k in range(3)]
    jobs.append(["import pathlib", f"pathlib.Path({str(reached)!r}).touch()", "xreturn(k=3)"])
    stopped.hold()
    with deadline(10, "map(block=False) to a stopped worker"):
        stopped.pool.map(jobs, block=False)  # hands the jobs over, taken or not
    assert h.qi.qsize() == 4
    stopped.release()
    # Its answers unread, the worker still goes on to the last job.
    with deadline(10, "the last job, with three large answers unread"):
        while not reached.exists():
            time.sleep(0.01)
    with deadline(30, "the answers"):
        for k in range(3):
            assert answered(h.qo.get(), k, LARGE)
        assert h.qo.get() == ["SUCCESS", "", "", {"k": 3}]
    assert_drained(h)


# Random interrupts (a timer tick raises KeyboardInterrupt) land anywhere in
# map: while it drains, sends, or reads small and large answers.
RANDOM_INTERRUPTS = """
import random, signal

def main(pool, seed, maps):
    rng = random.Random(int(seed))
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    interrupted = 0
    for batch in range(int(maps)):
        pads = [rng.choice([0, 0, 0, 300_000]) for _ in range(40)]
        jobs = [[{"in": bytes(p)}, f"xreturn(batch={batch}, k={k}, out=bytes({p}))"]
                for k, p in enumerate(pads)]
        try:
            signal.setitimer(signal.ITIMER_REAL, rng.uniform(0, 0.05))
            answers = pool.map(jobs)
            signal.setitimer(signal.ITIMER_REAL, 0)
        except KeyboardInterrupt:
            interrupted += 1
            continue
        got = [(a[3].get("batch"), a[3].get("k")) for a in answers]
        assert got == [(batch, k) for k in range(40)], f"map {batch}: {got}"
    answers = pool.map([f"xreturn(k={k})" for k in range(8)])
    assert [a[3] for a in answers] == [{"k": k} for k in range(8)], answers
    print("paired", interrupted)
"""


@pytest.mark.timeout(240)  # nine programs, each with its own time-out
def test_answers_pair_with_their_jobs_under_random_interrupts(tmp_path):
    # Fresh programs as well as a long one: a program's first maps learn the
    # queue layout and start the feeder threads, and interrupts there take
    # paths of their own.
    interrupted = 0
    for seed, maps in [(1, 80), *((seed, 8) for seed in range(2, 10))]:
        done = run_with_pool(RANDOM_INTERRUPTS, 2, seed, maps, cwd=tmp_path, timeout=40)
        assert done.stdout.startswith("paired "), f"seed {seed}: {done.stderr[-3000:]}"
        interrupted += int(done.stdout.split()[1])
    assert interrupted > 0


def test_queue_subclasses_carry_every_message_through_their_own_put_and_get(monkeypatch, make_pool):
    monkeypatch.setattr(
        m, "mp", types.SimpleNamespace(Queue=TaggedQueue, Process=multiprocessing.Process)
    )
    pool = make_pool(2)
    first = next(iter(pool.procs.values()))
    assert type(first.qi) is type(first.qo) is TaggedQueue
    sizes = [LARGE if k % 5 == 0 else 0 for k in range(40)]
    with deadline(60, "jobs on queue subclasses"):
        for k, answer in enumerate(pool.map([job(k, s, s) for k, s in enumerate(sizes)])):
            assert answered(answer, k, sizes[k])
        assert answered(first.blocked_put(job(7, LARGE)), 7)
        first.qi.put(job(8))
        assert answered(first.qo.get(), 8)
        queues = pool.map([job(k) for k in range(4)], block=False)
        assert [answered(q.get(), k) for k, q in enumerate(queues)] == [True] * 4
