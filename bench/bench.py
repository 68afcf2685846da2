"""Side-by-side timings of vantrel, the transport it rides on, and the usual
process pools: latency, tiny-job throughput, payload bandwidth, output
capture, repeated source, start-up and idle cost.

    python bench.py            # full run (about 4 to 5 minutes on 2 cores)
    python bench.py --quick    # under a minute: fewer rounds, smaller sizes
    python bench.py --only latency,idle --rounds 3

Run it from this folder (or anywhere outside the source tree), so that the
installed package is imported. A full run writes docs/bench.json,
docs/bench.png and docs/performance.md; other runs write the same three
files to bench/results/ unless --out says otherwise.
"""

import argparse
import gc
import json
import multiprocessing as mp
import os
import pathlib
import signal
import statistics
import sys
import time
import warnings

import contenders as c
import data_contenders
import ray_contenders
import report

HERE = pathlib.Path(__file__).resolve().parent

PROFILES = {
    "full": {
        "latency_calls": 2000,
        "latency_rounds": 15,
        "map_jobs": 20_000,
        "map_rounds": 15,
        "payload_mb": [8, 80],
        "payload_rounds": 15,
        "small_payload_kb": [1, 16, 256],
        "small_payload_calls": 300,
        "small_payload_rounds": 15,
        "capture_lines": [10_000, 100_000],
        "capture_rounds": 21,
        "repeat_jobs": 300,
        "repeat_lines": 200,
        "repeat_rounds": 15,
        "startup_rounds": 21,
        "idle_seconds": 10.0,
    },
    "quick": {
        "latency_calls": 300,
        "latency_rounds": 3,
        "map_jobs": 2000,
        "map_rounds": 3,
        "payload_mb": [1, 8],
        "payload_rounds": 3,
        "small_payload_kb": [1, 16, 256],
        "small_payload_calls": 100,
        "small_payload_rounds": 3,
        "capture_lines": [10_000, 100_000],
        "capture_rounds": 3,
        "repeat_jobs": 60,
        "repeat_lines": 200,
        "repeat_rounds": 3,
        "startup_rounds": 3,
        "idle_seconds": 2.0,
    },
    # For the test suite: every path once, in a few seconds.
    "smoke": {
        "latency_calls": 20,
        "latency_rounds": 1,
        "map_jobs": 100,
        "map_rounds": 1,
        "payload_mb": [0.1, 1],
        "payload_rounds": 1,
        "small_payload_kb": [1, 256],
        "small_payload_calls": 10,
        "small_payload_rounds": 1,
        "capture_lines": [100, 1000],
        "capture_rounds": 1,
        "repeat_jobs": 5,
        "repeat_lines": 200,
        "repeat_rounds": 1,
        "startup_rounds": 1,
        "idle_seconds": 0.5,
    },
}


def sections(z):
    """Key, title, unit, what it shows, contender factories, rounds."""
    return [
        (
            "latency",
            "Latency of one trivial job",
            "µs per round trip",
            "One `'pass'` job and its answer, one at a time, on one worker. The raw rows are a"
            " child doing nothing but get and put of the same four-item answer on the same"
            " kind of queues: untimed, then with our worker's `get(timeout=0.1)`, then also"
            " with our caller's `get(timeout=0.2)`. The plain-Python loop runs our job loop"
            " written in Python over the same queues, read by an untimed `get`. The prototype"
            " writes and reads whole messages on the queues' pipes in both processes (no"
            " feeder thread), with the same waits; `os.pipe` is one byte each way.",
            c.latency_contenders(z["latency_calls"]),
            z["latency_rounds"],
        ),
        (
            "throughput",
            f"Throughput of {z['map_jobs']:,} tiny jobs on 2 workers",
            "µs per job",
            "All jobs dealt round-robin before any answer is read, answers gathered in job"
            " order (as `map` does). `Pool.map` with its default chunk size sends batches"
            " and is shown apart from the one-job-per-message contenders.",
            c.throughput_contenders(z["map_jobs"]),
            z["map_rounds"],
        ),
        (
            "payload",
            "Payload: a numpy array in a dict item",
            "MB/s",
            "The array goes in and its sum comes back, or the array goes in and comes back."
            " MB/s counts the bytes that cross a process boundary (twice the array when it is"
            " handed back); higher is better, so the last column above 1 means we move more."
            " Arrays of at least 1 MiB travel through shared memory. The memcpy rows are the"
            " one-copy floor: the same bytes copied into fresh memory in one process.",
            c.payload_contenders(z["payload_mb"]),
            z["payload_rounds"],
        ),
        (
            "small_payload",
            "Small payloads: a numpy array in and handed back",
            "µs per round trip",
            "Arrays below the size that travels through shared memory: they go through the"
            " pipe inside the message, pickled with protocol 5.",
            c.small_payload_contenders(z["small_payload_kb"], z["small_payload_calls"]),
            z["small_payload_rounds"],
        ),
        (
            "capture",
            "Output capture: one job of many xprint calls",
            "ms per job",
            "One job of N `xprint('line', i)` calls, beside the same loop writing to an"
            " `io.StringIO` whose text the job hands back with one `xprint` (both answers"
            " carry the same text); then the same job through `vantrel.futures` without"
            " and with live text (`on_output` handed every piece while the job runs).",
            c.capture_contenders(z["capture_lines"]),
            z["capture_rounds"],
        ),
        (
            "repeat",
            f"Repeated source: a {z['repeat_lines']}-line item, {z['repeat_jobs']} jobs a round",
            "µs per job",
            "The same text sent again and again (our workers keep the compiled code of recent"
            " items), beside copies made unique by a trailing comment (compiled every time)"
            " and beside the same lines defined once as a function and called as `f()`.",
            c.repeat_contenders(z["repeat_jobs"], z["repeat_lines"]),
            z["repeat_rounds"],
        ),
        (
            "startup",
            "Start-up of a pool of 2",
            "ms",
            "From the constructor until both workers have answered a job.",
            c.startup_contenders(),
            z["startup_rounds"],
        ),
        (
            "idle",
            f"Idle cost of 2 workers over {z['idle_seconds']:g} s",
            "",
            "CPU time of both worker processes, all threads, while nobody sends a job,"
            " one contender at a time: utime+stime from `/proc/<pid>/stat` (10 ms ticks)"
            " and the on-CPU time from `/proc/<pid>/task/*/schedstat` (ns);"
            " wake-ups are voluntary context switches."
            " Our job loop must wake every 0.1 s; the plain-Python loop does exactly that"
            " (clear, timed get, swallow Empty), the bare loop only the timed get, the"
            " poll(2) loop waits on the pipe without multiprocessing's timed get;"
            " `multiprocessing.Pool` workers block without a limit.",
            c.idle_contenders(),
            1,
        ),
    ]


