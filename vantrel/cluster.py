"""The pools of `vantrel.polyrun` on a Ray cluster: one Ray actor per worker.

`RayPool(N)` starts N workers, each a Ray actor holding one persistent
namespace; `map` deals job k to worker k % N and returns the answers in job
order, exactly the answers a local pool gives. Needs Ray: install with
``pip install 'vantrel[ray]'``. Importing this module works without Ray;
using it raises ImportError then.
"""

from __future__ import annotations

import collections
import copyreg
import errno
import io
import math
import numbers
import operator
import os
import pickle
import re
import selectors
import socket
import sys
import threading
import time
import types
import weakref
from collections.abc import Callable, Iterable
from typing import Any, ClassVar, Literal, Protocol, TypeVar, overload

from vantrel import _control, _lock, _runner
from vantrel._pool import data as _data
from vantrel._pool import healing as _healing
from vantrel._pool.status import PoolStatus, ray_status, replacing
from vantrel._pool.workers import replacing as _replacing

__all__ = ["PendingAnswer", "RayPool", "RayWorker", "reduce"]

INSTALL_HINT = "pip install 'vantrel[ray]'"

# Options that keep the pool's promises: an actor is never restarted and no
# call is retried (either would hand a later job a fresh, empty namespace, or
# run a job twice), and one job runs at a time, in the order sent.
_FIXED_OPTIONS: dict[str, Any] = {"max_restarts": 0, "max_task_retries": 0, "max_concurrency": 1}
_REFUSED_OPTIONS = frozenset(_FIXED_OPTIONS) | {"concurrency_groups"}
# Options that would make two workers one actor (a name shared by every
# worker, or an existing actor handed back) or let a worker outlive its pool.
_SHARED_OR_LASTING_OPTIONS = frozenset({"name", "namespace", "get_if_exists", "lifetime"})


def _check_actor_options(actor_options: dict[str, Any]) -> None:
    refused = sorted(_REFUSED_OPTIONS & set(actor_options))
    if refused:
        raise ValueError(
            f"actor_options may not set {', '.join(refused)}: a RayPool never restarts "
            "a worker or retries a job, and runs one job at a time per worker"
        )
    refused = sorted(_SHARED_OR_LASTING_OPTIONS & set(actor_options))
    if actor_options.get("lifetime", "non_detached") in (None, "non_detached"):
        refused = [key for key in refused if key != "lifetime"]
    if refused:
        raise ValueError(
            f"actor_options may not set {', '.join(refused)}: every worker of a RayPool is "
            "an actor of its own, without a name, that ends with the pool"
        )


# A TypeVar rather than type parameters: stubtest reads this module as its
# own stub, and it does not know the runtime attributes that those add.
_T_co = TypeVar("_T_co", covariant=True)


class _SupportsGet(Protocol[_T_co]):
    def get(self) -> _T_co: ...


def _ray() -> Any:
    try:
        import ray
    except ImportError as e:
        raise ImportError(
            f"vantrel.cluster needs Ray, which is not installed: {INSTALL_HINT}", name="ray"
        ) from e
    return ray


# ---------------------------------------------------------------------------
# Transport. Jobs and answers cross as a pickle (the standard pickler, as on a
# local worker's queues, so that what cannot cross there cannot cross here;
# protocol 5) whose large buffers travel out of band, so Ray moves an array's
# bytes once, without a copy into the pickle. The receiver copies those buffers:
# Ray would hand out read-only views into its object store, and a job that
# writes into an array it was sent, or a namespace that keeps one, must get
# memory of its own, as with a local worker.

_Packed = tuple[bytes, list[Any]]


# The reductions used for every pickle: copyreg's, and numpy arrays that are
# read-only here arriving writable (a local pool's arrays arrive writable).
# Rebuilt when copyreg's table changes; without numpy loaded, copyreg's own.
_dispatch: tuple[int, dict[Any, Any]] | None = None


def _dispatch_table() -> dict[Any, Any] | None:
    global _dispatch
    numpy = sys.modules.get("numpy")
    if numpy is None:
        return None
    if _dispatch is None or _dispatch[0] != len(copyreg.dispatch_table):
        table = {**copyreg.dispatch_table, numpy.ndarray: _control.reduce_array}
        _dispatch = (len(copyreg.dispatch_table), table)
    return _dispatch[1]


