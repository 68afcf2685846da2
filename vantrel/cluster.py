"""The pools of `vantrel.polyrun` on a Ray cluster: one Ray actor per worker.

`RayPool(N)` starts N workers, each a Ray actor holding one persistent
namespace; `map` deals job k to worker k % N and returns the answers in job
order, exactly the answers a local pool gives. Needs Ray: install with
``pip install 'vantrel[ray]'``. Importing this module works without Ray;
using it raises ImportError then.
"""

from __future__ import annotations

import os
import pickle
import re
import threading
from collections.abc import Iterable
from typing import Any, Literal, Protocol, TypeVar, overload

from vantrel import _runner

__all__ = ["PendingAnswer", "RayPool", "RayWorker", "reduce"]

INSTALL_HINT = "pip install 'vantrel[ray]'"

# Options that keep the pool's promises: an actor is never restarted and no
# call is retried (either would hand a later job a fresh, empty namespace, or
# run a job twice), and one job runs at a time, in the order sent.
_FIXED_OPTIONS: dict[str, Any] = {"max_restarts": 0, "max_task_retries": 0, "max_concurrency": 1}
_REFUSED_OPTIONS = frozenset(_FIXED_OPTIONS) | {"concurrency_groups"}


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


def _pack(obj: object) -> _Packed:
    buffers: list[Any] = []
    data = pickle.dumps(obj, protocol=5, buffer_callback=buffers.append)
    return data, buffers


def _unpack(packed: _Packed) -> Any:
    data, buffers = packed
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
            ray = _ray()
            try:
                packed = ray.get(self.ref, timeout=timeout)
            except ray.exceptions.GetTimeoutError:
                raise TimeoutError(
                    f"job {self.position} has no answer from worker {self.worker.name} "
                    f"after {timeout} s"
                ) from None
            except (ray.exceptions.RayActorError, ray.exceptions.ObjectLostError) as e:
                raise self._lost(e) from e
            self._settle(packed)
        assert self._answer is not None
        return self._answer

    def _lost(self, error: BaseException) -> RuntimeError:
        w = self.worker
        return RuntimeError(
            f"worker {w.name} (pid {w.pid}) on node {w.node_id} ended without answering "
            f"job {self.position}: {_short(error)}"
        )

    def _settle(self, packed: _Packed | None) -> None:
        if packed is None:
            raise RuntimeError(
                f"job {self.position} raised KeyboardInterrupt in worker {self.worker.name}: "
                "it has no answer"
            )
        try:
            self._answer = _unpack(packed)
        except Exception as e:
            raise RuntimeError(
                f"the answer to job {self.position} from worker {self.worker.name} "
                f"could not be read here: {e!r}"
            ) from e

    def __repr__(self) -> str:
        state = "answered" if self._answer is not None else "pending"
        return f"<PendingAnswer job {self.position} on {self.worker.name}, {state}>"


def reduce(handles: Iterable[_SupportsGet[_T_co]]) -> list[_T_co]:  # noqa: UP047
    """`get()` of each handle, in order. The answers of a `RayPool` are
    fetched together; a worker gone without answering raises RuntimeError
    naming it, its node and the first job position it owes."""
    items = list(handles)
    pending: list[PendingAnswer] = []
    for h in items:
        if isinstance(h, PendingAnswer) and h._answer is None:
            pending.append(h)
    if pending:
        ray = _ray()
        try:
            packed = ray.get([h.ref for h in pending])
        except ray.exceptions.RayError:
            pass  # the handles below, in job order, say which job and why
        else:
            for answer, p in zip(pending, packed, strict=True):
                answer._settle(p)
    return [h.get() for h in items]


def _connect(ray: Any, address: str | None) -> None:
    if ray.is_initialized():
        return
    if address is None and threading.current_thread() is not threading.main_thread():
        # The processes of a local Ray instance get a parent-death signal tied
        # to the thread that starts them: started from this thread, they
        # would all die when it ends.
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


def _placements(ray: Any, n: int, actor_options: dict[str, Any] | None) -> list[dict[str, Any]]:
    fixed = dict(_FIXED_OPTIONS)
    if actor_options is not None:
        # Scheduling is the caller's: a worker takes no CPU unless asked to,
        # so that N workers start on any number of cores, as local ones do.
        return [{"num_cpus": 0, **actor_options, **fixed}] * n
    from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

    # One worker per node, the caller's own node first, then round again.
    nodes = [node["NodeID"] for node in ray.nodes() if node.get("Alive")]
    if not nodes:
        raise RuntimeError("the Ray cluster reports no live node to start workers on")
    try:
        here = ray.get_runtime_context().get_node_id()
    except Exception:  # a caller outside the cluster (Ray Client) has no node
        here = None
    nodes.sort(key=lambda node_id: node_id != here)
    return [
        {"num_cpus": 0, "scheduling_strategy": NodeAffinitySchedulingStrategy(node, soft=False)}
        | fixed
        for node in (nodes[i % len(nodes)] for i in range(n))
    ]


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
        if actor_options is not None:
            refused = sorted(_REFUSED_OPTIONS & set(actor_options))
            if refused:
                raise ValueError(
                    f"actor_options may not set {', '.join(refused)}: a RayPool never restarts "
                    "a worker or retries a job, and runs one job at a time per worker"
                )
        self.N = N
        self.name_pref = name_pref
        self.actor_options = actor_options
        self.start_timeout = start_timeout
        self.procs: dict[str, RayWorker] = {}
        _connect(ray, address)
        self.init_process()

    def init_process(self) -> None:
        """Kill the current workers, then start `N` new ones (empty namespaces)."""
        self.kill_all()
        ray = _ray()
        cls = _actor_class_for(ray)
        names = [f"{self.name_pref}_{i}" for i in range(self.N)]
        actors = []
        try:
            for options in _placements(ray, self.N, self.actor_options):
                actors.append(cls.options(**options).remote())
            refs = [a.where.remote() for a in actors]
            ready, _ = ray.wait(refs, num_returns=len(refs), timeout=self.start_timeout)
            problems = []
            started = {}
            for name, actor, ref in zip(names, actors, refs, strict=True):
                if ref not in ready:
                    problems.append(f"{name}: not started after {self.start_timeout} s")
                    continue
                try:
                    pid, node_id, actor_id = ray.get(ref)
                except ray.exceptions.RayError as e:
                    problems.append(f"{name}: {_short(e)}")
                    continue
                started[name] = RayWorker(name, actor, pid, node_id, actor_id)
            if problems:
                raise RuntimeError(
                    "could not start the pool's workers (all were killed): "
                    + "; ".join(problems)
                    + " (are the resources in actor_options available on some node? is "
                    "vantrel installed on every node?)"
                )
        except BaseException:
            for a in actors:
                ray.kill(a, no_restart=True)
            raise
        self.procs = started

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
            w = workers[k % len(workers)]
            try:
                packed = _pack(job)
            except BaseException as e:  # a __reduce__ may raise anything
                packed = _pack(_runner.unsent_job(_without_own_frames(e)))
            pending.append(PendingAnswer(w, k, w.actor.run.remote(packed)))
        if block:
            return reduce(pending)
        return pending

    def __repr__(self) -> str:
        return f"<RayPool {self.name_pref} N={self.N} workers={list(self.procs)}>"
