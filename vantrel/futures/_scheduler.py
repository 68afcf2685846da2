"""The scheduler behind vantrel.futures: which job goes to which worker and
when, and which future an answer settles. It neither sends nor reads: each
kind of pool does that on its side (_local.py, _ray.py).

Discipline: everything below changes under `lock`, each change made so that
an exception between two statements leaves nothing half done (a job is
recorded in flight before it is sent, and taken out again if the send
raised). Futures are settled only after the lock is let go (`Settlements`):
a user's callback never runs under it.
"""

from __future__ import annotations

import collections
import concurrent.futures
import functools
import itertools
import threading
import time
import weakref
from typing import Any

from vantrel import _lock
from vantrel._pool.workers import replacing

from . import _waiting
from ._jobs import (
    SETTLING,
    Batch,
    Job,
    Settlements,
    Slot,
    checked_limit,
    checked_retries,
    checked_worker,
    printed_rest,
)


def checked_callback(on_output: Any) -> None:
    if on_output is not None and not callable(on_output):
        raise TypeError(f"on_output must be callable or None, not {type(on_output).__name__}")


def no_answer(s: Slot, j: Job) -> RuntimeError:
    return RuntimeError(
        f"job {j.label} got no answer from worker {s.index}: it raised KeyboardInterrupt "
        "there, and a worker answers no such job"
    )


# Functions of their own: a loop inlined in a `with self.lock:` block could
# let an interrupt skip the lock's release (CPython 3.14).


def _busy(slots: list[Slot]) -> bool:
    return any(s.in_flight or s.waiting or s.worn or s.replacing for s in slots)


def _unsettled(jobs: list[Job]) -> list[Any]:
    return [j.future for j in jobs if j.future is not None and not j.future.done()]


def _all_but(jobs: Any, late: Job) -> list[Job]:
    return [j for j in jobs if j is not late]


def _left_pool(handle: Any, procs: dict[Any, Any]) -> bool:
    return all(h is not handle for h in procs.values())


