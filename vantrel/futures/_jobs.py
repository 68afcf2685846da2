"""What the scheduler keeps: a job on its way, a worker as the scheduler
sees it, a batch of futures.map, futures to settle, and the checks of
submit's arguments."""

from __future__ import annotations

import collections
import concurrent.futures
import math
import numbers
import operator
import sys
import threading
from collections.abc import Callable
from typing import Any, cast

# Jobs in flight per worker: one running and one queued behind it, so that a
# waiting job can still be cancelled and a free job finds an idle worker.
WINDOW = 2
# For the jobs of a batch (futures.map): more in flight, sent together.
BATCH_WINDOW = 64

# What the worker sends for a job that settles it (vantrel._control.Tagged).
SETTLING = frozenset(("answer", "lost", "unreadable"))

# A time limit longer than this is no limit in practice (and would overflow
# a poll's milliseconds).
LONGEST_LIMIT = 30 * 24 * 3600.0


def checked_limit(limit: object) -> float | None:
    """`time_limit` as seconds, None for none; refused before anything else."""
    if limit is None:
        return None
    if isinstance(limit, bool) or not isinstance(limit, numbers.Real):
        raise TypeError(f"time_limit must be a number of seconds, not {type(limit).__name__}")
    seconds = float(limit)
    if not seconds > 0:  # nan included
        raise ValueError(f"time_limit must be a positive number of seconds, not {limit!r}")
    return None if seconds > LONGEST_LIMIT or math.isinf(seconds) else seconds


def checked_retries(retries: object) -> int:
    """`retries` as a count (operator.index), refused before anything else."""
    if isinstance(retries, bool):
        raise TypeError("retries must be an int, not bool")
    count = operator.index(retries)  # type: ignore[arg-type]
    if count < 0:
        raise ValueError(f"retries must be 0 or more, not {count}")
    return count


def checked_worker(worker: object) -> int | None:
    """`worker` as an index (operator.index), None for any worker."""
    if worker is None:
        return None
    if isinstance(worker, bool):
        raise TypeError("worker must be an int index or None, not bool")
    return operator.index(worker)  # type: ignore[call-overload,arg-type,unused-ignore]


class Batch:
    """The jobs of one futures.map: answers land in `answers` by position,
    with no future per job; `arrived` lists positions for the caller's
    on_answer and progress bar."""

    __slots__ = (
        "answers",
        "arrived",
        "cancelled",
        "drained",
        "errors",
        "left",
        "on_output",
        "printed",
        "wake",
        "waker",
    )

    def __init__(self, n: int, on_output: Callable[[int, str], object] | None = None) -> None:
        self.on_output = on_output
        # For on_output: (job, piece), each piece in a list that the one
        # thread handing it on empties (see Settlements).
        self.printed: collections.deque[tuple[int, list[str]]] = collections.deque()
        self.answers: list[Any] = [None] * n
        self.errors: dict[int, BaseException] = {}
        self.left = n
        self.arrived: collections.deque[int] = collections.deque()
        self.cancelled = False
        # Done once no job of the batch is in flight: what pending() lists
        # for it (made there), so that an interrupted map can be waited for.
        self.drained: concurrent.futures.Future[Any] | None = None
        # Released when answers land; a plain lock, not an Event: an interrupt
        # in the caller's thread can leave an Event's inner lock held, and the
        # thread that settles would wait on it for good.
        self.wake = threading.Lock()
        self.wake.acquire()
        # The waiting thread's own wake-up, while it polls the pipes itself.
        self.waker: Any = None

    def woken(self) -> None:
        waker = self.waker
        if waker is not None:
            waker.wake()
        if self.wake.locked():
            try:
                self.wake.release()
            except RuntimeError:
                pass  # released by another thread meanwhile

    def wait(self, seconds: float) -> None:
        """Waits at most `seconds` for answers to land."""
        self.wake.acquire(timeout=seconds)


class Job:
    """One job on its way: a future (or a place in a batch), where it may
    run, its time limit."""

    __slots__ = (
        "batch",
        "future",
        "job",
        "label",
        "limit",
        "on_output",
        "printed",
        "retries",
        "mine",
        "settled",
        "slot",
        "started",
        "tag",
    )

    def __init__(
        self,
        future: Any,
        job: Any,
        label: int,
        limit: float | None,
        retries: int = 0,
        on_output: Callable[[str], object] | None = None,
    ) -> None:
        self.future = future
        self.retries = retries  # times it may be sent again when its worker dies under it
        # Called with each new piece of the job's printed text; `printed`
        # counts the characters handed to it so far.
        self.on_output = on_output
        self.printed = 0
        self.job = job
        self.label = label
        self.limit = limit
        self.batch: Batch | None = None
        self.settled = False  # its place in a batch is filled
        # Whether the main thread may send it: a job lost there to an
        # interrupt must be one whose call that interrupt ends.
        self.mine = False
        self.tag = 0
        self.slot: Slot | None = None
        self.started: float | None = None

    def claim_to_run(self) -> bool:
        """Marks the job running; False when it was cancelled while it waited."""
        if self.batch is not None:
            return not self.batch.cancelled
        return bool(self.future.running() or self.future.set_running_or_notify_cancel())

    def cancelled(self) -> bool:
        return self.batch.cancelled if self.batch is not None else self.future.cancelled()

    def wants_output(self) -> bool:
        return self.on_output is not None or (
            self.batch is not None and self.batch.on_output is not None
        )


