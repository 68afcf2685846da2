"""Futures, awaitables and progress for the pools of vantrel.

`submit(pool, job)` sends one job and returns a standard
`concurrent.futures.Future` whose result is the job's four-item answer;
`asubmit` gives the same answer as an awaitable on the running event loop;
`submit_batch` and `map` send many jobs, `map` with an optional progress bar.
Any pool works: `polyrun.MultiProcessPool` (the process-wide pool too) and
`cluster.RayPool`.

How jobs travel: a job waits in the caller until its worker has at most one
job in flight (so a waiting job can be cancelled, and a job sent to whichever
worker is free goes to one that is idle). One dispatcher per pool reads the
answers: for a local pool one daemon thread per dispatcher polls the workers'
answer pipes and process sentinels; for a Ray pool Ray's own completion
callbacks deliver them. While any future of a pool is unanswered, `map`,
`reduce`, `blocked_put` and `clear_output` on that pool and its handles raise
RuntimeError instead of taking answers meant for the futures.
"""

from __future__ import annotations

import asyncio
import atexit
import collections
import concurrent.futures
import importlib
import itertools
import os
import select
import struct
import threading
import time
import warnings
import weakref
from collections.abc import Callable, Iterable
from typing import Any

__all__ = ["asubmit", "gather", "map", "pending", "submit", "submit_batch"]

Answer = list[Any]

# The marker a dispatcher puts on a worker's output queue while it has
# unanswered futures; the compiled methods refuse to read such a queue.
GUARD_ATTRIBUTE = "_vantrel_futures"

# Carried in every job sent to a local worker: the tag comes back among the
# answer's values, so an answer is paired with its own job even after a job
# that got no answer. A worker whose `xreturn` was rebound answers untagged,
# and the answer pairs by position.
_TAG_NAME = "_vantrel_job"
_TAG_SOURCE = (
    f"try:\n    xreturn({_TAG_NAME}=globals().pop({_TAG_NAME!r}))\nexcept Exception:\n    pass"
)

# A lone job in flight this long gets a probe (an empty job) behind it: the
# probe's answer shows whether the job will ever answer.
_PROBE_AFTER = 0.25

# Jobs up to this size are written to the worker's pipe at once: with at most
# three messages in flight they always find room, so a write never waits.
_DIRECT_LIMIT = 16 * 1024


class _Job:
    """One job on its way: the future, where it may run, its time limit."""

    __slots__ = ("future", "job", "label", "limit", "probe", "slot", "started", "tag")

    def __init__(self, future: Any, job: Any, label: int, limit: float | None) -> None:
        self.future = future
        self.job = job
        self.label = label
        self.limit = limit
        self.tag = 0
        self.slot: _Slot | None = None
        self.started: float | None = None
        self.probe = False


class _Slot:
    """One worker as a dispatcher sees it."""

    def __init__(self, index: int, handle: Any) -> None:
        self.index = index
        self.handle = handle
        self.waiting: collections.deque[_Job] = collections.deque()
        self.in_flight: collections.deque[_Job] = collections.deque()
        self.jobs_in_flight = 0  # in_flight without probes
        self.gone: str | None = None  # why no job can reach this worker
        self.via_put = False  # messages go through the queue's put until in_flight empties
        self.replacing = False  # a fresh worker is on its way: jobs wait
        self.buffer = bytearray()

    def has_room(self, idle: bool) -> bool:
        return self.gone is None and not self.replacing and self.jobs_in_flight < (1 if idle else 2)


