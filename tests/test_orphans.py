"""Workers whose caller process is gone end by themselves; workers whose caller
lives never do, however long they idle.

The caller is a real program killed outright (SIGKILL), as the out-of-memory
killer or a crashing notebook kernel would end it. Each program runs in a
session of its own, and the whole session is killed when the test ends, so a
worker that does not end by itself fails its test without outliving it.
"""

import json
import os
import queue
import signal
import subprocess
import sys
import threading
import time

import pytest
from programs import Watch

# Generous bounds: the workers are expected to go within about a second.
ENDS = 15

# A pool of two and a single worker. They run one job each, idle for `idle`
# seconds, and run one job each again: the answers name the workers' pids.
# With `busy`, a job then keeps worker 0 busy while the caller waits in `map`.
CALLER = r"""
import json, multiprocessing, os, sys, threading, time
cfg = json.loads(sys.argv[1])
multiprocessing.set_start_method(cfg["method"])
from vantrel import monorun, polyrun

made = []
def make():
    made.append(polyrun.MultiProcessPool(2))
    made.append(monorun.SingleProcess())
if cfg["thread"]:
    # The thread that starts the workers ends; the caller lives on.
    maker = threading.Thread(target=make)
    maker.start()
    maker.join()
else:
    make()
pool, single = made
print("workers", json.dumps(list(pool.procs) + [single.proc.pid]), flush=True)

def answer_pids():
    job = "import os\nxreturn(pid=os.getpid())"
    answers = pool.map([job] * 2) + [single.blocked_put(job)]
    assert [a[0] for a in answers] == ["SUCCESS"] * 3, answers
    return [a[3]["pid"] for a in answers]

first = answer_pids()
time.sleep(cfg["idle"])
print("answered", json.dumps(first + answer_pids()), flush=True)
if cfg["busy"]:
    pool.map([cfg["busy"], "pass"])
time.sleep(600)
"""

# A parent that starts the caller and stays alive. As a subreaper it adopts
# the caller's orphans and reports each one it reaps.
PARENT = r"""
import ctypes, json, os, subprocess, sys, time
if sys.argv[1] == "subreaper":
    PR_SET_CHILD_SUBREAPER = 36
    assert ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0
caller = subprocess.Popen([sys.executable, "-c", sys.argv[2], sys.argv[3]])
print("caller", json.dumps(caller.pid), flush=True)
while True:
    try:
        pid, _ = os.wait()
        print("reaped", json.dumps(pid), flush=True)
    except ChildProcessError:
        time.sleep(0.05)
"""


class Program:
    """A program in a session of its own, its output read line by line."""

    def __init__(self, args, tmp_path):
        self.errors = tmp_path / f"stderr-{len(list(tmp_path.glob('stderr-*')))}"
        with open(self.errors, "w") as err:
            self.proc = subprocess.Popen(
                args,
                cwd=tmp_path,
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=err,
                text=True,
                start_new_session=True,
            )
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line)
        self.lines.put(None)  # end of file: nobody holds the output open

    def expect(self, word, timeout=60):
        """The value on the next line that starts with `word`."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0, deadline - time.monotonic()))
            except queue.Empty:
                line = None
            assert line is not None, f"no line {word!r}\n{self.stderr()}"
            if line.startswith(word + " "):
                return json.loads(line.split(" ", 1)[1])

    def closed_output(self, timeout):
        """True when the program's output reaches its end within `timeout`."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                if self.lines.get(timeout=max(0, deadline - time.monotonic())) is None:
                    return True
            except queue.Empty:
                return False

    def stderr(self):
        return self.errors.read_text()

    def kill_session(self):
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()


@pytest.fixture
def program(tmp_path):
    started = []

    def start(*args):
        started.append(Program([sys.executable, "-c", *args], tmp_path))
        return started[-1]

    yield start
    for p in started:
        p.kill_session()


def caller_config(method="fork", thread=False, idle=0, busy=None):
    return json.dumps({"method": method, "thread": thread, "idle": idle, "busy": busy})