# Classes and functions of an interactive __main__ (a notebook, a REPL) cannot
# be found by name in a worker, whose __main__ is Ray's: they travel by value,
# as on a local pool's queues, and so do the ones received that way when they
# travel back. A __main__ that is a file is imported by name.
_received_by_value: weakref.WeakSet[Any] = weakref.WeakSet()


def _by_value_loads(data: bytes) -> Any:
    obj = pickle.loads(data)
    _received_by_value.add(obj)
    return obj


class _ByValuePickler(pickle.Pickler):
    def reducer_override(self, obj: Any) -> Any:
        if isinstance(obj, type | types.FunctionType) and (
            _main_travels_by_value() or _was_received_by_value(obj)
        ):
            return _control.by_value(obj, _by_value_loads)
        return NotImplemented


def _was_received_by_value(obj: Any) -> bool:
    try:
        return obj in _received_by_value
    except TypeError:  # a class made unhashable by its metaclass
        return False


# Whether this process is a worker (an actor) rather than the caller.
_in_actor = False


def _main_travels_by_value() -> bool:
    """Whether the caller's __main__ is sent by value: an actor's __main__ is
    Ray's own, so it never has the caller's, be that a notebook or a script."""
    return not _in_actor or _control.main_is_interactive()


def _pack(obj: object) -> _Packed:
    buffers: list[Any] = []
    out = io.BytesIO()
    by_value = len(_received_by_value) > 0 or _main_travels_by_value()
    pickler = (_ByValuePickler if by_value else pickle.Pickler)(
        out, protocol=5, buffer_callback=buffers.append
    )
    table = _dispatch_table()
    if table is not None:
        pickler.dispatch_table = table
    pickler.dump(obj)
    return out.getvalue(), buffers


def _unpack(packed: _Packed) -> Any:
    data, buffers = packed
    # Private copies: Ray hands out read-only views into its object store.
    return pickle.loads(data, buffers=[bytearray(b) for b in buffers])


def _without_own_frames(error: BaseException) -> BaseException:
    """`error` with the frames of this module taken off its traceback: a local
    pool pickles in compiled code, which leaves no frames, and the stand-ins
    of both must read the same."""
    tb = error.__traceback__
    while tb is not None and tb.tb_frame.f_code.co_filename == __file__:
        tb = tb.tb_next
    return error.with_traceback(tb)


class _UnreadableJob:
    """Takes the place of a job that reached the worker but could not be read
    there; the worker answers it "EXCEPTION" with the error."""

    def __init__(self, error: BaseException) -> None:
        self.error = error

    def __iter__(self) -> Any:
        raise self.error


class _Worker:
    """The Ray actor behind one worker: one job runner for the actor's life."""

    def __init__(self) -> None:
        global _in_actor
        _in_actor = True
        self._runner = _runner.JobRunner()

    def where(self) -> tuple[int, str, str]:
        context = _ray().get_runtime_context()
        return os.getpid(), context.get_node_id(), context.get_actor_id()

    def run(self, packed: _Packed) -> _Packed | None:
        try:
            job = _unpack(packed)
        except KeyboardInterrupt:  # as if the job itself raised it: no answer
            return None
        except Exception as e:
            job = _UnreadableJob(e)
        return self._answer(job)

    def run_with_data(self, packed: _Packed, data: Any) -> _Packed | None:
        """`run` for vantrel._pool.data: `data`, which Ray read from its
        object store, goes first as the dict item the job's source takes."""
        job: Any
        try:
            job = [{"_vantrel_data": data}, *_unpack(packed)]
        except KeyboardInterrupt:
            return None
        except Exception as e:
            job = _UnreadableJob(e)
        return self._answer(job)

    def _answer(self, job: Any) -> _Packed | None:
        answer = self._runner.run(job)
        if answer is None:  # the job raised KeyboardInterrupt: it has no answer
            return None
        try:
            return _pack(answer)
        except BaseException as e:  # a __reduce__ may raise anything
            stand_in = _runner.unsendable_answer(answer, _without_own_frames(e))
        try:
            return _pack(stand_in)
        except Exception:
            # Values that pickle one by one may still fail together.
            stand_in[3] = {}
            return _pack(stand_in)


_actor_class: Any = None


def _actor_class_for(ray: Any) -> Any:
    global _actor_class
    if _actor_class is None:
        _actor_class = ray.remote(_Worker)
    return _actor_class