class _Dispatcher:
    """Sends the jobs of one pool's futures and pairs their answers."""

    def __init__(self, pool: Any) -> None:
        # Weakly: the registry's entry and the reader thread go with the pool.
        self.pool_ref = weakref.ref(pool, lambda _: self.stop())
        self.lock = threading.RLock()
        self.tags = itertools.count(1)
        self.labels = itertools.count()
        self.free: collections.deque[_Job] = collections.deque()  # jobs for any worker
        self.unanswered = 0
        self.slots: list[_Slot] = []
        self.procs_seen: Any = None
        self.last_start = 0.0
        self.stopping = False  # the dispatcher's thread ends at its next look

    @property
    def pool(self) -> Any:
        pool = self.pool_ref()
        if pool is None:
            raise RuntimeError("the pool of these futures is gone")
        return pool

    def stop(self) -> None:
        """Ends the dispatcher's thread (the interpreter exits, or the pool is gone)."""

    # -- the caller's side ------------------------------------------------

    def submit(
        self, job: Any, worker: int | None, limit: float | None, label: int | None
    ) -> concurrent.futures.Future[Answer]:
        if limit is not None and not limit > 0:
            raise ValueError(f"time_limit must be a positive number of seconds, not {limit!r}")
        future: concurrent.futures.Future[Answer] = concurrent.futures.Future()
        with self.lock:
            self.sync_slots()
            if worker is not None and not 0 <= worker < len(self.slots):
                raise IndexError(
                    f"worker {worker} is not in this pool: it has {len(self.slots)} workers "
                    f"(0 to {len(self.slots) - 1})"
                )
            if not self.slots:
                raise RuntimeError("the pool has no workers: call init_process() to start them")
            item = _Job(future, job, next(self.labels) if label is None else label, limit)
            self.own()
            self.unanswered += 1
            future.add_done_callback(self.on_done)
            if worker is None:
                self.free.append(item)
            else:
                self.slots[worker].waiting.append(item)
            self.dispatch()
        return future

    def on_done(self, future: Any) -> None:
        with self.lock:
            self.unanswered -= 1
            if future.cancelled():
                self.forget_cancelled()
            self.maybe_end()

    def maybe_end(self) -> None:
        # A probe still on its way keeps the pool ours: its answer must not
        # reach a map.
        if self.unanswered == 0 and not any(s.in_flight for s in self.slots if s.gone is None):
            self.end()

    def forget_cancelled(self) -> None:
        self.free = collections.deque(j for j in self.free if not j.future.cancelled())
        for s in self.slots:
            s.waiting = collections.deque(j for j in s.waiting if not j.future.cancelled())

    def pending(self) -> list[Any]:
        with self.lock:
            jobs = list(self.free)
            for s in self.slots:
                jobs += s.waiting
                jobs += (j for j in s.in_flight if not j.probe)
            return [j.future for j in jobs if not j.future.done()]

    # -- dispatch (under the lock) ----------------------------------------

    def dispatch(self) -> None:
        """Sends every job that may go now."""
        for s in self.slots:
            if s.gone is not None:
                self.worker_gone(s)
            while s.waiting and s.has_room(idle=False):
                self.start(s, s.waiting.popleft())
        for s in self.slots:
            if not self.free:
                break
            if s.waiting or not s.has_room(idle=True):
                continue
            self.start(s, self.free.popleft())
        self.fail_unreachable()

    def start(self, s: _Slot, item: _Job) -> None:
        # A job sent to a worker that was replaced before it began is running
        # already, and goes to the fresh worker.
        if not item.future.running() and not item.future.set_running_or_notify_cancel():
            return  # cancelled while it waited: it never runs
        item.slot = s
        item.tag = next(self.tags)
        # In flight before it is sent: an interrupt landing once the job is
        # out must not leave its answer without a future.
        if s.jobs_in_flight == 0:
            item.started = self.last_start = time.monotonic()
        s.in_flight.append(item)
        s.jobs_in_flight += 1
        try:
            self.send(s, item)
        except BaseException as e:
            s.in_flight.remove(item)
            s.jobs_in_flight -= 1
            item.future.set_exception(e)
            if not isinstance(e, Exception):
                raise
            return
        if item.limit is not None or item.started is not None:
            self.timer_set(item)

    def timer_set(self, item: _Job) -> None:
        """A job with a time limit, or a lone job (it may need a probe), has
        been sent."""

    def fail_unreachable(self) -> None:
        """Free jobs fail only when every worker is gone."""
        if self.free and all(s.gone is not None for s in self.slots):
            why = self.slots[0].gone if self.slots else "the pool has no workers"
            while self.free:
                j = self.free.popleft()
                if j.future.set_running_or_notify_cancel():
                    j.future.set_exception(RuntimeError(f"{why} without answering job {j.label}"))

    def answered(self, s: _Slot, item: _Job, answer: Answer) -> None:
        s.jobs_in_flight -= 1
        self.next_started(s)
        item.future.set_result(answer)

    def failed(self, s: _Slot, item: _Job, error: BaseException) -> None:
        if not item.probe:
            s.jobs_in_flight -= 1
            item.future.set_exception(error)
        self.next_started(s)

    def next_started(self, s: _Slot) -> None:
        for j in s.in_flight:
            if not j.probe:
                if j.started is None:
                    j.started = time.monotonic()
                return

    def worker_gone(self, s: _Slot) -> None:
        """Every job of a worker that cannot answer any more fails, with the
        error that `map` raises for it."""

        def error(j: _Job) -> RuntimeError:
            return RuntimeError(f"{s.gone} without answering job {j.label}")

        while s.in_flight:
            j = s.in_flight.popleft()
            if not j.probe:
                s.jobs_in_flight -= 1
                if not j.future.done():
                    j.future.set_exception(error(j))
        while s.waiting:
            j = s.waiting.popleft()
            if j.future.running() or j.future.set_running_or_notify_cancel():
                j.future.set_exception(error(j))

    def run_until_stopped(self, loop: Callable[[], None]) -> None:
        """The dispatcher thread's body: `loop` until the dispatcher stops. A
        failure in it fails every job it served, instead of leaving their
        futures to wait for a thread that is gone."""
        while not self.stopping:
            try:
                loop()
            except BaseException as e:
                with self.lock:
                    for s in self.slots:
                        s.gone = f"the reader of worker {s.index}'s answers failed ({e!r});"
                        self.worker_gone(s)
                    self.fail_unreachable()

    # -- what each kind of pool does --------------------------------------

    def sync_slots(self) -> None:
        raise NotImplementedError

    def own(self) -> None:
        """Called before each job: the pool becomes this dispatcher's."""

    def end(self) -> None:
        """The last future is answered."""

    def send(self, s: _Slot, item: _Job) -> None:
        raise NotImplementedError


