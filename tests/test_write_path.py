"""Messages of every size, deaths and interrupts while messages wait to be
written or are being pickled, and reducers registered late.

Every case that could hang (a write that waits for ever, a wait that misses a
dead worker) runs as a program of its own, in a process group of its own, with
a hard time-out: a hang fails the test and takes its workers with it. Time
bounds are generous; they only tell "at once" from "after the other jobs".
"""

import pytest
from programs import run_program, run_with_pool

pytestmark = pytest.mark.timeout(180)


@pytest.fixture
def run(request, tmp_path):
    """run(body, workers, *args): main(pool, *args) as a program of its own, on
    the queue path this run tests; returns its stdout lines."""
    path = request.config.getoption("--queue-path")
    preamble = "" if path == "direct" else "import vantrel._control\n"
    if preamble:
        preamble += "vantrel._control.queue_fast_path = False\n"

    def run_body(body, workers, *args, timeout=60):
        done = run_with_pool(preamble + body, workers, *args, cwd=tmp_path, timeout=timeout)
        assert done.returncode == 0, done.stderr[-3000:]
        return done.stdout.split("\n")[:-1]

    return run_body


# --- sizes across page boundaries, each way -------------------------------------------

# A job of `size` bytes (its text) whose answer prints `back` characters.
# Sizes straddle what a pipe's pages, PIPE_BUF and a pipe's capacity hold.
SIZES = """
import random

SIZES = [1, 60, 1400, 2047, 2049, 2100, 3000, 4087, 4092, 4096, 4097, 8193, 16385,
         30000, 65531, 65536, 70000]

def job(k, size, back):
    pad = "#" * max(0, size - 60)
    return f"{pad}\\nxprint('y' * {back}, end='')\\nxreturn(k={k})"

def check(answers, backs, what):
    got = [(a[0], len(a[1]), a[3]) for a in answers]
    want = [("SUCCESS", back, {"k": k}) for k, back in enumerate(backs)]
    assert got == want, (what, [k for k, (g, w) in enumerate(zip(got, want)) if g != w][:5])

def batch(rng, n):
    sizes = [rng.choice(SIZES) for _ in range(n)]
    backs = [rng.choice(SIZES) for _ in range(n)]
    return [job(k, s, b) for k, (s, b) in enumerate(zip(sizes, backs))], backs

def main(pool, seed):
    rng = random.Random(int(seed))
    # Every size each way, many of one size in a row, then mixed.
    for size in SIZES:
        check(pool.map([job(k, size, size) for k in range(60)]), [size] * 60, size)
    for _ in range(4):
        jobs, backs = batch(rng, 150)
        check(pool.map(jobs), backs, "mixed, blocking")
        jobs, backs = batch(rng, 150)
        from vantrel import polyrun
        check(polyrun.reduce(pool.map(jobs, block=False)), backs, "mixed, reduce")
        jobs, backs = batch(rng, 150)
        check([q.get() for q in pool.map(jobs, block=False)], backs, "mixed, hand gets")
    (first, *_) = pool.procs.values()
    check([first.blocked_put(job(k, s, s)) for k, s in enumerate(SIZES)], SIZES, "blocked_put")
    print("ok")
"""


@pytest.mark.parametrize("workers", [1, 2, 3])
def test_messages_of_every_size_each_way(run, workers):
    assert run(SIZES, workers, workers, timeout=120) == ["ok"]


# Sizes drawn by hypothesis, in a program of its own (a hang cannot wedge the run).
DRAWN_SIZES = """
from hypothesis import HealthCheck, given, settings, strategies as st
from vantrel import polyrun

size = st.integers(1, 70_000) | st.sampled_from([2049, 2100, 4096, 4097, 65536])

@settings(max_examples=15, deadline=None, database=None,
          suppress_health_check=list(HealthCheck))
@given(st.lists(st.tuples(size, size), min_size=1, max_size=80), st.booleans())
def maps(pool, pairs, block):
    jobs = [f"{'#' * s}\\nxprint('y' * {b}, end='')\\nxreturn(k={k})"
            for k, (s, b) in enumerate(pairs)]
    answers = pool.map(jobs) if block else polyrun.reduce(pool.map(jobs, block=False))
    assert [(len(a[1]), a[3]) for a in answers] == [(b, {"k": k}) for k, (_, b) in enumerate(pairs)]

def main(pool):
    maps(pool)
    print("ok")
"""


