"""Locks that an interrupt cannot leave taken.

A KeyboardInterrupt raised in the main thread while it takes a lock must
leave the lock as it was: otherwise the thread that reads the workers'
answers waits for it for good. The `with` of a plain C lock does not
promise that on every interpreter: CPython 3.14 runs pending signal handlers
right after the C call to `__enter__` returns, and that call lies outside
the statement's cleanup, so the interrupt leaves the lock held by a thread
that has moved on.

Here `__enter__` is a Python function, which returns without such a check,
and undoes a take that an interrupt cut off; `__exit__` is the C lock's own,
looked up when the `with` starts, so no Python line runs before the lock
is let go. Two interrupts within microseconds of each other can still
defeat it.
"""

import threading
from typing import Any

# How many times the calling thread holds an RLock: a private method of
# CPython's RLock (3.11 and later). Without it a take is not undone.
_HAS_DEPTH = hasattr(threading.RLock(), "_recursion_count")


def _take(lock: Any, blocking: bool = True, timeout: float = -1) -> bool:
    if not _HAS_DEPTH:
        return bool(lock.acquire(blocking, timeout))
    depth = lock._recursion_count()
    try:
        return bool(lock.acquire(blocking, timeout))
    except BaseException:
        # Taken, and the interrupt came with the call's return.
        if lock._recursion_count() > depth:
            lock.release()
        raise


class RLock:
    """threading.RLock, its `with` safe against interrupts."""

    __slots__ = ("_lock", "release")

    def __init__(self) -> None:
        self._lock = threading.RLock()
        # An attribute, not a property: no Python line runs before it lets go.
        self.release = self._lock.release

    def __enter__(self) -> bool:
        return _take(self._lock)

    __exit__ = property(lambda self: self._lock.__exit__)

    def acquire(self, blocking: bool = True, timeout: float = -1) -> bool:
        return _take(self._lock, blocking, timeout)


class Condition(threading.Condition):
    """threading.Condition over an RLock, its `with` safe against interrupts
    (threading.Condition's own `__exit__` is Python and can be cut off at
    its first line, before it lets go)."""

    _lock: Any

    def __enter__(self) -> bool:
        return _take(self._lock)

    __exit__ = property(lambda self: self._lock.__exit__)  # type: ignore[assignment]