# ---------------------------------------------------------------------------
# Local pools: one reader thread per dispatcher.


def _frames(buffer: bytearray) -> list[bytes]:
    """The whole messages at the start of `buffer` (taken off it), as a
    multiprocessing Connection frames them: a 4-byte big-endian length, or
    -1 and an 8-byte length."""
    messages = []
    at = 0
    while len(buffer) - at >= 4:
        (size,) = struct.unpack_from("!i", buffer, at)
        head = 4
        if size == -1:
            if len(buffer) - at < 12:
                break
            (size,) = struct.unpack_from("!Q", buffer, at + 4)
            head = 12
        if len(buffer) - at - head < size:
            break
        messages.append(bytes(buffer[at + head : at + head + size]))
        at += head + size
    del buffer[:at]
    return messages


class _LocalDispatcher(_Dispatcher):
    def __init__(self, pool: Any) -> None:
        super().__init__(pool)
        from multiprocessing.reduction import ForkingPickler

        from vantrel import _control, monorun

        self.control: Any = _control
        self.monorun: Any = monorun
        self.dumps = ForkingPickler.dumps
        self.wake_r = self.wake_w = -1  # the reader's wake-up pipe, while it runs
        self.stopping = False
        self.active = False  # the answer pipes are ours
        self.guard = _Guard(self)
        self.sleeping = False  # the reader waits with no time-out
        # The answer pipes each event loop watches (watch_from).
        self.loop_fds: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, set[int]] = (
            weakref.WeakKeyDictionary()
        )
        self.idle = threading.Condition(self.lock)
        self.thread: threading.Thread | None = None

    # The pool's workers, as they are now: a pool restarted or resized since
    # the last look has new slots; jobs still on old workers fail with them.
    def sync_slots(self) -> None:
        procs = self.pool.procs
        if procs is self.procs_seen and len(self.slots) == len(procs):
            return
        old = {id(s.handle): s for s in self.slots}
        slots = []
        for i, h in enumerate(list(procs.values())):
            s = old.pop(id(h), None)
            if s is None or s.index != i:
                s = _Slot(i, h)
            slots.append(s)
        for s in old.values():  # workers no longer in the pool
            s.gone = s.gone or f"worker {s.index} left the pool"
            self.worker_gone(s)
        if self.active:
            self.end()  # the next job takes the new workers over
        self.slots = slots
        self.procs_seen = procs
        self.wake()

    # The pool stays this dispatcher's after its futures are answered, so
    # that a run of jobs pays for taking it over once. It is handed back when
    # map, reduce, blocked_put or clear_output asks the marker (`release`).
    def own(self) -> None:
        if self.active:
            return
        for s in self.slots:
            # Answers that an interrupted map left owing, and stale ones,
            # go first: they must not pair with the futures.
            s.handle.clear_output()
            s.handle.qo.__dict__[GUARD_ATTRIBUTE] = self.guard
        self.active = True
        if self.thread is None:
            self.wake_r, self.wake_w = os.pipe()
            os.set_blocking(self.wake_w, False)
            self.thread = threading.Thread(
                target=self.read_answers, name="vantrel futures", daemon=True
            )
            self.thread.start()
            _threads.add(self)
        self.wake()  # a lone job gets its probe in time

    def timer_set(self, item: _Job) -> None:
        # Only a reader asleep without a time-out needs telling.
        if self.sleeping and threading.current_thread() is not self.thread:
            self.sleeping = False
            self.wake()

    def release(self) -> bool:
        """Hands the pool back unless futures are unanswered; whether they are.
        A probe still on its way is waited for: its answer must not reach map."""
        with self.lock:
            if self.unanswered:
                return True
            live = [s for s in self.slots if s.gone is None]
            if not self.idle.wait_for(lambda: not any(s.in_flight for s in live), 2.0):
                return True
            if self.active:
                self.end()
            return False

    def maybe_end(self) -> None:
        self.idle.notify_all()

    def end(self) -> None:
        # From here on the answer pipes are map's: the reader leaves them.
        self.active = False
        for s in self.slots:
            s.handle.qo.__dict__.pop(GUARD_ATTRIBUTE, None)
        self.wake()

    def message(self, item: _Job) -> Any:
        job = item.job
        tag = {_TAG_NAME: item.tag}
        if isinstance(job, str):
            return (tag, _TAG_SOURCE, job)
        if type(job) in (list, tuple):
            return (tag, _TAG_SOURCE, *job)
        return _Tagged(item.tag, job)

    def send(self, s: _Slot, item: _Job) -> None:
        qi = s.handle.qi
        obj = self.message(item)
        if not s.via_put and self.control.queue_fast_path and _direct_queue(qi):
            data = self.dumps(obj)
            # As put does: one count of the queue's semaphore per message
            # (the reader releases it), written under the queue's write lock,
            # and only with nothing left in the queue's own feeder.
            if len(data) <= _DIRECT_LIMIT and not qi._buffer and qi._sem.acquire(False):
                try:
                    with qi._wlock:
                        qi._writer.send_bytes(data)
                except BaseException:
                    qi._sem.release()
                    raise
                return
        s.via_put = True
        self.control.put_deferring_interrupts(qi, obj)

    def probe(self, s: _Slot) -> None:
        p = _Job(None, "", -1, None)
        p.probe = True
        p.tag = next(self.tags)
        p.slot = s
        self.send(s, p)
        s.in_flight.append(p)

    def wake(self) -> None:
        # Never waits for the lock: at exit the reader may be frozen holding it.
        if self.wake_w >= 0:
            try:
                os.write(self.wake_w, b"x")
            except BlockingIOError:
                pass

    def __del__(self) -> None:
        # The reader thread has ended (it holds this object while it runs).
        for fd in (self.wake_r, self.wake_w):
            if fd >= 0:
                os.close(fd)

    def stop(self) -> None:
        self.stopping = True
        self.wake()

    # -- the reader thread ------------------------------------------------

    def read_answers(self) -> None:
        """Runs until the interpreter exits (a daemon thread, stopped by an
        exit handler): polls the answer pipes and the workers' sentinels."""
        try:
            self.read_until_stopped()
        finally:
            with self.lock:
                for s in self.slots:  # the pool is gone: nobody reads for them
                    s.gone = s.gone or "the pool of these futures is gone, and its worker"
                    self.worker_gone(s)

    def read_until_stopped(self) -> None:
        self.run_until_stopped(self.poll_loop)

    def poll_loop(self) -> None:
        poller = select.poll()
        watched: dict[int, tuple[_Slot, str]] = {}
        seen: tuple[list[_Slot], bool] | None = None
        poller.register(self.wake_r, select.POLLIN)
        while not self.stopping:
            with self.lock:
                if seen != (self.slots, self.active):
                    for fd in watched:
                        poller.unregister(fd)
                    watched = {}
                    for s in self.slots if self.active else ():
                        if s.gone is None:
                            watched[s.handle.qo._reader.fileno()] = (s, "answers")
                            watched[s.handle.proc.sentinel] = (s, "sentinel")
                    for fd in watched:
                        poller.register(fd, select.POLLIN)
                    seen = (self.slots, self.active)
                timeout = self.timers()
                if timeout is None and time.monotonic() - self.last_start < 1.0:
                    # Jobs come one after another: look again soon rather than
                    # be woken for each (a lone job needs its probe in time).
                    timeout = _PROBE_AFTER
                self.sleeping = timeout is None
            events = poller.poll(None if timeout is None else max(timeout, 0.0) * 1000)
            dead = []
            for fd, _ in events:
                if fd == self.wake_r:
                    os.read(self.wake_r, 4096)
                    continue
                entry = watched.get(fd)
                if entry is None:
                    continue
                s, kind = entry
                if kind == "answers":
                    self.take_answers(s)
                else:
                    dead.append(s)
            for s in dead:
                self.take_answers(s)  # what it wrote before it ended
                with self.lock:
                    if s.gone is None and s in self.slots:
                        self.died(s)
                        poller.unregister(s.handle.qo._reader.fileno())
                        poller.unregister(s.handle.proc.sentinel)
                        watched = {fd: e for fd, e in watched.items() if e[0] is not s}

    def watch_from(self, loop: asyncio.AbstractEventLoop) -> None:
        """In the thread of a running event loop that awaits answers: the loop
        reads the answer pipes too (`add_reader`), so that an answer wakes the
        awaiting task without a hand-over from the reader thread. Whoever
        reads first takes the answer; the reader thread stays the one that
        always reads, so a loop that stops or blocks holds nothing up."""
        with self.lock:
            if not self.active:
                return
            fds = self.loop_fds.setdefault(loop, set())
            for s in self.slots:
                fd = s.handle.qo._reader.fileno()
                if s.gone is None and fd not in fds:
                    loop.add_reader(fd, self.loop_readable, loop, s, fd)
                    fds.add(fd)

    def loop_readable(self, loop: asyncio.AbstractEventLoop, s: _Slot, fd: int) -> None:
        with self.lock:
            if self.active and s.gone is None and s in self.slots:
                self.take_answers(s)
                return
            # The pool was handed back, or the worker replaced: the pipe is
            # not the loop's to watch any more.
            self.loop_fds.get(loop, set()).discard(fd)
        loop.remove_reader(fd)

    def take_answers(self, s: _Slot) -> None:
        with self.lock:
            # Under the lock: once the pool is handed back, not one more byte
            # is read from a pipe that map may be reading.
            if self.active and s.handle.qo.__dict__.get(GUARD_ATTRIBUTE) is self.guard:
                self.read_from(s)

    def read_from(self, s: _Slot) -> None:
        qo = s.handle.qo
        answers = []
        if self.control.queue_fast_path and _direct_queue(qo):
            fd = qo._reader.fileno()
            # Looked at under the lock: an event loop may have read it first
            # (watch_from), and a worker may have ended with nothing to say.
            if not select.select([fd], [], [], 0)[0]:
                return
            try:
                chunk = os.read(fd, 1 << 20)
            except OSError:
                return
            s.buffer += chunk
            for data in _frames(s.buffer):
                qo._sem.release()  # as get does, per message taken
                try:
                    answers.append(_loads(data))
                except Exception as e:
                    answers.append(e)
        else:
            while qo._reader.poll(0):
                try:
                    answers.append(qo.get())
                except Exception as e:
                    answers.append(e)
        for a in answers:
            self.pair(s, a)
        if answers:
            self.dispatch()

    def pair(self, s: _Slot, answer: Any) -> None:
        if isinstance(answer, Exception):
            error = RuntimeError(f"an answer from worker {s.index} could not be read: {answer!r}")
            if s.in_flight:
                self.failed(s, s.in_flight.popleft(), error)
            return
        values = answer[3] if type(answer) is list and len(answer) == 4 else None
        tag = values.pop(_TAG_NAME, None) if type(values) is dict else None
        if tag is None:
            while s.in_flight and s.in_flight[0].probe:
                s.in_flight.popleft()
            if s.in_flight:
                self.answered(s, s.in_flight.popleft(), answer)
            if not s.in_flight:
                self.maybe_end()
            return
        if not any(j.tag == tag for j in s.in_flight):
            return  # a stale answer: nothing waits for it
        while s.in_flight:
            j = s.in_flight.popleft()
            if j.tag == tag:
                if j.probe:
                    self.next_started(s)
                else:
                    self.answered(s, j, answer)
                break
            self.failed(s, j, _no_answer(s, j))
        if not s.in_flight:
            s.via_put = False
            self.maybe_end()

    def died(self, s: _Slot) -> None:
        proc = s.handle.proc
        proc.join(0.5)
        pid, code = proc.pid, proc.exitcode
        s.gone = f"worker process {pid!r} ended (exit code {code!r})"
        self.worker_gone(s)
        self.fail_unreachable()
        self.maybe_end()

    def timers(self) -> float | None:
        """Ends the jobs past their time limit, sends probes; the seconds
        until the next such moment."""
        now = time.monotonic()
        soonest: float | None = None
        for s in self.slots:
            head = next((j for j in s.in_flight if not j.probe), None)
            if head is None or head.started is None:
                continue
            if head.limit is not None:
                left = head.started + head.limit - now
                if left <= 0:
                    self.replace(s, head)
                    return 0.0
                soonest = left if soonest is None else min(soonest, left)
            if len(s.in_flight) == 1 and not s.waiting:
                left = head.started + _PROBE_AFTER - now
                if left <= 0:
                    self.probe(s)
                    continue
                soonest = left if soonest is None else min(soonest, left)
        return soonest

    def replace(self, s: _Slot, late: _Job) -> None:
        """`late` ran past its time limit: its worker is killed and a fresh
        one takes the same place in the pool. Jobs sent behind it go to the
        fresh worker."""
        old = s.handle
        old.qo.__dict__.pop(GUARD_ATTRIBUTE, None)
        old.kill()
        old.proc.join(1.0)
        name = f"{self.pool.name_pref}_{s.index}"
        handle = self.monorun.SingleProcess(name)
        procs = dict(self.pool.procs)
        rebuilt = {}
        for pid, h in procs.items():
            if h is old:
                rebuilt[handle.proc.pid] = handle
            else:
                rebuilt[pid] = h
        fresh = _Slot(s.index, handle)
        fresh.waiting = collections.deque(j for j in s.in_flight if not j.probe and j is not late)
        fresh.waiting += s.waiting
        for j in fresh.waiting:
            j.started = None
        self.pool.procs = rebuilt
        self.procs_seen = rebuilt
        self.slots = [fresh if x is s else x for x in self.slots]
        s.in_flight.clear()
        s.waiting.clear()
        s.gone = f"worker {s.index} was replaced"
        if self.active:
            handle.qo.__dict__[GUARD_ATTRIBUTE] = self.guard
        late.future.set_exception(
            TimeoutError(
                f"job {late.label} ran past its time limit of {late.limit} s in worker "
                f"{s.index} (pid {old.proc.pid}): that worker was killed and a fresh worker "
                f"(pid {handle.proc.pid}) took its place, with a new, empty namespace"
            )
        )
        self.dispatch()


