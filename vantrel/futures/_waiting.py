"""Futures whose own lock an interrupt cannot leave taken, and the waits
vantrel does on them."""

import concurrent.futures
import queue
import time
from collections.abc import Iterable, Iterator
from typing import Any

from vantrel import _lock


class Future(concurrent.futures.Future):  # type: ignore[type-arg]
    """A concurrent future whose own lock is vantrel._lock.Condition (the one
    private name of concurrent.futures this package uses)."""

    def __init__(self) -> None:
        super().__init__()
        self._condition = _lock.Condition()


# concurrent.futures.wait() and as_completed() take the lock of each future
# in a loop, where an interrupt between two leaves the first taken: vantrel
# waits with these instead.


def wait_done(future: concurrent.futures.Future[Any], timeout: float | None) -> None:
    """Waits at most `timeout` seconds (None: for good) for `future` to be done."""
    if isinstance(future, Future):
        cond = future._condition
        with cond:
            if not future.done():
                cond.wait(timeout)
    else:
        concurrent.futures.wait([future], timeout)


def completed(
    futures: Iterable[concurrent.futures.Future[Any]],
) -> Iterator[concurrent.futures.Future[Any]]:
    """`futures` (each once) in the order they get done."""
    arrived: queue.SimpleQueue[concurrent.futures.Future[Any]] = queue.SimpleQueue()
    waiting = set(futures)
    for f in waiting:
        f.add_done_callback(arrived.put)
    while waiting:
        f = arrived.get()
        waiting.discard(f)
        yield f


def all_done(futures: Iterable[concurrent.futures.Future[Any]]) -> bool:
    """Whether all of `futures` are done. A call of its own: the loop, inlined
    in a caller's `try`, could let an interrupt skip its handler (CPython 3.14)."""
    return all(f.done() for f in futures)


def wait_all(futures: Iterable[concurrent.futures.Future[Any]], timeout: float | None) -> None:
    """Waits at most `timeout` seconds (None: for good) for all of `futures`."""
    deadline = None if timeout is None else time.monotonic() + timeout
    for f in futures:
        left = None if deadline is None else deadline - time.monotonic()
        if left is not None and left <= 0:
            return
        wait_done(f, left)
