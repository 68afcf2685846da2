"""Runs a whole program in a process group of its own.

A program that leaves a worker alive never exits (workers are not daemons).
Killing only the program on a time-out would leave its workers running, so
the whole group goes, whatever way the program ends.
"""

import os
import pathlib
import signal
import subprocess
import sys
import textwrap

ROOT = pathlib.Path(__file__).resolve().parent.parent


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