class _Guard:
    """The marker on a worker's output queue. The compiled methods that would
    read the queue ask for its truth: false once the dispatcher has handed
    the pool back, true while futures are unanswered."""

    __slots__ = ("dispatcher",)

    def __init__(self, dispatcher: _LocalDispatcher) -> None:
        self.dispatcher = dispatcher

    def __bool__(self) -> bool:
        return self.dispatcher.release()


def _no_answer(s: _Slot, j: _Job) -> RuntimeError:
    return RuntimeError(
        f"job {j.label} got no answer from worker {s.index}: it raised KeyboardInterrupt "
        "there, and a worker answers no such job"
    )


def _loads(data: bytes) -> Any:
    from multiprocessing.reduction import ForkingPickler

    return ForkingPickler.loads(data)


def _direct_queue(q: Any) -> bool:
    """Whether `q` has the layout that reading and writing its pipe directly
    relies on (multiprocessing.Queue on POSIX)."""
    return (
        getattr(q, "_wlock", None) is not None
        and hasattr(getattr(q, "_sem", None), "acquire")
        and isinstance(getattr(q, "_buffer", None), collections.deque)
        and hasattr(getattr(q, "_writer", None), "send_bytes")
        and hasattr(getattr(q, "_reader", None), "fileno")
    )


