"""Futures, awaitables and progress for the pools of vantrel.

`submit(pool, job)` sends one job and returns a standard
`concurrent.futures.Future` whose result is the job's four-item answer;
`asubmit` gives the same answer as an awaitable on the running event loop;
`submit_batch` and `map` send many jobs, `map` with an optional progress bar.
Any pool works: `polyrun.MultiProcessPool` (the process-wide pool too) and
`cluster.RayPool`.

How jobs travel: a job waits in the caller until its worker has room (one
job running and one behind it; more for the jobs of a `map`), so a waiting
job can be cancelled, and a job sent to whichever worker is free goes to one
that is idle. This package only schedules: on a local pool every job and
answer goes through the core's primitives on the worker handles
(`vantrel._wire`), each job with a tag that comes back with its answer. While
any job of a pool's futures is in flight or waits, `map`, `reduce`,
`blocked_put` and `clear_output` on that pool and its handles raise
RuntimeError instead of taking answers meant for the futures.
"""

from __future__ import annotations

import asyncio
import atexit
import concurrent.futures
import importlib
import sys
import threading
import warnings
import weakref
from collections.abc import Callable, Iterable
from typing import Any

from vantrel import _lock

from . import _waiting
from ._jobs import Batch, take_piece
from ._local import LocalFuture, LocalScheduler, stop_readers
from ._ray import RayScheduler, stop_servers
from ._scheduler import Scheduler

__all__ = ["asubmit", "gather", "interrupt", "map", "pending", "submit", "submit_batch"]

Answer = list[Any]

_schedulers: weakref.WeakKeyDictionary[Any, Scheduler] = weakref.WeakKeyDictionary()
_registry_lock = _lock.RLock()


@atexit.register
def _stop() -> None:
    stop_readers()
    stop_servers()


def _is_ray_pool(pool: Any) -> bool:
    cluster = sys.modules.get("vantrel.cluster")
    return cluster is not None and isinstance(pool, cluster.RayPool)


def _scheduler(pool: Any) -> Scheduler:
    s = _schedulers.get(pool)  # made once per pool: every later job finds it without the lock
    if s is not None:
        return s
    with _registry_lock:
        s = _schedulers.get(pool)
        if s is None:
            if _is_ray_pool(pool):
                s = RayScheduler(pool)
            elif hasattr(pool, "procs") and hasattr(pool, "replace_worker"):
                s = LocalScheduler(pool)
            else:
                raise TypeError(
                    f"expected a vantrel pool (polyrun.MultiProcessPool or cluster.RayPool), "
                    f"not {type(pool).__name__}"
                )
            _schedulers[pool] = s
        return s


def submit(
    pool: Any,
    job: Any,
    worker: int | None = None,
    *,
    time_limit: float | None = None,
    retries: int = 0,
    on_output: Callable[[str], object] | None = None,
) -> concurrent.futures.Future[Answer]:
    """Send `job` to worker `worker` (0 to N-1), or with None to whichever
    worker is idle first; the future's result is the job's answer.

    With `time_limit`, a job still running that many seconds after it
    started has its worker killed and replaced by a fresh one (with the
    pool's recorded set-up replayed, else an empty namespace), and the
    future fails with TimeoutError. With `retries`, a job whose worker dies
    under it is sent again, up to that many times, to a fresh worker that
    takes the dead one's place (set-up replayed).

    With `on_output`, what the job prints with xprint is handed to
    `on_output(text)` as it is printed (within about 0.1 s; on a RayPool all
    at the end), each piece once and in order, the last before the future is
    done; the answer still carries all of it (a job sent again hands on only
    what its last run printed beyond what was handed on). It is called in
    this process, in whichever thread reads the answers, never under the
    futures' lock.
    """
    return _scheduler(pool).submit(job, worker, time_limit, retries, on_output)


def interrupt(future: concurrent.futures.Future[Answer]) -> bool:
    """Makes the job of `future` raise KeyboardInterrupt at its next
    bytecode if it runs now (a local pool's job): it answers "EXCEPTION"
    with its traceback, and the worker keeps its namespace. Returns False
    when that job is not running (waiting, answered, or on a RayPool). A job
    stuck in C code is not reached this way; `time_limit` stops anything."""
    scheduler = getattr(future, "_scheduler", None)
    if not isinstance(scheduler, LocalScheduler):
        return False
    return scheduler.interrupt(future)


