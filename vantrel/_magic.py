"""The `%%vantrel` cell magic: the cell's text runs as one job on each chosen
worker; what each worker printed, and the traceback of a failure, are shown
per worker. Loaded by ``%load_ext vantrel``."""

from __future__ import annotations

import argparse
import builtins
import concurrent.futures
import shlex
from typing import Any

from vantrel import futures

NO_POOL = (
    "%%vantrel runs the cell on the process-wide pool, and there is none: set one up with\n"
    "    import builtins\n"
    "    from vantrel import polyrun\n"
    "    polyrun.MultiProcessNoRep.set(builtins)\n"
    "    polyrun.MultiProcessNoRep.init_process(2)\n"
    "or name a pool of this notebook: %%vantrel --pool NAME"
)


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="%%vantrel", add_help=False, exit_on_error=False)
    p.add_argument("-p", "--pool", help="the variable holding the pool (default: MPNR)")
    p.add_argument(
        "-w", "--workers", help="worker indexes, e.g. 0,2 or 1-3 (default: every worker)"
    )
    p.add_argument("-o", "--out", help="variable for the values: {worker index: values}")
    p.add_argument("-t", "--time-limit", type=float, help="seconds each worker may take")
    p.add_argument("-q", "--quiet", action="store_true", help="show failures only")
    return p


def _indexes(text: str, n: int) -> list[int]:
    chosen: list[int] = []
    for part in text.split(","):
        first, _, last = part.strip().partition("-")
        chosen += range(int(first), int(last or first) + 1)
    for i in chosen:
        if not 0 <= i < n:
            raise ValueError(f"worker {i} is not in the pool: it has {n} workers (0 to {n - 1})")
    return chosen


class UsageError(Exception):
    pass


def run_cell(line: str, cell: str, user_ns: dict[str, Any]) -> None:
    try:
        args = _parser().parse_args(shlex.split(line))
    except (argparse.ArgumentError, SystemExit) as e:
        raise UsageError(f"{e}\n{_parser().format_usage()}") from None
    if args.pool is not None:
        if args.pool not in user_ns:
            raise UsageError(f"no variable named {args.pool!r} in this notebook")
        pool = user_ns[args.pool]
    else:
        pool = getattr(builtins, "MPNR", None)
        if pool is None or not getattr(pool, "procs", None):
            raise UsageError(NO_POOL)
    n = len(pool.procs)
    try:
        workers = list(range(n)) if args.workers is None else _indexes(args.workers, n)
    except ValueError as e:
        raise UsageError(str(e)) from None
    sent = {i: futures.submit(pool, cell, i, time_limit=args.time_limit) for i in workers}
    try:
        concurrent.futures.wait(sent.values())
    except BaseException:
        # As with map: the workers keep running what they have, and keep their
        # state; jobs not sent yet never run; the next cell pairs as usual.
        for f in sent.values():
            f.cancel()
        raise
    values: dict[int, dict[str, Any]] = {}
    for i, f in sent.items():
        error = f.exception()
        if error is not None:
            print(f"[worker {i}] {type(error).__name__}: {error}")
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
    if args.out is not None:
        user_ns[args.out] = values


def load(ipython: Any) -> None:
    from IPython.core.error import UsageError as IPythonUsageError

    def vantrel(line: str, cell: str) -> None:
        try:
            run_cell(line, cell, ipython.user_ns)
        except UsageError as e:
            raise IPythonUsageError(str(e)) from None

    vantrel.__doc__ = (
        "%%vantrel [-p POOL] [-w WORKERS] [-o VAR] [-t SECONDS] [-q]\n\n"
        "Runs the cell's text as one job on each chosen worker of the pool (default:\n"
        "every worker of the process-wide pool MPNR) and shows, per worker, what the\n"
        "job printed with xprint and, for a failure, its traceback. With -o VAR the\n"
        "values the jobs handed back with xreturn land in VAR as {worker index: values}."
    )
    ipython.register_magic_function(vantrel, magic_kind="cell", magic_name="vantrel")