class _Tagged:
    """A job that is neither a str nor a list or tuple, tagged: the worker
    iterates it as it would the job itself."""

    def __init__(self, tag: int, job: Any) -> None:
        self.tag = tag
        self.job = job

    def __iter__(self) -> Any:
        yield {_TAG_NAME: self.tag}
        yield _TAG_SOURCE
        yield from self.job


# ---------------------------------------------------------------------------
# Ray pools: Ray's completion callbacks deliver the answers.


class _RayDispatcher(_Dispatcher):
    """Ray's completion callbacks hand each finished object to this
    dispatcher's thread (a callback must not wait: it runs in Ray's own
    thread), which pairs it and keeps the time limits."""

    def __init__(self, pool: Any) -> None:
        super().__init__(pool)
        import queue

        from vantrel import cluster

        self.cluster: Any = cluster
        self.ray = cluster._ray()
        self.events: queue.SimpleQueue[tuple[_Slot, _Job, Any, Any] | None] = queue.SimpleQueue()
        self.empty = queue.Empty
        self.thread: threading.Thread | None = None
        self.stopping = False

    def sync_slots(self) -> None:
        procs = self.pool.procs
        if procs is self.procs_seen and len(self.slots) == len(procs):
            return
        old = {id(s.handle): s for s in self.slots}
        self.slots = []
        for i, w in enumerate(list(procs.values())):
            s = old.pop(id(w), None)
            self.slots.append(s if s is not None and s.index == i else _Slot(i, w))
        for s in old.values():
            s.gone = s.gone or f"worker {s.index} left the pool"
            self.worker_gone(s)
        self.procs_seen = procs

    def own(self) -> None:
        if self.thread is None:
            self.thread = threading.Thread(target=self.serve, name="vantrel futures", daemon=True)
            self.thread.start()
            _threads.add(self)

    def stop(self) -> None:
        self.stopping = True
        self.events.put(None)

    def send(self, s: _Slot, item: _Job) -> None:
        handle = self.cluster._send(s.handle, item.label, item.job)
        handle.ref.future().add_done_callback(lambda done: self.events.put((s, item, handle, done)))

    def timer_set(self, item: _Job) -> None:
        if item.limit is not None:
            self.events.put(None)  # the thread learns the new deadline

    def serve(self) -> None:
        self.run_until_stopped(self.serve_events)

    def serve_events(self) -> None:
        while not self.stopping:
            with self.lock:
                late, timeout = self.past_limit()
            if late is not None:
                self.replace(*late)
                continue
            try:
                event = self.events.get(timeout=timeout)
            except self.empty:
                continue
            if event is not None:
                self.arrived(*event)

    def past_limit(self) -> tuple[tuple[_Slot, _Job] | None, float | None]:
        now = time.monotonic()
        soonest: float | None = None
        for s in self.slots:
            head = s.in_flight[0] if s.in_flight else None
            if head is None or head.limit is None or head.started is None or s.replacing:
                continue
            left = head.started + head.limit - now
            if left <= 0:
                s.replacing = True
                return (s, head), None
            soonest = left if soonest is None else min(soonest, left)
        return None, soonest

    def arrived(self, s: _Slot, item: _Job, handle: Any, done: Any) -> None:
        error: BaseException | None = None
        lost = False
        try:
            handle._settle(done.result())
        except self.ray.exceptions.RayError as e:
            # The worker is gone for the errors that `map` reports so.
            error = handle._failed(self.ray, e)
            lost = " without answering " in str(error)
        except Exception as e:
            error = e
        with self.lock:
            if item not in s.in_flight:
                return  # its worker was replaced: the job has failed already
            s.in_flight.remove(item)
            if error is None:
                self.answered(s, item, handle._answer)
            else:
                self.failed(s, item, error)
                if lost and s.gone is None:
                    s.gone = str(error).split(" without answering")[0]
            self.dispatch()

    def replace(self, s: _Slot, late: _Job) -> None:
        """`late` ran past its time limit: its worker is killed and a fresh
        one takes the same name in the pool. Jobs sent behind it go to the
        fresh worker. Ray is waited for without the lock held."""
        old = s.handle
        try:
            old.kill()
            worker = self.pool._start_worker(old.name, old.node_id)
        except Exception as e:
            with self.lock:
                s.gone = f"worker {s.index} could not be replaced ({e!r}) and"
                late.future.set_exception(
                    TimeoutError(f"job {late.label} ran past its time limit of {late.limit} s")
                )
                s.in_flight.remove(late)
                s.jobs_in_flight -= 1
                self.worker_gone(s)
            return
        with self.lock:
            procs = dict(self.pool.procs)
            procs[old.name] = worker
            self.pool.procs = procs
            self.procs_seen = procs
            fresh = _Slot(s.index, worker)
            fresh.waiting = collections.deque(j for j in s.in_flight if j is not late)
            fresh.waiting += s.waiting
            for j in fresh.waiting:
                j.started = None
            self.slots = [fresh if x is s else x for x in self.slots]
            s.in_flight.clear()
            s.waiting.clear()
            late.future.set_exception(
                TimeoutError(
                    f"job {late.label} ran past its time limit of {late.limit} s in worker "
                    f"{s.index} (pid {old.pid}): that worker was killed and a fresh worker "
                    f"(pid {worker.pid}) took its place, with a new, empty namespace"
                )
            )
            self.dispatch()