def kill(pid):
    os.kill(pid, signal.SIGKILL)


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_idle_workers_end_when_their_caller_is_killed(program, method):
    caller = program(CALLER, caller_config(method))
    workers = Watch(caller.expect("workers"))
    assert caller.expect("answered") == list(workers.started) * 2
    kill(caller.proc.pid)
    assert workers.wait_ended(ENDS) == [], caller.stderr()
    # Nothing holds the caller's output open any more: a shell or CI step that
    # captured it goes on.
    assert caller.closed_output(ENDS), caller.stderr()


# The answer of the last job goes nowhere once the caller is gone; a large one
# fills the pipe, and a worker that waited for it to drain would never end.
@pytest.mark.parametrize("answer", ["", "\nxreturn(blob='x' * 4_000_000)"], ids=["small", "large"])
def test_busy_worker_finishes_its_job_then_ends(program, tmp_path, answer):
    started, finished = tmp_path / "started", tmp_path / "finished"
    job = (
        f"import pathlib, time\npathlib.Path({str(started)!r}).touch()\n"
        f"time.sleep(2)\npathlib.Path({str(finished)!r}).touch()" + answer
    )
    caller = program(CALLER, caller_config(busy=job))
    workers = Watch(caller.expect("workers"))
    caller.expect("answered")
    deadline = time.monotonic() + 60
    while not started.exists() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert started.exists(), caller.stderr()
    kill(caller.proc.pid)
    assert workers.wait_ended(ENDS) == [], caller.stderr()
    assert finished.exists()


def test_handles_made_in_an_ended_thread(program):
    # The thread that started the workers is gone, the caller is not: the
    # workers stay and answer after idling through many wake-ups.
    caller = program(CALLER, caller_config(thread=True, idle=3))
    workers = Watch(caller.expect("workers"))
    assert caller.expect("answered") == list(workers.started) * 2
    assert workers.running() == list(workers.started)
    # Once the caller itself is gone, they end.
    kill(caller.proc.pid)
    assert workers.wait_ended(ENDS) == [], caller.stderr()


@pytest.mark.parametrize("kind", ["plain", "subreaper"])
def test_caller_with_a_parent_that_stays(program, kind):
    parent = program(PARENT, kind, CALLER, caller_config())
    caller_pid = parent.expect("caller")
    workers = Watch(parent.expect("workers"))
    parent.expect("answered")
    kill(caller_pid)
    assert parent.expect("reaped") == caller_pid
    assert workers.wait_ended(ENDS) == [], parent.stderr()
    if kind == "subreaper":
        # The workers were the subreaper's to reap: they really were adopted
        # by a live process other than init.
        reaped = {parent.expect("reaped") for _ in workers.started}
        assert reaped == set(workers.started)


def test_workers_outlive_the_callers_parent(program):
    # Orphaned is the caller, not its workers: they stay.
    parent = program(PARENT, "plain", CALLER, caller_config())
    caller_pid = parent.expect("caller")
    workers = Watch(parent.expect("workers"))
    parent.expect("answered")
    kill(parent.proc.pid)
    time.sleep(1.5)
    assert workers.running() == list(workers.started)
    kill(caller_pid)
    assert workers.wait_ended(ENDS) == [], parent.stderr()


# Jobs left queued when the caller goes: the worker ends after the job it is
# running, not after all of them; answers that nobody reads (more than the
# output pipe holds) do not keep it writing.
QUEUED = r"""
import json, os, sys, time
from vantrel import polyrun
jobs, how = sys.argv[1], sys.argv[2]
pool = polyrun.MultiProcessPool(1)
print("workers", json.dumps(list(pool.procs)), flush=True)
if jobs == "slow":
    pool.map(["import time; time.sleep(0.5)"] * 50, block=False)
else:
    pool.map(["#" * 2100 + "\nxprint('y' * 2100)"] * 200, block=False)
time.sleep(0.5)
print("sent", "1", flush=True)
if how == "exit":
    os._exit(0)
time.sleep(600)
"""


@pytest.mark.parametrize(
    "jobs, how", [("slow", "killed"), ("printing", "exit"), ("printing", "killed")]
)
def test_queued_jobs_do_not_keep_an_orphan(program, jobs, how):
    caller = program(QUEUED, jobs, how)
    workers = Watch(caller.expect("workers"))
    caller.expect("sent")
    if how == "killed":
        kill(caller.proc.pid)
    # 50 jobs of 0.5 s would take 25 s.
    assert workers.wait_ended(10) == [], caller.stderr()
