"""Workers that come back ready: set-up replayed into every worker started
in place of another (a SIGKILL, restart_dead, auto_restart, recycling,
init_process growing the pool), a set-up that fails there, a running job
interrupted with its namespace kept, and the report of a dead worker.

Replacement runs as a real program per start method, in a session of its own
(programs.run_program); the rest runs on the suite's pools."""

import json
import os
import signal
import sys
import threading
import time

import pytest
from programs import run_program

from vantrel import _figures
from vantrel._pool.healing import SetupError

REPLACEMENT = r"""
import json, multiprocessing, os, signal, sys, time
multiprocessing.set_start_method(sys.argv[1], force=True)
from vantrel import polyrun
from vantrel._pool.healing import SetupError

def values(answers):
    return [a[3] if a[0] == "SUCCESS" else a[2] for a in answers]

out = {}
pool = polyrun.MultiProcessPool(2, "heal")
holder = type("Holder", (), {})()
try:
    out["setup"] = pool.setup("import math\nbase = 40")
    out["one"] = pool.setup("base += 2", worker=1)
    out["failed_now"] = pool.setup("1/0", worker=0)[0]  # answered, not recorded
    out["recorded"] = pool.setup_jobs

    victim = list(pool.procs)[1]
    os.kill(victim, signal.SIGKILL)
    pool.procs[victim].proc.join(30)
    out["restarted"] = pool.restart_dead()
    out["restarted_again"] = pool.restart_dead()
    out["after_kill"] = values(pool.map(["xreturn(b=base, pi=round(math.pi, 2))"] * 2))
    out["replaced_pid"] = list(pool.procs)[1] != victim

    # auto_restart: a death while answers are owed fails that map, the next one works.
    pool.auto_restart = True
    try:
        pool.map(["import os; os.kill(os.getpid(), 9)", "xreturn(b=base)"])
    except RuntimeError as e:
        out["owed"] = str(e).split(": ", 1)[1].split(";")[0]
    out["auto"] = values(pool.map(["xreturn(b=base)"] * 2))

    # Recycling by count: after two jobs past its set-up a worker is replaced.
    pool.replace_worker(0)
    pool.replace_worker(1)
    pool.recycle(max_jobs=2)
    first = list(pool.procs)
    out["by_count"] = []
    for _ in range(3):
        pool.map(["n = globals().get('n', 0) + 1\nxreturn(n=n, b=base)"] * 2)
        out["by_count"].append(list(pool.procs) == first)
    out["count_values"] = values(pool.map(["xreturn(n=n, b=base)"] * 2))
    # By memory: a job that allocates past the limit gets its worker replaced.
    pool.recycle(max_rss=400 * 2**20)
    before = list(pool.procs)
    pool.map(["import numpy\nbig = numpy.ones(80_000_000)", "small = 1"])
    pool.map(["pass", "pass"])
    after = list(pool.procs)
    out["by_memory"] = [before[0] != after[0], before[1] == after[1]]
    out["memory_values"] = values(pool.map(["xreturn(big='big' in globals(), b=base)"] * 2))
    pool.recycle()

    # Growth: init_process starts every worker with the set-up.
    pool.N = 3
    pool.init_process()
    out["grown"] = values(pool.map(["xreturn(b=base)"] * 3))
    polyrun.MultiProcessNoRep.set(holder)
    polyrun.MultiProcessNoRep.init_process(2)
    holder.MPNR.setup("shared = 1")
    polyrun.MultiProcessNoRep.init_process(3)
    out["process_wide"] = values(holder.MPNR.map(["xreturn(s=shared)"] * 3))

    # A set-up job that fails in the new worker: the worker is killed, the
    # pool keeps the old entry.
    pool.setup("import builtins\nbuiltins.made = getattr(builtins, 'made', 0) + 1")
    pool._vantrel_healing.setup.append(("if made > 0: raise ValueError('broken set-up')", 2))
    kept = list(pool.procs)
    try:
        pool.replace_worker(2)
    except SetupError as e:
        out["setup_error"] = [e.worker, e.answer[0], "broken set-up" in str(e)]
    out["kept"] = list(pool.procs) == kept
    out["running"] = sorted(len(multiprocessing.active_children()) for _ in [0])

    # An interrupt of a running job: its worker keeps its namespace.
    pool.forget_setup()
    pool.map(["kept = 'yes'"] * 3)
    handle = list(pool.procs.values())[0]
    handle.qi.put("import time\nwhile True: time.sleep(0.01)")
    while not pool.interrupt(0):
        time.sleep(0.01)
    answer = handle.qo.get(timeout=20)
    out["interrupted"] = [answer[0], answer[2].strip().splitlines()[-1]]
    out["kept_after"] = handle.blocked_put("xreturn(k=kept)")[3]
finally:
    pool.kill_all()
    if hasattr(holder, "MPNR"):
        holder.MPNR.kill_all()
print(json.dumps(out))
"""


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_replacement_replays_the_setup(method, tmp_path):
    done = run_program([sys.executable, "-c", REPLACEMENT, method], cwd=tmp_path, timeout=120)
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    ok = ["SUCCESS", "", "", {}]
    assert out["setup"] == [ok, ok] and out["one"] == ok and out["failed_now"] == "EXCEPTION"
    assert out["recorded"] == [["import math\nbase = 40", None], ["base += 2", 1]]
    assert out["restarted"] == [1] and out["restarted_again"] == []
    assert out["after_kill"] == [{"b": 40, "pi": 3.14}, {"b": 42, "pi": 3.14}]
    assert out["replaced_pid"]
    assert out["owed"] == "killed by SIGKILL"
    assert out["auto"] == [{"b": 40}, {"b": 42}]
    # Replaced as the third map starts (two jobs each), so n starts again.
    assert out["by_count"] == [True, True, False]
    assert out["count_values"] == [{"n": 1, "b": 40}, {"n": 1, "b": 42}]
    assert out["by_memory"] == [True, True]
    assert out["memory_values"] == [{"big": False, "b": 40}, {"big": False, "b": 42}]
    assert out["grown"] == [{"b": 40}, {"b": 42}, {"b": 40}]
    assert out["process_wide"] == [{"s": 1}] * 3
    assert out["setup_error"] == [2, "EXCEPTION", True] and out["kept"]
    assert out["interrupted"][0] == "EXCEPTION"
    assert out["interrupted"][1].startswith("KeyboardInterrupt")
    assert out["kept_after"] == {"k": "yes"}


