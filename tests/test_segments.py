"""Shared-memory segments: reused, mapped privately, bounded, and safe around
forks, threads and interrupts."""

import operator
import os
import pickle
import shutil
import sys

import numpy as np
import pytest
from programs import run_program
from test_large_data import nothing_left, segments  # noqa: F401 (autouse fixture)

import vantrel._control as control

THRESHOLD = control.shared_memory_threshold


# --- the settings ---------------------------------------------------------------


@pytest.mark.parametrize("value", [1.5, "1024", None, -1])
def test_a_bad_threshold_is_refused_where_it_is_set(value, monkeypatch):
    before = control.shared_memory_threshold
    with pytest.raises((TypeError, ValueError), match="shared_memory_threshold"):
        control.shared_memory_threshold = value
    assert control.shared_memory_threshold == before


@pytest.mark.parametrize("value", [np.int64(THRESHOLD), 2**70, THRESHOLD + 0.0])
def test_any_integer_threshold_works_for_every_job(value, make_worker, monkeypatch):
    if isinstance(value, float):  # a whole float is still no integer
        with pytest.raises(TypeError):
            control.shared_memory_threshold = value
        return
    monkeypatch.setattr(control, "shared_memory_threshold", value)
    w = make_worker()
    a = np.arange(THRESHOLD // 4, dtype=np.float64)  # 2x the threshold
    answer = w.blocked_put([{"a": a, "small": np.arange(3)}, "xreturn(a=a, s=int(small.sum()))"])
    assert answer[0] == "SUCCESS", answer[2]
    assert np.array_equal(answer[3]["a"], a) and answer[3]["s"] == 3
    assert control.shared_memory_threshold == operator.index(value)


# --- a PickleBuffer keeps its type across the threshold ----------------------------


@pytest.mark.parametrize("size", [THRESHOLD - 1, THRESHOLD, THRESHOLD + 1, 3 * THRESHOLD])
@pytest.mark.parametrize("exporter", [bytearray, bytes])
def test_a_pickle_buffer_arrives_as_a_bytearray_at_any_size(size, exporter, worker):
    payload = exporter(b"v" * size)
    answer = worker.blocked_put(
        [{"b": pickle.PickleBuffer(payload)}, "xreturn(kind=type(b).__name__, back=b)"]
    )
    assert answer[0] == "SUCCESS", answer[2]
    # From 3.14 the pickler lets no read-only flag be cleared: a buffer over
    # bytes goes whole through the pipe, and arrives as bytes at every size.
    kind = bytes if exporter is bytes and sys.version_info >= (3, 14) else bytearray
    assert answer[3]["kind"] == kind.__name__
    assert type(answer[3]["back"]) is kind and answer[3]["back"] == payload


# --- reuse ------------------------------------------------------------------------

BIG = THRESHOLD // 8 * 2  # float64 elements: 2x the threshold


def test_a_segment_is_written_again_only_once_nothing_maps_it(worker):
    # Answers kept alive while more come: none is written over.
    kept = [
        worker.blocked_put([f"import numpy as np; xreturn(a=np.full({BIG}, {i}.0))"])[3]["a"]
        for i in range(6)
    ]
    # Jobs whose arrays the worker keeps in its namespace while more come.
    for i in range(6):
        answer = worker.blocked_put(
            [{"a": np.full(BIG, float(i))}, f"kept_{i} = a; xreturn(s=float(a.sum()))"]
        )
        assert answer[3]["s"] == i * BIG
    check = " and ".join(f"bool((kept_{i} == {i}).all())" for i in range(6))
    assert worker.blocked_put([f"xreturn(ok={check})"])[3]["ok"]
    assert all((a == i).all() for i, a in enumerate(kept))
    del kept
    worker.blocked_put(["\n".join(f"del kept_{i}" for i in range(6))])

    # Round trips of one size from now on use the pages already there.
    def round_trip(i):
        answer = worker.blocked_put([{"a": np.full(BIG, float(i))}, "xreturn(a=a + 1)"])
        assert (answer[3]["a"] == i + 1).all()

    for i in range(3):
        round_trip(i)
    there = segments()
    for i in range(20):
        round_trip(i)
        assert segments() <= there, "a segment made anew"


def test_an_array_sent_again_arrives_with_every_change(worker):
    # The sender writes only what differs from what a segment holds: changes
    # at the start, in the middle, at the end, and none at all.
    a = np.zeros(BIG * 2)
    job = [{"a": a}, "xreturn(s=float(a.sum()), head=float(a[0]), tail=float(a[-1]))"]
    expected = 0.0
    for at in [None, 0, None, BIG, -1, None, 1, BIG * 2 - 40000, None, None]:
        if at is not None:
            a[at] += 1.0
            expected += 1.0
        values = worker.blocked_put(job)[3]
        assert values == {"s": expected, "head": a[0], "tail": a[-1]}, at


def test_a_low_share_sends_through_the_pipe(make_worker, monkeypatch):
    monkeypatch.setattr(control, "shared_memory_share", 0.0)
    w = make_worker()
    a = np.arange(BIG, dtype=np.float64)
    answer = w.blocked_put(
        [{"a": a}, "xreturn(a=a, mapped=type(memoryview(a).obj).__name__ == 'Segment')"]
    )
    assert answer[0] == "SUCCESS", answer[2]
    assert not answer[3]["mapped"] and np.array_equal(answer[3]["a"], a)
    assert not through_shared_memory(answer[3]["a"])
    with pytest.raises(ValueError, match="shared_memory_share"):
        control.shared_memory_share = 1.5


def through_shared_memory(array):
    base = array
    while isinstance(base, np.ndarray):
        base = base.base
    return isinstance(base, memoryview) and type(base.obj).__name__ == "Segment"


# --- forks, threads, interrupts, a small /dev/shm -------------------------------------

FORKED_CHILD = """
import os, numpy as np
from vantrel import monorun
N = %d
w = monorun.SingleProcess()
a = w.blocked_put([f"import numpy as np; xreturn(a=np.zeros({N}))"])[3]["a"]
to_parent, from_child = os.pipe()
to_child, from_parent = os.pipe()
pid = os.fork()
if pid == 0:
    a[0] = 1.0
    os.write(from_child, b"x")
    os.read(to_child, 1)
    os._exit(0 if a[0] == 1.0 and a[1] == 0.0 and not a[2:].any() else 1)
os.read(to_parent, 1)
parent_saw = a[0]
a[1] = 2.0
del a
# The worker answers again: it must not write where the child still reads.
for i in range(3):
    assert (w.blocked_put([f"xreturn(a=np.full({N}, {i} + 5.0))"])[3]["a"] == i + 5).all()
os.write(from_parent, b"x")
_, status = os.waitpid(pid, 0)
w.kill()
print(parent_saw, os.waitstatus_to_exitcode(status))
"""


def test_a_received_array_is_copy_on_write_in_a_forked_child(tmp_path):
    done = run_program(FORKED_CHILD % BIG, cwd=tmp_path, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["0.0", "0"], done.stdout + done.stderr


FORK_WHILE_SENDING = """
import multiprocessing, sys, threading
import numpy as np
from vantrel import monorun
multiprocessing.set_start_method("fork")
a = np.ones(%d)
stop = threading.Event()
def send(busy):
    while not stop.is_set():
        assert busy.blocked_put([{"a": a}, "xreturn(a=a)"])[0] == "SUCCESS"
senders = [monorun.SingleProcess() for _ in range(2)]
threads = [threading.Thread(target=send, args=(s,)) for s in senders]
for thread in threads:
    thread.start()
try:
    for _ in range(40):
        w = monorun.SingleProcess()
        assert w.blocked_put([{"a": a}, "xreturn(a=a * 2)"])[0] == "SUCCESS"
        w.kill()
finally:
    stop.set()
    for thread in threads:
        thread.join()
    for s in senders:
        s.kill()
print("ok")
"""


def test_workers_forked_while_another_thread_sends_large_data(tmp_path):
    done = run_program(FORK_WHILE_SENDING % (THRESHOLD // 8), cwd=tmp_path, timeout=90)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr


INTERRUPTED = """
import signal, threading, time
import numpy as np
from vantrel import polyrun
pool = polyrun.MultiProcessPool(2)
jobs = [[{"a": np.ones(%d)}, "xreturn(a=a)"]] * 30
main = threading.main_thread().ident
for i in range(6):
    timer = threading.Timer(0.02 + 0.03 * i, lambda: signal.pthread_kill(main, signal.SIGINT))
    timer.start()
    try:
        pool.map(jobs)
        # A map that ended first takes its interrupt here, never past the try.
        timer.join()
        time.sleep(0.05)
    except KeyboardInterrupt:
        pass
    timer.join()
assert [a[0] for a in pool.map(["pass"] * 2)] == ["SUCCESS"] * 2
pool.kill_all()
print("ok")
"""


def test_interrupts_while_answers_arrive_leave_the_tracker_nothing(tmp_path):
    done = run_program(INTERRUPTED % BIG, cwd=tmp_path, timeout=60)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr
    assert "resource_tracker" not in done.stderr and "leaked" not in done.stderr, done.stderr


SMALL_SHM = """
import numpy as np
from multiprocessing import shared_memory
from vantrel import monorun
w = monorun.SingleProcess()
small = w.blocked_put(["import numpy as np; xreturn(a=np.ones(1_000_000))"])[3]["a"]
big = w.blocked_put(["xreturn(a=np.ones(5_000_000))"])[3]["a"]  # 40 MB of a 50 MB /dev/shm
# Another program's 20 MB shared-memory write finds room.
other = shared_memory.SharedMemory(create=True, size=20_000_000)
np.ndarray(2_500_000, buffer=other.buf)[:] = 3.0
other.close()
other.unlink()
def kind(x):
    while isinstance(x, np.ndarray):
        x = x.base
    return type(x.obj).__name__ if isinstance(x, memoryview) else type(x).__name__
w.kill()
print(small.sum() + big.sum(), kind(small), kind(big))
"""


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("unshare"), reason="mounts a tmpfs")
def test_a_small_dev_shm_keeps_room_for_others(tmp_path):
    script = tmp_path / "small_shm.py"
    script.write_text(SMALL_SHM)
    done = run_program(
        [
            "unshare",
            "-m",
            "sh",
            "-c",
            f"mount -t tmpfs -o size=50m tmpfs /dev/shm && exec {sys.executable} {script}",
        ],
        cwd=tmp_path,
        timeout=60,
    )
    if done.returncode != 0 and "propagation" in done.stderr:
        pytest.skip(f"no mount namespace of our own here: {done.stderr.strip()}")
    assert done.returncode == 0, done.stderr
    # The 8 MB answer through shared memory, the 40 MB one through the pipe.
    assert done.stdout.split() == ["6000000.0", "Segment", "bytearray"], done.stdout + done.stderr


def test_a_replaced_worker_leaves_no_segment(pool):
    a = np.ones(BIG)
    # Each worker keeps the job's array and holds its answer's segment as a spare.
    for _ in range(2):
        answers = pool.map([[{"a": a}, "b = a; xreturn(a=a)"]] * 2)
        assert all(answer[0] == "SUCCESS" for answer in answers)
    del answers
    old = list(pool.procs)[0]
    pool.replace_worker(0)
    assert not [name for name in segments() if f"_{old}_" in name]
    assert pool.map([[{"a": a}, "xreturn(s=float(a.sum()))"]] * 2)[0][3]["s"] == BIG


LEFT_RUNNING = """
import os
import numpy as np
from vantrel import monorun
a = np.ones(%d)
w = monorun.SingleProcess()
for job in ([{"a": a}, "xreturn(s=float(a.sum()))"], [{"a": a}, "xreturn(a=a)"]):
    for _ in range(3):
        assert w.blocked_put(job)[0] == "SUCCESS"
print("ok", flush=True)
os._exit(0)  # no exit steps: the worker ends on its own once it sees its caller gone
"""


def test_a_caller_gone_without_its_exit_steps_leaves_nothing(tmp_path):
    done = run_program(LEFT_RUNNING % BIG, cwd=tmp_path, timeout=60)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr
    # (Queues' semaphores may be reported under forkserver: not ours to unlink.)
    assert "leaked shared_memory" not in done.stderr, done.stderr
