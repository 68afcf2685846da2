"""The `%%vantrel` cell magic: the cell's text runs as one job on each chosen
worker; what each worker printed, and the traceback of a failure, are shown
per worker. Loaded by ``%load_ext vantrel``."""

from __future__ import annotations

import argparse
import builtins
import functools
import keyword
import math
import shlex
import sys
from typing import Any, NoReturn

from vantrel import _lock, futures
from vantrel.futures import _waiting

NO_POOL = (
    "%%vantrel runs the cell on the process-wide pool, and there is none: set one up with\n"
    "    import builtins\n"
    "    from vantrel import polyrun\n"
    "    polyrun.MultiProcessNoRep.set(builtins)\n"
    "    polyrun.MultiProcessNoRep.init_process(2)\n"
    "or name a pool of this notebook: %%vantrel --pool NAME"
)


class UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # argparse would exit (SystemExit(2)): one clear usage error instead.
        raise UsageError(f"{message}\n{self.format_usage()}")


def _seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not seconds > 0:  # nan too
        raise argparse.ArgumentTypeError(f"-t wants a positive number of seconds, not {text!r}")
    return seconds


def _parser() -> argparse.ArgumentParser:
    p = _Parser(prog="%%vantrel", add_help=False, exit_on_error=False)
    p.add_argument("-p", "--pool", help="the variable holding the pool (default: MPNR)")
    p.add_argument(
        "-w", "--workers", help="worker indexes, e.g. 0,2 or 1-3 (default: every worker)"
    )
    p.add_argument("-o", "--out", help="variable for the values: {worker index: values}")
    p.add_argument("-t", "--time-limit", type=_seconds, help="seconds each worker may take")
    p.add_argument("-q", "--quiet", action="store_true", help="show failures only")
    p.add_argument(
        "-i",
        "--interrupt",
        action="store_true",
        help="Ctrl-C interrupts the workers' jobs too (their namespaces kept)",
    )
    return p


def _indexes(text: str, n: int) -> list[int]:
    """The worker indexes of `text`, each once, in the order given."""
    chosen: list[int] = []
    for part in text.split(","):
        first, dash, last = part.strip().partition("-")
        try:
            span = range(int(first), int(last if dash else first) + 1)
        except ValueError:
            raise UsageError(f"-w wants indexes like 0,2 or 1-3, not {text!r}") from None
        if not span:
            raise UsageError(f"-w {part.strip()!r} names no worker (a range runs upwards)")
        chosen += span
    for i in chosen:
        if not 0 <= i < n:
            raise UsageError(f"worker {i} is not in the pool: it has {n} workers (0 to {n - 1})")
    return list(dict.fromkeys(chosen))


# How often the cell's view of the workers' printed text is brought up to date.
_LIVE_EVERY = 0.2


class _LiveText:
    """What each worker printed so far, shown while the cell runs: in a
    notebook, one area per worker under its heading, updated in place (the
    futures hand the text on from their reader thread; it is shown from the
    cell's own thread). Cleared when the answers are shown in full."""

    def __init__(self, workers: list[int]) -> None:
        self.lock = _lock.RLock()
        self.printed: dict[int, list[str]] = {i: [] for i in workers}
        self.shown: dict[int, int] = {}  # worker -> pieces shown
        self.handles: dict[int, Any] = {}
        ipython = sys.modules.get("IPython")
        shell = ipython.get_ipython() if ipython is not None else None  # type: ignore[attr-defined]
        self.notebook = shell is not None and hasattr(shell, "kernel")

    def add(self, worker: int, text: str) -> None:
        with self.lock:
            self.printed[worker].append(text)

    def text(self, worker: int) -> str:
        with self.lock:
            return "".join(self.printed[worker])

    def show(self) -> None:
        if not self.notebook:
            return
        from IPython.display import display

        for i, pieces in self.printed.items():
            with self.lock:
                count = len(pieces)
                text = "".join(pieces)
            if count == self.shown.get(i, 0):
                continue
            self.shown[i] = count
            data = {"text/plain": f"[worker {i}] running\n{text}"}
            if i in self.handles:
                self.handles[i].update(data, raw=True)
            else:
                self.handles[i] = display(data, raw=True, display_id=True)

    def clear(self) -> None:
        """The areas go: the answers, shown next, carry all of it."""
        for handle in self.handles.values():
            handle.update({"text/plain": ""}, raw=True)


