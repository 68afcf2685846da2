"""The targets of several benchmark runs side by side, one column per CPython
version: `make bench-versions` runs the latency and throughput sections under
each version into FOLDER/<version>/bench.json, then this prints them.

    python versions.py FOLDER
"""

import json
import pathlib
import sys


def version_key(path):
    return tuple(int(p) for p in path.name.split("."))


def main(folder):
    runs = {}
    for d in sorted(pathlib.Path(folder).iterdir(), key=version_key):
        if (d / "bench.json").exists():
            runs[d.name] = json.loads((d / "bench.json").read_text())
    if not runs:
        sys.exit(f"no bench.json under {folder}")
    versions = list(runs)
    first = runs[versions[0]]
    print(f"{'target':60s} {'limit':>8s}" + "".join(f" {v:>12s}" for v in versions))
    for i, target in enumerate(first["targets"]):
        if target["area"] not in ("latency", "throughput"):
            continue
        cells = []
        for v in versions:
            t = runs[v]["targets"][i]
            if t["value"] is None:
                cells.append("—")
            else:
                cells.append(f"{t['value']:.2f}{'' if t['met'] else ' (NOT)'}")
        what = f"{target['area']}: {target['what']}"
        limit = f"{target['op']} {target['limit']:g}"
        print(f"{what:60s} {limit:>8s}" + "".join(f" {c:>12s}" for c in cells))
    print()
    for section in ("latency", "throughput"):
        rows = first["sections"].get(section, {}).get("rows", [])
        for row in rows:
            cells = []
            for v in versions:
                match = [
                    r
                    for r in runs[v]["sections"].get(section, {}).get("rows", [])
                    if r.get("key") == row.get("key")
                ]
                median = match[0].get("median") if match else None
                cells.append("—" if median is None else f"{median:.1f}")
            label = f"{section}: {row.get('label', row.get('key'))}"[:60]
            print(f"{label:60s} {'µs':>8s}" + "".join(f" {c:>12s}" for c in cells))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "../build/bench-versions")
