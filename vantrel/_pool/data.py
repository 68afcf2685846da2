"""Data by name: values put into and read from the workers' namespaces.

Every call is one round over the chosen workers through the pool's own
message path (a local pool's `map`, a RayPool's actor calls), carrying a
payload in a dict item and a fixed source item that hands it to `_take` or
`_pulled` below, in the worker. On a local pool, a broadcast's large buffers
and a scatter's parts are written once into one file in /dev/shm that every
worker maps copy-on-write; the file is unlinked as soon as every worker has
mapped it.
"""

import contextlib
import errno
import mmap
import operator
import os
import pickle
import secrets
import sys
from typing import Any

from vantrel import _control

# The source items the workers run: names bound in the worker's namespace
# are only those the payload carries (an expression binds nothing). The
# module is reached through the package that __import__ returns.
TAKE = "__import__('vantrel._pool.data')._pool.data._take(globals())"
# A pull is one str job (the names written into it, so the job takes the
# path of plain text); its text is compiled once per set of names.
_PULL = "xreturn(_vantrel_pull=__import__('vantrel._pool.data')._pool.data._pulled(globals(), {}))"
_SLOT = "_vantrel_data"  # the dict item's name, removed by the worker at once

_ALIGN = 64  # a buffer's start in a broadcast's segment (any dtype's alignment)
_DATA_PREFIX = _control.SEGMENT_PREFIX + "data_"


class _NoDefault:
    def __repr__(self):
        return "<no default>"


NO_DEFAULT = _NoDefault()


# ---------------------------------------------------------------------------
# The caller's side


def push(self: Any, values: Any, workers: Any = None) -> None:
    """Merges the dict `values` into the namespace of every chosen worker
    (default: all), as a dict item of a job would; returns when each has
    them. Every value is pickled here first: one that does not pickle raises
    here (its name in the exception's notes) and no worker gets any."""
    transport = _transport_of(self)
    chosen = _chosen(self, workers)
    if not isinstance(values, dict):
        raise TypeError(f"push takes a dict of names and values, not {type(values).__name__}")
    _check_names(values, "push")
    if not chosen or not values:
        return
    answers = transport.push(self, chosen, values)
    _check_answers(transport, self, chosen, answers, "push")


def pull(self: Any, names: Any, workers: Any = None, default: Any = NO_DEFAULT) -> list[Any]:
    """The values of `names` in each chosen worker (default: all), in the
    order of `workers`: for one name (a str) a list of values, for several a
    list of dicts. A name missing in a worker raises NameError naming the
    worker, unless `default` is given (it then stands for the value)."""
    transport = _transport_of(self)
    chosen = _chosen(self, workers)
    one = isinstance(names, str)
    wanted = [names] if one else list(names) if not isinstance(names, dict) else None
    if wanted is None:
        raise TypeError("pull takes a name (str) or a list of names, not a dict")
    _check_names(wanted, "pull")
    if not chosen:
        return []
    has_default = default is not NO_DEFAULT
    answers = transport.send(self, chosen, _PULL.format(repr(tuple(wanted))), None)
    _check_answers(transport, self, chosen, answers, "pull")
    out = []
    for k, answer in zip(chosen, answers, strict=True):
        found, missing = answer[3]["_vantrel_pull"]
        if missing and not has_default:
            raise NameError(
                f"name {missing[0]!r} is not defined in {transport.label(self, k)}",
                name=missing[0],
            )
        for name in missing:
            found[name] = default
        out.append(found[names] if one else {name: found[name] for name in wanted})
    return out