def run_cell(line: str, cell: str, user_ns: dict[str, Any]) -> None:
    parser = _parser()
    try:
        args = parser.parse_args(shlex.split(line))
    except (argparse.ArgumentError, ValueError) as e:
        raise UsageError(f"{e}\n{parser.format_usage()}") from None
    if args.out is not None and (not args.out.isidentifier() or keyword.iskeyword(args.out)):
        raise UsageError(f"-o wants a variable name, not {args.out!r}")
    if args.pool is not None:
        if args.pool not in user_ns:
            raise UsageError(f"no variable named {args.pool!r} in this notebook")
        pool = user_ns[args.pool]
        if not isinstance(getattr(pool, "procs", None), dict):
            raise UsageError(f"{args.pool!r} is not a vantrel pool: it is a {type(pool).__name__}")
        if not pool.procs:
            raise UsageError(f"the pool {args.pool!r} has no workers: call init_process()")
    else:
        pool = getattr(builtins, "MPNR", None)
        if pool is None or not getattr(pool, "procs", None):
            raise UsageError(NO_POOL)
    n = len(pool.procs)
    try:
        workers = list(range(n)) if args.workers is None else _indexes(args.workers, n)
    except ValueError as e:
        raise UsageError(str(e)) from None
    live = _LiveText(workers)
    sent = {
        i: futures.submit(
            pool, cell, i, time_limit=args.time_limit, on_output=functools.partial(live.add, i)
        )
        for i in workers
    }
    try:
        while True:  # tested inside: keeps the jump back under the handler (CPython 3.13)
            if _waiting.all_done(sent.values()):
                break
            _waiting.wait_all(sent.values(), _LIVE_EVERY)
            live.show()
    except BaseException:
        # As with map: the workers keep running what they have, and keep their
        # state; jobs not sent yet never run; the next cell pairs as usual.
        # What they printed so far stays on the page.
        for f in sent.values():
            f.cancel()
        if args.interrupt:
            # The running jobs raise KeyboardInterrupt where they are; what
            # they answer within a few seconds is shown (a job inside C code
            # may not answer at all).
            for f in sent.values():
                futures.interrupt(f)
            _waiting.wait_all(sent.values(), INTERRUPTED_WAIT)
            live.clear()
            _show(_answered(sent), args, live)
        raise
    live.clear()
    values = _show(sent, args, live)
    if args.out is not None:
        user_ns[args.out] = values


def _answered(sent: dict[int, Any]) -> dict[int, Any]:
    # A function of its own: a comprehension inside run_cell's handler
    # could let an interrupt skip that handler's `raise` (CPython 3.14).
    return {i: f for i, f in sent.items() if f.done() and not f.cancelled()}


# How long a cell run with --interrupt waits for the interrupted jobs' answers.
INTERRUPTED_WAIT = 5.0


def _show(
    sent: dict[int, Any], args: argparse.Namespace, live: _LiveText
) -> dict[int, dict[str, Any]]:
    """Prints each worker's answer; returns the values they handed back."""
    values: dict[int, dict[str, Any]] = {}
    for i, f in sent.items():
        error = f.exception()
        if error is not None:
            # A worker that died: what it printed before is shown with the report.
            print(f"[worker {i}] {type(error).__name__}: {error}")
            text = live.text(i)
            if text:
                print(text, end="" if text.endswith("\n") else "\n")
            continue
        status, printed, trace, returned = f.result()
        values[i] = returned
        if args.quiet and status == "SUCCESS":
            continue
        print(f"[worker {i}] {status}")
        if printed:
            print(printed, end="" if printed.endswith("\n") else "\n")
        if trace:
            print(trace, end="" if trace.endswith("\n") else "\n")
    return values


def load(ipython: Any) -> None:
    from IPython.core.error import UsageError as IPythonUsageError

    def vantrel(line: str, cell: str) -> None:
        try:
            run_cell(line, cell, ipython.user_ns)
        except UsageError as e:
            raise IPythonUsageError(str(e)) from None

    vantrel.__doc__ = (
        "%%vantrel [-p POOL] [-w WORKERS] [-o VAR] [-t SECONDS] [-q] [-i]\n\n"
        "Runs the cell's text as one job on each chosen worker of the pool (default:\n"
        "every worker of the process-wide pool MPNR) and shows, per worker, what the\n"
        "job printed with xprint and, for a failure, its traceback. With -o VAR the\n"
        "values the jobs handed back with xreturn land in VAR as {worker index: values}.\n"
        "With -i, interrupting the cell interrupts the workers' jobs too: each raises\n"
        "KeyboardInterrupt where it is, and the workers keep their namespaces."
    )
    ipython.register_magic_function(vantrel, magic_kind="cell", magic_name="vantrel")