class Scheduler:
    """Jobs of one pool's futures: waiting, in flight, answered."""

    done = Settlements()  # replaced in __init__: here for a start cut short

    def __init__(self, pool: Any) -> None:
        self.done = Settlements()  # futures to settle once the lock is let go
        self.lock = _lock.RLock()
        self.tags = itertools.count(1)
        self.labels = itertools.count()
        self.free: collections.deque[Job] = collections.deque()  # jobs for any worker
        self.slots: list[Slot] = []
        self.retired: list[Slot] = []  # slots of workers that left the pool: their jobs fail
        self.replaced: list[Any] = []  # handles started for time limits
        self.procs_seen: Any = None
        self.stopping = False
        self.unsure = False  # a send in the main thread may have been cut short
        self.draining: list[Batch] = []  # batches whose `drained` pending() handed out
        # Weakly: the registry's entry and a reader thread go with the pool.
        self.pool_ref = weakref.ref(pool, lambda _: self.pool_collected())

    @property
    def pool(self) -> Any:
        pool = self.pool_ref()
        if pool is None:
            raise RuntimeError("the pool of these futures is gone")
        return pool

    # -- the caller's side ------------------------------------------------

    def new_future(self) -> concurrent.futures.Future[Any]:
        f: concurrent.futures.Future[Any] = _waiting.Future()
        f._scheduler = self  # type: ignore[attr-defined]  # whose it is, for gather's status
        return f

    def submit(
        self,
        job: Any,
        worker: object,
        limit: object,
        retries: object = 0,
        on_output: Any = None,
    ) -> concurrent.futures.Future[Any]:
        index = checked_worker(worker)
        seconds = checked_limit(limit)
        again = checked_retries(retries)
        checked_callback(on_output)
        future = self.new_future()
        done = self.done
        self.heal()
        item = Job(future, job, next(self.labels), seconds, again, on_output)
        item.mine = True
        with self.lock:
            self.check_worker(index)
            future.add_done_callback(self.on_done)
            try:
                self.add(item, index)
                self.dispatch(done)
            except BaseException:
                # Cut short: the caller never gets the future, so its job
                # runs only if it went already.
                future.cancel()
                raise
            finally:
                item.mine = False
        done.run()
        return future

    def submit_many(
        self,
        jobs: list[Any],
        dealt: bool,
        limit: object,
        batch: Batch | None,
        on_output: Any = None,
    ) -> list[concurrent.futures.Future[Any]]:
        """With `on_output`, each job's printed text goes to on_output(k, text)
        (k its position) as it comes."""
        seconds = checked_limit(limit)
        checked_callback(on_output)
        futures = []
        done = self.done
        self.heal()
        with self.lock:
            self.check_worker(None)
            n = len(self.slots)
            try:
                for k, job in enumerate(jobs):
                    each = None if on_output is None else functools.partial(on_output, k)
                    future = None if batch is not None else self.new_future()
                    item = Job(future, job, k, seconds, 0, each)
                    if batch is None:
                        futures.append(item.future)
                        item.future.add_done_callback(self.on_done)
                    else:
                        item.batch = batch
                        item.mine = True  # the batch's call ends with any interrupt
                    self.add(item, k % n if dealt else None)
                self.dispatch(done)
            except BaseException:
                # Cut short: the caller never gets these futures (a batch is
                # cancelled by its map), so only the jobs that went run.
                for f in futures:
                    f.cancel()
                raise
        done.run()
        return futures

    def healing(self) -> Any:
        """What the pool was asked for (vantrel._pool.healing), or None."""
        return self.pool.__dict__.get("_vantrel_healing")

    def heal(self) -> None:
        """Before jobs are added: a pool asked to restart or recycle its
        workers has them replaced now, as map would, if none of these
        futures' jobs is on its way (else that happens as answers come)."""
        state = self.healing()
        if state is None or not (state.auto_restart or state.max_jobs or state.max_rss):
            return
        with self.lock:
            busy = bool(self.free) or _busy(self.slots)
        if not busy:
            state.before_map(self.pool)

    def check_worker(self, index: int | None) -> None:
        self.sync_slots()
        n = len(self.slots)
        if not n:
            raise RuntimeError("the pool has no workers: call init_process() to start them")
        if index is not None and not 0 <= index < n:
            raise IndexError(
                f"worker {index} is not in this pool: it has {n} workers (0 to {n - 1})"
            )

    def add(self, item: Job, index: int | None) -> None:
        (self.free if index is None else self.slots[index].waiting).append(item)

    def on_done(self, future: Any) -> None:
        # A cancelled job that waits is dropped when it reaches the head of
        # its queue: each cancel costs the same, however many wait.
        if future.cancelled():
            with self.lock:
                self.drop_cancelled()
                self.update_held()

    def wait_batch(self, batch: Batch) -> None:
        """Waits a little for answers of `batch` (they land in batch.arrived)."""
        batch.wait(0.1)

    def cancel_batch(self, batch: Batch) -> None:
        with self.lock:
            batch.cancelled = True
            self.drop_cancelled()
            self.update_held()

    def drop_cancelled(self) -> None:
        while self.free and self.free[0].cancelled():
            self.free.popleft()
        for s in self.slots:
            while s.waiting and s.waiting[0].cancelled():
                s.waiting.popleft()

    def pending(self) -> list[Any]:
        """The futures with no answer yet, and for each batch (a map's) with
        jobs in flight a future done once none is: an interrupted map's jobs
        still run, and hold the pool's workers until they are answered."""
        with self.lock:
            jobs = list(self.free)
            for s in self.slots:
                jobs += s.waiting
                jobs += s.in_flight.values()
            futures = _unsettled(jobs)
            for b in self.batches_in_flight():
                # Listed before it has the future: cut off in between, the
                # next look makes it.
                if b not in self.draining:
                    self.draining.append(b)
                if b.drained is None:
                    b.drained = _waiting.Future()
                futures.append(b.drained)
            return futures

    def batches_in_flight(self) -> list[Batch]:
        found: dict[int, Batch] = {}
        for s in self.slots:
            for j in s.in_flight.values():
                if j.batch is not None and not j.settled:
                    found[id(j.batch)] = j.batch
        return list(found.values())

    def check_drained(self, done: Settlements) -> None:
        """Under the lock: the batches of `draining` with nothing in flight
        any more have their `drained` settled."""
        if not self.draining:
            return
        busy = {id(b) for b in self.batches_in_flight()}
        for b in list(self.draining):
            if id(b) not in busy:
                if b.drained is not None:
                    done.drained(b.drained)
                self.draining.remove(b)

    # -- dispatch (under the lock) ----------------------------------------

    def dispatch(self, done: Settlements) -> None:
        """Sends every job that may go now. The main thread (where
        interrupts land) sends only jobs of its own call, and leaves the rest
        to the reader."""
        if threading.current_thread() is threading.main_thread():
            try:
                self.dispatch_mine(done)
            except BaseException:
                self.redispatch()  # the thread that reads finishes what this left
                raise
            return
        while self.retired:
            self.worker_gone(self.retired.pop(), done)
        self.drop_cancelled()
        for s in self.slots:
            if s.gone is not None:
                if not s.replacing:  # else its waiting jobs go to the fresh worker
                    self.worker_gone(s, done)
                continue
            while s.waiting and s.room(s.waiting[0]) > 0:
                self.start(s, self.take_run(s.waiting, s.room(s.waiting[0])), done)
        for s in self.slots:
            while self.free and s.gone is None and not s.waiting and s.room(self.free[0]) > 0:
                # A free job goes to an idle worker; a batch's fills its window.
                if self.free[0].batch is None and s.in_flight:
                    break
                self.start(s, self.take_run(self.free, s.room(self.free[0])), done)
        self.fail_unreachable(done)
        self.update_held()

    def dispatch_mine(self, done: Settlements) -> None:
        for s in self.slots:
            while s.waiting and s.waiting[0].mine and s.room(s.waiting[0]) > 0:
                self.start(s, self.take_run(s.waiting, s.room(s.waiting[0]), True), done)
        for s in self.slots:
            while self.free and self.free[0].mine and not s.waiting and s.room(self.free[0]) > 0:
                if self.free[0].batch is None and s.in_flight:
                    break
                self.start(s, self.take_run(self.free, s.room(self.free[0]), True), done)
        if (
            (self.free and (not self.free[0].mine or all(s.gone for s in self.slots)))
            or any(s.waiting and (not s.waiting[0].mine or s.gone) for s in self.slots)
            or self.retired
        ):
            self.redispatch()
        self.update_held()

    @staticmethod
    def take_run(queue: collections.deque[Job], room: int, mine: bool = False) -> list[Job]:
        """Up to `room` jobs from the head of `queue` that may run now."""
        run: list[Job] = []
        while queue and len(run) < room:
            item = queue[0]
            if run and (
                (item.batch is None) != (run[0].batch is None)
                or item.wants_output() != run[0].wants_output()
            ):
                break
            if mine and not item.mine:
                break
            if item.claim_to_run():
                run.append(item)
            queue.popleft()
        return run

    def start(self, s: Slot, items: list[Job], done: Settlements) -> None:
        if not items:
            return
        if self.unsure:
            self.reconcile(done)  # what a send cut short left in flight goes first
        # Until this ends: cut short by an interrupt, the reader (or the
        # next start) checks what went against the core (reconcile).
        self.unsure = True
        # Watched, and the reader told, before anything goes: an interrupt
        # after the send must not leave answers that nobody reads.
        self.sending(s, items)
        for item in items:
            item.slot = s
            item.tag = next(self.tags)
            if not s.in_flight:
                item.started = time.monotonic()
            # In flight before it is sent: an interrupt once it is out must
            # not leave its answer without a job.
            s.in_flight[item.tag] = item
        try:
            went, error = self.send(s, items)
        except BaseException as e:  # an interrupt on the way in or out of send
            went, error = self.went(s, items), e
        for item in items[went:]:
            if error is not None:
                done.fail(item, error)
            s.in_flight.pop(item.tag, None)
        self.unsure = False
        if error is not None and not isinstance(error, Exception):
            raise error  # the caller's interrupt: the jobs not sent fail with it

    def fail_unreachable(self, done: Settlements) -> None:
        """Free jobs fail only when every worker is gone."""
        if self.free and all(s.gone is not None and not s.replacing for s in self.slots):
            why = self.slots[0].gone if self.slots else "the pool has no workers"
            while self.free:
                j = self.free.popleft()
                if j.claim_to_run():
                    done.fail(j, RuntimeError(f"{why} without answering job {j.label}"))

    def answered(self, s: Slot, tag: Any, kind: str, payload: Any, done: Settlements) -> None:
        """What the worker sent for the job tagged `tag` (None: the oldest).
        Printed text goes to the job's on_output; other kinds that settle no
        job are passed over here."""
        if kind == "text":
            item = s.in_flight.get(tag)
            if item is not None and item.wants_output():
                start, text = payload
                if start == item.printed and text:  # pieces come in order, without gaps
                    item.printed += len(text)
                    done.output(item, text)
            return
        if kind not in SETTLING:
            return
        if tag is None:
            tag = next(iter(s.in_flight), None)
        item = s.in_flight.get(tag)
        if item is None:
            return  # a job this scheduler gave up on already
        # Settled first, out of flight after: cut off between the two, it is
        # settled again (which changes nothing) when the entry is read again.
        if kind == "answer":
            # The text not handed on yet (all of it on Ray) comes before the answer.
            rest = printed_rest(item, payload) if item.wants_output() else ""
            if rest:
                item.printed += len(rest)
                done.output(item, rest)
            done.answer(item, payload)
        elif kind == "lost":
            done.fail(item, no_answer(s, item))
        else:  # "unreadable"
            error = RuntimeError(f"an answer from worker {s.index} could not be read: {payload!r}")
            done.fail(item, error)
        s.in_flight.pop(tag, None)
        self.next_started(s)
        if item.batch is not None:
            self.check_drained(done)

    def pair_inbox(self, s: Slot, done: Settlements) -> int:
        """Pairs what was taken for `s`, each entry leaving the inbox once it
        is paired; how many."""
        count = 0
        inbox = s.inbox
        while inbox:
            tag, kind, payload = inbox[0]
            self.answered(s, tag, kind, payload, done)
            del inbox[0]
            count += 1
        return count

    @staticmethod
    def next_started(s: Slot) -> None:
        for j in s.in_flight.values():
            if j.started is None:
                j.started = time.monotonic()
            return

    def worker_gone(self, s: Slot, done: Settlements) -> None:
        """Every job of a worker that cannot answer any more fails, with the
        error that `map` raises for it."""
        jobs = list(s.in_flight.values()) + list(s.waiting)
        # Failed before they are dropped: cut short, this runs again.
        for j in jobs:
            if j.claim_to_run():
                done.fail(j, RuntimeError(f"{s.gone} without answering job {j.label}{s.how}"))
        s.in_flight.clear()
        s.waiting.clear()
        self.check_drained(done)

    def update_held(self) -> None:
        for s in self.slots:
            held = bool(s.waiting or self.free) and s.gone is None
            if held is not s.held:
                # Unknown while the core is told: an interrupt in between
                # leaves it to be told again, never believed told.
                s.held = None
                self.hold(s, held)
                s.held = held

    def timers(self, done: Settlements) -> tuple[tuple[Slot, Job] | None, float | None]:
        """A job past its time limit (its worker to replace), and the
        seconds until the next limit runs out."""
        now = time.monotonic()
        soonest: float | None = None
        for s in self.slots:
            head = next(iter(s.in_flight.values()), None)
            if head is None or head.limit is None or head.started is None or s.replacing:
                continue
            left = head.started + head.limit - now
            if left <= 0:
                s.replacing = True
                return (s, head), None
            soonest = left if soonest is None else min(soonest, left)
        return None, soonest

    def fail_all(self, why: str) -> None:
        """The thread that read for these futures failed or the pool is gone:
        every job fails rather than wait for good."""
        done = self.done
        with self.lock:
            for s in self.slots:
                s.gone = s.gone or why
                self.worker_gone(s, done)
            self.fail_unreachable(done)
        done.run()

    def pool_collected(self) -> None:
        self.fail_all("the pool of these futures was collected before they ran, and they ended")
        self.stop()

    def sync_slots(self) -> None:
        """The pool's workers as they are now: a pool restarted or resized
        since the last look has new slots; jobs on workers it left fail."""
        procs = self.pool.procs
        if procs is self.procs_seen and len(self.slots) == len(procs):
            return
        old = {id(s.handle): s for s in self.slots}
        slots = []
        for i, h in enumerate(list(procs.values())):
            s = old.pop(id(h), None)
            if s is not None and s.index != i:
                old[id(h) + 1] = s  # moved: the old slot retires, a new one takes its place
                s = None
            slots.append(s if s is not None else Slot(i, h))
        for s in old.values():
            s.gone = s.gone or f"worker {s.index} left the pool"
            self.retired.append(s)
        self.slots = slots
        self.procs_seen = procs
        self.slots_changed()

    def replace(self, s: Slot, late: Job) -> None:
        """`late` ran past its time limit: its worker is replaced by the
        pool (replace_worker), and the jobs sent behind it go to the fresh
        one. The pool is waited for without the lock held."""
        old_pid = self.pid_of(s.handle)
        done = self.done
        try:
            fresh = self.pool.replace_worker(s.index)
        except BaseException as e:
            with self.lock:
                s.gone = f"worker {s.index} was killed past a time limit and not replaced ({e!r})"
                self.worker_gone(s, done)
            done.run()
            self.slots_changed()
            if not isinstance(e, Exception):
                raise
            return
        if self.stopping:
            fresh.kill()  # the interpreter exits: nobody will use it
        with self.lock:
            self.take_over(s, fresh, _all_but(s.in_flight.values(), late))
            done.fail(
                late,
                TimeoutError(
                    f"job {late.label} ran past its time limit of {late.limit} s in worker "
                    f"{s.index} (pid {old_pid}): that worker was killed and a fresh worker "
                    f"(pid {self.pid_of(fresh)}) took its place, "
                    + (
                        "with the pool's recorded set-up replayed"
                        if getattr(self.pool, "setup_jobs", None)
                        else "with a new, empty namespace"
                    )
                ),
            )
            self.dispatch(done)
        done.run()
        self.slots_changed()

    def renew(self, s: Slot, again: list[Job]) -> None:
        """`s`'s worker died under jobs that may be sent again (`again`), or
        the pool restarts dead workers, or it is worn and idle: the pool
        replaces it (replace_worker, set-up replayed) and `again`, then the
        jobs waiting for it, go to the fresh one. Without the lock held."""
        done = self.done
        try:
            with replacing:
                # Replaced already (the pool healed before a submit): that one it is.
                now = list(self.pool.procs.values())
                if s.index < len(now) and now[s.index] is not s.handle:
                    fresh = now[s.index]
                else:
                    fresh = self.pool.replace_worker(s.index)
        except BaseException as e:
            with self.lock:
                s.gone = s.gone or f"worker {s.index} could not be replaced ({e!r})"
                s.waiting.extendleft(reversed(again))
                self.worker_gone(s, done)
                self.fail_unreachable(done)
            done.run()
            self.slots_changed()
            if not isinstance(e, Exception):
                raise
            return
        with self.lock:
            self.take_over(s, fresh, again)
            self.dispatch(done)
        done.run()
        self.slots_changed()

    def take_over(self, s: Slot, fresh: Any, first: list[Job]) -> None:
        """Under the lock: `fresh`, the pool's worker in `s`'s place, gets a
        slot of its own with `first` (sent again) ahead of the jobs that
        waited for `s`; `s` keeps the reason it ended, if it has one."""
        self.replaced.append(fresh)  # killed if it leaves the pool behind our back
        new = Slot(s.index, fresh)
        for j in first:
            j.started = None
        new.waiting.extend(first)
        new.waiting.extend(s.waiting)
        s.in_flight.clear()
        s.waiting.clear()
        s.gone = s.gone or f"worker {s.index} was replaced"
        self.slots = [new if x is s else x for x in self.slots]
        self.procs_seen = self.pool.procs
        if _left_pool(fresh, self.procs_seen):
            new.gone = f"worker {s.index} left the pool"

    def ended_under(self, s: Slot, why: str, done: Settlements) -> list[Job] | None:
        """Under the lock: `s`'s worker ended (`why`). Jobs with retries
        left are kept to go again (one retry spent), the others fail; with
        those, or with the pool's auto_restart, returns the jobs for renew()
        (the worker to replace), else None (every job failed)."""
        state = self.healing()
        again = [j for j in s.in_flight.values() if j.retries > 0 and not j.cancelled()]
        if not again and not (state is not None and state.auto_restart):
            return None
        s.gone = why
        s.replacing = True
        for j in again:
            j.retries -= 1
            del s.in_flight[j.tag]
        for j in s.in_flight.values():
            if j.claim_to_run():
                done.fail(j, RuntimeError(f"{why} without answering job {j.label}{s.how}"))
        s.in_flight.clear()
        return again

    # -- what each kind of pool does --------------------------------------

    def pid_of(self, handle: Any) -> Any:
        raise NotImplementedError

    def slots_changed(self) -> None:
        """The slots changed (a worker replaced, the pool restarted)."""

    def send(self, s: Slot, items: list[Job]) -> tuple[int, BaseException | None]:
        """Sends `items` to `s`'s worker: how many went, and what stopped the
        rest."""
        raise NotImplementedError

    def waiting(self) -> bool:
        return bool(self.free or self.retired or any(s.waiting for s in self.slots))

    def went(self, s: Slot, items: list[Job]) -> int:
        """After an interrupt in send: how many of `items` went all the same."""
        return 0

    def reconcile(self, done: Settlements) -> None:
        """Under the lock, after a send was cut short: jobs recorded in
        flight that never went fail."""
        self.unsure = False

    def redispatch(self) -> None:
        """Jobs are left for the thread that reads to send."""

    def sending(self, s: Slot, items: list[Job]) -> None:
        """`items` are about to go to `s` (its answers need a reader, a time
        limit may need telling)."""

    def hold(self, s: Slot, held: bool) -> None:
        """Jobs wait in this process for `s`'s worker (or do not any more)."""

    def stop(self) -> None:
        """The interpreter exits, or the pool is gone."""