def broadcast(self: Any, name: Any, value: Any) -> None:
    """Binds `name` to `value` in every worker, pickled once. On a local pool
    the large buffers of the value (numpy arrays, pickle.PickleBuffer) are
    written once into one shared-memory segment that every worker maps
    copy-on-write: each gets a writable array whose writes stay its own, and
    no page is copied until it is written."""
    transport = _transport_of(self)
    _check_names([name], "broadcast")
    chosen = list(range(len(self.procs)))
    if not chosen:
        return
    values = {name: value}
    if not transport.shares_memory:
        payload = _packed_values(transport, values)
        answers = transport.send(self, chosen, TAKE, payload)
        _check_answers(transport, self, chosen, answers, "broadcast")
        return
    stream, buffers = pickle_values(transport, values)
    raws = [b.raw() for b in buffers]
    if not _worth_a_segment(sum(r.nbytes for r in raws)):
        payload = ("pickled", stream, transport.carry(buffers))
        answers = transport.send(self, chosen, TAKE, payload)
        _check_answers(transport, self, chosen, answers, "broadcast")
        return
    segment = None
    try:
        with _control.signals_held():
            segment = _Segment.create()
        try:
            spans = segment.write_buffers(raws)
            payload = ("segment", stream, segment.name, spans)
        except _NoRoom:
            # /dev/shm is full: through the queues
            payload = ("pickled", stream, transport.carry(buffers))
        # The segment goes once every worker has answered: by then each has
        # mapped it (or has died), and its private mapping outlives the name.
        answers = transport.send(self, chosen, TAKE, payload)
    finally:
        if segment is not None:
            _remove(segment)
    _check_answers(transport, self, chosen, answers, "broadcast")


def scatter(self: Any, name: Any, array: Any, axis: Any = 0) -> None:
    """Splits `array` along `axis` into N nearly equal parts (the first
    len % N one longer) and binds part k to `name` in worker k. On a local
    pool the parts are written once into one shared-memory segment and each
    worker maps only the pages of its own part, copy-on-write."""
    import numpy

    transport = _transport_of(self)
    _check_names([name], "scatter")
    array = numpy.asarray(array)
    axis = _axis(axis, array.ndim)
    n = len(self.procs)
    if n == 0:
        return
    bounds = _bounds(array.shape[axis], n)
    parts = [_part(array, axis, lo, hi) for lo, hi in bounds]
    chosen = list(range(n))
    if transport.shares_memory and not array.dtype.hasobject and _worth_a_segment(array.nbytes):
        segment = None
        try:
            with _control.signals_held():
                segment = _Segment.create()
            try:
                payloads = segment.write_parts(name, parts, _order_of(array))
            except _NoRoom:
                payloads = None
            if payloads is not None:
                answers = transport.send(self, chosen, TAKE, payloads)
                _check_answers(transport, self, chosen, answers, "scatter")
                return
        finally:
            if segment is not None:
                _remove(segment)
    payloads = [_packed_values(transport, {name: part}) for part in parts]
    answers = transport.send(self, chosen, TAKE, payloads)
    _check_answers(transport, self, chosen, answers, "scatter")


def gather(self: Any, name: Any, axis: Any = 0) -> Any:
    """The arrays bound to `name` in the workers, concatenated along `axis`
    in worker order (what `scatter` split comes back whole)."""
    import numpy

    _check_names([name], "gather")
    axis = operator.index(axis)
    parts = pull(self, name)
    if not parts:
        raise ValueError("gather needs at least one worker")
    return numpy.concatenate([numpy.asarray(p) for p in parts], axis=axis)


# --- arguments --------------------------------------------------------------


def _chosen(pool, workers):
    """`workers` as positions in `procs`: None is every worker; one index,
    or an iterable of distinct indices."""
    n = len(pool.procs)
    if workers is None:
        return list(range(n))
    try:
        given = [operator.index(workers)]
    except TypeError:
        if isinstance(workers, str | bytes):
            raise TypeError("workers must be an index or a list of indices") from None
        given = [operator.index(k) for k in workers]
    chosen = []
    for k in given:
        if not 0 <= k < n:
            raise IndexError(f"worker {k} is out of range: the pool has {n} workers")
        if k in chosen:
            raise ValueError(f"worker {k} is named twice")
        chosen.append(k)
    return chosen


