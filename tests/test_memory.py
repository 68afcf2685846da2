"""Long runs keep memory flat, in the caller and in the workers."""

import os
import sys

import pytest

# AddressSanitizer holds freed memory in quarantine: resident size says nothing there.
pytestmark = pytest.mark.skipif(
    bool(os.environ.get("VANTREL_SANITIZED")), reason="resident size is meaningless under ASan"
)

LONG_RUN = 100_000
SLACK_KB = 4096  # allocator noise; a leak of one object per job would be far larger


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def sizes(pids):
    return [rss_kb(pid) for pid in [os.getpid(), *pids]]


def assert_flat(before, after):
    grown = [b - a for a, b in zip(before, after, strict=True)]
    assert max(grown) < SLACK_KB, f"resident memory grew by {grown} KB"


def test_one_worker_stays_flat(worker):
    data = {"values": [1, 2, 3]}
    job = [data, "xprint('n', len(values), end='')", "xreturn(v=values)", "1 / (len(values) - 3)"]
    refs = sys.getrefcount(job), sys.getrefcount(data)
    for _ in range(5000):
        worker.blocked_put(job)
    before = sizes([worker.proc.pid])
    for _ in range(LONG_RUN - 5000):
        answer = worker.blocked_put(job)
    after = sizes([worker.proc.pid])
    assert answer[0] == "EXCEPTION" and answer[1] == "n3" and answer[3] == {"v": [1, 2, 3]}
    assert_flat(before, after)
    assert (sys.getrefcount(job), sys.getrefcount(data)) == refs


def test_pool_stays_flat(pool):
    jobs = ["xreturn(a=1)", ["x = [0] * 10", "xprint(len(x))"]] * 500
    refs = sys.getrefcount(jobs[0]), sys.getrefcount(jobs[1])
    for _ in range(10):
        pool.map(jobs)
    before = sizes(pool.procs)
    for _ in range(LONG_RUN // len(jobs) - 10):
        answers = pool.map(jobs)
    after = sizes(pool.procs)
    assert answers[1] == ["SUCCESS", "10\n", "", {}]
    assert_flat(before, after)
    assert (sys.getrefcount(jobs[0]), sys.getrefcount(jobs[1])) == refs
