"""A RayPool's side of the futures: each job goes to its worker with
`RayWorker.send`, and Ray's completion callback hands the finished job to
this side's thread (a callback must not wait: it runs in Ray's own thread),
which settles it and keeps the time limits."""

from __future__ import annotations

import queue
import threading
import weakref
from typing import Any

from vantrel import _control

from ._jobs import Job, Slot
from ._scheduler import Scheduler


class RayScheduler(Scheduler):
    def __init__(self, pool: Any) -> None:
        super().__init__(pool)
        self.events: queue.SimpleQueue[tuple[Slot, Any, Any] | None] = queue.SimpleQueue()
        self.thread: threading.Thread | None = None
        self.stopping = False

    def pid_of(self, handle: Any) -> Any:
        return handle.pid

    def send(self, s: Slot, items: list[Job]) -> tuple[int, BaseException | None]:
        went = 0
        for item in items:
            pending = None
            settle = lambda done, s=s, tag=item.tag: self.events.put((s, tag, done))
            try:
                pending = s.handle.send(item.job, item.label)
                pending.add_done_callback(settle)
            except BaseException as e:
                if pending is None:
                    return went, e
                # Sent, and cut off before or after its callback was added:
                # added (again), so that its answer is paired; a second
                # report of one answer finds it settled already.
                went += 1
                try:
                    pending.add_done_callback(settle)
                except BaseException as again:
                    return went, again
                return went, e
            went += 1
        return went, None

    def sending(self, s: Slot, items: list[Job]) -> None:
        t = self.thread
        if t is None or not t.is_alive():
            t = threading.Thread(target=self.serve, name="vantrel futures", daemon=True)
            self.thread = t
            _servers.add(self)
            with _control.signals_held():  # as LocalScheduler.start_reader
                t.start()
        elif items[0].limit is not None:
            self.events.put(None)  # the thread learns the new deadline

    def stop(self) -> None:
        self.stopping = True
        self.events.put(None)

    def serve(self) -> None:
        try:
            while True:  # tested inside: keeps the jump back under the handler (CPython 3.13)
                if self.stopping:
                    break
                done = self.done
                with self.lock:
                    late, timeout = self.timers(done)
                if late is not None:
                    self.replace(*late)
                    continue
                try:
                    event = self.events.get(timeout=None if timeout is None else min(timeout, 3600))
                except queue.Empty:
                    continue
                if event is not None:
                    self.arrived(*event)
                else:
                    continue  # keeps the jump back under the handler (CPython 3.14)
        except BaseException as e:
            self.fail_all(f"the thread that read their answers failed ({e!r}), and they ended")

    def arrived(self, s: Slot, tag: Any, pending: Any) -> None:
        answer = error = None
        try:
            answer = pending.get(0)
        except Exception as e:
            error = e
        done = self.done
        again = None
        with self.lock:
            if error is None:
                self.answered(s, tag, "answer", answer, done)
            elif tag not in s.in_flight:
                return  # its worker was replaced: the job has failed already
            else:
                lost = pending.worker_lost and s.gone is None and not s.replacing
                why = str(error).split(" without answering")[0]
                # Jobs with retries left, or a pool that restarts its dead: a
                # fresh actor takes its place (ended_under changes nothing else).
                again = self.ended_under(s, why, done) if lost else None
                if again is None:
                    done.fail(s.in_flight.pop(tag), error)
                    self.next_started(s)
                    if lost:
                        s.gone = why
            self.dispatch(done)
        done.run()
        if again is not None:
            self.renew(s, again)


_servers: weakref.WeakSet[RayScheduler] = weakref.WeakSet()


def stop_servers() -> None:
    for d in list(_servers):
        d.stop()
