"""A pool's workers at a glance: ``pool.status()``.

What each worker is doing comes from what the caller already knows, at no
cost to the workers: the map call under way and the answers taken (kept on
each output queue by the message path, once per call and once per answer),
the futures in flight (their scheduler's own record), the counts of jobs
started and finished on the page each worker shares with its caller
(vantrel._figures), and the replacements this module is told of. Memory
and CPU time of local workers are read from ``/proc``; a Ray worker's only
when it runs on this machine.
"""

from __future__ import annotations

import html
import os
import sys
import time
import weakref
from collections.abc import Sequence
from typing import Any

_TICKS = os.sysconf("SC_CLK_TCK")
_PAGE = os.sysconf("SC_PAGE_SIZE")
_JOB_TEXT = 60  # characters of a job's first line shown


class _Record:
    """What a pool's status needs that the pool itself does not keep."""

    __slots__ = ("__weakref__", "cpu_seen", "replacing", "restarts")

    def __init__(self) -> None:
        self.replacing: set[int] = set()
        self.restarts: dict[int, int] = {}
        self.cpu_seen: dict[int, tuple[float, float]] = {}  # pid -> (when, cpu seconds)


_records: weakref.WeakKeyDictionary[Any, _Record] = weakref.WeakKeyDictionary()


def record_of(pool: Any) -> _Record:
    record = _records.get(pool)
    if record is None:
        record = _records.setdefault(pool, _Record())
    return record


class replacing:
    """``with replacing(pool, index):`` while a worker is being replaced;
    counted as a restart once it is."""

    def __init__(self, pool: Any, index: int) -> None:
        self.record = record_of(pool)
        self.index = index

    def __enter__(self) -> None:
        self.record.replacing.add(self.index)

    def __exit__(self, kind: Any, *_: Any) -> None:
        self.record.replacing.discard(self.index)
        if kind is None:
            self.record.restarts[self.index] = self.record.restarts.get(self.index, 0) + 1


# -- figures from /proc --------------------------------------------------------


