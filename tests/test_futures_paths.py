"""What travels through vantrel.futures travels as map's jobs do: classes of
an interactive __main__ by value, large arrays through shared memory, a pipe
of 4 KiB; and futures from many threads at once."""

import asyncio
import concurrent.futures as cf
import fcntl
import os
import threading

import numpy as np
import pytest
from programs import NOTEBOOK_DEFINITIONS, run_program
from waits import deadline

from vantrel import futures

F_SETPIPE_SZ = getattr(fcntl, "F_SETPIPE_SZ", 1031)


def segments():
    return {n for n in os.listdir("/dev/shm") if n.startswith(f"vantrel_{os.getpid()}_")}


def both_ways(pool, job, worker=0):
    """The answer through a future and through an awaitable."""

    async def awaited():
        return await futures.asubmit(pool, job, worker)

    by_future = futures.submit(pool, job, worker).result(timeout=20)
    with deadline(30, "asubmit"):
        return by_future, asyncio.run(awaited())


def test_large_arrays_go_through_shared_memory_and_nothing_is_left(pool):
    array = np.arange(2 * 1024 * 1024 // 8, dtype=np.float64)  # 2 MiB
    before = segments()
    for answer in both_ways(pool, [{"a": array}, "xreturn(b=a * 2)"]):
        assert answer[0] == "SUCCESS", answer[2]
        assert answer[3]["b"].flags.writeable and np.array_equal(answer[3]["b"], array * 2)
    # Segments are kept for reuse while their worker lives; none outlives it.
    pool.kill_all()
    assert segments() == before


def test_a_4_kib_pipe(pool):
    h = list(pool.procs.values())[0]
    for q in (h.qi, h.qo):
        fcntl.fcntl(q._writer.fileno(), F_SETPIPE_SZ, 4096)
    text = "x" * 20000  # five pipes' worth, each way
    for answer in both_ways(pool, f"xreturn(t={text!r})\nxprint({text!r})"):
        assert answer[0] == "SUCCESS" and answer[1] == text + "\n" and answer[3] == {"t": text}
    answers = futures.map(pool, [f"xreturn(t={text!r}, k={k})" for k in range(8)])
    assert [a[3]["k"] for a in answers] == list(range(8))


NOTEBOOK = """
from vantrel import futures, polyrun
import asyncio

{definitions}
pool = polyrun.MultiProcessPool(2)
try:
    job = [{"p": Point(3), "f": tenfold}, "xreturn(p=f(p))"]
    a = futures.submit(pool, job).result(timeout=20)
    async def awaited():
        return await futures.asubmit(pool, job)
    b = asyncio.run(awaited())
    c = futures.map(pool, [job, job])
    print([type(x[3]["p"]) is Point and x[3]["p"].x for x in [a, b, *c]])
finally:
    pool.kill_all()
""".replace("{definitions}", NOTEBOOK_DEFINITIONS)


@pytest.mark.parametrize("method", ["fork", "forkserver"])
def test_classes_of_an_interactive_main(tmp_path, method):
    program = f"import multiprocessing\nmultiprocessing.set_start_method({method!r})\n" + NOTEBOOK
    done = run_program(program, tmp_path, timeout=120)  # python -c: __main__ has no file
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.strip() == "[30, 30, 30, 30]"


def test_submits_from_many_threads_at_once(pool):
    start = threading.Barrier(6)

    def client(n):
        start.wait()
        sent = [futures.submit(pool, f"xreturn(n={n}, k={k})", k % 2) for k in range(40)]
        return [f.result(timeout=30)[3] for f in sent]

    with cf.ThreadPoolExecutor(6) as ex:
        results = list(ex.map(client, range(6)))
    for n, answers in enumerate(results):
        assert answers == [{"n": n, "k": k} for k in range(40)]
    assert futures.pending(pool) == []
    assert [a[3] for a in pool.map(["xreturn(k=0)", "xreturn(k=1)"])] == [{"k": 0}, {"k": 1}]
