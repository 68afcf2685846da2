"""Figures, targets, the Markdown page and the chart of one benchmark run."""

import datetime
import math
import multiprocessing as mp
import operator
import os
import platform
import statistics
import subprocess
import sys


def summarize(samples):
    s = sorted(samples)
    if len(s) > 1:
        deciles = statistics.quantiles(s, n=10, method="inclusive")
        p10, p90 = deciles[0], deciles[-1]
    else:
        p10 = p90 = s[0]
    return {
        "median": statistics.median(s),
        "p10": p10,
        "p90": p90,
        "mean": statistics.fmean(s),
        "n": len(s),
    }


def add_ratios(rows):
    """Each row compared with the row of ours it names: ours ÷ row, medians."""
    by_key = {r["key"]: r for r in rows}
    for r in rows:
        ref = by_key.get(r.get("ref"))
        r["ratio"] = ref["median"] / r["median"] if ref and r["median"] else None


def _version(module):
    try:
        return __import__(module).__version__
    except Exception:
        return None


def _git(*args):
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    try:
        out = subprocess.run(
            ["git", *args], cwd=root, capture_output=True, text=True, timeout=10, check=False
        )
    except OSError:
        return None
    return out.stdout.strip() if out.returncode == 0 else None


def machine():
    model = None
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    commit = _git("rev-parse", "--short", "HEAD")
    changed = _git("diff", "--name-only", "HEAD", "--", "vantrel")
    if changed is not None:
        changed += _git("ls-files", "--others", "--exclude-standard", "--", "vantrel") or ""
    try:
        import vantrel.monorun

        built = datetime.datetime.fromtimestamp(
            os.path.getmtime(vantrel.monorun.__file__), datetime.UTC
        ).isoformat(timespec="seconds")
    except Exception:
        built = None
    return {
        "date": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
        "nproc": os.cpu_count(),
        "usable_cpus": len(os.sched_getaffinity(0)),
        "cpu_model": model,
        "python": platform.python_version(),
        "python_build": " ".join(sys.version.split()[1:]),
        "platform": platform.platform(),
        "start_method": mp.get_start_method(),
        "numpy": _version("numpy"),
        "vantrel": _version("vantrel"),
        "vantrel_installed": built,
        "loky": _version("loky"),
        "openblas_coretype": os.environ.get("OPENBLAS_CORETYPE"),
        "commit": commit,
        "uncommitted_changes_in_vantrel": bool(changed) if changed is not None else None,
    }


# ---------------------------------------------------------------------------
# Targets

COMPARE = {"<=": operator.le, "<": operator.lt, ">=": operator.ge}


def medians(results, section):
    """Each row's median by its key, for one section that ran (else empty)."""
    sec = results["sections"].get(section)
    return {r["key"]: r["median"] for r in sec["rows"]} if sec else {}


def target(area, what, value, op, limit):
    """One target's entry: met is None when `value` was not measured."""
    met = None if value is None else COMPARE[op](value, limit)
    return {"area": area, "what": what, "value": value, "op": op, "limit": limit, "met": met}