def test_drawn_sizes(run):
    assert run(DRAWN_SIZES, 2, timeout=120) == ["ok"]


# --- deaths while jobs wait to be written -------------------------------------------

# The first job keeps the worker busy; the jobs behind it fill its pipe and
# wait. The worker is killed: the map raises at once.
KILLED_WHILE_JOBS_WAIT = """
import os, signal, threading, time

def main(pool):
    (h,) = pool.procs.values()
    threading.Timer(0.5, os.kill, (h.proc.pid, signal.SIGKILL)).start()
    jobs = ["import time; time.sleep(30)"] + ["#" * 2100 + "\\nxprint('y' * 2100)"] * 100
    started = time.monotonic()
    try:
        pool.map(jobs)
    except RuntimeError as e:
        print(time.monotonic() - started < 10, "without answering job 0" in str(e))
"""


def test_worker_killed_while_jobs_wait_to_be_written(run):
    assert run(KILLED_WHILE_JOBS_WAIT, 1) == ["True True"]


# Worker 1 dies while worker 0 runs a long job 0: the map raises for worker 1
# at once, naming its first job left unanswered (3: jobs 1 was answered).
OTHER_WORKER_DIES = """
import os, signal, threading, time

def main(pool, block):
    pids = list(pool.procs)
    jobs = ["import time; time.sleep(30)", "pass", "pass", "import time; time.sleep(30)"]
    threading.Timer(1, os.kill, (pids[1], signal.SIGKILL)).start()
    started = time.monotonic()
    try:
        if block == "True":
            pool.map(jobs)
        else:
            from vantrel import polyrun
            polyrun.reduce(pool.map(jobs, block=False))
    except RuntimeError as e:
        head = str(e).partition(": ")[0]  # after it: how the worker ended
        print(time.monotonic() - started < 10, f"process {pids[1]} " in head, head[-5:])
"""


@pytest.mark.parametrize("block", [True, False], ids=["map", "reduce"])
def test_death_of_any_worker_owing_answers_ends_the_map(run, block):
    assert run(OTHER_WORKER_DIES, 2, block) == ["True True job 3"]


# A worker that answered all it owed and then ended costs the map nothing.
ENDED_AFTER_ANSWERING = """
def main(pool):
    last = "import os, threading\\nthreading.Timer(0.2, os._exit, (0,)).start()\\nxreturn(k=3)"
    jobs = ["import time; time.sleep(2)\\nxreturn(k=0)", "xreturn(k=1)", "xreturn(k=2)", last]
    print([a[3] for a in pool.map(jobs)] == [{"k": k} for k in range(4)])
"""


def test_worker_that_ended_after_answering_all_it_owed(run):
    assert run(ENDED_AFTER_ANSWERING, 2) == ["True"]


# --- the caller's interrupts ----------------------------------------------------------

# Ctrl-C while map waits for a busy worker with jobs still held back.
INTERRUPT_WHILE_JOBS_WAIT = """
import signal, threading, time

def main(pool):
    main_thread = threading.main_thread().ident
    threading.Timer(0.5, signal.pthread_kill, (main_thread, signal.SIGINT)).start()
    jobs = ["import time; time.sleep(3)"] + ["#" * 2100 + "\\nxprint('y' * 2100)"] * 100
    started = time.monotonic()
    try:
        pool.map(jobs)
    except KeyboardInterrupt:
        print(time.monotonic() - started < 2.5)
    answers = pool.map([f"xreturn(k={k})" for k in range(3)])
    print([a[3] for a in answers] == [{"k": k} for k in range(3)])
"""


def test_interrupt_while_jobs_wait_to_be_written(run):
    assert run(INTERRUPT_WHILE_JOBS_WAIT, 1) == ["True", "True"]