# ---------------------------------------------------------------------------
# One dispatcher per pool; the reader threads end when the interpreter exits.

_dispatchers: weakref.WeakKeyDictionary[Any, _Dispatcher] = weakref.WeakKeyDictionary()
_registry_lock = threading.Lock()
_threads: weakref.WeakSet[_LocalDispatcher | _RayDispatcher] = weakref.WeakSet()


@atexit.register
def _stop_readers() -> None:
    for d in list(_threads):
        d.stop()


def _dispatcher(pool: Any) -> _Dispatcher:
    with _registry_lock:
        d = _dispatchers.get(pool)
        if d is None:
            if type(pool).__module__ == "vantrel.cluster":
                d = _RayDispatcher(pool)
            elif hasattr(pool, "procs") and hasattr(pool, "name_pref"):
                d = _LocalDispatcher(pool)
            else:
                raise TypeError(
                    f"expected a vantrel pool (polyrun.MultiProcessPool or cluster.RayPool), "
                    f"not {type(pool).__name__}"
                )
            _dispatchers[pool] = d
        return d


def submit(
    pool: Any, job: Any, worker: int | None = None, *, time_limit: float | None = None
) -> concurrent.futures.Future[Answer]:
    """Send `job` to worker `worker` (0 to N-1), or with None to whichever
    worker is idle first; the future's result is the job's answer.

    With `time_limit`, a job still running that many seconds after it
    started has its worker killed and replaced by a fresh one (with an empty
    namespace), and the future fails with TimeoutError.
    """
    return _dispatcher(pool).submit(job, worker, time_limit, None)