def evaluate_targets(results):
    """Each target: what is compared, the measured value, the limit, and
    whether it is met (None when a contender was not measured)."""
    out = []

    def add(area, what, value, op, limit):
        out.append(target(area, what, value, op, limit))

    def ratio(m, a, b):
        return m[a] / m[b] if a in m and b in m and m[b] else None

    lat = medians(results, "latency")
    add("latency", "blocked_put ÷ raw-queue ping-pong", ratio(lat, "ours", "raw"), "<=", 0.50)
    add(
        "latency",
        "blocked_put ÷ multiprocessing.Pipe ping-pong",
        ratio(lat, "ours", "pipe"),
        "<=",
        2.0,
    )
    add("latency", "blocked_put ÷ plain-Python loop", ratio(lat, "ours", "python_loop"), "<=", 0.60)
    add("latency", "blocked_put ÷ ProcessPoolExecutor", ratio(lat, "ours", "ppe"), "<", 1.0)
    add("latency", "blocked_put ÷ loky", ratio(lat, "ours", "loky"), "<", 1.0)
    add("latency", "futures.submit ÷ ProcessPoolExecutor", ratio(lat, "future", "ppe"), "<", 1.0)
    add(
        "latency",
        "await futures.asubmit ÷ ProcessPoolExecutor",
        ratio(lat, "await", "ppe"),
        "<",
        1.0,
    )
    add("latency", "futures.submit ÷ blocked_put", ratio(lat, "future", "ours"), "<=", 2.0)
    add("latency", "await futures.asubmit ÷ blocked_put", ratio(lat, "await", "ours"), "<=", 3.0)

    thr = medians(results, "throughput")
    add(
        "throughput",
        "map ÷ raw-queue scatter/gather (per job)",
        ratio(thr, "ours", "raw"),
        "<=",
        0.80,
    )
    add("throughput", "map ÷ plain-Python loop", ratio(thr, "ours", "python_loop"), "<=", 0.60)
    add("throughput", "map ÷ Pool.map chunksize=1", ratio(thr, "ours", "mp_pool_map_1"), "<", 1.0)
    add("throughput", "map ÷ ProcessPoolExecutor.map", ratio(thr, "ours", "ppe_map"), "<", 1.0)
    add(
        "throughput",
        "futures.map ÷ ProcessPoolExecutor.map",
        ratio(thr, "futures_dealt", "ppe_map"),
        "<",
        1.0,
    )
    add("throughput", "futures.map ÷ map (per job)", ratio(thr, "futures_dealt", "ours"), "<=", 1.5)
    add(
        "throughput",
        "map with recycling on ÷ map (per job)",
        ratio(thr, "ours_recycling", "ours"),
        "<=",
        1.1,
    )

    # Time ratios: Pool.apply's MB/s ÷ ours, the same bytes moved.
    pay = medians(results, "payload")
    sizes = results["sizes"]["payload_mb"]
    for mb, way, text, limit in (
        (80, "in", "array in, its sum back", 0.20),
        (8, "in", "array in, its sum back", 0.30),
        (80, "back", "array handed back", 0.20),
    ):
        if mb in sizes:
            add(
                "payload",
                f"time ÷ Pool.apply time, {mb} MB, {text}",
                ratio(pay, f"mp_pool_{mb}mb_{way}", f"ours_{mb}mb_{way}"),
                "<=",
                limit,
            )
    if 80 in sizes:
        # memcpy's row copies once, into fresh memory, in one process.
        add(
            "payload",
            "time ÷ one memcpy's time, 80 MB, array in, its sum back",
            ratio(pay, "memcpy_80mb_in", "ours_80mb_in"),
            "<=",
            3.0,
        )
        add(
            "payload",
            "time ÷ joblib Parallel's time, 80 MB, array in, its sum back",
            ratio(pay, "joblib_80mb_in", "ours_80mb_in"),
            "<",
            1.0,
        )

    small = medians(results, "small_payload")
    for kb in results["sizes"].get("small_payload_kb", []):
        add(
            "small payload",
            f"time ÷ Pool.apply time, {kb} KB in and back",
            ratio(small, f"ours_{kb}kb", f"mp_pool_{kb}kb"),
            "<",
            1.0,
        )

    cap = medians(results, "capture")
    small, large = results["sizes"]["capture_lines"]
    add(
        "output capture",
        f"{large:,} ÷ {small:,} xprint calls (linear: {large / small:g})",
        ratio(cap, f"xprint_{large}", f"xprint_{small}"),
        "<=",
        1.5 * large / small,
    )
    add(
        "output capture",
        f"{large:,} xprint calls ÷ io.StringIO job",
        ratio(cap, f"xprint_{large}", f"stringio_{large}"),
        "<=",
        3.0,
    )

    rep = medians(results, "repeat")
    add(
        "repeated source",
        "unique copies ÷ same text, per job",
        ratio(rep, "unique", "same"),
        ">=",
        5.0,
    )

    idle = results["sections"].get("idle")
    rows = {r["key"]: r for r in idle["rows"]} if idle else {}
    ours, python = rows.get("ours"), rows.get("python_loop")
    add(
        "idle",
        "wake-ups per worker per second (0.1 s get: 10)",
        ours["wakeups_per_s"] if ours else None,
        "<=",
        11.0,
    )
    # The plain-Python loop does exactly what the job loop mandates when idle
    # (clear, get with the 0.1 s limit, swallow Empty): no more than that.
    add(
        "idle",
        "CPU ÷ plain-Python job loop's, idle",
        ours["cpu_ms"] / python["cpu_ms"] if ours and python and python["cpu_ms"] else None,
        "<=",
        1.0,
    )
    return out


