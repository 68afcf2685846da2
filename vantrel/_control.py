"""What vantrel itself puts on a worker's queues, and how it puts it.

A worker iterates every job that is not a str. UnsentJob and Barrier raise
instead, so the worker answers them with "EXCEPTION" like any failing job, in
their own position on its output queue, without any special case in the job
loop.
"""

import atexit
import contextlib
import dis
import multiprocessing
import numbers
import operator
import os
import pickle
import signal
import sys
import threading
import time
import types
import weakref
from collections.abc import Callable
from multiprocessing import resource_tracker
from multiprocessing.reduction import ForkingPickler
from typing import Any

from vantrel import _lock

# Messages on multiprocessing queues are written to and read from the queue's
# pipe directly when the queue has the layout vantrel checks; False makes
# every queue met from now on take the public put and get instead.
queue_fast_path = True

# Whether the warning about an unexpected queue layout was given.
queue_layout_warned = False

# Buffers of at least `shared_memory_threshold` bytes that a message's values
# hand to the pickler out of band (numpy arrays, pickle.PickleBuffer over
# anything but bytes and bytearray) travel through a shared-memory segment
# instead of the queue's pipe; `shared_memory = False` sends every byte through
# the pipe. A process's segments, those in flight, those mapped by arrays that
# still live and the spares it keeps for reuse, hold at most
# `shared_memory_share` of /dev/shm's size; what would go beyond goes through
# the pipe. A worker takes the values in force when it was started. The
# threshold and the share are checked where they are set (see _Settings).
shared_memory = True
_large_data = {"threshold": 1024 * 1024, "share": 0.25}

# Where the segments live, and how their names begin.
SEGMENT_FOLDER = "/dev/shm/"
SEGMENT_PREFIX = "vantrel_"
# A segment's first page holds its state (a little-endian uint32): the data
# starts on the next page, so that a reader maps it privately at that offset.
SEGMENT_BUSY, SEGMENT_IDLE, SEGMENT_RETIRED = 0, 1, 2


def _threshold(value):
    try:
        size = operator.index(value)
    except TypeError:
        raise TypeError(
            f"shared_memory_threshold must be an integer (bytes), not {type(value).__name__}"
        ) from None
    if size < 0:
        raise ValueError(f"shared_memory_threshold must be at least 0, not {size}")
    return size


def _share(value):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"shared_memory_share must be a number, not {type(value).__name__}")
    if not 0 <= value <= 1:
        raise ValueError(f"shared_memory_share must lie between 0 and 1, not {value!r}")
    return float(value)


class _Settings(types.ModuleType):
    """This module's class: a bad threshold or share is refused when it is set,
    not at the next job that carries a buffer."""

    @property
    def shared_memory_threshold(self):
        return _large_data["threshold"]

    @shared_memory_threshold.setter
    def shared_memory_threshold(self, value):
        _large_data["threshold"] = _threshold(value)

    @property
    def shared_memory_share(self):
        return _large_data["share"]

    @shared_memory_share.setter
    def shared_memory_share(self, value):
        _large_data["share"] = _share(value)


sys.modules[__name__].__class__ = _Settings


# Every call vantrel makes to the resource tracker holds this lock, and so does
# a fork: a child never starts with the tracker's own lock taken by a thread
# that does not exist in it (its first register would wait for ever).
_tracker_lock = _lock.RLock()


def _tracker_lock_after_fork_in_child():
    global _tracker_lock
    _tracker_lock = _lock.RLock()


os.register_at_fork(
    before=lambda: _tracker_lock.acquire(),
    after_in_parent=lambda: _tracker_lock.release(),
    after_in_child=_tracker_lock_after_fork_in_child,
)


def tell_tracker(register, name):
    """Registers or unregisters segment `name` with the resource tracker.
    vantrel calls this only where a segment is made or removed, never per
    message, and from a thread of its own (no signal handler interrupts it)."""
    with _tracker_lock:
        if register:
            resource_tracker.register("/" + name, "shared_memory")
        else:
            resource_tracker.unregister("/" + name, "shared_memory")


class MessagePickler(ForkingPickler):
    """ForkingPickler with a buffer callback (its own __init__ takes none)."""

    def __init__(self, file, protocol, buffer_callback):
        pickle.Pickler.__init__(self, file, protocol, buffer_callback=buffer_callback)
        self.dispatch_table = self._copyreg_dispatch_table.copy()
        self.dispatch_table.update(self._extra_reducers)


def hand_settings(process):
    """Before `process` starts: what its worker reads at start-up, whatever
    the start method. The resource tracker runs before the first worker is
    forked, so that workers share it with their caller instead of starting
    one each that would unlink their segments when they die."""
    if not isinstance(process, multiprocessing.process.BaseProcess):
        return
    process._vantrel_large_data = (bool(shared_memory), dict(_large_data))
    from vantrel import _figures

    _figures.give_page(process)
    if shared_memory:
        with _tracker_lock:
            resource_tracker.ensure_running()


