"""One process state for every module of the package, and messages pickled
from several threads at once."""

import textwrap

from programs import run_program

# Two threads, each with its own worker, send arrays that leave the stream
# (shared memory) together with streams over 1 MiB, which make the reused
# pickler be made again while the other thread may be pickling.
TWO_SENDERS = textwrap.dedent(
    """
    import atexit
    import sys
    import threading
    import numpy as np
    from vantrel import monorun

    workers = [monorun.SingleProcess(f"w{k}") for k in range(2)]
    for w in workers:
        atexit.register(w.kill)
    sys.setswitchinterval(1e-6)  # the threads take turns as often as they can
    errors = []

    def send(k):
        try:
            w = workers[k]
            for i in range(60):
                big = np.full(300_000 + 1000 * k, i, dtype=np.float64)  # 2.4 MB out of band
                text = "x" * (1_200_000 + i)  # a stream over 1 MiB
                job = [{"a": big, "t": text}, "xreturn(s=float(a.sum()), n=len(t), a=a)"]
                answer = w.blocked_put(job)
                assert answer[0] == "SUCCESS", answer
                values = answer[3]
                assert values["s"] == float(big.sum()) and values["n"] == len(text), values
                assert (values["a"] == big).all()
        except BaseException as e:
            errors.append(repr(e))

    threads = [threading.Thread(target=send, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("errors", errors)
    """
)


def test_two_threads_each_with_a_worker_send_large_data_at_once(tmp_path):
    for _ in range(3):
        done = run_program(TWO_SENDERS, cwd=tmp_path, timeout=120)
        assert done.returncode == 0, done.stderr[-3000:]
        assert "errors []" in done.stdout, done.stdout[-3000:]


# Each module sends a large array to a stopped worker of its own, so that
# both segments wait in /dev/shm: one process state names them with one salt
# and one count.
BOTH_MODULES = textwrap.dedent(
    """
    import atexit, os, signal, threading, time
    import numpy as np
    import vantrel._control as control
    from vantrel import monorun, polyrun

    pool = polyrun.MultiProcessPool(1)        # its handle and queues made by monorun
    handle = monorun.SingleProcess("single")
    atexit.register(pool.kill_all)
    atexit.register(handle.kill)
    big = np.arange(400_000, dtype=np.float64)
    job = [{"a": big}, "xreturn(s=float(a.sum()))"]
    assert handle.blocked_put(job)[3] == {"s": float(big.sum())}   # monorun sends
    rebuild = control.rebuild
    assert pool.map([job]) == [["SUCCESS", "", "", {"s": float(big.sum())}]]   # polyrun sends
    assert control.rebuild is rebuild, "a second module installed its own rebuild"

    # Both modules made segments (kept for reuse): with one state, one salt
    # and one count among them, never a number made twice.
    me = os.getpid()
    names = sorted(n for n in os.listdir("/dev/shm") if n.startswith(f"vantrel_{me}_"))
    parts = [n.split("_") for n in names]
    assert len(parts) >= 2 and len({p[3] for p in parts}) == 1, names   # one salt
    counts = sorted(int(p[4]) for p in parts)
    assert counts == list(range(1, len(counts) + 1)), names             # one count
    print("ok")
    """
)


def test_both_modules_share_one_process_state(tmp_path):
    done = run_program(BOTH_MODULES, cwd=tmp_path, timeout=90)
    assert done.returncode == 0 and "ok" in done.stdout, done.stderr[-3000:]