# ---------------------------------------------------------------------------
# Where the time goes


def decompose(results):
    """Splits our time per job into the raw-queue floor, what the timed gets
    add to it (measured by raw children that wait like our worker and
    caller), and the rest: our job loop, collector and answer."""
    out = {}
    for section in ("latency", "throughput"):
        m = medians(results, section)
        if not {"ours", "raw", "raw_timed"} <= m.keys():
            continue
        steps = [("raw-queue floor", m["raw"], "sum")]
        if "raw_timed_worker" in m:
            steps.append(("+ worker's get(timeout=0.1)", m["raw_timed_worker"] - m["raw"], None))
            steps.append(
                ("+ caller's get(timeout=0.2)", m["raw_timed"] - m["raw_timed_worker"], None)
            )
        else:
            steps.append(("+ timed gets (0.1 / 0.2 s)", m["raw_timed"] - m["raw"], None))
        steps.append(("= floor with our timed gets", m["raw_timed"], "sum"))
        steps.append(("+ our job loop, collector, answer", m["ours"] - m["raw_timed"], None))
        steps.append(("= ours", m["ours"], "sum"))
        if "python_loop_timed" in m:
            steps.append(
                (
                    "plain-Python loop read like ours: loop work",
                    m["python_loop_timed"] - m["raw_timed"],
                    None,
                )
            )
        elif "python_loop" in m and "raw_timed_worker" in m:
            steps.append(
                ("plain-Python loop: loop work", m["python_loop"] - m["raw_timed_worker"], None)
            )
        if "raw_fdpoll" in m:
            steps.append(("floor waiting by poll(2) instead of timed gets", m["raw_fdpoll"], "sum"))
        if "direct" in m:
            steps.append(("prototype on the queues' pipes, no feeder threads", m["direct"], "sum"))
        if "os_pipe" in m:
            steps.append(("os.pipe 1-byte ping-pong", m["os_pipe"], "sum"))
        out[section] = {
            "unit": results["sections"][section]["unit"],
            "steps": [{"what": w, "value": v, "total": t == "sum"} for w, v, t in steps],
            "timed_get_share_of_gap": (m["raw_timed"] - m["raw"]) / (m["ours"] - m["raw"])
            if m["ours"] != m["raw"]
            else None,
        }
    return out


# ---------------------------------------------------------------------------
# Markdown


def _fmt(x, digits=3):
    if x is None:
        return "—"
    if x == 0:
        return "0"
    mag = math.floor(math.log10(abs(x)))
    decimals = max(0, digits - 1 - mag)
    return f"{x:,.{decimals}f}"


def _met(t):
    return {True: "met", False: "**not met**", None: "not measured"}[t["met"]]