# ---------------------------------------------------------------------------
# The caller's side


_COLOURS = re.compile(r"\x1b\[[0-9;]*m")


def _short(error: BaseException) -> str:
    """The line of a Ray error that says why, without its long appendix."""
    lines = [_COLOURS.sub("", line).strip() for line in str(error).splitlines()]
    lines = [line for line in lines if line]
    if lines and "error raised in its creation task" in lines[0]:
        return f"it failed to start: {lines[-1]}"  # the exception's own line
    for line in lines:
        if line.startswith(("The actor died", "The actor is dead", "The actor is unavailable")):
            return line
    return lines[0] if lines else type(error).__name__


class RayWorker:
    """The caller's handle on one worker: its Ray actor, process id and node."""

    def __init__(self, name: str, actor: Any, pid: int, node_id: str, actor_id: str) -> None:
        self.name = name
        self.actor = actor
        self.pid = pid
        self.node_id = node_id
        self.actor_id = actor_id
        # For the pool's status: the jobs sent and not yet known to be
        # answered (weakly: a dropped handle pins nothing), oldest first.
        self.sent: collections.deque[tuple[weakref.ref[PendingAnswer], Any, float]] = (
            collections.deque()
        )
        self.answered = 0
        self.head_since: float | None = None
        self.sent_lock = _lock.RLock()

    def _record(self, pending: PendingAnswer, job: Any) -> None:
        with self.sent_lock:
            sent = self.sent
            while True:  # tested inside: keeps the jump back under the handler (CPython 3.13)
                if not sent:
                    break
                p = sent[0][0]()
                if p is not None and p._answer is None:
                    break
                sent.popleft()
                self.answered += 1
            sent.append((weakref.ref(pending), job, time.monotonic()))

    def kill(self) -> None:
        """End the worker's process at once; its namespace is lost."""
        _ray().kill(self.actor, no_restart=True)

    def send(self, job: Any, position: int = 0) -> PendingAnswer:
        """Send one job without waiting; its answer comes through the
        returned handle (`position` names the job in errors). A job that
        cannot be pickled is answered "EXCEPTION" in its place."""
        return _send(self, position, job)

    def __repr__(self) -> str:
        return f"<RayWorker {self.name} pid={self.pid} node={self.node_id[:12]}>"


def _checked_timeout(timeout: object) -> float | None:
    """`timeout` as queue.get takes it: None, or a number not below zero."""
    if timeout is None:
        return None
    if not isinstance(timeout, numbers.Real):
        raise TypeError(f"timeout must be a number or None, not {type(timeout).__name__}")
    if timeout < 0 or math.isnan(timeout):
        raise ValueError("'timeout' must be a non-negative number")
    return float(timeout)


class PendingAnswer:
    """The answer to one job sent by `RayPool.map(..., block=False)`."""

    def __init__(self, worker: RayWorker, position: int, ref: Any) -> None:
        self.worker = worker
        self.position = position
        self.ref = ref
        self._answer: list[Any] | None = None
        # Set when get() found the worker gone (not only this job failed).
        self.worker_lost = False

    def add_done_callback(self, fn: Callable[[PendingAnswer], object]) -> None:
        """Calls `fn(self)` once the answer, or the worker's failure, is
        there: in Ray's own thread, so `fn` must not wait."""
        self.ref.future().add_done_callback(lambda _: fn(self))

    def get(self, timeout: float | None = None) -> list[Any]:
        """Wait for the answer (at most `timeout` seconds: TimeoutError) and
        return it; RuntimeError when the worker is gone without answering."""
        if self._answer is None:
            seconds = _checked_timeout(timeout)
            ray = _ray()
            try:
                packed = ray.get(self.ref, timeout=seconds)
            except ray.exceptions.GetTimeoutError:
                raise TimeoutError(
                    f"job {self.position} has no answer from worker {self.worker.name} "
                    f"after {timeout} s"
                ) from None
            except ray.exceptions.RayError as e:
                raise self._failed(ray, e) from e
            self._settle(packed)
        assert self._answer is not None
        return self._answer

    def _failed(self, ray: Any, error: BaseException) -> RuntimeError:
        """vantrel's RuntimeError for a Ray error met while waiting for the answer."""
        w = self.worker
        if isinstance(error, ray.exceptions.RayActorError | ray.exceptions.ObjectLostError):
            self.worker_lost = True
            return RuntimeError(
                f"worker {w.name} (pid {w.pid}) on node {w.node_id} ended without answering "
                f"job {self.position}: {_short(error)}"
            )
        return RuntimeError(
            f"job {self.position} in worker {w.name} (pid {w.pid}) on node {w.node_id} "
            f"failed in Ray: {_short(error)}"
        )

    def _settle(self, packed: _Packed | None) -> None:
        if packed is None:
            raise RuntimeError(
                f"job {self.position} raised KeyboardInterrupt in worker {self.worker.name}: "
                "it has no answer"
            )
        # An answer that cannot be rebuilt here raises what rebuilding raised,
        # as from a local pool's queue.
        self._answer = _unpack(packed)

    def __repr__(self) -> str:
        state = "answered" if self._answer is not None else "pending"
        return f"<PendingAnswer job {self.position} on {self.worker.name}, {state}>"


