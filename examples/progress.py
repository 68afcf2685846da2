"""A long batch with a progress line.

`map(jobs, block=False)` sends every job and returns at once with one output
queue per job; reading those queues in order gives the answers one by one, in
job order, and the caller updates its display after each one. A failing job
is an answer like any other: the batch goes on and the failure is reported at
the end.

Run it with `python progress.py` after `make build` (or `pip install vantrel`).
"""

import sys
import time

from vantrel import polyrun

JOBS = 40
FAILING = 13  # this job raises, to show that one failure does not stop the batch

JOB = """
import time
time.sleep(0.02 * (1 + k % 3))
if k == failing:
    raise ValueError(f"job {k} has bad input")
xreturn(k=k, total=sum(i * i for i in range(1000 * k)))
"""


def show(done, total, failed, started, interactive):
    """One progress line: redrawn in place on a terminal, every tenth of the
    batch otherwise (a log file gets a few lines, not one per job)."""
    if not interactive and done != total and done % max(1, total // 10):
        return
    width = 30
    filled = width * done // total
    rate = done / max(time.perf_counter() - started, 1e-9)
    line = f"[{'#' * filled}{'.' * (width - filled)}] {done}/{total} {rate:5.1f} jobs/s"
    if failed:
        line += f", {failed} failed"
    print(line, end="\r" if interactive and done < total else "\n", flush=True)


def main():
    interactive = sys.stdout.isatty()
    pool = polyrun.MultiProcessPool(2, "progress")
    try:
        jobs = [[{"k": k, "failing": FAILING}, JOB] for k in range(JOBS)]
        started = time.perf_counter()
        queues = pool.map(jobs, block=False)
        answers, failed = [], 0
        for q in queues:
            answer = q.get()
            answers.append(answer)
            failed += answer[0] != "SUCCESS"
            show(len(answers), len(queues), failed, started, interactive)

        for k, (status, _printed, trace, returned) in enumerate(answers):
            if status == "SUCCESS":
                assert returned["k"] == k  # the answers come back in job order
            else:
                print(f"job {k} failed: {trace.strip().splitlines()[-1]}")
        print(f"{len(answers) - failed} of {len(answers)} jobs succeeded")
    finally:
        pool.kill_all()


if __name__ == "__main__":
    main()
