"""What vantrel itself puts on a worker's queues, and how it puts it.

A worker iterates every job that is not a str. UnsentJob and Barrier raise
instead, so the worker answers them with "EXCEPTION" like any failing job, in
their own position on its output queue, without any special case in the job
loop.
"""

import dis
import multiprocessing
import os
import pickle
import signal
import sys
import threading
import types
from collections.abc import Callable
from multiprocessing import resource_tracker
from multiprocessing.reduction import ForkingPickler

# Messages on multiprocessing queues are written to and read from the queue's
# pipe directly when the queue has the layout vantrel checks; False makes
# every queue met from now on take the public put and get instead.
queue_fast_path = True

# Whether the warning about an unexpected queue layout was given.
queue_layout_warned = False

# Buffers of at least this many bytes that a message's values hand to the
# pickler out of band (numpy arrays, pickle.PickleBuffer) travel through a
# shared-memory segment instead of the queue's pipe; False sends every byte
# through the pipe. A worker takes the values in force when it was started.
shared_memory = True
shared_memory_threshold = 1024 * 1024

# Where the segments live, and how their names begin.
SEGMENT_FOLDER = "/dev/shm/"
SEGMENT_PREFIX = "vantrel_"


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
    process._vantrel_large_data = (bool(shared_memory), int(shared_memory_threshold))
    if shared_memory:
        resource_tracker.ensure_running()


def take_settings():
    """In a worker at start-up: the caller's settings."""
    global shared_memory, shared_memory_threshold
    given = getattr(multiprocessing.current_process(), "_vantrel_large_data", None)
    if given is not None:
        shared_memory, shared_memory_threshold = given


def rebuild(data, name, spans):
    """A message whose buffers wait in a shared-memory segment, read without
    vantrel's queue code (the process replaces this with its own at the first
    queue it meets)."""
    import mmap
    import struct

    if "/" in name or not name.startswith(SEGMENT_PREFIX):
        raise ValueError(f"not a vantrel segment: {name!r}")
    fd = os.open(SEGMENT_FOLDER + name, os.O_RDWR)
    try:
        os.unlink(SEGMENT_FOLDER + name)
        resource_tracker.unregister("/" + name, "shared_memory")
        size = os.fstat(fd).st_size
        view = memoryview(mmap.mmap(fd, size)) if size else memoryview(b"")
    finally:
        os.close(fd)
    buffers = [view[at : at + length] for at, length in struct.iter_unpack("<QQ", spans)]
    return pickle.loads(data, buffers=buffers)


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


def put_deferring_interrupts(queue, obj):
    """queue.put(obj) with the signals that Python handles held back until
    put returns.

    The first put starts the queue's feeder thread; an exception raised by a
    signal handler inside that start (a KeyboardInterrupt, or any handler that
    raises) leaves a running feeder the queue does not know, and the next put
    starts a second one: two feeders reorder messages. Handlers run only in
    the main thread.
    """
    if threading.current_thread() is not threading.main_thread():
        return queue.put(obj)
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
        queue.put(obj)
    finally:
        for signum, handler in held.items():
            signal.signal(signum, handler)
        for signum in caught:
            signal.raise_signal(signum)


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
