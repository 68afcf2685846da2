"""Pools of workers: `map` a batch of jobs over N workers and gather the answers in order."""

from collections.abc import Callable, Iterable
from multiprocessing.queues import Queue
from typing import Any, ClassVar, Literal, Protocol, TypeVar, overload

from vantrel import monorun as _monorun
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

    @overload
    def map(self, args: Iterable[_Job], block: Literal[True] = True) -> list[_Answer]:
        """Send job k to worker k % N; return the answers in job order."""

    @overload
    def map(self, args: Iterable[_Job], block: Literal[False]) -> list[Queue[_Answer]]:
        """Send job k to worker k % N; return the output queue to read answer k from."""

    @overload
    def map(self, args: Iterable[_Job], block: object = True) -> list[Any]: ...

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