def close_all(items):
    for item in reversed(items):
        try:
            item.close()
        except Exception as e:  # go on closing the others
            print(f"  (closing {item.label}: {e!r})", file=sys.stderr)


def build(makers, skipped):
    made = []
    try:
        for make in makers:
            try:
                made.append(make())
            except ImportError as e:
                skipped.append(f"{e.name} is not installed (`make bench` installs it)")
    except BaseException:
        close_all(made)
        raise
    return made


def run_rounds(makers, rounds):
    skipped, samples, per_round = [], {}, {}
    items = build(makers, skipped)
    try:
        for r in range(rounds):
            k = r % len(items)
            for item in items[k:] + items[:k]:
                gc.collect()
                got = item.sample()
                samples.setdefault(item.key, []).extend(got)
                per_round.setdefault(item.key, []).append(statistics.median(got))
            print(f"  round {r + 1}/{rounds}", end="\r", flush=True)
    finally:
        close_all(items)
    rows = [
        {
            "key": i.key,
            "label": i.label,
            "ours": i.ours,
            "ref": i.ref,
            **report.summarize(samples[i.key]),
            "round_medians": per_round[i.key],
        }
        for i in items
    ]
    report.add_ratios(rows)
    return {"rows": rows, "skipped": skipped}


def run_idle(makers, seconds):
    # One contender at a time: idle processes that wake at the same rate
    # disturb each other's on-CPU figures when they share the two cores.
    items, before, after = [], {}, {}
    for make in makers:
        built = build([make], [])
        try:
            for i in built:
                time.sleep(1.0)  # let start-up work settle
                before[i.key] = i.read()
                time.sleep(seconds)
                after[i.key] = i.read()
        finally:
            close_all(built)
        items += built
    rows = []
    for i in items:
        b, a = before[i.key], after[i.key]
        workers = len(a)
        rows.append(
            {
                "key": i.key,
                "label": i.label,
                "ours": i.ours,
                "ref": i.ref,
                "workers": workers,
                "cpu_s": sum(y[0] - x[0] for x, y in zip(b, a, strict=True)),
                "cpu_ms": sum(y[1] - x[1] for x, y in zip(b, a, strict=True)) / 1e6,
                "wakeups_per_s": sum(y[2] - x[2] for x, y in zip(b, a, strict=True))
                / seconds
                / workers,
            }
        )
    return {"rows": rows, "skipped": []}


def print_section(sec):
    print(f"\n{sec['title']}" + (f" [{sec['unit']}]" if sec["unit"] else ""))
    for r in sec["rows"]:
        mark = "*" if r["ours"] else " "
        if "cpu_ms" in r:
            print(
                f" {mark}{r['label']:62s} CPU {r['cpu_s']:5.2f} s (ticks)"
                f" {r['cpu_ms']:8.1f} ms (schedstat)  {r['wakeups_per_s']:6.1f} wake-ups/s/worker"
            )
            continue
        ratio = f"{r['ratio']:6.2f}" if r["ratio"] is not None else "      "
        print(
            f" {mark}{r['label']:62s} {r['median']:11.4g}  p10 {r['p10']:10.4g}"
            f"  p90 {r['p90']:10.4g}  mean {r['mean']:10.4g}  ours÷row {ratio}"
        )
    for s in sec["skipped"]:
        print(f"  not measured: {s}")


