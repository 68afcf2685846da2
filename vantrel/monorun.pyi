"""One worker process with a persistent namespace, and the caller's handle on it."""

import ctypes as ctypes
import mmap as mmap
import multiprocessing
import os as os
import queue as queue
import signal as signal
import time as time
import traceback as traceback
from collections.abc import Iterable
from multiprocessing.queues import Queue
from types import FrameType
from typing import Any, NoReturn, Protocol, TypeAlias

import numpy
import setproctitle as setproctitle

# Modules imported at load time under other names.
mp = multiprocessing
np = numpy

# A job: a str of source text, or an iterable whose str items are executed and
# whose dict items are merged into the worker's namespace (other items are skipped).
_Job: TypeAlias = str | Iterable[object]

# An answer: [status, printed, traceback, values], that is
# ["SUCCESS" or "EXCEPTION", str, str ("" on success), dict[str, Any]].
_Answer: TypeAlias = list[Any]

class _Drainable(Protocol):
    def empty(self) -> object: ...
    def get(self) -> object: ...

class _JobSource(Protocol):
    def get(self, *, timeout: float) -> Any: ...

class _AnswerSink(Protocol):
    def put(self, obj: _Answer, /) -> object: ...

def clear_queue(q: _Drainable) -> None:
    """Drop every item that `q` reports as present; answers still on their way stay."""

def sigint_handler(signum: int, frame: FrameType | None) -> None:
    """A worker's SIGINT handler: records the signal in the module attribute `stop`."""

class _HandleContent:
    """What one job hands back: the text it printed and the values it returned."""

    print_content: str
    return_content: dict[str, Any]
    def __init__(self) -> None: ...
    def xprint(self, *ws: object, end: str = "\n") -> None:
        """Append `str()` of each value, with no separator, then `end`."""

    def clear(self) -> None:
        """Start a new job: empty text, a new empty dict."""

    def xreturn(self, **kwds: Any) -> None:
        """Hand values back to the caller; a later value replaces an earlier one."""

def monorun_main(name: str | None, qi: _JobSource, qo: _AnswerSink) -> NoReturn:
    """A worker's whole life: take jobs from `qi`, put one answer per job on `qo`."""

class SingleProcess:
    """One worker process; started by the constructor, ended only by `kill`."""

    qi: Queue[Any]
    qo: Queue[_Answer]
    proc: mp.Process
    def __init__(self, name: str | None = None) -> None:
        """Start a worker; `name` becomes its process title."""

    def blocked_put(self, w: _Job) -> _Answer:
        """Send one job and wait for the next answer on the output queue;
        RuntimeError if the worker dies before it answers."""

    def kill(self) -> None:
        """Kill the worker if it is alive (SIGKILL); the handle stays as it is."""

    def clear_output(self) -> None:
        """Drop the answers already waiting on the output queue."""