def _check_names(names, call):
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"{call}: names are str, not {type(name).__name__} ({name!r})")


def _axis(axis, ndim):
    axis = operator.index(axis)
    if ndim == 0:
        raise ValueError("scatter needs an array of at least one dimension")
    if not -ndim <= axis < ndim:
        raise ValueError(f"axis {axis} is out of bounds for an array of dimension {ndim}")
    return axis % ndim


def _bounds(length, n):
    """The [lo, hi) of each of `n` parts of `length` items: nearly equal, the
    first `length % n` one longer."""
    base, extra = divmod(length, n)
    bounds, lo = [], 0
    for k in range(n):
        hi = lo + base + (k < extra)
        bounds.append((lo, hi))
        lo = hi
    return bounds


def _part(array, axis, lo, hi):
    index = [slice(None)] * array.ndim
    index[axis] = slice(lo, hi)
    return array[tuple(index)]


def _order_of(array):
    return "F" if array.flags.f_contiguous and not array.flags.c_contiguous else "C"


# --- pickling in the caller ----------------------------------------------------


def pickle_values(transport: Any, values: Any) -> Any:
    """`values` pickled once (stream and out-of-band buffers); a value that
    does not pickle raises its own exception, with a note naming it."""
    try:
        return transport.pack(values)
    except BaseException as e:
        if isinstance(e, KeyboardInterrupt | SystemExit | MemoryError):
            raise
        for name, value in values.items():
            try:
                transport.pack(value)
            except BaseException:
                e.add_note(f"while pickling the value of {name!r}: nothing was sent")
                break
        raise


def _packed_values(transport, values):
    stream, buffers = pickle_values(transport, values)
    return ("pickled", stream, transport.carry(buffers))


# Values that any pickler takes by its own opcodes (no reducer is asked), so
# that a push of them needs no check.
_ALWAYS_PICKLE = frozenset({str, bytes, int, float, bool, type(None)})


def _as_arrays(buffers):
    """Out-of-band buffers as byte arrays, which a queue pickles under any
    protocol (a PickleBuffer needs 5) and out of band where it can."""
    import numpy

    return [numpy.frombuffer(b.raw(), numpy.uint8) for b in buffers]


def _local_pack(obj):
    import io

    buffers = []
    out = io.BytesIO()
    pickler = _control.message_pickler(buffers=True)(out, 5, buffers.append)
    numpy = sys.modules.get("numpy")
    if numpy is not None:
        pickler.dispatch_table[numpy.ndarray] = _control.reduce_array
    pickler.dump(obj)
    return out.getvalue(), buffers


def _worth_a_segment(nbytes):
    return bool(_control.shared_memory) and nbytes > 0 and nbytes >= _threshold()


def _threshold():
    try:
        return operator.index(_control.shared_memory_threshold)
    except TypeError:
        return int(_control.shared_memory_threshold)


# --- answers -------------------------------------------------------------------


def _check_answers(transport, pool, chosen, answers, call):
    for k, answer in zip(chosen, answers, strict=True):
        if answer[0] != "SUCCESS":
            lines = answer[2].strip().splitlines()
            why = lines[-1] if lines else "no traceback"
            raise RuntimeError(f"{call} failed in {transport.label(pool, k)}: {why}\n{answer[2]}")


# --- the local pool's transport ------------------------------------------------------


class _Some:
    """The chosen workers of a pool, as `map` sees a pool: their handles in
    `procs` and their drain."""

    __slots__ = ("procs",)

    def __init__(self, procs):
        self.procs = procs

    def clear_output(self):
        for handle in self.procs.values():
            handle.clear_output()