def submit_batch(
    pool: Any,
    jobs: Iterable[Any],
    *,
    dealt: bool = False,
    time_limit: float | None = None,
    on_output: Callable[[int, str], object] | None = None,
) -> list[concurrent.futures.Future[Answer]]:
    """One future per job. With `dealt`, job k goes to worker k % N as in
    `map`; otherwise each job goes to whichever worker is idle first. A
    future's failure names the job by its position in `jobs`. With
    `on_output`, job k's printed text goes to `on_output(k, text)` as in
    `submit`."""
    return _scheduler(pool).submit_many(list(jobs), dealt, time_limit, None, on_output)


def asubmit(
    pool: Any,
    job: Any,
    worker: int | None = None,
    *,
    time_limit: float | None = None,
    on_output: Callable[[str], object] | None = None,
) -> asyncio.Future[Answer]:
    """`submit` as an awaitable of the running event loop. Cancelling it (or
    the task awaiting it) cancels the job if it has not been sent yet; a job
    already sent runs, and its answer goes to nobody else."""
    loop = asyncio.get_running_loop()
    s = _scheduler(pool)
    future = s.submit(job, worker, time_limit, 0, on_output)
    waiting: asyncio.Future[Answer] = loop.create_future()
    here = threading.get_ident()

    def settle(f: concurrent.futures.Future[Answer]) -> None:
        if waiting.done():
            return
        if f.cancelled():
            waiting.cancel()
        elif (error := f.exception()) is not None:
            waiting.set_exception(error)
        else:
            waiting.set_result(f.result())

    def copy(f: concurrent.futures.Future[Answer]) -> None:
        if threading.get_ident() == here:
            settle(f)  # read by the loop itself: no hand-over
            return
        try:
            loop.call_soon_threadsafe(settle, f)
        except RuntimeError:
            pass  # the loop is closed: nobody awaits any more

    future.add_done_callback(copy)
    waiting.add_done_callback(lambda w: future.cancel() if w.cancelled() else None)
    if isinstance(s, LocalScheduler):
        s.watch_from(loop)
    return waiting


def _running_jobs(pool: Any) -> dict[int, tuple[Any, float | None, int]]:
    """For the pool's status: per worker index, (the job it runs or None,
    since when (time.monotonic()), 0: the core counts the answers)."""
    s = _schedulers.get(pool)
    if s is None or not s.lock.acquire(timeout=0.5):  # (an interrupt cannot leave it taken)
        return {}
    try:
        running: dict[int, tuple[Any, float | None, int]] = {}
        for slot in s.slots:
            if slot.gone is None:
                head = next(iter(slot.in_flight.values()), None)
                running[slot.index] = (
                    (None, None, 0) if head is None else (head.job, head.started, 0)
                )
            else:
                continue  # keeps the jump back under the handler (CPython 3.14)
        return running
    finally:
        s.lock.release()


def pending(pool: Any) -> list[concurrent.futures.Future[Answer]]:
    """The futures of `pool` that have no answer yet."""
    s = _schedulers.get(pool)
    return s.pending() if s is not None else []


def gather(
    futures: Iterable[concurrent.futures.Future[Answer]],
    *,
    progress: bool | str = False,
    on_answer: Callable[[int, Answer], object] | None = None,
    return_exceptions: bool = False,
    status: bool | None = None,
) -> list[Any]:
    """Waits for `futures` and returns their answers in their order, with a
    progress bar that moves as answers arrive (`progress=True`, or the bar's
    description as a str; needs tqdm: ``pip install 'vantrel[progress]'``)
    and `on_answer(position, answer)` called in this thread as each answer
    arrives (once per position: a future listed twice is reported twice).
    A future that failed (its worker died, its time limit passed) raises
    here, after every other has finished; with `return_exceptions` its
    exception takes its place in the list instead. Interrupted, it cancels
    the jobs still waiting in this process.

    With the bar in a notebook that has ipywidgets, the status of the pools
    (pool.status()) is shown under it and refreshed while the futures run;
    `status=True` asks for it anywhere (a terminal gets the text table now
    and then), `status=False` never."""
    futures = list(futures)
    positions: dict[concurrent.futures.Future[Answer], list[int]] = {}
    for k, f in enumerate(futures):
        positions.setdefault(f, []).append(k)
    bar = _progress_bar(len(futures), progress) if progress is not False and futures else None
    view = _live_status(_pools_of(positions), bar, status)
    try:
        if bar is None and on_answer is None:
            for f in positions:
                if isinstance(f, LocalFuture):
                    f.wait()  # reads its answer in this thread
                else:
                    continue  # keeps the jump back under the handler (CPython 3.14)
            _waiting.wait_all(positions, None)
        for f in _waiting.completed(positions):
            where = positions[f]
            if on_answer is not None and not f.cancelled() and f.exception() is None:
                for k in where:
                    on_answer(k, f.result())
            if bar is not None:
                bar.update(len(where))
            else:
                continue  # keeps the jump back under the handler (CPython 3.14)
    except BaseException:
        for f in futures:
            f.cancel()  # jobs still waiting in this process never run
        raise
    finally:
        _close(view, bar)
    if return_exceptions:
        return [f.exception() or f.result() for f in futures]
    return [f.result() for f in futures]