def running(handle):
    """Waits until the worker behind `handle` runs the job it was sent."""
    while (f := _figures.read(handle)).started == f.finished:
        time.sleep(0.01)


@pytest.mark.timeout(60)
@pytest.mark.parametrize(
    "loop",
    ["import time\nwhile True: time.sleep(0.05)", "n = 0\nwhile True: n += 1"],
    ids=["sleep", "pure-python"],
)
def test_interrupt_a_running_job_keeps_the_namespace(pool, loop):
    pool.map(["kept = 1", "kept = 2"])
    assert pool.interrupt(0) is False  # idle: nothing sent
    first, second = pool.procs.values()
    first.qi.put(loop)
    running(first)
    assert pool.interrupt(0) is True
    answer = first.qo.get(timeout=30)
    assert answer[0] == "EXCEPTION"
    assert answer[2].rstrip().endswith("KeyboardInterrupt: interrupted by its caller")
    assert 'File "<string>", line 2, in <module>' in answer[2]
    # The worker goes on, namespace kept; the other one was never touched.
    assert pool.map(["xreturn(k=kept)"] * 2) == [
        ["SUCCESS", "", "", {"k": 1}],
        ["SUCCESS", "", "", {"k": 2}],
    ]


@pytest.mark.timeout(60)
def test_interrupt_signal_that_comes_late_touches_nothing(worker):
    assert worker.blocked_put("x = 1")[0] == "SUCCESS"
    page = worker.proc._vantrel_figures
    # Asked for job 1, which has ended: job 2 and the idle loop ignore it.
    page[_figures.INTERRUPT] = 1
    os.kill(worker.proc.pid, _figures.interrupt_signal)
    worker.qi.put("import time\nfor _ in range(20): time.sleep(0.01)\nxreturn(x=x)")
    running(worker)
    os.kill(worker.proc.pid, _figures.interrupt_signal)
    assert worker.qo.get(timeout=30) == ["SUCCESS", "", "", {"x": 1}]
    # SIGINT keeps its rule: recorded, nothing interrupted.
    worker.qi.put("import time\ntime.sleep(0.2)\nxreturn(done=1)")
    running(worker)
    os.kill(worker.proc.pid, signal.SIGINT)
    assert worker.qo.get(timeout=30) == ["SUCCESS", "", "", {"done": 1}]
    assert worker.blocked_put("import vantrel.monorun as m\nxreturn(stop=m.stop)")[3] == {
        "stop": True
    }


@pytest.mark.timeout(60)
def test_death_report_names_signal_and_memory(pool):
    first, second = pool.procs.values()
    pool.map(["import numpy\nbig = numpy.ones(40_000_000)", "pass"])  # 305 MiB resident
    threading.Timer(0.3, os.kill, (first.proc.pid, signal.SIGKILL)).start()
    with pytest.raises(RuntimeError) as info:
        pool.map(["import time; time.sleep(30)", "pass"])
    message = str(info.value)
    head, _, how = message.partition(": ")
    assert head == f"worker process {first.proc.pid} ended (exit code -9) without answering job 0"
    signal_part, memory_part = how.split("; ")[:2]
    assert signal_part == "killed by SIGKILL"
    mib = float(memory_part.split()[2])
    assert 300 < mib < 1000 and memory_part.endswith("MiB after its last job (1 answered)")

    assert pool.restart_dead() == [0]
    with pytest.raises(RuntimeError, match=r"without answering job 1: exit code 3; resident"):
        pool.map(["pass", "import os; os._exit(3)"])