class _Local:
    """A MultiProcessPool's way: one `map` over the chosen workers."""

    shares_memory = True
    pack = staticmethod(_local_pack)
    carry = staticmethod(_as_arrays)

    @staticmethod
    def push(pool, chosen, values):
        """`values` as the one dict item of a job, once they are known to
        pickle (the check costs no copy of an array's bytes)."""
        if not all(type(v) in _ALWAYS_PICKLE for v in values.values()):
            pickle_values(_Local, values)
        return _Local.map(pool, chosen, [[values]] * len(chosen))

    @staticmethod
    def send(pool, chosen, source, payload):
        """One job per chosen worker: `source`, after a dict item that carries
        `payload` (a list: one per worker) unless it is None."""
        if payload is None:
            jobs = [source] * len(chosen)
        elif isinstance(payload, list):
            jobs = [[{_SLOT: p}, source] for p in payload]
        else:
            jobs = [[{_SLOT: payload}, source]] * len(chosen)
        return _Local.map(pool, chosen, jobs)

    @staticmethod
    def map(pool, chosen, jobs):
        """Job k to chosen worker k, through the pool's own `map`."""
        items = list(pool.procs.items())
        if chosen == list(range(len(items))):
            return pool.map(jobs)
        some = _Some(dict(items[k] for k in chosen))
        # The core's own map: a subclass's may expect more of its pool.
        return sys.modules["vantrel.polyrun"].MultiProcessPool.map(some, jobs)

    @staticmethod
    def label(pool, k):
        pid = list(pool.procs)[k]
        return f"worker {k} (pid {pid})"


def _transport_of(pool):
    return getattr(type(pool), "_data_transport", _Local)


# --- the segment of one call -----------------------------------------------------------


class _NoRoom(Exception):
    """/dev/shm cannot take the segment."""


def _remove(segment):
    """Removes `segment` with signals held; an interrupt that came before the
    hold began still finds it removed (the removal is done once)."""
    try:
        with _control.signals_held():
            segment.remove()
    finally:
        segment.remove()