def markdown(results):
    meta, m = results["meta"], results["meta"]["machine"]
    lines = [
        "# Performance",
        "",
        "Measured by `make bench` (`bench/bench.py`); `make bench-quick` runs a short",
        "version that writes to `bench/results/` instead. Figures of this run:",
        "[bench.json](bench.json); chart: [bench.png](bench.png).",
        "",
        "Every section starts its contenders, then runs rounds in which each contender",
        "takes its turn (the order rotates from round to round), so that machine noise",
        "falls on all of them alike. Medians, with the 10th and 90th percentiles;",
        "latency rows pool every single call of every round, the other rows have one",
        "sample per round. The last column divides our median by the row's median:",
        "below 1 we are faster (for MB/s, above 1 we move more). Set-up and tear-down",
        "lie outside the timed regions. All children are forked, as our workers are",
        "(loky uses its own start method). Other processes on the same cores widen",
        "the p10–p90 ranges and move absolute figures from run to run; the ratios",
        "within one run are what the targets judge.",
        "",
        "## Machine",
        "",
        "| | |",
        "|---|---|",
        f"| date (UTC) | {m['date']} |",
        f"| nproc | {m['nproc']} (usable: {m['usable_cpus']}) |",
        f"| CPU | {m['cpu_model']} |",
        f"| Python | {m['python']} {m['python_build']} |",
        f"| platform | {m['platform']} |",
        f"| numpy, loky | {m['numpy']}, {m['loky'] or 'not installed'} |",
        f"| OPENBLAS_CORETYPE | {m['openblas_coretype'] or 'unset'} |",
        f"| vantrel | {m['vantrel']} at {m['commit']}"
        + (" with uncommitted changes" if m["uncommitted_changes_in_vantrel"] else "")
        + f", installed {m['vantrel_installed']} |",
        f"| run | {meta['mode']}, {meta['run_seconds']:.0f} s; load average before "
        f"{', '.join(f'{x:.2f}' for x in meta['load_before'])}, after "
        f"{', '.join(f'{x:.2f}' for x in meta['load_after'])} |",
        "",
    ]
    if meta["mode"] != "full":
        lines += [
            f"This is a {meta['mode']} run: sizes and rounds are reduced, so the figures"
            " are indicative only.",
            "",
        ]
    lines += ["## Targets", "", "| area | what | measured | target | |", "|---|---|---|---|---|"]
    for t in results["targets"]:
        lines.append(
            f"| {t['area']} | {t['what']} | {_fmt(t['value'])} | {t['op']} {_fmt(t['limit'])} "
            f"| {_met(t)} |"
        )
    lines.append("")
    for key, sec in results["sections"].items():
        lines += [f"## {sec['title']}", "", sec["about"], ""]
        if key == "idle":
            lines += [
                "| contender | CPU s (utime+stime) | CPU ms (schedstat) | wake-ups/s per worker |",
                "|---|---|---|---|",
            ]
            for r in sec["rows"]:
                lines.append(
                    f"| {r['label']} | {r['cpu_s']:.2f} | {_fmt(r['cpu_ms'])} "
                    f"| {_fmt(r['wakeups_per_s'])} |"
                )
        else:
            lines += [
                f"| contender | median ({sec['unit']}) | p10 | p90 | ours ÷ row |",
                "|---|---|---|---|---|",
            ]
            for r in sec["rows"]:
                name = f"**{r['label']}**" if r["ours"] else r["label"]
                lines.append(
                    f"| {name} | {_fmt(r['median'])} | {_fmt(r['p10'])} | {_fmt(r['p90'])} "
                    f"| {_fmt(r['ratio']) if r['ratio'] is not None else ''} |"
                )
        for s in sec.get("skipped", []):
            lines.append(f"\nNot measured: {s}.")
        lines.append("")
    for section, d in results.get("decomposition", {}).items():
        lines += [
            f"## Where the time goes: {section}",
            "",
            f"| | {d['unit']} |",
            "|---|---|",
        ]
        for step in d["steps"]:
            v = _fmt(step["value"])
            lines.append(
                f"| {step['what']} | {v if step['total'] else ('+' + v).replace('+-', '−')} |"
            )
        share = d["timed_get_share_of_gap"]
        if share is not None and 0 <= share <= 1:
            lines += [
                "",
                f"The timed gets make up {share:.0%} of the gap between ours and the"
                " raw-queue floor.",
            ]
        elif share is not None:
            lines += ["", "The timed gets alone cost more than the whole gap to the floor."]
        lines.append("")
    lines += ["![benchmark chart](bench.png)", ""]
    return "\n".join(lines)