def submit_batch(
    pool: Any,
    jobs: Iterable[Any],
    *,
    dealt: bool = False,
    time_limit: float | None = None,
) -> list[concurrent.futures.Future[Answer]]:
    """One future per job. With `dealt`, job k goes to worker k % N as in
    `map`; otherwise each job goes to whichever worker is idle first. A
    future's failure names the job by its position in `jobs`."""
    d = _dispatcher(pool)
    futures = []
    with d.lock:
        d.sync_slots()
        n = len(d.slots)
        for k, job in enumerate(jobs):
            worker = k % n if dealt and n else None
            futures.append(d.submit(job, worker, time_limit, k))
    return futures


def asubmit(
    pool: Any, job: Any, worker: int | None = None, *, time_limit: float | None = None
) -> asyncio.Future[Answer]:
    """`submit` as an awaitable of the running event loop. Cancelling it (or
    the task awaiting it) cancels the job if it has not been sent yet; a job
    already sent runs, and its answer goes to nobody else."""
    loop = asyncio.get_running_loop()
    d = _dispatcher(pool)
    future = d.submit(job, worker, time_limit, None)
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
    if isinstance(d, _LocalDispatcher):
        d.watch_from(loop)
    return waiting


def pending(pool: Any) -> list[concurrent.futures.Future[Answer]]:
    """The futures of `pool` that have no answer yet."""
    d = _dispatchers.get(pool)
    return d.pending() if d is not None else []