def proc_figures(pid: int) -> tuple[str | None, int | None, float | None]:
    """(state letter, resident bytes, CPU seconds) of process ``pid`` on this
    machine; Nones when it is gone or unreadable."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read()
        with open(f"/proc/{pid}/statm", "rb") as f:
            statm = f.read()
    except OSError:
        return None, None, None
    # The command name may hold spaces and parentheses: fields follow the last ')'.
    fields = stat[stat.rindex(b")") + 2 :].split()
    cpu = (int(fields[11]) + int(fields[12])) / _TICKS
    return fields[0].decode(), int(statm.split()[1]) * _PAGE, cpu


def first_line(job: Any) -> str:
    """The first line of a job's source text, shortened; what stands for it
    when it has none."""
    items = (job,) if isinstance(job, str) else job
    try:
        items = list(items) if not isinstance(items, (list, tuple)) else items
    except Exception:
        return f"<{type(job).__name__}>"
    for item in items:
        if isinstance(item, str):
            for line in item.splitlines():
                if line.strip():
                    line = line.strip()
                    return line if len(line) <= _JOB_TEXT else line[: _JOB_TEXT - 1] + "\u2026"
        elif isinstance(item, dict):
            return "{" + ", ".join(map(str, list(item)[:4])) + "}"
    return "<empty job>"


# -- one row per worker -------------------------------------------------------


class WorkerStatus:
    """One worker: ``index``, ``pid``, ``node`` (Ray), ``state`` ("idle",
    "running", "dead", "being replaced"), ``job`` (the running job's first
    line), ``running_for`` (seconds), ``answered`` (jobs answered that this
    caller took), ``rss`` (bytes), ``cpu`` (seconds), ``cpu_share`` (of one
    core since the last look, 0 to 1), ``restarts``. Unknown figures are None."""

    __slots__ = (
        "answered",
        "cpu",
        "cpu_share",
        "index",
        "job",
        "node",
        "pid",
        "restarts",
        "rss",
        "running_for",
        "state",
    )

    def __init__(self, index: int, pid: int | None, node: str | None = None) -> None:
        self.index = index
        self.pid = pid
        self.node = node
        self.state = "idle"
        self.job: str | None = None
        self.running_for: float | None = None
        self.answered: int | None = None
        self.rss: int | None = None
        self.cpu: float | None = None
        self.cpu_share: float | None = None
        self.restarts = 0

    def as_dict(self) -> dict[str, Any]:
        return {name: getattr(self, name) for name in _COLUMNS}

    def __repr__(self) -> str:
        return f"WorkerStatus({', '.join(f'{k}={v!r}' for k, v in self.as_dict().items())})"


_COLUMNS = (
    "index",
    "pid",
    "node",
    "state",
    "job",
    "running_for",
    "answered",
    "rss",
    "cpu",
    "cpu_share",
    "restarts",
)


def _size(n: int | None) -> str:
    if n is None:
        return "-"
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024  # type: ignore[assignment]
    return "-"


def _seconds(s: float | None) -> str:
    if s is None:
        return "-"
    if s < 60:
        return f"{s:.1f} s"
    if s < 3600:
        return f"{int(s // 60)} min {int(s % 60)} s"
    return f"{int(s // 3600)} h {int(s % 3600 // 60)} min"


class PoolStatus(Sequence[WorkerStatus]):
    """The workers of one pool as they were at ``taken`` (time.time()): a
    sequence of WorkerStatus; printed as a table, shown as one in Jupyter."""

    def __init__(self, name: str, rows: list[WorkerStatus], ray: bool = False) -> None:
        self.name = name
        self.rows = rows
        self.ray = ray
        self.taken = time.time()

    def __len__(self) -> int:
        return len(self.rows)

    def __getitem__(self, k: Any) -> Any:
        return self.rows[k]

    def _cells(self, w: WorkerStatus) -> list[str]:
        cells = [str(w.index), "-" if w.pid is None else str(w.pid)]
        if self.ray:
            cells.append((w.node or "-")[:12])
        cells += [
            w.state,
            w.job or "",
            _seconds(w.running_for) if w.state == "running" else "",
            "-" if w.answered is None else str(w.answered),
            _size(w.rss),
            _seconds(w.cpu),
            "-" if w.cpu_share is None else f"{100 * w.cpu_share:.0f}%",
            str(w.restarts),
        ]
        return cells

    def _header(self) -> list[str]:
        head = ["worker", "pid"] + (["node"] if self.ray else [])
        return head + ["state", "job", "for", "answered", "memory", "cpu time", "cpu", "restarts"]

    def __str__(self) -> str:
        table = [self._header()] + [self._cells(w) for w in self.rows]
        widths = [max(len(row[i]) for row in table) for i in range(len(table[0]))]
        lines = ["  ".join(c.ljust(widths[i]) for i, c in enumerate(row)).rstrip() for row in table]
        lines.insert(1, "  ".join("-" * n for n in widths))
        busy = sum(w.state == "running" for w in self.rows)
        return f"{self.name}: {len(self.rows)} workers, {busy} running\n" + "\n".join(lines)

    __repr__ = __str__

    def _repr_html_(self) -> str:
        top_rss = max((w.rss or 0 for w in self.rows), default=0) or 1
        colours = {"idle": "#8a8a8a", "running": "#2a7ae2", "dead": "#d6336c"}
        head = "".join(
            f"<th style='text-align:left;padding:2px 6px;white-space:nowrap'>{html.escape(h)}</th>"
            for h in self._header()
        )
        body = []
        for w in self.rows:
            cells = [html.escape(c) for c in self._cells(w)]
            at = 3 if self.ray else 2
            colour = colours.get(w.state, "#e8a317")
            cells[at] = f"<span style='color:{colour};font-weight:600'>{cells[at]}</span>"
            if cells[at + 1]:
                cells[at + 1] = f"<code style='white-space:nowrap'>{cells[at + 1]}</code>"
            cells[at + 4] = _barred((w.rss or 0) / top_rss, "#6f42c1", cells[at + 4])
            cells[at + 6] = _barred(w.cpu_share or 0, "#2f9e44", cells[at + 6])
            body.append(
                "<tr>"
                + "".join(f"<td style='padding:2px 6px;white-space:nowrap'>{c}</td>" for c in cells)
                + "</tr>"
            )
        busy = sum(w.state == "running" for w in self.rows)
        caption = (
            f"<caption style='text-align:left;font-weight:600'>{html.escape(self.name)}: "
            f"{len(self.rows)} workers, {busy} running</caption>"
        )
        return (
            "<table class='vantrel-status' "
            "style='border-collapse:collapse;font-size:12px;table-layout:auto'>"
            f"{caption}<thead><tr>{head}</tr></thead><tbody>{''.join(body)}</tbody></table>"
        )


def _barred(share: float, colour: str, label: str) -> str:
    """A bar with its figure beside it, kept on one line whatever the page's
    own table rules say about widths."""
    return (
        "<span style='display:inline-flex;align-items:center;gap:4px;white-space:nowrap'>"
        f"{_bar(share, colour)}<span>{label}</span></span>"
    )


def _bar(share: float, colour: str, width: int = 40, height: int = 9) -> str:
    """A small horizontal bar, ``share`` (0 to 1) of it filled, as inline SVG."""
    filled = max(0.0, min(1.0, share)) * width
    return (
        f"<svg width='{width}' height='{height}' style='vertical-align:middle;flex:none'>"
        f"<rect width='{width}' height='{height}' fill='#e9ecef'/>"
        f"<rect width='{filled:.1f}' height='{height}' fill='{colour}'/></svg>"
    )


# -- local pools --------------------------------------------------------------


def _map_activity(row: WorkerStatus, activity: Any, now: float) -> None:
    """Fills ``row`` from what the message path keeps on the worker's output
    queue (see _runner.activity)."""
    read, last_at, jobs, first, stride, read_at_start, started = activity
    row.answered = read
    if jobs is None:
        return
    position = first + (read - read_at_start) * stride
    if isinstance(jobs, (list, tuple)):
        if position >= len(jobs):
            return
        row.job = first_line(jobs[position])
    else:
        row.job = f"job {position}"
    row.state = "running"
    row.running_for = now - (last_at if read > read_at_start else started)


def _cpu_share(record: _Record, pid: int, cpu: float, now: float) -> float | None:
    seen = record.cpu_seen.get(pid)
    record.cpu_seen[pid] = (now, cpu)
    if seen is None or now - seen[0] <= 0:
        return None
    return max(0.0, (cpu - seen[1]) / (now - seen[0]))


def status(self) -> PoolStatus:
    """One row per worker: what it is doing and for how long, the jobs it
    answered, its memory and CPU time, its restarts (see WorkerStatus).
    ``print(pool.status())`` shows a table; Jupyter shows it with bars."""
    from vantrel import _figures, _runner

    record = record_of(self)
    now = time.monotonic()
    futures = sys.modules.get("vantrel.futures")
    in_flight = futures._running_jobs(self) if futures is not None else {}
    rows = []
    for index, handle in enumerate(list(self.procs.values())):
        pid = handle.proc.pid
        row = WorkerStatus(index, pid)
        row.restarts = record.restarts.get(index, 0)
        activity = _runner.activity(handle.qo)
        if activity is not None:
            _map_activity(row, activity, now)
        flying = in_flight.get(index)
        if flying is not None:
            job, since, answered = flying
            row.answered = (row.answered or 0) + answered
            if job is not None:
                row.state, row.job = "running", first_line(job)
                row.running_for = None if since is None else now - since
        page = _figures.read(handle)
        if page is not None:
            # The worker's own count: exact, whoever sent the jobs and read the answers.
            row.answered = page.finished
            if page.started == page.finished:
                row.state, row.job, row.running_for = "idle", None, None
            elif row.state == "idle":
                row.state = "running"  # a job sent some other way (blocked_put, by hand)
        state, row.rss, row.cpu = proc_figures(pid)
        if row.cpu is not None:
            row.cpu_share = _cpu_share(record, pid, row.cpu, now)
        if index in record.replacing:
            row.state = "being replaced"
        # /proc only: asking the Process object would reap the worker, racing
        # whoever waits for it (the futures' reader reports its exit code).
        elif state in (None, "Z", "X"):
            row.state, row.job, row.running_for = "dead", None, None
            row.rss = row.cpu_share = None
        rows.append(row)
    return PoolStatus(str(self.name_pref), rows)


# -- Ray pools ----------------------------------------------------------------


def _ray_head(ray: Any, worker: Any, now: float) -> tuple[Any, float] | None:
    """The job ``worker`` runs and since when, from the jobs sent to it that
    are not known to be answered (RayWorker.sent), or None when idle."""
    with worker.sent_lock:
        sent = worker.sent
        while True:  # tested inside: keeps the jump back under the handler (CPython 3.13)
            if not sent:
                break
            ref, job, sent_at = sent[0]
            pending = ref()
            if pending is not None and pending._answer is None:
                ready, _ = ray.wait([pending.ref], timeout=0)
                if not ready:
                    return job, max(sent_at, worker.head_since or sent_at)
            sent.popleft()
            worker.answered += 1
            worker.head_since = now
    return None


def ray_status(self: Any, ray: Any) -> PoolStatus:
    record = record_of(self)
    here = ray.get_runtime_context().get_node_id()
    now = time.monotonic()
    rows = []
    for index, worker in enumerate(list(self.procs.values())):
        row = WorkerStatus(index, worker.pid, worker.node_id)
        row.restarts = record.restarts.get(index, 0)
        head = _ray_head(ray, worker, now)
        row.answered = worker.answered
        if head is not None:
            row.state, row.job, row.running_for = "running", first_line(head[0]), now - head[1]
        if worker.node_id == here:
            state, row.rss, row.cpu = proc_figures(worker.pid)
            if row.cpu is not None:
                row.cpu_share = _cpu_share(record, worker.pid, row.cpu, now)
            if state in (None, "Z", "X"):
                row.state, row.job, row.running_for = "dead", None, None
        if index in record.replacing:
            row.state = "being replaced"
        rows.append(row)
    return PoolStatus(str(self.name_pref), rows, ray=True)


METHODS = {"status": status}
