"""A long batch with a progress bar, jobs of uneven length, a failing job and a
per-job time limit.

`futures.submit_batch` sends the jobs to whichever worker is idle first (a
slow job no longer holds up the jobs behind it); `futures.gather` shows a
tqdm bar as the answers arrive (``pip install 'vantrel[progress]'``; in a notebook, a widget), calls
`on_answer` for each answer as it arrives, and returns the answers in job
order. A failing job is an answer like any other; a job past its time limit
fails alone, and a fresh worker takes the place of the one it held.

Run it with `python progress.py` after `make build` (or `pip install vantrel`).
"""

from vantrel import futures, polyrun

JOBS = 40
FAILING = 13  # this job raises, to show that one failure does not stop the batch
STUCK = 27  # this job would run for a minute: its time limit ends it

JOB = """
import time
time.sleep(60 if k == stuck else 0.02 * (1 + k % 3))
if k == failing:
    raise ValueError(f"job {k} has bad input")
xreturn(k=k, total=sum(i * i for i in range(1000 * k)))
"""


def main():
    pool = polyrun.MultiProcessPool(2, "progress")
    try:
        jobs = [[{"k": k, "failing": FAILING, "stuck": STUCK}, JOB] for k in range(JOBS)]
        failed = []

        def on_answer(k, answer):
            if answer[0] != "SUCCESS":
                failed.append(k)

        sent = futures.submit_batch(pool, jobs, time_limit=2)
        answers = futures.gather(sent, progress="jobs", on_answer=on_answer, return_exceptions=True)
        for k, answer in enumerate(answers):
            if isinstance(answer, BaseException):
                print(f"job {k} got no answer: {type(answer).__name__}: {answer}")
                continue
            status, _printed, trace, returned = answer
            if status == "SUCCESS":
                assert returned["k"] == k  # the answers come back in job order
            else:
                print(f"job {k} failed: {trace.strip().splitlines()[-1]}")
        done = sum(not isinstance(a, BaseException) and a[0] == "SUCCESS" for a in answers)
        print(f"{done} of {len(answers)} jobs succeeded; failures seen as they came: {failed}")
    finally:
        pool.kill_all()


if __name__ == "__main__":
    main()