def own_children():
    me = str(os.getpid())
    for name in os.listdir("/proc"):
        try:
            with open(f"/proc/{name}/stat") as f:
                if name.isdigit() and f.read().rsplit(")", 1)[1].split()[1] == me:
                    yield int(name)
        except (OSError, IndexError):
            pass


def die(signum, frame):
    """On SIGTERM or Ctrl-C: kill every child process at once and leave.
    Clean-up code run from a signal handler could wait for a lock that the
    interrupted code holds."""
    try:
        for pid in own_children():
            os.kill(pid, signal.SIGKILL)
    finally:
        os._exit(128 + signum)


def child_signals():
    # A pool's terminate() must end its workers; Ctrl-C is the parent's business.
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    mode = ap.add_mutually_exclusive_group()
    mode.add_argument("--quick", action="store_true", help="under a minute; writes bench/results/")
    mode.add_argument("--smoke", action="store_true", help="a few seconds; for the test suite")
    ap.add_argument("--rounds", type=int, help="rounds of every section (idle: one window each)")
    ap.add_argument("--only", help="comma-separated sections to run")
    ap.add_argument(
        "--out", type=pathlib.Path, help="folder for bench.json, bench.png, performance.md"
    )
    ap.add_argument("--no-chart", action="store_true", help="skip bench.png")
    args = ap.parse_args(argv)

    warnings.filterwarnings("ignore", message=r"This process .* is multi-threaded")
    signal.signal(signal.SIGTERM, die)
    signal.signal(signal.SIGINT, die)
    os.register_at_fork(after_in_child=child_signals)
    profile = "quick" if args.quick else "smoke" if args.smoke else "full"
    z = dict(PROFILES[profile])
    z["data_mb"] = data_contenders.SIZES[profile]["mb"]
    all_sections = (
        sections(z) + data_contenders.sections(profile) + ray_contenders.sections(profile)
    )
    wanted = args.only.split(",") if args.only else [s[0] for s in all_sections]
    if profile == "smoke" and not args.only:
        wanted = [k for k in wanted if k not in ray_contenders.KEYS]
    unknown = set(wanted) - {s[0] for s in all_sections}
    if unknown:
        ap.error(f"unknown sections: {', '.join(sorted(unknown))}")
    complete = profile == "full" and not args.only and not args.rounds
    out = args.out or (HERE.parent / "docs" if complete else HERE / "results")

    started = time.perf_counter()
    results = {
        "meta": {
            "mode": profile if not args.only else f"{profile}, sections {args.only}",
            "machine": report.machine(),
            "load_before": list(os.getloadavg()),
        },
        "sizes": z,
        "sections": {},
    }
    print(f"{profile} run; load average {os.getloadavg()[0]:.2f}; writing to {out}")
    try:
        for key, title, unit, about, makers, rounds in all_sections:
            if key not in wanted:
                continue
            t = time.perf_counter()
            if key == "idle":
                sec = run_idle(makers, z["idle_seconds"])
            else:
                sec = run_rounds(makers, args.rounds or rounds)
            sec.update(title=title, unit=unit, about=about, seconds=time.perf_counter() - t)
            results["sections"][key] = sec
            print_section(sec)
            print(f"  ({sec['seconds']:.1f} s)")
    finally:
        # Nothing of ours may outlive the run. By pid: a child that loky
        # started has a Popen without kill() on some versions.
        for child in mp.active_children():
            try:
                os.kill(child.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
    results["meta"]["run_seconds"] = time.perf_counter() - started
    results["meta"]["load_after"] = list(os.getloadavg())
    results["targets"] = (
        report.evaluate_targets(results)
        + data_contenders.targets(results)
        + ray_contenders.targets(results)
    )
    results["decomposition"] = report.decompose(results)

    print("\nTargets")
    for t in results["targets"]:
        value = "—" if t["value"] is None else f"{t['value']:.3g}"
        verdict = {True: "met", False: "NOT MET", None: "not measured"}[t["met"]]
        print(
            f"  {t['area']:16s} {t['what']:55s} {value:>8s} {t['op']:2s} {t['limit']:<6g} {verdict}"
        )
    print(f"\nrun time {results['meta']['run_seconds']:.0f} s")

    out.mkdir(parents=True, exist_ok=True)
    with open(out / "bench.json", "w") as f:
        json.dump(results, f, indent=1, ensure_ascii=False)
        f.write("\n")
    with open(out / "performance.md", "w") as f:
        f.write(report.markdown(results))
    if not args.no_chart:
        try:
            report.chart(results, out / "bench.png")
        except ImportError:
            print("matplotlib is not installed (`make bench` installs it): no chart")
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
