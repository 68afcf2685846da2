"""The page each worker shares with its caller: the jobs it has started and
finished and its resident memory after the last one (written by the worker
around each job, monorun/figures.cpp), and the job its caller asks to
interrupt. The caller reads it when it looks; no message is sent for it.

The page is a small block of multiprocessing's shared heap made before the
worker starts and carried on its Process object, so it reaches the worker
under every start method.
"""

import ctypes
import multiprocessing
import multiprocessing.sharedctypes
import os
import signal
from typing import Any, NamedTuple

# Slots of the page (monorun/figures.cpp names them alike).
STARTED, FINISHED, RESIDENT, INTERRUPT, INTERRUPT_TAG = range(5)
SLOTS = 8

# The signal that interrupts a worker's job; SIGINT stays the terminal's,
# which a worker only records.
interrupt_signal = signal.SIGRTMIN + 3


class Figures(NamedTuple):
    started: int  # jobs taken, the running one included
    finished: int  # jobs answered
    # Bytes resident after the last job (at start before any); after a burst
    # of jobs shorter than a millisecond, as of the last job read, at most a
    # millisecond earlier, and exact once the worker has idled 0.1 s.
    resident: int


def give_page(process):
    """Before `process` starts: its page, and the count of the kernel's
    out-of-memory kills so far (for the report of its death)."""
    process._vantrel_figures = multiprocessing.sharedctypes.RawArray(ctypes.c_uint64, SLOTS)
    process._vantrel_oom_kills = oom_kills()


def page_address():
    """In a worker: where its page is mapped, or None without one."""
    page = getattr(multiprocessing.current_process(), "_vantrel_figures", None)
    return None if page is None else ctypes.addressof(page)


def _page(proc):
    return getattr(proc, "_vantrel_figures", None)


def read(handle):
    """The figures of the worker behind `handle`, or None if it has no page."""
    page = _page(handle.proc)
    if page is None:
        return None
    return Figures(page[STARTED], page[FINISHED], page[RESIDENT])


def interrupt(handle):
    """Asks the job running in the worker behind `handle` to raise
    KeyboardInterrupt; False when the worker is idle (nothing is sent)."""
    proc = handle.proc
    page = _page(proc)
    if page is None:
        raise RuntimeError("this worker was started without a page: it cannot be interrupted")
    running = page[STARTED]
    if running == page[FINISHED] or not proc.is_alive():
        return False
    # Named by its number: if that job ends before the signal is handled,
    # the worker ignores it instead of interrupting the next one.
    page[INTERRUPT] = running
    os.kill(proc.pid, interrupt_signal)
    return True


def interrupt_tagged(handle: Any, tag: int) -> bool:
    """Asks the job tagged `tag` (an int, as vantrel.futures tags its jobs)
    to raise KeyboardInterrupt if it runs now in the worker behind `handle`.
    False when the worker runs no job (nothing is sent); a job that runs but
    carries another tag ignores the signal."""
    proc = handle.proc
    page = _page(proc)
    if page is None or not isinstance(tag, int) or not 0 < tag < 2**64:
        return False
    if page[STARTED] == page[FINISHED] or not proc.is_alive():
        return False
    page[INTERRUPT_TAG] = tag
    os.kill(proc.pid, interrupt_signal)
    return True


def oom_kills():
    """How many processes the kernel's out-of-memory killer has ended since
    boot, or None where it does not say."""
    try:
        with open("/proc/vmstat", "rb") as f:
            for line in f:
                if line.startswith(b"oom_kill "):
                    return int(line.split()[1])
                else:
                    continue  # keeps the jump back under the handler (CPython 3.14)
    except (OSError, ValueError):
        pass
    return None


def memory_limit():
    """The memory this process may use: the machine's, or its cgroup's when lower."""
    limit = None
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    limit = int(line.split()[1]) * 1024
                    break
                else:
                    continue  # keeps the jump back under the handler (CPython 3.14)
    except (OSError, ValueError):
        pass
    try:
        with open("/proc/self/cgroup") as f:
            path = f.read().split("::", 1)[1].strip()
        with open(f"/sys/fs/cgroup{path}/memory.max") as f:
            text = f.read().strip()
        if text != "max":
            limit = min(limit or int(text), int(text))
    except (OSError, ValueError, IndexError):
        pass
    return limit


def _size(count):
    return f"{count / 2**20:.1f} MiB" if count < 2**30 else f"{count / 2**30:.2f} GiB"


def death_details(process: Any) -> str:
    """What the caller can tell about how `process` (a worker that has
    ended) ended: its signal or exit code, its resident memory after its last
    job, and when a SIGKILL came with memory near the limit, the likely cause."""
    code = process.exitcode
    parts = []
    killer = None
    if isinstance(code, int) and code < 0:
        try:
            killer = signal.Signals(-code).name
        except ValueError:
            killer = f"signal {-code}"
        parts.append(f"killed by {killer}")
    elif code is not None:
        parts.append(f"exit code {code}")
    page = _page(process)
    resident = 0
    if page is not None:
        resident, finished = page[RESIDENT], page[FINISHED]
        parts.append(
            f"resident memory {_size(resident)} after its last job ({finished} answered)"
            if finished
            else f"resident memory {_size(resident)} at start (no job answered)"
        )
    if killer == "SIGKILL":
        limit = memory_limit()
        before = getattr(process, "_vantrel_oom_kills", None)
        now = oom_kills() if before is not None else None
        near = limit is not None and resident >= limit // 2
        if near or (now is not None and now > before):
            parts.append(
                "memory was near the limit"
                + (f" of {_size(limit)}" if limit else "")
                + " or the kernel's out-of-memory killer ended processes meanwhile: it was"
                " most likely killed for want of memory (pool.recycle(max_rss=...) replaces"
                " a worker whose memory grows)"
            )
    return "; ".join(parts)