class _Segment:
    """One file in /dev/shm for one call, known to the resource tracker from
    before it exists until after it is gone (a caller killed outright leaves
    it to the tracker)."""

    def __init__(self, name, fd):
        self.name = name
        self.fd = fd

    @classmethod
    def create(cls):
        from multiprocessing import resource_tracker

        name = f"{_DATA_PREFIX}{os.getpid()}_{secrets.token_hex(8)}"
        resource_tracker.register("/" + name, "shared_memory")
        try:
            fd = os.open(_control.SEGMENT_FOLDER + name, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
        except BaseException:
            resource_tracker.unregister("/" + name, "shared_memory")
            raise
        return cls(name, fd)

    def remove(self):
        from multiprocessing import resource_tracker

        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1
        if self.name is None:
            return
        with contextlib.suppress(FileNotFoundError):
            os.unlink(_control.SEGMENT_FOLDER + self.name)
        resource_tracker.unregister("/" + self.name, "shared_memory")
        self.name = None

    def _pwrite(self, view, at):
        # pwrite reports a full /dev/shm as ENOSPC; the pages it wrote exist,
        # so a reader never meets a hole (no SIGBUS).
        done = 0
        try:
            while True:  # tested inside: keeps the jump back under the handler (CPython 3.13)
                if not (done < view.nbytes):
                    break
                done += os.pwrite(self.fd, view[done:], at + done)
        except OSError as e:
            if e.errno in (errno.ENOSPC, errno.ENOMEM, errno.EFBIG):
                raise _NoRoom from e
            raise

    def write_buffers(self, raws):
        """Writes each buffer at the next multiple of _ALIGN; returns the spans."""
        spans, at = [], 0
        for raw in raws:
            at = -(-at // _ALIGN) * _ALIGN
            self._pwrite(raw, at)
            spans.append((at, raw.nbytes))
            at += raw.nbytes
        return spans

    def write_parts(self, name, parts, order):
        """Writes each part in `order` at the next page boundary (a worker maps
        only its own pages); returns each worker's payload."""
        payloads, at = [], 0
        for part in parts:
            at = -(-at // mmap.PAGESIZE) * mmap.PAGESIZE
            nbytes = part.nbytes
            if nbytes:
                self._write_part(part, order, at)
            payloads.append(("part", name, self.name, at, nbytes, part.shape, part.dtype, order))
            at += nbytes
        return payloads

    def _write_part(self, part, order, at):
        flat = part.T if order == "F" else part  # the same bytes, C-contiguous when part is
        import numpy

        if flat.flags.c_contiguous:
            # As bytes whatever the dtype (not every dtype exports a buffer).
            self._pwrite(memoryview(flat.reshape(-1).view(numpy.uint8)), at)
            return

        # A strided part: copied into its pages once, through a mapping of
        # its own, after the pages exist (a full tmpfs is ENOSPC here, never
        # a SIGBUS in the copy).
        start = at - at % mmap.PAGESIZE
        try:
            os.posix_fallocate(self.fd, at, part.nbytes)
        except OSError as e:
            if e.errno in (errno.ENOSPC, errno.ENOMEM, errno.EFBIG):
                raise _NoRoom from e
            raise
        mapped = mmap.mmap(self.fd, at - start + part.nbytes, offset=start)
        try:
            target = numpy.ndarray(
                part.shape, part.dtype, buffer=mapped, offset=at - start, order=order
            )
            numpy.copyto(target, part, casting="no")
            del target
        finally:
            mapped.close()


# ---------------------------------------------------------------------------
# The worker's side: called by the source items above, in the worker.


def _take(namespace):
    """Binds what the dict item carried."""
    payload = namespace.pop(_SLOT)
    kind = payload[0]
    if kind == "pickled":
        _, stream, buffers = payload
        values = pickle.loads(stream, buffers=[_writable(b) for b in buffers])
    elif kind == "segment":
        _, stream, name, spans = payload
        import numpy

        mapped = _map_private(name, 0, None)
        # Each buffer an object of its own, so that one handed on read-only
        # can be found writable again (_control.writable_array).
        buffers = [
            numpy.frombuffer(mapped, numpy.uint8, count=n, offset=at) if n else bytearray()
            for at, n in spans
        ]
        values = pickle.loads(stream, buffers=buffers)
    elif kind == "part":
        _, bound, name, at, nbytes, shape, dtype, order = payload
        values = {bound: _mapped_part(name, at, nbytes, shape, dtype, order)}
    else:
        raise ValueError(f"unknown payload {kind!r}")
    namespace.update(values)


def _pulled(namespace, names):
    """The values asked for that the namespace has, and the names it lacks."""
    found, missing = {}, []
    for name in names:
        if name in namespace:
            found[name] = namespace[name]
        elif name not in missing:
            missing.append(name)
    return found, missing


def _writable(buffer):
    view = memoryview(buffer)
    return bytearray(view) if view.readonly else view  # Ray's store hands out read-only views


def _map_private(name, at, length):
    """Pages of segment `name`, mapped copy-on-write: readable at once,
    writable, a write copies only its page and stays in this process."""
    if "/" in name or not name.startswith(_DATA_PREFIX):
        raise ValueError(f"not a vantrel segment: {name!r}")
    fd = os.open(_control.SEGMENT_FOLDER + name, os.O_RDONLY)
    try:
        if length is None:
            length = os.fstat(fd).st_size
        return mmap.mmap(
            fd,
            length,
            flags=mmap.MAP_PRIVATE,
            prot=mmap.PROT_READ | mmap.PROT_WRITE,
            offset=at,
        )
    finally:
        os.close(fd)


def _mapped_part(name, at, nbytes, shape, dtype, order):
    import numpy

    if not nbytes:
        return numpy.empty(shape, dtype, order=order)
    return numpy.ndarray(shape, dtype, buffer=_map_private(name, at, nbytes), order=order)


METHODS = {
    "push": push,
    "pull": pull,
    "broadcast": broadcast,
    "scatter": scatter,
    "gather": gather,
}