# How often reading a batch looks for workers that died while earlier jobs run.
_DEATH_CHECK_SECONDS = 0.25


def _fetch(ray: Any, pending: list[PendingAnswer]) -> list[_Packed | None]:
    """What the workers sent for each of `pending`, fetched together. Raises
    RuntimeError for a worker that died owing one of them as soon as that is
    known (within about `_DEATH_CHECK_SECONDS`), whatever earlier jobs still
    run."""
    fetched: dict[Any, _Packed | None] = {}
    waiting = list(dict.fromkeys(h.ref for h in pending))  # a handle may come twice
    while waiting:
        ready, waiting = ray.wait(waiting, num_returns=len(waiting), timeout=_DEATH_CHECK_SECONDS)
        if not ready:
            continue
        try:
            fetched.update(zip(ready, ray.get(ready), strict=True))
        except ray.exceptions.RayError:
            # Which one, in job order: a dead worker fails every job it owes.
            arrived = set(ready)
            for h in pending:
                if h.ref in arrived:
                    try:
                        fetched[h.ref] = ray.get(h.ref)
                    except ray.exceptions.RayError as e:
                        raise h._failed(ray, e) from e
                else:
                    continue  # keeps the jump back under the handler (CPython 3.14)
    return [fetched[h.ref] for h in pending]


def reduce(handles: Iterable[_SupportsGet[_T_co]]) -> list[_T_co]:  # noqa: UP047
    """`get()` of each handle, in order. The answers of a `RayPool` are
    fetched together; a worker gone without answering raises RuntimeError
    naming it, its node and the first job position it owes, as soon as its
    death is known."""
    items = list(handles)
    pending: list[PendingAnswer] = []
    for h in items:
        if isinstance(h, PendingAnswer) and h._answer is None:
            pending.append(h)
    if pending:
        for p, packed in zip(pending, _fetch(_ray(), pending), strict=True):
            p._settle(packed)
    return [h.get() for h in items]


def _running_cluster(ray: Any) -> str | None:
    """The address that `ray.init()` without one would connect to (the
    RAY_ADDRESS environment variable, else the last `ray start` on this
    machine), or None where it would start a new local instance. Ray's own
    finder, which is private; if it has moved, "auto": a running cluster of
    any kind, else ConnectionError."""
    try:
        from ray._private.services import get_ray_address_from_environment
    except ImportError:
        return "auto"
    find: Any = get_ray_address_from_environment
    try:
        found = find(None, None)
    except Exception:
        return "auto"
    return found if isinstance(found, str) else None


def _connect(ray: Any, address: str | None) -> None:
    if ray.is_initialized():
        return
    if address is None and threading.current_thread() is not threading.main_thread():
        # The processes of a local Ray instance get a parent-death signal tied
        # to the thread that starts them: started from this thread, they
        # would all die when it ends. A running cluster will do.
        address = _running_cluster(ray)
        if address is None:
            raise RuntimeError(
                "RayPool would start a local Ray instance from a thread other than the main "
                "thread, and Ray's processes die when the thread that started them ends: "
                "call ray.init() in the main thread first, or pass the address of a running "
                "Ray cluster"
            )
    if address is None:
        ray.init(include_dashboard=False)
    else:
        ray.init(address=address)


# How long the placement waits for nodes to take a connection.
_NODE_PROBE_SECONDS = 0.5


