"""Runs clang-tidy over every C++ source of the compile database, in parallel.

usage: run_tidy.py CLANG_TIDY BUILD_DIR

A header's findings come once per file that includes it; they are printed
once. Exits non-zero when clang-tidy fails on a file (a compile error, or a
finding that .clang-tidy's WarningsAsErrors makes fatal).
"""

import json
import os
import re
import subprocess
import sys
from collections import Counter
from concurrent.futures import ThreadPoolExecutor

# path:line:col: warning: text [check,...]
HEADLINE = re.compile(
    r"^(?P<where>[^\s:][^:]*:\d+:\d+): (warning|error): .*\[(?P<checks>[^\]]+)\]$"
)


def sources(build_dir):
    with open(os.path.join(build_dir, "compile_commands.json")) as f:
        entries = json.load(f)
    # The shared core is in the database once per extension module.
    return sorted({os.path.normpath(os.path.join(e["directory"], e["file"])) for e in entries})


def tidy(clang_tidy, build_dir, source):
    run = subprocess.run(
        [clang_tidy, "--quiet", "-p", build_dir, source], capture_output=True, text=True
    )
    return run.returncode, run.stdout, run.stderr


def findings(output):
    """The diagnostics of one run, each its headline with the lines under it."""
    blocks = []
    for line in output.splitlines():
        if HEADLINE.match(line):
            blocks.append([line])
        elif blocks:
            blocks[-1].append(line)
    return ["\n".join(b) for b in blocks]


def place(headline):
    path, line, col = HEADLINE.match(headline)["where"].rsplit(":", 2)
    return path, int(line), int(col)


def main(clang_tidy, build_dir):
    files = sources(build_dir)
    with ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        runs = list(pool.map(lambda s: tidy(clang_tidy, build_dir, s), files))
    failed = False
    seen = {}
    for source, (status, out, err) in zip(files, runs, strict=True):
        found = findings(out)
        if status != 0 and not found:
            # No diagnostics to show: clang-tidy itself went wrong.
            print(f"clang-tidy failed on {source} (exit {status}):\n{out}{err}", file=sys.stderr)
        failed |= status != 0
        for block in found:
            seen.setdefault(block.splitlines()[0], block)
    root = os.getcwd() + os.sep
    for headline in sorted(seen, key=place):
        print(seen[headline].replace(root, ""))
    per_check = Counter(check for h in seen for check in HEADLINE.match(h)["checks"].split(","))
    summary = ", ".join(f"{check} {n}" for check, n in sorted(per_check.items()))
    print(f"clang-tidy: {len(files)} files, {len(seen)} findings" + (summary and f" ({summary})"))
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.split("\n\n")[1])
    sys.exit(main(sys.argv[1], sys.argv[2]))