# Ctrl-C while map (or blocked_put) pickles a job whose __reduce__ runs Python
# code for a while: the call ends with KeyboardInterrupt, later calls pair.
INTERRUPT_WHILE_PICKLING = """
import signal, threading, time

class Slow:
    def __reduce__(self):
        end = time.monotonic() + 0.05
        while time.monotonic() < end:
            pass
        return (int, (1,))

def interrupt_soon():
    main_thread = threading.main_thread().ident
    threading.Timer(0.3, signal.pthread_kill, (main_thread, signal.SIGINT)).start()

def main(pool):
    (first, *_) = pool.procs.values()
    for round in range(3):
        interrupt_soon()
        try:
            pool.map([[{"slow": Slow()}, f"xreturn(k={k})"] for k in range(40)])
            print("map ended")
        except KeyboardInterrupt:
            pass
        interrupt_soon()
        try:
            for k in range(40):
                first.blocked_put([{"slow": Slow()}, "pass"])
            print("blocked_put ended")
        except KeyboardInterrupt:
            pass
        answers = pool.map([f"xreturn(k={k})" for k in range(5)])
        print([a[3] for a in answers] == [{"k": k} for k in range(5)])
"""


def test_interrupt_while_pickling_a_job_is_the_callers(run):
    assert run(INTERRUPT_WHILE_PICKLING, 2) == ["True"] * 3


# --- reducers registered late ---------------------------------------------------------

LATE_REDUCERS = """
import copyreg
from multiprocessing.reduction import ForkingPickler

class Point:
    def __init__(self, x):
        self.x = x

def by_copyreg(p):
    return (tuple, ((p.x, "copyreg"),))

def by_forking_pickler(p):
    return (list, ([p.x, "ForkingPickler"],))

def sent(pool, x):
    return pool.map([[{"p": Point(x)}, "xreturn(p=p)"]])[0][3].get("p")

# Defined in the worker, where it cannot be pickled by reference, then
# registered with copyreg once the worker has answered.
WORKER_CLASS = '''
class Here:
    def __init__(self, x):
        self.x = x
xreturn(before=1)
'''
WORKER_REGISTERS = '''
import copyreg
copyreg.pickle(Here, lambda h: (str, (f"Here {h.x}",)))
xreturn(h=Here(7))
'''

def main(pool):
    print(pool.map([[{"warm": 1}, "xreturn(warm=warm)"]])[0][3])
    copyreg.pickle(Point, by_copyreg)
    print(sent(pool, 1))
    ForkingPickler.register(Point, by_forking_pickler)
    print(sent(pool, 2))
    ForkingPickler.register(Point, by_copyreg)
    print(sent(pool, 3))
    answers = pool.map([WORKER_CLASS, "xreturn(h=Here(1))", WORKER_REGISTERS, "xreturn(k=1)"])
    print([a[0] for a in answers], answers[2][3], answers[3][3])
    print([h.proc.is_alive() for h in pool.procs.values()])
"""


def test_reducers_registered_late_are_used(run):
    assert run(LATE_REDUCERS, 1) == [
        "{'warm': 1}",
        "(1, 'copyreg')",
        "[2, 'ForkingPickler']",
        "(3, 'copyreg')",
        "['SUCCESS', 'EXCEPTION', 'SUCCESS', 'SUCCESS'] {'h': 'Here 7'} {'k': 1}",
        "[True]",
    ]


# --- an interrupt while the first queue is looked at -----------------------------------

# Ctrl-C lands while the layout of multiprocessing's queues is checked (at the
# first queue met): the check is not taken as failed, which would send every
# queue of the process through the public path for good (with a warning).
INTERRUPTED_CHECK = """
import os, sys, threading, warnings
from vantrel import monorun

fired = []
me = os.getpid()

def trace(frame, event, arg):
    # The first Condition made without a lock is the check's own probe.
    if (event == "call" and frame.f_code is threading.Condition.__init__.__code__
            and frame.f_locals.get("lock") is None and not fired and os.getpid() == me):
        fired.append(True)
        raise KeyboardInterrupt
    return None

warnings.simplefilter("error", RuntimeWarning)
sys.settrace(trace)
try:
    monorun.SingleProcess()
    print("not interrupted")
except KeyboardInterrupt:
    print("interrupted")
sys.settrace(None)
print(monorun.SingleProcess().blocked_put("xreturn(a=1)"))
sys.stdout.flush()
os._exit(0)
"""


def test_interrupt_while_the_queue_layout_is_checked(tmp_path, direct_path_only):
    done = run_program(INTERRUPTED_CHECK, cwd=tmp_path, timeout=60)
    assert done.stdout.split("\n")[:2] == ["interrupted", "['SUCCESS', '', '', {'a': 1}]"], (
        done.stderr[-2000:]
    )