class Slot:
    """One worker as the scheduler sees it."""

    def __init__(self, index: int, handle: Any) -> None:
        self.index = index
        self.handle = handle
        self.waiting: collections.deque[Job] = collections.deque()
        self.in_flight: dict[Any, Job] = {}  # by tag, in the order sent
        self.gone: str | None = None  # why no job can reach this worker any more
        self.how = ""  # after a death: ": " and how it ended, as map's error says it
        self.replacing = False  # past a time limit or dead: a fresh worker is on its way
        self.worn = False  # to be recycled once the jobs in flight are answered
        # What the core was last told about jobs held back (None: being told).
        self.held: bool | None = False
        self.watched = False  # its pipes are read (it has jobs of these futures)
        self.inbox: list[tuple[Any, str, Any]] = []  # taken, not yet paired

    def room(self, job: Job) -> int:
        if self.gone is not None or self.replacing or self.worn:
            return 0
        return (BATCH_WINDOW if job.batch is not None else WINDOW) - len(self.in_flight)


# Mark a piece of printed text, and a batch with nothing in flight, among the settlements.
_OUTPUT = object()
_DRAINED = object()


class Settlements(collections.deque):  # type: ignore[type-arg]
    """Futures to settle and printed text to hand on once the scheduler's
    lock is let go, one queue per scheduler, in the order they came:
    (job, answer, error) and (job, text, _OUTPUT), added under the lock.
    `run` may be called by any thread; an entry leaves the queue only after
    it was applied, so an interrupt in the middle leaves the rest for the
    next `run`, and two threads may apply the same entry: settling twice
    changes nothing, and a piece of text travels in a list that is emptied
    where it is handed on, so that it is handed on once."""

    def answer(self, job: Job, answer: Any) -> None:
        self.append((job, answer, None))

    def fail(self, job: Job, error: BaseException) -> None:
        self.append((job, None, error))

    def output(self, job: Job, text: str) -> None:
        self.append((job, [text], _OUTPUT))

    def drained(self, future: concurrent.futures.Future[Any]) -> None:
        self.append((None, future, _DRAINED))

    # Called when a run is cut short (an interrupt): another thread finishes it.
    wake: Callable[[], None] | None = None

    def run(self) -> None:
        try:
            while self:
                try:
                    entry = self[0]
                except IndexError:
                    return  # another thread took the last one
                _apply(*entry)
                if self and self[0] is entry:
                    self.popleft()
                else:
                    continue  # keeps the jump back under the handler (CPython 3.14)
        except BaseException:
            if self.wake is not None:
                self.wake()
            raise


def _apply(job: Job, answer: Any, error: Any) -> None:
    if error is _OUTPUT:
        hand_on(job, answer)
        return
    if error is _DRAINED:
        try:
            answer.set_result(None)
        except concurrent.futures.InvalidStateError:
            pass  # applied already
        return
    batch = job.batch
    if batch is not None:
        if job.settled:
            return  # applied already
        job.settled = True
        if error is not None:
            batch.errors[job.label] = error
        else:
            batch.answers[job.label] = answer
        batch.left -= 1
        batch.arrived.append(job.label)
        batch.woken()
        return
    if job.future.done():
        return
    try:
        if error is not None:
            job.future.set_exception(error)
        else:
            job.future.set_result(answer)
    except concurrent.futures.InvalidStateError:
        pass  # cancelled meanwhile by another thread
    # A thread in result() may be polling the pipes itself: woken here, once
    # the future's own callbacks have run.
    waker = getattr(job.future, "waker", None)
    if waker is not None:
        waker.wake()


def hand_on(job: Job, piece: list[str]) -> None:
    """A piece of `job`'s printed text (in its list) to its on_output: called
    here (never under the scheduler's lock), or for a batch's job queued for
    the thread that waits for the batch (which may find the same list twice).
    What the callback raises is reported as an exception nobody can catch,
    as the interpreter does for __del__."""
    batch = job.batch
    if batch is not None:
        batch.printed.append((job.label, piece))
        batch.woken()
        return
    assert job.on_output is not None
    text = take_piece(piece)
    if text is None:
        return  # handed on by another thread
    try:
        job.on_output(text)
    except Exception as e:
        why = f"Exception in the on_output callback of job {job.label}"
        sys.unraisablehook(cast(Any, _Unraisable(e, why)))


def take_piece(piece: list[str]) -> str | None:
    """The text in `piece` for the one thread that takes it; None for any other."""
    try:
        return piece.pop()  # one step: two threads never both get it
    except IndexError:
        return None


class _Unraisable:
    """What sys.unraisablehook takes."""

    def __init__(self, error: BaseException, message: str) -> None:
        self.exc_type = type(error)
        self.exc_value = error
        self.exc_traceback = error.__traceback__
        self.err_msg = message
        self.object = None


def printed_rest(job: Job, answer: Any) -> str:
    """The printed text of `job`'s answer not yet handed on."""
    if isinstance(answer, list) and len(answer) == 4 and isinstance(answer[1], str):
        return answer[1][job.printed :]
    return ""
