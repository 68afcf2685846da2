"""A local pool's side of the futures (MultiProcessPool and the process-wide
pool): jobs go out and answers come in through the core's primitives on each
worker handle (vantrel._wire), never through the queues themselves.

Who reads: one daemon thread per pool polls the answer pipes and the
workers' sentinels of the workers that have jobs of these futures; a thread
in `result()` polls them too and reads its answer itself, and an event loop
awaiting `asubmit` reads them on its own thread (`add_reader`). Whoever
comes first takes what has arrived (the core takes the queue's read lock
without waiting, so the others find nothing) and settles the futures,
waking the thread that waits for each (its _Waker).
"""

from __future__ import annotations

import asyncio
import os
import select
import threading
import time
import weakref
from typing import Any

from vantrel import _control, _figures, _wire
from vantrel._pool import healing as _healing

from . import _waiting
from ._jobs import Batch, Job, Settlements, Slot
from ._scheduler import Scheduler

# Between two looks at queues whose pipe cannot be polled (the public path).
_PUBLIC_LOOK = 0.01
# The longest one poll of a thread in result() lasts: another thread may
# take its answer just before it starts polling.
_LOOK = 0.05
# A poll's milliseconds must fit in a C int: a long time limit is looked at
# again after this.
_LONGEST_POLL = 3600.0
# A thread in result() that found its answer taken by another looks again after this.
_TAKEN_ELSEWHERE = 0.005


class LocalFuture(_waiting.Future):
    """A future whose `result()` and `exception()`, called before it is
    done, read the answers in the calling thread."""

    _scheduler: LocalScheduler | None = None
    waker: _Waker | None = None  # of a thread in result(), polling for it

    def wait(self, timeout: float | None = None) -> None:
        """Reads answers in this thread until this future is done."""
        if not self.done() and self._scheduler is not None:
            self._scheduler.wait(self, timeout)

    def result(self, timeout: float | None = None) -> Any:
        if not self.done() and self._scheduler is not None:
            self._scheduler.wait(self, timeout)
        return super().result(timeout)

    def exception(self, timeout: float | None = None) -> BaseException | None:
        if not self.done() and self._scheduler is not None:
            self._scheduler.wait(self, timeout)
        return super().exception(timeout)


class _Waker:
    """A waiting thread's own wake-up pipe, written when the future it waits
    for is settled by another thread: one that read that answer while this
    thread polled. Its poll then ends at once, not after a whole look."""

    r = w = -1  # closed by __del__, with the thread's other locals

    def __init__(self) -> None:
        with _control.signals_held():  # no descriptor left behind half made
            self.r, self.w = os.pipe()
        os.set_blocking(self.r, False)
        os.set_blocking(self.w, False)
        self.owner = threading.get_ident()
        self.woken = False  # the last poll ended on this pipe

    def wake(self) -> None:
        if threading.get_ident() != self.owner:  # its own read needs no wake-up
            try:
                os.write(self.w, b"x")
            except OSError:
                pass  # full: it wakes anyway

    def drain(self) -> None:
        self.woken = True
        try:
            os.read(self.r, 4096)
        except BlockingIOError:
            pass

    def __del__(self) -> None:
        for fd in (self.r, self.w):
            if fd >= 0:
                os.close(fd)


_wakers = threading.local()


def _waker() -> _Waker:
    """This thread's waker."""
    waker: _Waker | None = getattr(_wakers, "waker", None)
    if waker is None:
        waker = _wakers.waker = _Waker()
    return waker


class _Poll:
    """One thread's poll over the watched workers: each thread its own (a
    poll object serves one thread at a time)."""

    def __init__(self) -> None:
        self.generation = -1
        self.waker: _Waker | None = None  # a thread in result(): its own wake-up
        self.poller = select.poll()
        self.fds: dict[int, tuple[Slot, bool]] = {}  # fd -> (slot, is the sentinel)
        self.unpolled: list[Slot] = []  # watched slots without a pipe to poll


