"""Runs a whole program in a process group of its own.

A program that leaves a worker alive never exits (workers are not daemons).
Killing only the program on a time-out would leave its workers running, so
the whole group goes, whatever way the program ends.
"""

import importlib.util
import multiprocessing
import multiprocessing.queues
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
# Whether Ray is installed (it has no wheels for the newest CPython yet).
HAS_RAY = importlib.util.find_spec("ray") is not None


# A class and a function as a notebook defines them: in a __main__ that
# workers cannot import, so they travel by value.
NOTEBOOK_DEFINITIONS = """\
class Point:
    def __init__(self, x):
        self.x = x

def tenfold(p):
    p.x *= 10
    return p
"""


def run_program(args, cwd, timeout=60, env=None):
    """Runs `args` (a list; a str is Python source for this interpreter) from
    `cwd` and returns the CompletedProcess; raises AssertionError on time-out."""
    if isinstance(args, str):
        args = [sys.executable, "-c", args]
    proc = subprocess.Popen(
        args,
        cwd=cwd,
        env=env,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        _kill_group(proc.pid)
        out, err = proc.communicate()
        shown = [a if len(a) < 120 else f"<{a.count(chr(10)) + 1} lines>" for a in args]
        raise AssertionError(
            f"{shown} still running after {timeout} s (a worker left alive?)\n{out}\n{err}"
        ) from None
    finally:
        _kill_group(proc.pid)
    return subprocess.CompletedProcess(args, proc.returncode, out, err)


def _kill_group(pgid):
    try:
        os.killpg(pgid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def start_time(pid):
    """The start time of process `pid` while it runs, None once it has ended
    (a zombie counts as ended). Comparing start times tells a reused pid apart."""
    try:
        stat = pathlib.Path(f"/proc/{pid}/stat").read_text()
    except (FileNotFoundError, ProcessLookupError):
        return None
    fields = stat[stat.rindex(")") + 2 :].split()
    return None if fields[0] in ("Z", "X") else fields[19]


class Watch:
    """Processes seen running now, so that later checks follow these very
    processes even if their pids are reused."""

    def __init__(self, pids):
        self.started = {pid: start_time(pid) for pid in pids}
        assert None not in self.started.values(), f"not running: {self.started}"

    def running(self):
        return [pid for pid, t in self.started.items() if start_time(pid) == t]

    def wait_ended(self, timeout):
        """Waits up to `timeout` seconds for all to end; returns the ones still running."""
        deadline = time.monotonic() + timeout
        while (left := self.running()) and time.monotonic() < deadline:
            time.sleep(0.05)
        return left


# Under AddressSanitizer realloc always moves the block, so printed text never
# grows in place and a long print turns quadratic: sanitized runs print less.
MANY_LINES = 10_000 if os.environ.get("VANTREL_SANITIZED") else 100_000


# Appended to the source text of `run_with_pool`.
_POOL_RUNNER = """
import os as _os, sys as _sys, traceback as _traceback
from vantrel import polyrun as _polyrun

_pool = _polyrun.MultiProcessPool(int(_sys.argv[1]))
_code = 0
try:
    main(_pool, *_sys.argv[2:])
except BaseException:
    _traceback.print_exc()
    _code = 1
finally:
    _pool.kill_all()
    _sys.stdout.flush()
    _sys.stderr.flush()
    # Leave at once: whether a program can exit normally is a test of its own.
    _os._exit(_code)
"""


def run_with_pool(body, workers, *args, cwd, timeout=30):
    """Runs `body`, source text that defines main(pool, *args), as a program
    of its own with a pool of `workers`, killed at the end however main ends;
    args are passed as str. Returns the CompletedProcess."""
    source = textwrap.dedent(body) + _POOL_RUNNER
    args = [sys.executable, "-c", source, str(workers), *map(str, args)]
    return run_program(args, cwd=cwd, timeout=timeout)


def unfamiliar_queue_layout():
    """Makes multiprocessing.Queue.put a wrapper whose code names none of the
    queue's insides, as a future Python's might."""
    import functools
    import multiprocessing.queues

    put = multiprocessing.queues.Queue.put

    @functools.wraps(put)
    def wrapped(self, *args, **kwargs):
        return put(self, *args, **kwargs)

    multiprocessing.queues.Queue.put = wrapped


class TaggedQueue(multiprocessing.queues.Queue):
    """Wraps every message in put and unwraps it in get, in both processes:
    a message that went round them arrives untagged and fails. Lives here so
    that a worker started by any method can import it."""

    def __init__(self):
        super().__init__(ctx=multiprocessing.get_context())

    def put(self, obj, block=True, timeout=None):
        super().put(("tagged", obj), block, timeout)

    def get(self, block=True, timeout=None):
        tag, obj = super().get(block, timeout)
        if tag != "tagged":
            raise AssertionError(f"{obj!r} did not come through put")
        return obj