# ---------------------------------------------------------------------------
# Chart


def chart(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter

    def plain_log_axis(ax):
        ax.set_xscale("log")
        ax.xaxis.set_major_locator(LogLocator(base=10, subs=(1, 2, 5)))
        ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
        ax.xaxis.set_minor_formatter(NullFormatter())

    sections = list(results["sections"].items())
    panels = len(sections) + 1
    cols = 2
    rows = (panels + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(16, 4.2 * rows))
    axes = axes.ravel()
    for ax, (key, sec) in zip(axes, sections, strict=False):
        if key == "idle":
            labels = [r["label"] for r in sec["rows"]]
            values = [r["cpu_ms"] for r in sec["rows"]]
            err = None
            unit = f"CPU ms in {results['sizes']['idle_seconds']:g} s (2 workers)"
        else:
            labels = [r["label"] for r in sec["rows"]]
            values = [r["median"] for r in sec["rows"]]
            err = [
                [r["median"] - r["p10"] for r in sec["rows"]],
                [r["p90"] - r["median"] for r in sec["rows"]],
            ]
            unit = sec["unit"]
        colors = ["#d95f02" if r["ours"] else "#7f8c9a" for r in sec["rows"]]
        y = range(len(labels))
        bars = ax.barh(y, values, xerr=err, color=colors, capsize=3)
        ax.set_yticks(list(y), labels, fontsize=8)
        ax.invert_yaxis()
        if key == "idle":
            ax.bar_label(
                bars,
                [f"{r['wakeups_per_s']:.1f} wake-ups/s per worker" for r in sec["rows"]],
                fontsize=8,
                padding=3,
            )
            ax.set_xlim(0, 1.8 * max(values + [1e-3]))
        # A log axis when the spread (tails included) would flatten the short bars.
        tops = [r.get("p90", v) for r, v in zip(sec["rows"], values, strict=True)]
        positive = [v for v in values if v > 0]
        if positive and max(tops) / min(positive) > 20:
            plain_log_axis(ax)
        ax.set_xlabel(unit, fontsize=9)
        ax.set_title(sec["title"], fontsize=10)
        ax.grid(axis="x", alpha=0.3)

    ax = axes[len(sections)]
    targets = [t for t in results["targets"] if t["value"] is not None and t["value"] > 0]
    # Measured over limit, turned so that below 1 is met for every target.
    scores = [
        t["value"] / t["limit"] if t["op"] in ("<=", "<") else t["limit"] / t["value"]
        for t in targets
    ]
    colors = ["#1b9e77" if t["met"] else "#e7298a" for t in targets]
    y = range(len(targets))
    ax.barh(y, scores, color=colors)
    ax.axvline(1.0, color="black", lw=1)
    ax.set_yticks(list(y), [f"{t['area']}: {t['what']}" for t in targets], fontsize=7)
    ax.invert_yaxis()
    plain_log_axis(ax)
    ax.set_xlabel("measured ÷ target (left of 1: met)", fontsize=9)
    ax.set_title("Targets", fontsize=10)
    for ax in axes[panels:]:
        ax.axis("off")
    m = results["meta"]["machine"]
    fig.suptitle(
        f"vantrel {m['vantrel']} ({results['meta']['mode']} run, {m['date']}): "
        f"{m['nproc']} × {m['cpu_model']}, Python {m['python']}; our rows in orange",
        fontsize=11,
    )
    fig.tight_layout(rect=(0, 0, 1, 0.98))
    fig.savefig(path, dpi=90)
    plt.close(fig)
