"""The benchmark program, at tiny sizes: every contender runs, answers are
checked, every figure and target is reported, and no child outlives it.
Speed is not asserted."""

import importlib.util
import json
import math
import os
import pathlib
import sys

import pytest
from programs import run_program

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench" / "bench.py"
SECTIONS = {
    "latency",
    "throughput",
    "payload",
    "small_payload",
    "capture",
    "repeat",
    "startup",
    "idle",
    "data_broadcast",
    "data_small",
    "data_memory",
}


def has(module):
    return importlib.util.find_spec(module) is not None


# Under the sanitizers the run is many times slower and exercises nothing the
# rest of the suite does not.
@pytest.mark.skipif(bool(os.environ.get("VANTREL_SANITIZED")), reason="slow under ASan")
def test_smoke_run_reports_every_section_and_target(tmp_path):
    # From a folder outside the source tree, so that the installed package is used;
    # the time limit also catches a child left alive, which would keep it from exiting.
    # In a session of its own: a forkserver and its children go with it.
    run = run_program(
        [sys.executable, str(BENCH), "--smoke", "--out", str(tmp_path)], cwd=tmp_path, timeout=100
    )
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-3000:]

    results = json.loads((tmp_path / "bench.json").read_text())
    assert set(results["sections"]) == SECTIONS
    for key, section in results["sections"].items():
        rows = section["rows"]
        assert [r["key"] for r in rows if r["ours"]], key
        for r in rows:
            if key == "idle":
                assert r["cpu_ms"] >= 0 and r["wakeups_per_s"] >= 0, r
            elif key == "data_memory":  # MiB that may not grow at all
                assert 0 <= r["p10"] <= r["median"] <= r["p90"] < math.inf, r
            else:
                assert 0 < r["p10"] <= r["median"] <= r["p90"] < math.inf, r
                assert (r["ratio"] is None) == r["ours"], r

    # Idle workers: ours wake every 0.1 s by design, Pool's block without a limit.
    idle = {r["key"]: r for r in results["sections"]["idle"]["rows"]}
    assert 3 <= idle["ours"]["wakeups_per_s"] <= 30
    assert idle["mp_pool"]["wakeups_per_s"] < 3

    unmeasured = [t["what"] for t in results["targets"] if t["met"] is None]
    assert unmeasured == ([] if has("loky") else ["blocked_put ÷ loky"])

    page = (tmp_path / "performance.md").read_text()
    assert "## Targets" in page and "## Where the time goes: latency" in page
    for t in results["targets"]:
        assert t["what"] in page
    if has("matplotlib"):
        assert (tmp_path / "bench.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