def _refusing(addresses: dict[str, tuple[str, int]]) -> set[str]:
    """The keys of `addresses` where nothing listens any more: a connection
    refused outright. One that is slow or filtered is not counted."""
    refused: set[str] = set()
    sockets: dict[socket.socket, str] = {}
    with selectors.DefaultSelector() as selector:
        try:
            for key, (host, port) in addresses.items():
                try:
                    sock = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
                except OSError:
                    continue
                sockets[sock] = key
                sock.setblocking(False)
                error = sock.connect_ex((host, port))
                if error in (0, errno.EINPROGRESS):
                    selector.register(sock, selectors.EVENT_WRITE)
                elif error == errno.ECONNREFUSED:
                    refused.add(key)
                else:
                    continue  # keeps the jump back under the handler (CPython 3.14)
            deadline = time.monotonic() + _NODE_PROBE_SECONDS
            while True:  # tested inside: keeps the jump back under the handler (CPython 3.13)
                if not (selector.get_map() and (left := deadline - time.monotonic()) > 0):
                    break
                for event, _ in selector.select(left):
                    sock = event.fileobj  # type: ignore[assignment]
                    selector.unregister(sock)
                    if sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == errno.ECONNREFUSED:
                        refused.add(sockets[sock])
                    else:
                        continue  # keeps the jump back under the handler (CPython 3.14)
        finally:
            for sock in sockets:
                sock.close()
    return refused


def _live_nodes(ray: Any, lost: set[str]) -> list[str]:
    # Ray counts a node lost without warning as alive for several seconds
    # (until its health checks fail), and a worker placed there dies only
    # then: a node whose raylet refuses connections is taken as lost now.
    nodes = [n for n in ray.nodes() if n.get("Alive")]
    lost = lost | _refusing(
        {n["NodeID"]: (n["NodeManagerAddress"], n["NodeManagerPort"]) for n in nodes}
    )
    alive = [n["NodeID"] for n in nodes]
    nodes = [node for node in alive if node not in lost] or alive
    if not nodes:
        raise RuntimeError("the Ray cluster reports no live node to start workers on")
    try:
        here = ray.get_runtime_context().get_node_id()
    except Exception:  # a caller outside the cluster (Ray Client) has no node
        here = None
    nodes.sort(key=lambda node_id: node_id != here)  # the caller's own node first
    return nodes


def _worker_options(actor_options: dict[str, Any] | None, node: str | None) -> dict[str, Any]:
    """The `.options()` of one worker: the caller's `actor_options`, else a
    place on `node` that Ray keeps (it does not keep a worker with soft
    affinity on its node)."""
    if actor_options is not None:
        # Scheduling is the caller's: a worker takes no CPU unless asked to,
        # so that N workers start on any number of cores, as local ones do.
        return {"num_cpus": 0, **actor_options, **_FIXED_OPTIONS}
    from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

    strategy = NodeAffinitySchedulingStrategy(node, soft=False)
    return {"num_cpus": 0, "scheduling_strategy": strategy, **_FIXED_OPTIONS}


def _placements(
    ray: Any, n: int, actor_options: dict[str, Any] | None, lost: set[str]
) -> list[dict[str, Any]]:
    if actor_options is not None:
        return [_worker_options(actor_options, None)] * n
    # One worker per node, then round again.
    nodes = _live_nodes(ray, lost)
    return [_worker_options(None, nodes[i % len(nodes)]) for i in range(n)]


def _nodes_lost(ray: Any) -> str:
    dead = [n["NodeID"] for n in ray.nodes() if not n.get("Alive")]
    return f"nodes lost from the cluster: {', '.join(dead)}" if dead else ""


def _send(worker: RayWorker, position: int, job: Any) -> PendingAnswer:
    """Sends `job` to `worker`; a job that cannot be pickled is sent as a
    stand-in that the worker answers "EXCEPTION". (vantrel.futures sends
    its jobs with this too.)"""
    try:
        packed = _pack(job)
    except BaseException as e:  # a __reduce__ may raise anything
        packed = _pack(_runner.unsent_job(_without_own_frames(e)))
    pending = PendingAnswer(worker, position, worker.actor.run.remote(packed))
    worker._record(pending, job)
    return pending