def take_settings():
    """In a worker at start-up: the caller's settings. Returns the address of
    the worker's page (vantrel._figures), or None."""
    global shared_memory
    given = getattr(multiprocessing.current_process(), "_vantrel_large_data", None)
    if given is not None:
        shared_memory, large_data = given
        _large_data.update(large_data)
    from vantrel import _figures

    return _figures.page_address()


def rebuild(data, name, spans):
    """A message whose buffers wait in a shared-memory segment, read without
    vantrel's queue code (the process replaces this with its own at the first
    queue it meets): the data mapped privately, the segment handed back to its
    maker once the mapping is gone."""
    import mmap
    import struct
    import weakref

    if "/" in name or not name.startswith(SEGMENT_PREFIX):
        raise ValueError(f"not a vantrel segment: {name!r}")
    fd = os.open(SEGMENT_FOLDER + name, os.O_RDWR)
    try:
        end = max((at + length for at, length in struct.iter_unpack("<QQ", spans)), default=0)
        if end:
            view = memoryview(mmap.mmap(fd, end, flags=mmap.MAP_PRIVATE, offset=mmap.PAGESIZE))
            weakref.finalize(view.obj, _hand_back, SEGMENT_FOLDER + name)
        else:
            view = memoryview(bytearray())
            _hand_back(SEGMENT_FOLDER + name)
    finally:
        os.close(fd)
    buffers = [view[at : at + length] for at, length in struct.iter_unpack("<QQ", spans)]
    return pickle.loads(data, buffers=buffers)


def _hand_back(path):
    try:
        fd = os.open(path, os.O_RDWR)
    except OSError:
        return
    try:
        if os.pread(fd, 4, 0) == SEGMENT_BUSY.to_bytes(4, "little"):
            os.pwrite(fd, SEGMENT_IDLE.to_bytes(4, "little"), 0)
    finally:
        os.close(fd)


class UnsentJob:
    """Takes the place of a job that the caller's queue could not pickle."""

    def __init__(self, reason: str) -> None:
        self.reason = reason

    def __iter__(self) -> "UnsentJob":
        raise pickle.PicklingError(self.reason)


class BarrierReached(Exception):
    pass


class Barrier:
    """Marks a point in a worker's queues: every answer before the barrier's
    own is left over from an earlier, unfinished call."""

    def __init__(self, token):
        self.token = token

    def __iter__(self):
        raise BarrierReached(self.token)


class Tagged:
    """A message of one owner's traffic with a worker (a scheduler's): the
    tag it chose for a job travels with the job and comes back with what the
    worker sends for it, so nothing of it enters the job's namespace.
    `kind` says what `payload` is: "job" (caller to worker), "live" (a job
    whose owner wants its printed text while it runs), "answer" (the
    four-item answer), "lost" (the job ended without an answer: it raised
    KeyboardInterrupt or queue.Empty; payload None), "text" (a live job's
    printed text so far: (start, text), `text` beginning at character `start`
    of it; pieces come in order, without gaps, before the answer, which
    carries all of it). A reader passes on kinds it does not know."""

    __slots__ = ("tag", "kind", "payload")

    def __init__(self, tag, kind, payload):
        self.tag = tag
        self.kind = kind
        self.payload = payload

    def __reduce__(self):
        return (Tagged, (self.tag, self.kind, self.payload))


class Pickled:
    """A message pickled when it was put, handed to a queue's put in this
    form: the reader gets the message as it was then."""

    __slots__ = ("data",)

    def __init__(self, data):
        self.data = data

    def __reduce__(self):
        return (pickle.loads, (self.data,))


def forget_command_source():
    """Drops the text of the `python -c` command that started this process
    (spawn's, the forkserver's, or the caller's under fork) from linecache,
    where CPython 3.13 and later keep it under the file name "<string>" for
    tracebacks. A worker's jobs are compiled under that name too: a job's
    traceback would show lines of the command instead of none."""
    import linecache

    # `cache` is keyed by file name (or by code object on some 3.13
    # releases); the private `_interactive_cache` of 3.14 and later by
    # (file name, qualified name, first line).
    for store in (linecache.cache, getattr(linecache, "_interactive_cache", None)):
        if not isinstance(store, dict):
            continue
        for key in list(store):
            if isinstance(key, tuple):
                name = key[0] if key else None
            else:
                name = getattr(key, "co_filename", key)
            if name == "<string>":
                del store[key]