class LocalScheduler(Scheduler):
    wake_r = wake_w = -1  # the reader's wake-up pipe; closed by __del__

    def __init__(self, pool: Any) -> None:
        super().__init__(pool)
        self.wake_r, self.wake_w = os.pipe()
        os.set_blocking(self.wake_w, False)
        self.done.wake = self.wake
        self.dispatch_wanted = False  # the main thread left jobs for the reader
        self.generation = 0  # changes when the set of watched workers does
        self.polls = threading.local()
        self.thread: threading.Thread | None = None
        self.stopping = False
        self.loop_fds: weakref.WeakKeyDictionary[Any, dict[int, Slot]] = weakref.WeakKeyDictionary()

    def new_future(self) -> LocalFuture:
        f = LocalFuture()
        f._scheduler = self
        return f

    # -- the pool's workers -----------------------------------------------

    def kill_strays(self, procs: dict[Any, Any]) -> None:
        """Workers started here in place of one past its time limit that are
        not in the pool (it was emptied or restarted meanwhile) end now."""
        live = {id(h) for h in procs.values()}
        for h in [h for h in self.replaced if id(h) not in live]:
            self.replaced.remove(h)
            h.kill()

    # -- sending ----------------------------------------------------------

    def send(self, s: Slot, items: list[Job]) -> tuple[int, BaseException | None]:
        # An interrupt anywhere here is the caller's (start), which asks the
        # core what went (went): a job that went is never taken for one that did not.
        _wire.claim(s.handle, self)  # first use, or handed back to map meanwhile
        # A run of jobs all want their printed text while they run, or none does.
        live = items[0].wants_output()
        if len(items) == 1:
            _wire.send(s.handle, items[0].tag, items[0].job, live)
            return 1, None
        return _wire.send_many(s.handle, items[0].tag, [j.job for j in items], live)

    def reconcile(self, done: Settlements) -> None:
        """After a send was cut short: jobs recorded in flight that never
        went fail (the call that sent them was interrupted), so they hold no
        worker up. Cut short itself, it runs again: the flag goes last."""
        for s in self.slots:
            if not s.in_flight or s.gone is not None:
                continue
            last = _wire.last_sent(s.handle)
            for tag in [t for t in s.in_flight if last is None or t > last]:
                item = s.in_flight[tag]
                done.fail(
                    item, RuntimeError(f"job {item.label} was not sent: its call was interrupted")
                )
                del s.in_flight[tag]
            self.next_started(s)
        self.unsure = False

    def went(self, s: Slot, items: list[Job]) -> int:
        last = _wire.last_sent(s.handle)
        tags = [j.tag for j in items]
        return tags.index(last) + 1 if last in tags else 0

    def sending(self, s: Slot, items: list[Job]) -> None:
        if not s.watched:
            # The generation first: cut off after it, the slot is watched
            # at the next send; after `watched`, every poll made from now on has it.
            self.generation += 1
            s.watched = True
            self.wake()
        t = self.thread
        if t is None or not t.is_alive():
            self.start_reader()
        elif items[0].limit is not None:
            self.wake()  # the reader learns the new deadline

    def redispatch(self) -> None:
        self.dispatch_wanted = True
        t = self.thread
        if t is None or not t.is_alive():
            self.start_reader()
        else:
            self.wake()

    def hold(self, s: Slot, held: bool) -> None:
        _wire.hold(s.handle, held)

    # -- the reader thread ------------------------------------------------

    def start_reader(self) -> None:
        # Recorded before it starts: an interrupt inside start() leaves at
        # worst a second reader at the next job, and two readers are harmless.
        t = threading.Thread(target=self.read_answers, name="vantrel futures", daemon=True)
        self.thread = t
        _readers.add(self)
        # start() waits for the thread under a lock of threading's own, which
        # an interrupt there can leave let go twice (RuntimeError instead).
        with _control.signals_held():
            t.start()

    def read_answers(self) -> None:
        try:
            while True:  # tested inside: keeps the jump back under the handler (CPython 3.13)
                if self.stopping:
                    break
                self.pump(None, reader=True)
        except BaseException as e:
            self.fail_all(f"the thread that read their answers failed ({e!r}), and they ended")

    def changed(self) -> None:
        self.generation += 1
        self.wake()

    def wake(self) -> None:
        # Never waits: at exit the reader may be frozen.
        try:
            os.write(self.wake_w, b"x")
        except (BlockingIOError, OSError):
            pass

    def stop(self) -> None:
        self.stopping = True
        self.wake()
        # A worker started for a time limit while kill_all() emptied the
        # pool would keep the interpreter from exiting.
        pool = self.pool_ref()
        self.kill_strays(pool.procs if pool is not None else {})

    # -- reading, from any thread -----------------------------------------

    def poll_of(self, reader: bool) -> _Poll:
        p: _Poll | None = getattr(self.polls, "poll", None)
        if p is not None and p.generation == self.generation:
            return p
        # A new poll each time, put in place whole: an interrupt half-way
        # through leaves the old one as it was.
        p = _Poll()
        if reader:
            p.poller.register(self.wake_r, select.POLLIN)
        else:
            p.waker = _waker()
            p.poller.register(p.waker.r, select.POLLIN)
        with self.lock:
            for s in self.slots:
                if s.gone is not None or not s.watched:
                    continue
                answers, ended = _wire.descriptors(s.handle)
                if answers < 0:
                    p.unpolled.append(s)
                else:
                    p.fds[answers] = (s, False)
                if ended >= 0 and reader:
                    p.fds[ended] = (s, True)
                else:
                    continue  # keeps the jump back under the handler (CPython 3.14)
            for fd in p.fds:
                p.poller.register(fd, select.POLLIN)
            p.generation = self.generation
        self.polls.poll = p
        return p

    def pump(self, timeout: float | None, reader: bool) -> bool:
        """One wait for whatever comes: answers, a worker's end, a time
        limit, a wake-up; whether anything was taken."""
        p = self.poll_of(reader)
        done = self.done
        done.run()  # what a thread cut short left
        soonest = None
        if reader:
            # Time limits, workers that end or wear out and jobs the main
            # thread left are this thread's: an interrupt never lands here.
            with self.lock:
                if self.unsure:
                    self.reconcile(done)
                self.check_drained(done)
                for x in self.slots:
                    # Taken by a thread that an interrupt cut off before it paired them.
                    if x.inbox and x.gone is None and self.pair_inbox(x, done):
                        self.mark_worn(x)
                        self.dispatch_wanted = True
                    else:
                        continue  # keeps the jump back under the handler (CPython 3.14)
                if self.dispatch_wanted or self.waiting():
                    self.dispatch_wanted = False
                    self.dispatch(done)
                late, soonest = self.timers(done)
                if self.waiting():
                    # A wake-up the main thread meant to send may have been
                    # cut off by an interrupt: look again soon.
                    soonest = _LOOK if soonest is None else min(soonest, _LOOK)
            done.run()
            if late is not None:
                self.replace(*late)
                return True
            with self.lock:
                worn = next(
                    (
                        x
                        for x in self.slots
                        if x.worn and not (x.in_flight or x.gone or x.replacing)
                    ),
                    None,
                )
                if worn is not None:
                    worn.replacing = True  # one thread replaces it; its death is no news
            if worn is not None:
                self.renew(worn, [])
                return True
        if soonest is not None:
            timeout = soonest if timeout is None else min(timeout, soonest)
        if p.unpolled:
            timeout = _PUBLIC_LOOK if timeout is None else min(timeout, _PUBLIC_LOOK)
        if timeout is not None:
            timeout = min(timeout, _LONGEST_POLL)
        events = p.poller.poll(None if timeout is None else max(timeout, 0.0) * 1000 + 1)
        took = False
        ended = []
        for fd, _ in events:
            if fd == self.wake_r:
                os.read(self.wake_r, 4096)
                continue
            if p.waker is not None and fd == p.waker.r:
                p.waker.drain()
                continue
            entry = p.fds.get(fd)
            if entry is not None:
                if entry[1]:
                    ended.append(entry[0])
                else:
                    took = self.take(entry[0]) or took
        for s in p.unpolled:
            took = self.take(s) or took
        for s in ended:
            self.take(s)  # what it wrote before it ended
            self.died(s)
        return took

    def take(self, s: Slot) -> bool:
        done = self.done
        try:
            with self.lock:
                if s.gone is not None:
                    return False
                if not _wire.take(s.handle, self, s.inbox):
                    # Handed back (to map): not this scheduler's to watch now.
                    s.watched = False
                    self.generation += 1
                paired = self.pair_inbox(s, done)
                if paired:
                    self.mark_worn(s)
                    self.dispatch(done)
        except BaseException:
            self.redispatch()  # the reader pairs what was taken and not paired
            raise
        done.run()
        return paired > 0

    def wait(self, future: LocalFuture, timeout: float | None) -> None:
        """Reads in this thread until `future` is done or `timeout` passed."""
        deadline = None if timeout is None else time.monotonic() + timeout
        # Another thread that takes this answer while this one polls wakes it.
        waker = future.waker = _waker()
        while not future.done():
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                return
            look = _LOOK if left is None else min(left, _LOOK)
            waker.woken = False
            if not self.pump(look, reader=False) and not future.done() and not waker.woken:
                # Another thread may be reading this answer: it settles it soon.
                _waiting.wait_done(future, _TAKEN_ELSEWHERE)

    def wait_batch(self, batch: Batch) -> None:
        if batch.arrived or batch.printed or not batch.left:
            return
        waker = batch.waker = _waker()
        waker.woken = False
        if not self.pump(_LOOK, reader=False) and not waker.woken:
            batch.wait(_TAKEN_ELSEWHERE)

    def died(self, s: Slot) -> None:
        if s.replacing:
            return  # killed past its time limit: replace() takes it from here
        proc = s.handle.proc
        # Its sentinel is readable once its descriptors are closed, a moment
        # before it can be reaped: its exit code is waited for a little.
        deadline = time.monotonic() + 0.5
        while proc.exitcode is None and time.monotonic() < deadline:
            time.sleep(0.002)
        # Before the lock: it reads files, and a thread that lets the
        # interpreter lock go while holding ours may be frozen at exit with it.
        try:
            details = _figures.death_details(proc)
        except Exception:
            details = ""  # the report without it, rather than none
        done = self.done
        again = None
        with self.lock:
            if s.gone is None and not s.replacing:
                why = f"worker process {proc.pid!r} ended (exit code {proc.exitcode!r})"
                s.how = f": {details}" if details else ""
                # Jobs with retries left, or a pool that restarts its dead:
                # a fresh worker takes its place.
                again = self.ended_under(s, why, done)
                if again is None:
                    s.gone = why
                    self.worker_gone(s, done)
                    self.fail_unreachable(done)
                self.generation += 1
        done.run()
        if again is not None:
            self.renew(s, again)

    def interrupt(self, future: Any) -> bool:
        with self.lock:
            for s in self.slots:
                head = next(iter(s.in_flight.values()), None)
                if head is not None and head.future is future and s.gone is None:
                    handle, tag = s.handle, head.tag
                    break
                else:
                    continue  # keeps the jump back under the handler (CPython 3.14)
            else:
                return False
        # Named by its tag: a job that ended meanwhile is not the one
        # interrupted, nor is the next.
        return bool(_figures.interrupt_tagged(handle, tag))

    def mark_worn(self, s: Slot) -> None:
        """Under the lock, after answers of `s`: a worker past the pool's
        recycling limits takes no more jobs and is replaced once the jobs
        in flight are answered (the reader does it)."""
        state = self.healing()
        if s.worn or state is None or not (state.max_jobs or state.max_rss):
            return
        if _healing.is_worn(state, s.handle):
            s.worn = True
            self.wake()

    def pid_of(self, handle: Any) -> Any:
        return handle.proc.pid

    def slots_changed(self) -> None:
        self.kill_strays(self.procs_seen)
        self.changed()

    # -- an event loop that awaits ----------------------------------------

    def watch_from(self, loop: asyncio.AbstractEventLoop) -> None:
        """The running loop reads the watched answer pipes too, so that an
        answer wakes the awaiting task without a hand-over."""
        with self.lock:
            fds = self.loop_fds.setdefault(loop, {})
            for s in self.slots:
                if s.gone is not None or not s.watched:
                    continue
                answers, _ = _wire.descriptors(s.handle)
                if answers >= 0 and fds.get(answers) is not s:
                    if answers in fds:
                        loop.remove_reader(answers)
                    loop.add_reader(answers, self.loop_readable, loop, s, answers)
                    fds[answers] = s
                else:
                    continue  # keeps the jump back under the handler (CPython 3.14)

    def loop_readable(self, loop: asyncio.AbstractEventLoop, s: Slot, fd: int) -> None:
        if s.gone is None and s.watched and s in self.slots:
            self.take(s)
            if s.watched:
                return
        # Handed back, or the worker replaced: not the loop's to watch now.
        self.loop_fds.get(loop, {}).pop(fd, None)
        loop.remove_reader(fd)

    def __del__(self) -> None:
        for fd in (self.wake_r, self.wake_w):
            if fd >= 0:
                os.close(fd)


_readers: weakref.WeakSet[LocalScheduler] = weakref.WeakSet()


def stop_readers() -> None:
    for d in list(_readers):
        d.stop()
