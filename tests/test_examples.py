"""Every program under examples/ runs to its end, says what it claims, and
leaves no worker behind (one left alive would keep it from exiting)."""

import os
import sys

import pytest
from programs import HAS_RAY, ROOT, run_program

EXAMPLES = ROOT / "examples"


# Ray's processes do not run under the sanitizers: the demo leaves Ray out there.
SANITIZED = bool(os.environ.get("VANTREL_SANITIZED"))


def run_example(name, tmp_path, **kwargs):
    extra = ["--local-only"] if SANITIZED and name == "demo.py" else []
    result = run_program([sys.executable, str(EXAMPLES / name), *extra], cwd=tmp_path, **kwargs)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def check_demo(out):
    assert "job 4: a failing job answers EXCEPTION" in out
    assert "ZeroDivisionError" in out
    assert "3 answers: ['SUCCESS', 'SUCCESS', 'SUCCESS']" in out
    if SANITIZED:
        return
    if not HAS_RAY:
        assert "Ray is not installed" in out
        return
    workers = [line for line in out.splitlines() if line.startswith("   worker RayPool_")]
    assert len(workers) == 2, out
    assert "   job 3: SUCCESS {'k': 3, 'x': 9, 'pid': " in out
    assert "state kept: x = 4 in worker 0" in out
    assert "a failing job: EXCEPTION, ZeroDivisionError: division by zero" in out
    assert out.rstrip().endswith("Ray workers killed, Ray stopped")


def check_numpy_state(out):
    pids = [line.split()[1] for line in out.splitlines() if line.startswith("worker ")]
    assert len(set(pids)) == 2
    assert "built 32 MB of state" in out
    assert "results match the same computation done here" in out


def check_progress(out):
    lines = out.splitlines()
    assert "job 13 failed: ValueError: job 13 has bad input" in lines
    assert any(
        line.startswith("job 27 got no answer: TimeoutError: job 27 ran past its time limit of 2")
        for line in lines
    ), out
    assert lines[-1] == "38 of 40 jobs succeeded; failures seen as they came: [13]"


def check_notebook_session(out):
    setups = [line for line in out.splitlines() if line.startswith("pool ")]
    assert [s.split(",")[0] for s in setups] == ["pool created", "pool reused", "pool reused"]
    workers = {s.split("workers", 1)[1] for s in setups}
    assert len(workers) == 1, setups  # the same two process ids every time
    runs = [line for line in out.splitlines() if line.startswith("batches run by each worker")]
    assert [r.split(":", 1)[1].strip() for r in runs] == ["[1, 1]", "[2, 2]", "[3, 3]"]


CHECKS = {
    "demo.py": check_demo,
    "numpy_state.py": check_numpy_state,
    "progress.py": check_progress,
    "notebook_session.py": check_notebook_session,
}


def test_every_example_is_checked():
    assert sorted(p.name for p in EXAMPLES.glob("*.py")) == sorted(CHECKS)


@pytest.mark.parametrize("name", sorted(CHECKS))
def test_example(name, tmp_path):
    env = dict(os.environ, IPYTHONDIR=str(tmp_path / "ipython"))
    CHECKS[name](run_example(name, tmp_path, timeout=90, env=env))