class _RayData:
    """How vantrel._pool.data reaches a RayPool's workers: values pickled as
    jobs are, a value for several workers put in Ray's object store once and
    read by each (its buffers copied there, so arrays arrive writable)."""

    shares_memory = False

    @staticmethod
    def pack(obj: object) -> _Packed:
        return _pack(obj)

    @staticmethod
    def carry(buffers: list[Any]) -> list[Any]:
        return buffers

    @staticmethod
    def push(pool: RayPool, chosen: list[int], values: dict[str, Any]) -> list[list[Any]]:
        stream, buffers = _data.pickle_values(_RayData, values)
        return _RayData.send(pool, chosen, _data.TAKE, ("pickled", stream, buffers))

    @staticmethod
    def send(pool: RayPool, chosen: list[int], source: str, data: Any) -> list[list[Any]]:
        ray = _ray()
        workers = list(pool.procs.values())
        job = _pack([source])
        if data is None:  # the job alone
            pending = [
                PendingAnswer(workers[k], k, workers[k].actor.run.remote(job)) for k in chosen
            ]
            return reduce(pending)
        if isinstance(data, list):  # one for each worker
            each = data
        else:
            each = [ray.put(data) if len(chosen) > 1 else data] * len(chosen)
        pending = [
            PendingAnswer(workers[k], k, workers[k].actor.run_with_data.remote(job, item))
            for k, item in zip(chosen, each, strict=True)
        ]
        return reduce(pending)

    @staticmethod
    def label(pool: RayPool, k: int) -> str:
        w = list(pool.procs.values())[k]
        return f"worker {w.name} (pid {w.pid})"


# Functions of their own: comprehensions inlined in init_process's `try`
# could let an interrupt skip its handler (CPython 3.14).


def _to_retry(failed: dict[str, tuple[bool, str, str]]) -> list[str]:
    return [name for name, (retry, _, _) in failed.items() if retry]


def _start_failed(names: list[str], failed: dict[str, tuple[bool, str, str]]) -> RuntimeError:
    problems = [failed[name][1] for name in names if name in failed]
    hints = dict.fromkeys(hint for _, _, hint in failed.values() if hint)
    return RuntimeError(
        "could not start the pool's workers (all were killed): "
        + "; ".join(problems)
        + "".join(f" ({hint})" for hint in hints)
    )