def _close(view: Any, bar: Any) -> None:
    """The live status view and the progress bar of a wait that ended."""
    try:
        if view is not None:
            view.close()
    finally:
        if bar is not None:
            bar.close()


def _hand_on(batch: Batch, on_output: Any, on_answer: Any, bar: Any) -> None:
    """What arrived for `map`: printed text to on_output, answers to
    on_answer and the bar. A function of its own: its loops, inlined in
    map's `try`, could let an interrupt skip map's handler (CPython 3.14)."""
    while batch.printed:
        assert on_output is not None
        k, piece = batch.printed.popleft()
        text = take_piece(piece)  # None: the same piece listed twice
        if text is not None:
            on_output(k, text)
    while batch.arrived:
        k = batch.arrived.popleft()
        if on_answer is not None and k not in batch.errors:
            on_answer(k, batch.answers[k])
        if bar is not None:
            bar.update(1)


def map(
    pool: Any,
    jobs: Iterable[Any],
    *,
    dealt: bool = True,
    time_limit: float | None = None,
    progress: bool | str = False,
    on_answer: Callable[[int, Answer], object] | None = None,
    on_output: Callable[[int, str], object] | None = None,
    status: bool | None = None,
) -> list[Answer]:
    """The answers to `jobs` in job order, as `pool.map` returns them, with
    the progress bar, live status and `on_answer` of `gather`, and
    `on_output(k, text)` called in this thread with each new piece of what
    job k prints (see `submit`). With `dealt` job k runs in
    worker k % N; with False, in whichever worker is idle first. A job that
    failed (its worker died, its time limit passed) raises after every other
    has finished. Interrupted, the jobs still waiting in this process never
    run."""
    jobs = list(jobs)
    s = _scheduler(pool)
    batch = Batch(len(jobs), on_output)
    bar = _progress_bar(len(jobs), progress) if progress is not False and jobs else None
    view = _live_status([pool], bar, status)
    try:
        s.submit_many(jobs, dealt, time_limit, batch)
        while True:  # tested inside: keeps the jump back under the handler (CPython 3.13)
            if not (batch.left or batch.arrived or batch.printed):
                break
            if not batch.arrived and not batch.printed:
                s.wait_batch(batch)
            _hand_on(batch, on_output, on_answer, bar)
    except BaseException:
        s.cancel_batch(batch)
        raise
    finally:
        _close(view, bar)
    if batch.errors:
        raise batch.errors[min(batch.errors)]
    return batch.answers


def _pools_of(futures: Iterable[Any]) -> list[Any]:
    """The pools whose schedulers made `futures`, in order of first use."""
    pools: dict[int, Any] = {}
    for f in futures:
        scheduler = getattr(f, "_scheduler", None)
        pool = scheduler.pool_ref() if scheduler is not None else None
        if pool is not None:
            pools.setdefault(id(pool), pool)
    return list(pools.values())


def _live_status(pools: list[Any], bar: Any, wanted: bool | None) -> Any:
    from ._status_view import LiveStatus

    return LiveStatus.for_batch(pools, bar, wanted)


def _progress_bar(total: int, progress: bool | str) -> Any:
    try:
        with warnings.catch_warnings():
            # Without ipywidgets a notebook gets tqdm's text bar, with a warning.
            warnings.simplefilter("ignore")
            tqdm = importlib.import_module("tqdm.auto").tqdm  # typed as Any: tqdm has no stubs
    except ImportError as e:
        raise ImportError(
            "a progress bar needs tqdm: pip install 'vantrel[progress]'", name="tqdm"
        ) from e
    desc = progress if isinstance(progress, str) else None
    return tqdm(total=total, desc=desc, unit="job")
