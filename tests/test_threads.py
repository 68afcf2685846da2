"""Misuse from several threads may interleave answers, but never crashes."""

import textwrap
import threading

from vantrel import monorun


def run_in_threads(target, count=4):
    errors = []

    def guarded(k):
        try:
            target(k)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads) and not errors, errors


def test_blocked_put_from_several_threads(worker):
    seen = []

    def send(k):
        for i in range(200):
            seen.append(worker.blocked_put(f"xprint({k}, {i}); xreturn(k={k})"))

    run_in_threads(send)
    # Answers may go to another thread than their job's, but none is lost.
    assert len(seen) == 800 and all(a[0] == "SUCCESS" for a in seen)
    assert sorted(a[1] for a in seen) == sorted(f"{k}{i}\n" for k in range(4) for i in range(200))


def test_one_collector_from_several_threads():
    pc = monorun._HandleContent()

    def write(k):
        for i in range(2000):
            pc.xprint("x" * (i % 7), k, end="|")
            pc.xreturn(**{f"k{k}": i})

    run_in_threads(write)
    assert isinstance(pc.print_content, str) and pc.print_content.count("|") <= 8000
    assert pc.return_content == {f"k{k}": 1999 for k in range(4)}


def test_pools_from_several_threads(make_pool):
    pools = [make_pool(1) for _ in range(2)]

    def use(k):
        pool = pools[k % 2]
        for _ in range(5):
            assert len(pool.map([f"xreturn(k={k})"] * 10, block=bool(k // 2))) == 10

    run_in_threads(use, count=2)


# Two threads calling map on one pool drain and read each other's answers; the
# run may wedge (nobody coordinates them), but it must never crash.
ONE_POOL = """
    import threading
    from vantrel.polyrun import MultiProcessPool
    pool = MultiProcessPool(2)
    def use():
        for _ in range(10):
            pool.map(["xreturn(a=1)"] * 20)
    threads = [threading.Thread(target=use, daemon=True) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(3)
    pool.kill_all()
    for t in threads:
        t.join(10)  # a wedged thread ends with its killed worker, before the exit
    print("done")
"""


def test_one_pool_from_two_threads_never_crashes(run_python):
    done = run_python(textwrap.dedent(ONE_POOL), timeout=60)
    assert done.returncode == 0 and done.stdout == "done\n", done.stderr
