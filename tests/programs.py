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
        raise AssertionError(
            f"{args} still running after {timeout} s (a worker left alive?)\n{out}\n{err}"
        ) from None
    finally:
        _kill_group(proc.pid)
    return subprocess.CompletedProcess(args, proc.returncode, out, err)


def _kill_group(pgid):
    try:
        os.killpg(pgid, signal.SIGKILL)
    except ProcessLookupError:
        pass