@contextlib.contextmanager
def signals_held():
    """The signals that Python handles held back for the block and raised
    after it, so that bookkeeping which must be done whole is never cut in
    half by Ctrl-C. Handlers run only in the main thread: elsewhere the block
    just runs."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    held = {}
    for signum in signal.valid_signals():
        try:
            handler = signal.getsignal(signum)
        except (OSError, ValueError):
            continue
        if callable(handler):
            held[signum] = handler
    caught = []
    try:
        for signum in held:
            signal.signal(signum, lambda signum, frame: caught.append(signum))
        yield
    finally:
        for signum, handler in held.items():
            signal.signal(signum, handler)
        for signum in caught:
            signal.raise_signal(signum)


def put_deferring_interrupts(queue, obj):
    """queue.put(obj) with the signals that Python handles held back until
    put returns.

    The first put starts the queue's feeder thread; an exception raised by a
    signal handler inside that start (a KeyboardInterrupt, or any handler that
    raises) leaves a running feeder the queue does not know, and the next put
    starts a second one: two feeders reorder messages.
    """
    with signals_held():
        queue.put(obj)


def reduce_array(array):
    """Pickles an array that is read-only here so that it arrives writable,
    as arrays do through the queues (for pickles made outside them: data by
    name, Ray)."""
    reduced = array.__reduce_ex__(5)
    if array.flags.writeable or getattr(reduced[0], "__name__", "") != "_frombuffer":
        return reduced
    return (writable_array, reduced[1])


def writable_array(buffer, dtype, shape, order):
    """Rebuilds an array that was read-only where it was pickled, over the
    memory its buffer arrived in (the unpickler hands that on read-only for
    such an array); a buffer pickled in band is copied once."""
    import numpy

    view = memoryview(buffer)
    if view.readonly:
        try:
            own = memoryview(view.obj)
        except TypeError:
            own = None
        if own is None or own.readonly or own.nbytes != view.nbytes:
            own = memoryview(bytearray(view))
        view = own
    return numpy.frombuffer(view, dtype=dtype).reshape(shape, order=order)


_RAISE = dis.opmap["RAISE_VARARGS"]


def raised_by_signal(exc):
    """Whether `exc`, raised while a job was pickled, is the caller's own
    interrupt rather than something the job's objects raised.

    It is when a signal handler of this process raised it (a handler's code
    is in its traceback), or when it is a KeyboardInterrupt that no `raise`
    statement raised: the default SIGINT handler raises it wherever the
    interpreter happens to be.
    """
    handlers = set()
    for signum in signal.valid_signals():
        try:
            code = getattr(signal.getsignal(signum), "__code__", None)
        except (OSError, ValueError):
            continue
        if code is not None:
            handlers.add(code)
    tb = exc.__traceback__
    last = None
    while tb is not None:
        if tb.tb_frame.f_code in handlers:
            return True
        last, tb = tb, tb.tb_next
    if not isinstance(exc, KeyboardInterrupt):
        return False
    if last is None:
        return True
    code = last.tb_frame.f_code.co_code
    return not (0 <= last.tb_lasti < len(code) and code[last.tb_lasti] == _RAISE)


def main_is_interactive() -> bool:
    """Whether __main__ has no file that a worker could import it from: a
    notebook's kernel, a REPL, `python -c`."""
    main = sys.modules.get("__main__")
    return main is not None and not hasattr(main, "__file__")


def by_value(obj: object, loads: Callable[[bytes], object] = pickle.loads) -> object:
    """For a pickler's reducer_override: a class or function of __main__
    pickled by value (with cloudpickle, methods and globals it uses included),
    rebuilt by `loads`; NotImplemented for everything else."""
    if (
        isinstance(obj, type | types.FunctionType)
        and getattr(obj, "__module__", None) == "__main__"
    ):
        import cloudpickle

        return (loads, (cloudpickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL),))
    return NotImplemented


class InteractivePickler(ForkingPickler):
    """ForkingPickler that sends the classes and functions of __main__ by value."""

    def reducer_override(self, obj):
        return by_value(obj)


class InteractiveMessagePickler(MessagePickler):
    """MessagePickler that sends the classes and functions of __main__ by value."""

    def reducer_override(self, obj):
        return by_value(obj)


def message_pickler(buffers=False):
    """The pickler class for queue messages, chosen once per process:
    ForkingPickler, or where __main__ is interactive, a subclass that sends
    the classes and functions of __main__ by value. A worker whose __main__
    is not the caller's (spawn, forkserver) could not find them by name.
    With `buffers`, the class whose constructor takes a buffer callback."""
    if main_is_interactive():
        return InteractiveMessagePickler if buffers else InteractivePickler
    return MessagePickler if buffers else ForkingPickler


# Feeder threads of the input queues of killed workers, with their queues
# (weakly). A queue dropped while its feeder runs is let go of by the feeder
# as it ends, semaphores included; an exit that froze that daemon thread
# half-way would have the resource tracker report them as leaked.
_retiring: list[tuple[weakref.ref[Any], threading.Thread]] = []


def retire_feeder(queue, thread):
    """Called by the core when the worker behind `queue` was killed."""
    _retiring[:] = [(q, t) for q, t in _retiring if t.is_alive()]
    _retiring.append((weakref.ref(queue), thread))


@atexit.register
def _join_retiring():
    # Only feeders whose queue is gone: they are ending now. A live queue's
    # feeder waits for more and is ended by multiprocessing's own exit.
    deadline = time.monotonic() + 1.0
    for queue, thread in _retiring:
        if queue() is None:
            thread.join(max(0.0, deadline - time.monotonic()))