class RayPool:
    """N workers, each a Ray actor; job k of a `map` runs in worker k % N.

    Uses this process's connection to Ray if there is one; otherwise
    connects to `address`, or with None finds a cluster as `ray.init()`
    does, starting a local Ray instance if there is none (from the main
    thread only). `actor_options` go to each actor's `.options()`
    (resources, runtime environment, scheduling); without them the workers
    are spread over the nodes, one per node while N allows. A worker that
    does not start within `start_timeout` seconds makes the constructor raise
    RuntimeError, with every worker already started killed.
    """

    _data_transport: ClassVar[type[_RayData]] = _RayData

    def __init__(
        self,
        N: int,
        name_pref: str = "RayPool",
        *,
        address: str | None = None,
        actor_options: dict[str, Any] | None = None,
        start_timeout: float = 120.0,
    ) -> None:
        ray = _ray()
        self.N = N
        self.name_pref = name_pref
        self._names()  # the argument checks of a local pool
        if actor_options is not None:
            _check_actor_options(actor_options)
        self.actor_options = actor_options
        self.start_timeout = start_timeout
        self.procs: dict[str, RayWorker] = {}
        _connect(ray, address)
        self.init_process()

    def _names(self) -> list[str]:
        return [self.name_pref + f"_{i}" for i in range(operator.index(self.N))]

    def init_process(self) -> None:
        """Kill the current workers, then start `N` new ones (empty namespaces)."""
        names = self._names()
        self.kill_all()
        ray = _ray()
        started: dict[str, RayWorker] = {}
        lost: set[str] = set()
        try:
            failed = self._start(ray, names, lost, started)
            # A worker placed on a node lost a moment ago, which Ray still
            # counts as alive for a while, dies within seconds: once more,
            # on the other nodes.
            dead = _to_retry(failed)
            if dead:
                for name in dead:
                    del failed[name]
                failed.update(self._start(ray, dead, lost, started))
            if failed:
                raise _start_failed(names, failed)
        except BaseException:
            for w in started.values():
                ray.kill(w.actor, no_restart=True)
            raise
        self.procs = {name: started[name] for name in names}
        healing = self.__dict__.get("_vantrel_healing")
        if healing is not None:
            healing.after_start(self)  # the recorded set-up, before any job

    def replace_worker(self, index: int) -> RayWorker:
        """Ends worker `index` (its position in `procs`) if it still runs and
        starts a fresh one of the same name in its place, on the same node
        when that node is still there; returns it. The fresh worker runs the
        pool's recorded set-up (`setup`) first, else has an empty namespace;
        if it cannot start or its set-up fails (SetupError), `procs` keeps the
        old entry."""
        with _replacing:
            return self._replace(index)

    def _replace(self, index: int) -> RayWorker:
        workers = list(self.procs.values())
        position = operator.index(index)
        if not 0 <= position < len(workers):
            raise IndexError(f"worker {index} is out of range: the pool has {len(workers)} workers")
        old = workers[position]
        with replacing(self, position):
            old.kill()
            fresh = self._start_worker(old.name, old.node_id)
            try:
                _healing.replay_into(self, position, fresh)
                self.procs = {name: (fresh if w is old else w) for name, w in self.procs.items()}
            except BaseException:
                fresh.kill()
                raise
        return fresh

    def status(self) -> PoolStatus:
        """One row per worker: its node, what it is doing and for how long,
        the jobs it answered, its restarts; memory and CPU time for workers
        on this machine (see vantrel._pool.status.WorkerStatus)."""
        return ray_status(self, _ray())

    def _start_worker(self, name: str, node: str) -> RayWorker:
        """One new worker called `name`, started as the pool starts its own:
        with the pool's `actor_options`, else on `node`, or on another live
        node if that one is lost. It is not put in `procs`. RuntimeError
        when it does not start within `start_timeout`.

        vantrel.futures replaces a worker killed past a time limit with this;
        whatever changes how a worker starts belongs here or in `_start`."""
        ray = _ray()
        started: dict[str, RayWorker] = {}
        lost: set[str] = set()
        placement = [_worker_options(self.actor_options, node)]
        failed = self._start(ray, [name], lost, started, placement)
        if failed.get(name, (False,))[0]:  # its node was lost: once more, elsewhere
            failed = self._start(ray, [name], lost, started)
        if failed:
            _, why, hint = failed[name]
            raise RuntimeError(f"could not start worker {why}" + (f" ({hint})" if hint else ""))
        return started[name]

    def _start(
        self,
        ray: Any,
        names: list[str],
        lost: set[str],
        started: dict[str, RayWorker],
        placements: list[dict[str, Any]] | None = None,
    ) -> dict[str, tuple[bool, str, str]]:
        """Starts the workers `names` into `started`, with `placements` (by
        default spread over the live nodes not in `lost`). Returns those that
        did not start, each with whether to try again elsewhere, why not and
        a hint; they are killed, and the nodes of those that died are added
        to `lost`."""
        cls = _actor_class_for(ray)
        actors: dict[str, Any] = {}
        targets: dict[str, str | None] = {}
        if placements is None:
            placements = _placements(ray, len(names), self.actor_options, lost)
        try:
            for name, options in zip(names, placements, strict=True):
                targets[name] = getattr(options.get("scheduling_strategy"), "node_id", None)
                actors[name] = cls.options(**options).remote()
        except BaseException:
            for a in actors.values():
                ray.kill(a, no_restart=True)
            raise
        refs = {name: a.where.remote() for name, a in actors.items()}
        ready, _ = ray.wait(list(refs.values()), num_returns=len(refs), timeout=self.start_timeout)
        failed: dict[str, tuple[bool, str, str]] = {}
        for name, ref in refs.items():
            if ref not in ready:
                failed[name] = (
                    False,
                    f"{name}: not started after {self.start_timeout} s",
                    "are the resources in actor_options available on some node?",
                )
                ray.kill(actors[name], no_restart=True)
                continue
            try:
                pid, node_id, actor_id = ray.get(ref)
            except ray.exceptions.RayError as e:
                why = _short(e)
                if why.startswith("it failed to start"):
                    failed[name] = (False, f"{name}: {why}", "is vantrel installed on every node?")
                else:
                    failed[name] = (True, f"{name}: {why}", _nodes_lost(ray))
                    target = targets[name]
                    if target is not None:
                        lost.add(target)
                ray.kill(actors[name], no_restart=True)
                continue
            started[name] = RayWorker(name, actors[name], pid, node_id, actor_id)
        return failed

    # Set-up and restarts, as a local pool has them (vantrel._pool.healing).
    def setup(self, job: Any, worker: int | None = None) -> Any:
        """Runs `job` on every worker now (with `worker`, on that one only)
        and records it: every worker started in place of another, or by
        `init_process`, runs the recorded set-up first. Returns the answers."""
        return _healing.setup(self, job, worker)

    @property
    def setup_jobs(self) -> list[tuple[Any, int | None]]:
        """The recorded set-up, in order: (job, worker or None for every worker)."""
        return _healing._setup_jobs(self)

    def forget_setup(self) -> None:
        """Drops the recorded set-up."""
        _healing.forget_setup(self)

    def restart_dead(self) -> list[int]:
        """Replaces every worker whose actor has died (set-up replayed);
        returns their positions."""
        return _healing.restart_dead(self)

    @property
    def auto_restart(self) -> bool:
        """Whether a dead worker is replaced at the start of each `map`."""
        return _healing._auto_restart(self)

    @auto_restart.setter
    def auto_restart(self, value: bool) -> None:
        _healing._set_auto_restart(self, value)

    def _dead_positions(self, wait: float = 2.0) -> list[int]:
        """The positions of the workers whose actor has died. Each is asked
        where it runs: a dead one fails at once, a busy one answers after its
        job (so not within `wait` seconds), and counts as alive."""
        ray = _ray()
        workers = list(self.procs.values())
        refs = [w.actor.where.remote() for w in workers]
        ray.wait(refs, num_returns=len(refs), timeout=wait)
        dead = []
        for position, ref in enumerate(refs):
            if not ray.wait([ref], timeout=0)[0]:
                continue
            try:
                ray.get(ref)
            except ray.exceptions.RayError:
                dead.append(position)
        return dead

    def kill_all(self) -> None:
        """Kill every worker and empty `procs`."""
        workers, self.procs = list(self.procs.values()), {}
        for w in workers:
            w.kill()

    def clear_output(self) -> None:
        """Nothing waits on a queue here: every answer belongs to the handle of
        its job, so answers that nobody read are dropped with their handles."""

    @overload
    def map(self, jobs: Iterable[Any], block: Literal[True] = True) -> list[list[Any]]: ...
    @overload
    def map(self, jobs: Iterable[Any], block: Literal[False]) -> list[PendingAnswer]: ...
    @overload
    def map(self, jobs: Iterable[Any], block: object = True) -> list[Any]: ...
    def map(self, jobs: Iterable[Any], block: object = True) -> list[Any]:
        """Send job k to worker k % N; return the answers in job order, or with
        `block=False` one `PendingAnswer` per job."""
        healing = self.__dict__.get("_vantrel_healing")
        if healing is not None:
            healing.before_map(self)  # dead workers replaced first, when asked
        self.clear_output()
        workers = list(self.procs.values())
        pending = []
        for k, job in enumerate(jobs):
            if not workers:
                raise RuntimeError("the pool has no workers: call init_process() to start them")
            pending.append(_send(workers[k % len(workers)], k, job))
        if block:
            return reduce(pending)
        return pending

    def __repr__(self) -> str:
        return f"<RayPool {self.name_pref} N={self.N} workers={list(self.procs)}>"

    # Data by name (vantrel._pool.data), through Ray's object store.

    def push(self, values: dict[str, Any], workers: int | Iterable[int] | None = None) -> None:
        """Merge the dict `values` into each chosen worker's namespace (default:
        all); pickled once here, put in Ray's object store once."""
        _data.push(self, values, workers)

    def pull(
        self,
        names: str | Iterable[str],
        workers: int | Iterable[int] | None = None,
        default: Any = _data.NO_DEFAULT,
    ) -> list[Any]:
        """The values of `names` in each chosen worker: a list of values for
        one name, a list of dicts for several; NameError naming the worker for
        a missing name unless `default` is given."""
        return _data.pull(self, names, workers, default)

    def broadcast(self, name: str, value: Any) -> None:
        """Bind `name` to `value` in every worker: put in Ray's object store
        once, read by each worker into memory of its own (arrays writable)."""
        _data.broadcast(self, name, value)

    def scatter(self, name: str, array: Any, axis: int = 0) -> None:
        """Split `array` along `axis` into N nearly equal parts, part k bound to
        `name` in worker k."""
        _data.scatter(self, name, array, axis)

    def gather(self, name: str, axis: int = 0) -> Any:
        """The arrays bound to `name` in the workers, concatenated along `axis`
        in worker order."""
        return _data.gather(self, name, axis)
