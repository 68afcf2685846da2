"""The pools of `vantrel.polyrun` on a Ray cluster: one Ray actor per worker.

`RayPool(N)` starts N workers, each a Ray actor holding one persistent
namespace; `map` deals job k to worker k % N and returns the answers in job
order, exactly the answers a local pool gives. Needs Ray: install with
``pip install 'vantrel[ray]'``. Importing this module works without Ray;
using it raises ImportError then.
"""

from __future__ import annotations

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
from collections.abc import Iterable
from typing import Any, Literal, Protocol, TypeVar, overload

from vantrel import _control, _runner

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


def _writable_array(buffer: Any, dtype: Any, shape: Any, order: str) -> Any:
    """Rebuilds an array that was read-only where it was pickled. Its buffer
    arrives as a read-only view of the private copy made on arrival: the
    array is made over that copy itself, so it owns writable memory."""
    import numpy

    view = memoryview(buffer)
    if view.readonly:
        try:
            own = memoryview(view.obj)
        except TypeError:
            own = None
        if own is None or own.readonly or own.nbytes != view.nbytes:
            own = memoryview(bytearray(view))  # pickled in band: copy once
        view = own
    array: Any = numpy.frombuffer(view, dtype=dtype)
    return array.reshape(shape, order=order)


def _reduce_array(array: Any) -> Any:
    reduced = array.__reduce_ex__(5)
    if array.flags.writeable or getattr(reduced[0], "__name__", "") != "_frombuffer":
        return reduced
    return (_writable_array, reduced[1])


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
        table = {**copyreg.dispatch_table, numpy.ndarray: _reduce_array}
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
            _control.main_is_interactive() or _was_received_by_value(obj)
        ):
            return _control.by_value(obj, _by_value_loads)
        return NotImplemented


def _was_received_by_value(obj: Any) -> bool:
    try:
        return obj in _received_by_value
    except TypeError:  # a class made unhashable by its metaclass
        return False


def _pack(obj: object) -> _Packed:
    buffers: list[Any] = []
    out = io.BytesIO()
    by_value = len(_received_by_value) > 0 or _control.main_is_interactive()
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

    def kill(self) -> None:
        """End the worker's process at once; its namespace is lost."""
        _ray().kill(self.actor, no_restart=True)

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
            deadline = time.monotonic() + _NODE_PROBE_SECONDS
            while selector.get_map() and (left := deadline - time.monotonic()) > 0:
                for event, _ in selector.select(left):
                    sock = event.fileobj  # type: ignore[assignment]
                    selector.unregister(sock)
                    if sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == errno.ECONNREFUSED:
                        refused.add(sockets[sock])
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
    return PendingAnswer(worker, position, worker.actor.run.remote(packed))


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
            dead = [name for name, (retry, _, _) in failed.items() if retry]
            if dead:
                for name in dead:
                    del failed[name]
                failed.update(self._start(ray, dead, lost, started))
            if failed:
                problems = [failed[name][1] for name in names if name in failed]
                hints = dict.fromkeys(hint for _, _, hint in failed.values() if hint)
                raise RuntimeError(
                    "could not start the pool's workers (all were killed): "
                    + "; ".join(problems)
                    + "".join(f" ({hint})" for hint in hints)
                )
        except BaseException:
            for w in started.values():
                ray.kill(w.actor, no_restart=True)
            raise
        self.procs = {name: started[name] for name in names}

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