def gather(
    futures: Iterable[concurrent.futures.Future[Answer]],
    *,
    progress: bool | str = False,
    on_answer: Callable[[int, Answer], object] | None = None,
    return_exceptions: bool = False,
) -> list[Any]:
    """Waits for `futures` and returns their answers in their order, with a
    progress bar that moves as answers arrive (`progress=True`, or the bar's
    description as a str; needs tqdm: ``pip install 'vantrel[progress]'``)
    and `on_answer(position, answer)` called in this thread as each answer
    arrives. A future that failed (its worker died, its time limit passed)
    raises here, after every other has finished; with `return_exceptions`
    its exception takes its place in the list instead. Interrupted, it
    cancels the jobs still waiting in this process."""
    futures = list(futures)
    position = {f: k for k, f in enumerate(futures)}
    bar = _progress_bar(len(futures), progress) if progress is not False else None
    try:
        if bar is None and on_answer is None:
            concurrent.futures.wait(futures)  # woken once, not per answer
        for f in concurrent.futures.as_completed(futures):
            if on_answer is not None and not f.cancelled() and f.exception() is None:
                on_answer(position[f], f.result())
            if bar is not None:
                bar.update(1)
    except BaseException:
        for f in futures:
            f.cancel()  # jobs still waiting in this process never run
        raise
    finally:
        if bar is not None:
            bar.close()
    if return_exceptions:
        return [f.exception() or f.result() for f in futures]
    return [f.result() for f in futures]


def map(
    pool: Any,
    jobs: Iterable[Any],
    *,
    dealt: bool = True,
    time_limit: float | None = None,
    progress: bool | str = False,
    on_answer: Callable[[int, Answer], object] | None = None,
) -> list[Answer]:
    """The answers to `jobs` in job order, as `pool.map` returns them, with
    the progress bar and `on_answer` of `gather`. With `dealt` job k runs in
    worker k % N; with False, in whichever worker is idle first."""
    sent = submit_batch(pool, jobs, dealt=dealt, time_limit=time_limit)
    return gather(sent, progress=progress, on_answer=on_answer)


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
