"""Pools of workers: `map` a batch of jobs over N workers and gather the answers in order."""

from collections.abc import Callable, Iterable
from multiprocessing.queues import Queue
from typing import Any, ClassVar, Literal, Protocol, TypeVar, overload

from vantrel import monorun as _monorun
from vantrel._pool.status import PoolStatus
from vantrel.monorun import _Answer, _Job

# The worker module, bound at load time.
cs = _monorun

_T_co = TypeVar("_T_co", covariant=True)
_T = TypeVar("_T")

class _SupportsGet(Protocol[_T_co]):
    def get(self) -> _T_co: ...

def reduce(red: Iterable[_SupportsGet[_T]]) -> list[_T]:
    """One `get()` from each queue of `red`, in order; a pool's queues raise
    RuntimeError when their worker died instead of waiting for ever."""

class MultiProcessPool:
    """N workers; job k of a `map` runs in worker k % N."""

    N: int
    procs: dict[int, _monorun.SingleProcess]
    name_pref: str
    def __init__(self, N: int, name_pref: str = "MultiProcessingPool") -> None:
        """Start N workers named `name_pref` + "_0", "_1", ..."""

    def init_process(self) -> None:
        """Kill the current workers, then start `N` new ones."""

    def kill_all(self) -> None:
        """Kill every worker and empty `procs`."""

    def clear_output(self) -> None:
        """Drop the answers already waiting on every worker's output queue."""

    def status(self) -> PoolStatus: ...
    def replace_worker(self, index: int) -> _monorun.SingleProcess:
        """End worker `index` and start a fresh one of the same name in its place
        (the recorded set-up replayed)."""

    @overload
    def map(self, args: Iterable[_Job], block: Literal[True] = True) -> list[_Answer]:
        """Send job k to worker k % N; return the answers in job order."""

    @overload
    def map(self, args: Iterable[_Job], block: Literal[False]) -> list[Queue[_Answer]]:
        """Send job k to worker k % N; return the output queue to read answer k from."""

    @overload
    def map(self, args: Iterable[_Job], block: object = True) -> list[Any]: ...
    # Data by name (written in Python, added at load).
    def push(self, values: dict[str, Any], workers: int | Iterable[int] | None = None) -> None:
        """Merge the dict `values` into each chosen worker's namespace (default: all)."""

    def pull(
        self,
        names: str | Iterable[str],
        workers: int | Iterable[int] | None = None,
        default: Any = ...,
    ) -> list[Any]:
        """The values of `names` in each chosen worker: values for one name, dicts for several."""

    def broadcast(self, name: str, value: Any) -> None:
        """Bind `name` to `value` in every worker, written once."""

    def scatter(self, name: str, array: Any, axis: int = 0) -> None:
        """Part k of `array`, split along `axis`, bound to `name` in worker k."""

    def gather(self, name: str, axis: int = 0) -> Any:
        """The workers' arrays bound to `name`, concatenated along `axis` in worker order."""

    def setup(self, job: _Job, worker: int | None = None) -> Any:
        """Run `job` on every worker (or on `worker`) and record it for new workers."""

    @property
    def setup_jobs(self) -> list[tuple[_Job, int | None]]:
        """The recorded set-up, in order: (job, worker or None for every worker)."""

    def forget_setup(self) -> None:
        """Drop the recorded set-up."""

    def restart_dead(self) -> list[int]:
        """Replace every worker that has ended; return their positions."""

    @property
    def auto_restart(self) -> bool:
        """Whether a dead worker is replaced at the start of each `map`."""

    @auto_restart.setter
    def auto_restart(self, value: bool) -> None: ...
    def recycle(self, max_jobs: int | None = None, max_rss: int | None = None) -> None:
        """Replace a worker after `max_jobs` jobs or past `max_rss` resident bytes."""

    def interrupt(self, worker: int) -> bool:
        """Raise KeyboardInterrupt in the job running in `worker`; False if it was idle."""

class MultiProcessNoRep:
    """One pool per interpreter, kept as the attribute `MPNR` of a holder object."""

    builtin: ClassVar[Any]
    @staticmethod
    def set(builtin: object) -> None:
        """Make `builtin` (for example the `builtins` module) the holder of the pool."""

    # init_process(n), called through the class: creates the pool on the holder
    # and returns None, or returns the stored pool, restarted with n workers if
    # its N differs. A plain function in the class, not a static method.
    init_process: ClassVar[Callable[[int], MultiProcessPool | None]]
