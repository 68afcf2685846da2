"""A guided tour of vantrel: one worker, a pool, the process-wide pool, and
the same pool on Ray (when Ray is installed: `pip install 'vantrel[ray]'`;
`--local-only` leaves that part out).

Run it with `make demo`.
"""

import builtins
import sys
import textwrap

from vantrel import monorun, polyrun


def show(title, answer):
    status, printed, trace, values = answer
    print(f"  {title}")
    print(f"    status : {status}")
    if printed:
        print("    printed:", printed.rstrip("\n").replace("\n", "\n             "))
    if values:
        print(f"    values : {values}")
    if trace:
        print(textwrap.indent(trace.rstrip("\n"), "    | "))


def one_worker():
    print("1. One worker keeps its state from one job to the next")
    w = monorun.SingleProcess("vantrel-demo")
    try:
        print(f"   started worker process {w.proc.pid}")
        show("job 1: define some state", w.blocked_put("import math\nradius = 2.0"))
        show(
            "job 2: use it, print through xprint, hand back through xreturn",
            w.blocked_put(
                [
                    "area = math.pi * radius ** 2",
                    "xprint('area is', ' ', round(area, 3))",
                    "xreturn(area=area)",
                ]
            ),
        )
        show(
            "job 3: merge data, then compute",
            w.blocked_put([{"values": [3, 1, 2]}, "xreturn(top=max(values))"]),
        )
        show(
            "job 4: a failing job answers EXCEPTION with its traceback",
            w.blocked_put("xprint('before'); 1 / 0"),
        )
        show(
            "job 5: the worker lives on, its state intact", w.blocked_put("xreturn(radius=radius)")
        )
    finally:
        w.kill()
        w.proc.join()
        print(f"   worker killed (exit code {w.proc.exitcode})\n")


def a_pool():
    print("2. A pool deals jobs over its workers and answers in job order")
    pool = polyrun.MultiProcessPool(2)
    try:
        pids = list(pool.procs)
        print(f"   workers: {pids}")
        batch = [f"import os\nx = {k}\nxreturn(job={k}, pid=os.getpid())" for k in range(4)]
        for k, answer in enumerate(pool.map(batch)):
            print(f"   job {k}: {answer[0]} {answer[3]}  (job k runs in worker k % 2)")
        print("   a second batch sees what the first one defined in each worker:")
        for k, answer in enumerate(pool.map(["xreturn(x=x)"] * 2)):
            print(f"   job {k}: x = {answer[3]['x']} in worker {pids[k]}")
    finally:
        pool.kill_all()
        print("   pool killed\n")


def process_wide_pool():
    print("3. One pool per interpreter, kept on builtins (re-run set-up code freely)")
    shared = polyrun.MultiProcessNoRep
    shared.set(builtins)
    try:
        for run in (1, 2):
            result = shared.init_process(2)
            pool = builtins.MPNR
            state = "created" if result is None else "reused"
            print(f"   set-up run {run}: pool {state}, N={pool.N}, pids {list(pool.procs)}")
        shared.init_process(3)
        print(f"   resized: N={builtins.MPNR.N}, pids {list(builtins.MPNR.procs)}")
        answers = builtins.MPNR.map(["xreturn(ok=True)"] * 3)
        print(f"   {len(answers)} answers: {[a[0] for a in answers]}")
    finally:
        pool = getattr(builtins, "MPNR", None)
        if pool is not None:
            pool.kill_all()
            del builtins.MPNR
        shared.set(None)
        print("   pool killed")


def on_ray():
    print("\n4. The same pool on Ray: each worker a Ray actor (here a local Ray instance)")
    try:
        import ray
    except ImportError:
        print("   Ray is not installed: pip install 'vantrel[ray]'")
        return
    from vantrel import cluster

    pool = cluster.RayPool(2)  # starts a local Ray instance: no address given
    try:
        for name, w in pool.procs.items():
            print(f"   worker {name}: pid {w.pid} on node {w.node_id[:12]}")
        batch = [
            [{"k": k}, "import os\nx = k * k\nxreturn(k=k, x=x, pid=os.getpid())"] for k in range(4)
        ]
        for k, answer in enumerate(pool.map(batch)):
            print(f"   job {k}: {answer[0]} {answer[3]}")
        answers = pool.map(["xreturn(x=x)", "1 / 0"])
        print(f"   state kept: x = {answers[0][3]['x']} in worker 0")
        print(f"   a failing job: {answers[1][0]}, {answers[1][2].splitlines()[-1]}")
    finally:
        pool.kill_all()
        ray.shutdown()
        print("   Ray workers killed, Ray stopped")


if __name__ == "__main__":
    one_worker()
    a_pool()
    process_wide_pool()
    if "--local-only" not in sys.argv:
        on_ray()
