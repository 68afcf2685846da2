"""The same answers, traceback texts and no warning whichever way the workers
start (fork, spawn, forkserver) and whatever started the caller: a script
(its main module imported again in each spawned worker, behind its
`if __name__ == "__main__":` guard) or a `python -c` command, whose text the
interpreter keeps for tracebacks under the name that jobs are compiled under.

Each case is a real program in a session of its own (programs.run_program).
Workers ending with a killed caller, under each method, is test_orphans.py's.
"""

import json
import sys

import pytest
from programs import run_program

CASES = r"""
import json, multiprocessing, sys, warnings

def main():
    multiprocessing.set_start_method(sys.argv[1], force=True)
    import numpy as np
    import vantrel._control
    if sys.argv[2] == "public":
        vantrel._control.queue_fast_path = False
    from vantrel import monorun, polyrun

    out = {}
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        w = monorun.SingleProcess()
        pool = polyrun.MultiProcessPool(2)
        try:
            w.blocked_put("base = 40")
            out["state"] = w.blocked_put("xprint('x'); xreturn(v=base + 2)")
            out["first_line"] = w.blocked_put("1/0")
            out["later_line"] = w.blocked_put("x = 1\ny = 2\n{}['missing']")
            out["in_function"] = w.blocked_put("def f():\n    return 1/0\n\nf()")
            frozen = np.arange(4.0)
            frozen.flags.writeable = False
            arrays = w.blocked_put([
                "import numpy as np",
                {"a": frozen},
                "a += 1\nb = np.arange(3)\nb.flags.writeable = False\nxreturn(a=a, b=b)",
            ])
            values = arrays[3]
            out["arrays"] = [arrays[0], arrays[2], values["a"].tolist(),
                             values["a"].flags.writeable, values["b"].flags.writeable]
            answers = pool.map([f"import os\nxreturn(k={k}, pid=os.getpid())" for k in range(4)])
            pids = [a[3].pop("pid") for a in answers]
            out["map"] = answers
            out["rotation"] = pids[0] == pids[2] != pids[1] == pids[3]
            out["worker_warned"] = w.blocked_put(
                "import vantrel._control as c\nxreturn(w=c.queue_layout_warned)")[3]["w"]
        finally:
            pool.kill_all()
            w.kill()
    out["warnings"] = [str(m.message) for m in seen]
    out["caller_warned"] = vantrel._control.queue_layout_warned
    print(json.dumps(out, sort_keys=True))

if __name__ == "__main__":
    main()
"""

METHODS = ["fork", "spawn", "forkserver"]

NO_LINE = 'Traceback (most recent call last):\n  File "<string>", line {}, in {}\n{}\n'


def run_cases(tmp_path, method, form, path="direct"):
    if form == "script":
        script = tmp_path / "cases.py"
        script.write_text(CASES)
        args = [sys.executable, str(script), method, path]
    else:
        args = [sys.executable, "-c", CASES, method, path]
    done = run_program(args, cwd=tmp_path, timeout=90)
    assert done.returncode == 0, done.stderr[-3000:]
    # Nothing on stderr: no warning from the caller or any worker.
    assert done.stderr == ""
    return json.loads(done.stdout)


@pytest.mark.parametrize("form", ["script", "command"])
@pytest.mark.parametrize("method", METHODS)
def test_same_answers_under_every_start_method(tmp_path, method, form):
    out = run_cases(tmp_path, method, form)
    assert out["state"] == ["SUCCESS", "x\n", "", {"v": 42}]
    # A job's traceback names "<string>" and shows no source line: not its
    # own, nor one of the command that started the caller or the worker.
    assert out["first_line"] == [
        "EXCEPTION",
        "",
        NO_LINE.format(1, "<module>", "ZeroDivisionError: division by zero"),
        {},
    ]
    assert out["later_line"][2] == NO_LINE.format(3, "<module>", "KeyError: 'missing'")
    assert out["in_function"][2] == (
        'Traceback (most recent call last):\n  File "<string>", line 4, in <module>\n'
        '  File "<string>", line 2, in f\nZeroDivisionError: division by zero\n'
    )
    assert out["map"] == [["SUCCESS", "", "", {"k": k}] for k in range(4)]
    assert out["rotation"]
    assert out["warnings"] == []
    assert out["caller_warned"] is False and out["worker_warned"] is False
    # An array read-only on one side arrives writable on the other, both ways.
    assert out["arrays"] == ["SUCCESS", "", [1.0, 2.0, 3.0, 4.0], True, True]


@pytest.mark.parametrize("method", ["fork", "forkserver"])
def test_arrays_arrive_writable_through_the_public_path(tmp_path, method):
    out = run_cases(tmp_path, method, "script", path="public")
    assert out["arrays"] == ["SUCCESS", "", [1.0, 2.0, 3.0, 4.0], True, True]
    assert out["first_line"][2] == NO_LINE.format(
        1, "<module>", "ZeroDivisionError: division by zero"
    )
    assert out["map"] == [["SUCCESS", "", "", {"k": k}] for k in range(4)]


# A killed worker's input queue, dropped while its feeder thread still ran:
# the feeder lets go of the queue's semaphores as it ends, and an exit that
# froze it half-way had the resource tracker report a leak. Made certain
# here by a feeder slow to tell the tracker, as on a loaded machine.
SLOW_FEEDER = """
import multiprocessing, threading, time
import multiprocessing.synchronize as synchronize
from multiprocessing import resource_tracker
multiprocessing.set_start_method("forkserver", force=True)
cleanup = synchronize.SemLock._cleanup

def slow_cleanup(name):
    if threading.current_thread() is threading.main_thread():
        return cleanup(name)
    synchronize.sem_unlink(name)
    time.sleep(0.2)
    resource_tracker.unregister(name, "semaphore")

synchronize.SemLock._cleanup = staticmethod(slow_cleanup)
import vantrel._control
vantrel._control.queue_fast_path = False  # jobs go through the feeder
from vantrel import monorun
w = monorun.SingleProcess()
print(w.blocked_put("xreturn(x=1)")[3])
w.kill()
del w
time.sleep(0.05)  # the feeder ends and starts letting go
"""


def test_a_killed_workers_queue_is_let_go_of_whole_at_exit(tmp_path):
    done = run_program(SLOW_FEEDER, tmp_path, timeout=60)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.strip() == "{'x': 1}"
    assert done.stderr == ""
