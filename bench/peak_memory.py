"""Peak resident size of caller and worker during one round trip of an 80 MB
array, ours beside multiprocessing.Pool.apply, each in fresh processes.

    python peak_memory.py            # all four cases, one fresh process each
    python peak_memory.py ours in    # one case

The peak (VmHWM) is reset through /proc/<pid>/clear_refs just before the
round trip and read just after; figures are MiB above the resident size
before it.
"""

import multiprocessing as mp
import os
import subprocess
import sys

import numpy as np

MEGABYTES = 80


def status(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            name, _, value = line.partition(":")
            if name == key:
                return int(value.split()[0]) // 1024
    raise KeyError(key)


def reset_peak(pid):
    with open(f"/proc/{pid}/clear_refs", "w") as f:
        f.write("5")


def total(a):
    return float(a.sum())


def same(a):
    return a


def measure(kind, way):
    a = np.arange(MEGABYTES * 10**6 // 8, dtype=np.float64)
    if kind == "ours":
        from vantrel import monorun

        h = monorun.SingleProcess()
        worker = h.proc.pid
        h.blocked_put("import numpy")
        job = [{"a": a}, "xreturn(s=float(a.sum()))" if way == "in" else "xreturn(a=a)"]

        def run():
            return h.blocked_put(job)

        def end():
            h.kill()
    else:
        pool = mp.Pool(1)
        worker = pool.apply(os.getpid)
        fn = total if way == "in" else same

        def run():
            return pool.apply(fn, (a,))

        def end():
            pool.terminate()
            pool.join()

    try:
        pids = os.getpid(), worker
        before = [status(p, "VmRSS") for p in pids]
        for p in pids:
            reset_peak(p)
        answer = run()
        peak = [status(p, "VmHWM") for p in pids]
        del answer
    finally:
        end()
    grown = [p - b for p, b in zip(peak, before, strict=True)]
    print(
        f"{kind:4s} {way:4s} ({MEGABYTES} MB = {MEGABYTES * 10**6 / 2**20:.0f} MiB):"
        f" caller +{grown[0]} MiB, worker +{grown[1]} MiB"
    )


if __name__ == "__main__":
    if len(sys.argv) == 3:
        measure(*sys.argv[1:])
    else:
        for kind in ("ours", "pool"):
            for way in ("in", "back"):
                subprocess.run([sys.executable, __file__, kind, way], check=True)