@pytest.mark.timeout(60)
def test_setup_rules(pool):
    with pytest.raises(IndexError):
        pool.setup("x = 1", worker=2)
    with pytest.raises(ValueError):
        pool.recycle(max_jobs=0)
    assert pool.setup_jobs == [] and pool.auto_restart is False
    assert "_vantrel_healing" not in vars(pool)  # nothing asked, nothing kept
    pool.setup(["y = 1", {"z": 2}])
    pool.forget_setup()
    pool.replace_worker(0)
    assert pool.map(["xreturn(y='y' in globals())"] * 2)[0][3] == {"y": False}
    with pytest.raises(SetupError):
        pool._vantrel_healing.setup.append(("raise KeyError", None))
        pool.init_process()


# -- the same under vantrel.futures ------------------------------------------


@pytest.mark.timeout(120)
def test_futures_time_limit_retries_and_interrupt(pool, tmp_path):
    from vantrel import futures

    pool.setup("base = 40")
    late = futures.submit(pool, "import time; time.sleep(60)", 0, time_limit=0.5)
    with pytest.raises(TimeoutError, match="with the pool's recorded set-up replayed$"):
        late.result(60)
    assert futures.submit(pool, "xreturn(b=base)", 0).result(60)[3] == {"b": 40}

    # A job that kills its worker the first time it runs: sent again once.
    marker = tmp_path / "ran"
    job = (
        f"import os\nif not os.path.exists({str(marker)!r}):\n"
        f"    open({str(marker)!r}, 'w').close()\n    os.kill(os.getpid(), 9)\nxreturn(b=base)"
    )
    assert futures.submit(pool, job, 1, retries=1).result(60)[3] == {"b": 40}
    marker.unlink()
    with pytest.raises(RuntimeError, match=r"ended \(exit code .*\) without answering job"):
        futures.submit(pool, job, 1).result(60)
    with pytest.raises(ValueError):
        futures.submit(pool, "pass", retries=-1)

    # Interrupting a future's running job keeps the namespace; an answered one is left alone.
    pool.restart_dead()
    looping = futures.submit(pool, "n = 0\nwhile True: n += 1", 0)
    while not futures.interrupt(looping):
        assert not looping.done()
        time.sleep(0.05)
    answer = looping.result(60)
    assert answer[0] == "EXCEPTION" and answer[2].rstrip().endswith("interrupted by its caller")
    assert futures.interrupt(looping) is False
    assert futures.submit(pool, "xreturn(b=base)", 0).result(60)[3] == {"b": 40}


@pytest.mark.timeout(120)
def test_futures_restart_and_recycle(pool):
    from vantrel import futures

    pool.setup("base = 40")
    pool.auto_restart = True
    doomed = futures.submit(pool, "import os; os.kill(os.getpid(), 9)", 1)
    with pytest.raises(RuntimeError, match=r"without answering job \d+: killed by SIGKILL; "):
        doomed.result(60)  # what it owed still fails, saying how its worker ended
    assert futures.submit(pool, "xreturn(b=base)", 1).result(60)[3] == {"b": 40}

    # Recycled after three jobs, between jobs: no answer lost, set-up replayed.
    pool.recycle(max_jobs=3)
    for h in list(pool.procs):
        pool.replace_worker(list(pool.procs).index(h))
    job = "import os\nxreturn(pid=os.getpid(), b=base)"
    answers = [futures.submit(pool, job, 0).result(60)[3] for _ in range(7)]
    pids = [a["pid"] for a in answers]
    assert all(a["b"] == 40 for a in answers)
    assert pids[0] == pids[2] != pids[3] == pids[5] != pids[6]


@pytest.mark.timeout(60)
def test_replay_that_ends_early_leaves_no_half_made_worker(pool, tmp_path):
    needed = tmp_path / "needed"
    needed.touch()
    pool.setup("a = 1")
    pool.setup(f"import os\nif not os.path.exists({str(needed)!r}): os._exit(3)", worker=1)
    pool.setup("b = 2")
    needed.unlink()
    with pytest.raises(RuntimeError, match="exit code 3"):
        pool.init_process()
    # Worker 1 died in its set-up; the round ended early for worker 0 too: both gone.
    for handle in pool.procs.values():
        handle.proc.join(10)
        assert not handle.proc.is_alive()
    needed.touch()
    pool.init_process()
    assert [a[3] for a in pool.map(["xreturn(s=a + b)"] * 2)] == [{"s": 3}, {"s": 3}]
