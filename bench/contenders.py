"""The contenders of the benchmark: our workers and what we compare them with.

Every contender sets itself up in its constructor (outside any timed region,
warm-up included), returns the samples of one round from `sample()`, and ends
every process it started in `close()`. Children of our own are forked with
the default start method, like our workers, and are daemons, so that none can
keep the interpreter from exiting.
"""

import concurrent.futures
import ctypes
import multiprocessing as mp
import os
import queue
import select
import signal
import time
import traceback
from multiprocessing.reduction import ForkingPickler

from vantrel import monorun, polyrun

# The answer that every job of these benchmarks gets: what a library on these
# queues has to send back at the least.
ANSWER = ["SUCCESS", "", "", {}]

# Our worker waits for a job with this limit, and our caller polls for an
# answer with the second one to notice dead workers.
WORKER_POLL = 0.1
CALLER_POLL = 0.2

PR_SET_PDEATHSIG = 1  # <sys/prctl.h>


# ---------------------------------------------------------------------------
# Child processes of our own


def _child_setup():
    # A terminal's Ctrl-C reaches the whole process group: the parent cleans up.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # And if the parent dies without cleaning up, so does this child.
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    if os.getppid() == 1:
        os._exit(1)


def raw_echo(qi, qo):
    """The floor: take a job, put the answer, nothing else."""
    _child_setup()
    get, put = qi.get, qo.put
    while True:
        get()
        put(ANSWER)


def raw_timed_echo(qi, qo):
    """The floor with the time limit that our job loop must use on `get`."""
    _child_setup()
    get, put, empty = qi.get, qo.put, queue.Empty
    while True:
        try:
            get(timeout=WORKER_POLL)
        except empty:
            continue
        put(ANSWER)


def _readable(q):
    poller = select.poll()
    poller.register(q._reader.fileno(), select.POLLIN)
    return poller.poll


def raw_fdpoll_echo(qi, qo):
    """The floor with a 0.1 s wait done by poll(2) on the queue's pipe, and
    an untimed get once a job is there."""
    _child_setup()
    get, put, readable = qi.get, qo.put, _readable(qi)
    ms = int(WORKER_POLL * 1000)
    while True:
        if readable(ms):
            get()
            put(ANSWER)


def raw_payload_echo(qi, qo):
    """Takes (hand_back, payload); answers with the payload or a small answer."""
    _child_setup()
    get, put = qi.get, qo.put
    while True:
        back, payload = get()
        put(payload if back else ANSWER)


def idle_timed_get(qi, qo):
    """The least an idle worker can do when it must wake every 0.1 s."""
    _child_setup()
    get, empty = qi.get, queue.Empty
    while True:
        try:
            get(timeout=WORKER_POLL)
        except empty:
            pass


def pipe_echo(conn):
    _child_setup()
    recv, send = conn.recv, conn.send
    while True:
        recv()
        send(ANSWER)


def os_pipe_echo(rfd, wfd):
    """The floor of any two processes: one byte there, one byte back."""
    _child_setup()
    read, write = os.read, os.write
    while read(rfd, 1):
        write(wfd, b"a")


def direct_echo(qi, qo):
    """The worker side of a loop without feeder threads: jobs read and answers
    written on the queues' own pipes, under the queues' locks, with the
    queues' counts kept and the 0.1 s wait. Uses queue internals: a
    prototype to measure, not a way to use the queues."""
    _child_setup()
    rlock, poll, recv, taken = qi._rlock, qi._reader.poll, qi._reader.recv_bytes, qi._sem
    wlock, send, added = qo._wlock, qo._writer.send_bytes, qo._sem
    dumps, loads = ForkingPickler.dumps, ForkingPickler.loads
    while True:
        with rlock:
            if not poll(WORKER_POLL):
                continue
            data = recv()
            taken.release()
        loads(data)
        message = dumps(ANSWER)
        added.acquire()
        with wlock:
            send(message)


class _Collector:
    """xprint and xreturn as plain Python."""

    def __init__(self):
        self.clear()

    def xprint(self, *ws, end="\n"):
        for w in ws:
            try:
                self.print_content += str(w)
            except BaseException:
                pass
        self.print_content += end

    def clear(self):
        self.print_content = ""
        self.return_content = {}

    def xreturn(self, **kwds):
        self.return_content.update(kwds)


def python_job_loop(qi, qo):
    """Our job loop written the obvious way in Python, on the same queues."""
    _child_setup()
    pc = _Collector()
    _globals = {"xprint": pc.xprint, "xreturn": pc.xreturn}
    while True:
        pc.clear()
        try:
            W = qi.get(timeout=WORKER_POLL)
            if isinstance(W, str):
                W = [W]
            for w in W:
                if isinstance(w, str):
                    _locals = {}
                    exec(w, _globals, _locals)
                    _globals.update(_locals)
                elif isinstance(w, dict):
                    _globals.update(w)
            qo.put(["SUCCESS", pc.print_content, "", pc.return_content])
        except queue.Empty:
            pass
        except KeyboardInterrupt:
            pass
        except Exception:
            qo.put(["EXCEPTION", pc.print_content, str(traceback.format_exc()), pc.return_content])


# Functions that the standard pools run (module level, so they pickle by name).


def answer(job=None):
    return ["SUCCESS", "", "", {}]


def total(a):
    return float(a.sum())


def same(a):
    return a


# ---------------------------------------------------------------------------
# Helpers


def start_child(target, *args, method=None):
    proc = mp.get_context(method).Process(target=target, args=args, daemon=True)
    proc.start()
    return proc


def end_process(proc):
    if proc is not None and proc.is_alive():
        proc.kill()
    if proc is not None:
        proc.join(5)


def forget_queue(q):
    # A queue whose reader is gone must not make the exit wait for its feeder.
    q.cancel_join_thread()
    q.close()


def end_handle(handle):
    end_process(handle.proc)
    forget_queue(handle.qi)
    forget_queue(handle.qo)


def end_pool(pool):
    handles = list(pool.procs.values())
    pool.kill_all()
    for h in handles:
        end_handle(h)


def answer_reader(q, proc, caller):
    """How a caller reads the next answer from q: "plain" with an untimed
    get; "timed" as our caller does, a get(timeout=0.2) and a liveness check
    each time it runs out; "fdpoll" with the same 0.2 s period, but waiting by
    poll(2) on the queue's pipe and then taking the answer with an untimed get."""
    if caller == "plain":
        return q.get
    if caller == "timed":

        def read():
            while True:
                try:
                    return q.get(timeout=CALLER_POLL)
                except queue.Empty:
                    if not proc.is_alive():
                        raise RuntimeError(f"child {proc.pid} ended") from None

        return read
    readable, ms = _readable(q), int(CALLER_POLL * 1000)

    def read():
        while not readable(ms):
            if not proc.is_alive():
                raise RuntimeError(f"child {proc.pid} ended")
        return q.get()

    return read


def per_call_us(call, n):
    """Times each of n calls; microseconds."""
    clock = time.perf_counter_ns
    out = []
    for _ in range(n):
        t = clock()
        call()
        out.append((clock() - t) / 1e3)
    return out


def expect(cond, what):
    if not cond:
        raise AssertionError(f"unexpected answer: {what}")


def per_job_us(run_batch, n, ours_answers=False):
    """Times one batch of n trivial jobs; one sample, microseconds per job."""
    t = time.perf_counter()
    answers = run_batch(["pass"] * n)
    dt = time.perf_counter() - t
    expect(len(answers) == n, len(answers))
    if ours_answers:
        expect(answers[-1][0] == "SUCCESS", answers[-1])
    return [dt / n * 1e6]


class Contender:
    """Base: `key` names the row in the JSON, `label` in tables and charts;
    `ours` marks our own rows; `ref` is the key of the row of ours that this
    row is compared with (None for ours)."""

    key = ""
    label = ""
    ours = False
    ref = None

    def sample(self):
        raise NotImplementedError

    def close(self):
        pass


# ---------------------------------------------------------------------------
# Queue farms: children of our own on mp.Queue pairs, dealt to like map deals


class QueueFarm(Contender):
    """`workers` children running `target`, each on its own pair of queues.
    Jobs are dealt round-robin and the answers gathered in job order, as our
    pool's map does; `caller` says how answers are read (`answer_reader`)."""

    def __init__(self, key, label, target, workers=1, caller="plain", ref=None, warm="pass"):
        self.key, self.label, self.ref = key, label, ref
        self.queues, self.procs, self.readers = [], [], []
        try:
            for _ in range(workers):
                qi, qo = mp.Queue(), mp.Queue()
                self.queues.append((qi, qo))
                self.procs.append(start_child(target, qi, qo))
                self.readers.append(answer_reader(qo, self.procs[-1], caller))
            if warm is not None:
                self.run_jobs([warm] * (20 * workers))
        except BaseException:
            self.close()
            raise

    def run_jobs(self, jobs):
        n, readers = len(self.queues), self.readers
        for k, job in enumerate(jobs):
            self.queues[k % n][0].put(job)
        return [readers[k % n]() for k in range(len(jobs))]

    def close(self):
        for p in self.procs:
            end_process(p)
        for qi, qo in self.queues:
            forget_queue(qi)
            forget_queue(qo)


class FarmLatency(QueueFarm):
    def __init__(self, n, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.n = n

    def sample(self):
        put, read = self.queues[0][0].put, self.readers[0]
        return per_call_us(lambda: (put("pass"), read()), self.n)


class FarmThroughput(QueueFarm):
    def __init__(self, n, *args, **kwargs):
        super().__init__(*args, workers=2, **kwargs)
        self.n = n

    def sample(self):
        return per_job_us(self.run_jobs, self.n, ours_answers=True)


# ---------------------------------------------------------------------------
# Latency: one trivial job, one round trip


class OursLatency(Contender):
    key, label, ours = "ours", "SingleProcess.blocked_put('pass')", True

    def __init__(self, n):
        self.n = n
        self.h = monorun.SingleProcess()
        for _ in range(50):
            expect(self.h.blocked_put("pass")[0] == "SUCCESS", "warm-up")

    def sample(self):
        bp = self.h.blocked_put
        return per_call_us(lambda: bp("pass"), self.n)

    def close(self):
        end_handle(self.h)


class FuturesLatency(Contender):
    """One job through vantrel.futures on a pool of one worker: a future and
    its result, or an awaitable awaited on a running event loop."""

    ours = True

    def __init__(self, n, awaiting):
        from vantrel import futures

        self.n, self.awaiting, self.futures = n, awaiting, futures
        if awaiting:
            self.key, self.label = "await", "await futures.asubmit(pool, 'pass')"
        else:
            self.key, self.label = "future", "futures.submit(pool, 'pass').result()"
        self.pool = polyrun.MultiProcessPool(1)
        for _ in range(50):
            expect(futures.submit(self.pool, "pass").result()[0] == "SUCCESS", "warm-up")

    def sample(self):
        futures, pool = self.futures, self.pool
        if not self.awaiting:
            return per_call_us(lambda: futures.submit(pool, "pass").result(), self.n)

        async def timed():
            clock = time.perf_counter_ns
            out = []
            for _ in range(self.n):
                t = clock()
                await futures.asubmit(pool, "pass")
                out.append((clock() - t) / 1e3)
            return out

        import asyncio

        return asyncio.run(timed())

    def close(self):
        end_pool(self.pool)


class PipeLatency(Contender):
    key, label, ref = "pipe", "multiprocessing.Pipe ping-pong", "ours"

    def __init__(self, n):
        self.n = n
        self.conn, child_end = mp.Pipe()
        self.proc = start_child(pipe_echo, child_end)
        child_end.close()
        for _ in range(50):
            self.conn.send("pass")
            self.conn.recv()

    def sample(self):
        send, recv = self.conn.send, self.conn.recv
        return per_call_us(lambda: (send("pass"), recv()), self.n)

    def close(self):
        end_process(self.proc)
        self.conn.close()


class OsPipeLatency(Contender):
    key, label, ref = "os_pipe", "os.pipe 1-byte ping-pong (floor of any transport)", "ours"

    def __init__(self, n):
        self.n = n
        self.fds = []
        try:
            self.job_r, self.job_w = os.pipe()
            self.fds += [self.job_r, self.job_w]
            self.answer_r, self.answer_w = os.pipe()
            self.fds += [self.answer_r, self.answer_w]
            # Plain file descriptors reach only a forked child.
            self.proc = start_child(os_pipe_echo, self.job_r, self.answer_w, method="fork")
            for _ in range(50):
                self.one()
        except BaseException:
            self.close()
            raise

    def one(self):
        os.write(self.job_w, b"j")
        expect(os.read(self.answer_r, 1) == b"a", "echo")

    def sample(self):
        write, read, job, answer = os.write, os.read, self.job_w, self.answer_r
        return per_call_us(lambda: (write(job, b"j"), read(answer, 1)), self.n)

    def close(self):
        end_process(getattr(self, "proc", None))
        for fd in self.fds:
            os.close(fd)
        self.fds = []


class DirectLatency(Contender):
    """Both sides of `direct_echo`: the caller writes the job on the input
    queue's pipe and waits on the output queue's pipe, 0.2 s at a time,
    checking that the child lives, as our caller must."""

    key, label, ref = (
        "direct",
        "prototype: job and answer on the queues' pipes, no feeder",
        "ours",
    )

    def __init__(self, n):
        self.n = n
        self.qi, self.qo = mp.Queue(), mp.Queue()
        self.proc = None
        try:
            self.proc = start_child(direct_echo, self.qi, self.qo)
            self.round_trip = self.make_round_trip()
            for _ in range(50):
                expect(self.round_trip() == ANSWER, "warm-up")
        except BaseException:
            self.close()
            raise

    def make_round_trip(self):
        qi, qo, proc = self.qi, self.qo, self.proc
        wlock, send, added = qi._wlock, qi._writer.send_bytes, qi._sem
        rlock, poll, recv, taken = qo._rlock, qo._reader.poll, qo._reader.recv_bytes, qo._sem
        dumps, loads = ForkingPickler.dumps, ForkingPickler.loads

        def round_trip():
            message = dumps("pass")
            added.acquire()
            with wlock:
                send(message)
            with rlock:
                while not poll(CALLER_POLL):
                    if not proc.is_alive():
                        raise RuntimeError(f"child {proc.pid} ended")
                data = recv()
                taken.release()
            return loads(data)

        return round_trip

    def sample(self):
        return per_call_us(self.round_trip, self.n)

    def close(self):
        end_process(self.proc)
        forget_queue(self.qi)
        forget_queue(self.qo)


class StdPoolLatency(Contender):
    key, label, ref = "mp_pool_apply", "multiprocessing.Pool(1).apply", "ours"

    def __init__(self, n):
        self.n = n
        self.pool = mp.Pool(1)
        for _ in range(50):
            self.pool.apply(answer, ("pass",))

    def sample(self):
        apply = self.pool.apply
        return per_call_us(lambda: apply(answer, ("pass",)), self.n)

    def close(self):
        end_std_pool(self.pool)


class ExecutorLatency(Contender):
    key, label, ref = "ppe", "ProcessPoolExecutor(1).submit().result()", "ours"

    def __init__(self, n):
        self.n = n
        self.ex = self.start()
        for _ in range(50):
            self.ex.submit(answer, "pass").result()

    def start(self):
        return concurrent.futures.ProcessPoolExecutor(1)

    def sample(self):
        submit = self.ex.submit
        return per_call_us(lambda: submit(answer, "pass").result(), self.n)

    def close(self):
        end_executor(self.ex)


def end_std_pool(pool):
    pool.terminate()
    pool.join()


def end_executor(ex):
    procs = list((getattr(ex, "_processes", None) or {}).values())
    ex.shutdown(wait=False, cancel_futures=True)
    for p in procs:
        end_process(p)


class LokyLatency(ExecutorLatency):
    key, label = "loky", "loky reusable executor (1 worker)"

    def start(self):
        import loky  # optional: the bench extra installs it

        # Its own start method (fork followed by exec), as loky is used.
        return loky.get_reusable_executor(max_workers=1, timeout=3600)

    def close(self):
        self.ex.shutdown(wait=True, kill_workers=True)


def latency_contenders(n):
    return [
        lambda: OursLatency(n),
        lambda: FarmLatency(n, "raw", "raw mp.Queue ping-pong (floor)", raw_echo, ref="ours"),
        lambda: FarmLatency(
            n,
            "raw_timed_worker",
            "raw mp.Queue, worker get(timeout=0.1)",
            raw_timed_echo,
            ref="ours",
        ),
        lambda: FarmLatency(
            n,
            "raw_timed",
            "raw mp.Queue, worker get(timeout=0.1), caller get(timeout=0.2)",
            raw_timed_echo,
            caller="timed",
            ref="ours",
        ),
        lambda: FarmLatency(
            n,
            "raw_fdpoll",
            "raw mp.Queue, both wait by poll(2) (0.1 / 0.2 s), then get()",
            raw_fdpoll_echo,
            caller="fdpoll",
            ref="ours",
        ),
        lambda: FarmLatency(
            n, "python_loop", "plain-Python job loop, same queues", python_job_loop, ref="ours"
        ),
        lambda: FarmLatency(
            n,
            "python_loop_timed",
            "plain-Python job loop, caller get(timeout=0.2)",
            python_job_loop,
            caller="timed",
            ref="ours",
        ),
        lambda: PipeLatency(n),
        lambda: OsPipeLatency(n),
        lambda: DirectLatency(n),
        lambda: StdPoolLatency(n),
        lambda: ExecutorLatency(n),
        lambda: LokyLatency(n),
        lambda: FuturesLatency(n, awaiting=False),
        lambda: FuturesLatency(n, awaiting=True),
    ]


# ---------------------------------------------------------------------------
# Throughput: many tiny jobs over two workers


class OursThroughput(Contender):
    key, label, ours = "ours", "MultiProcessPool(2).map", True

    def __init__(self, n):
        self.n = n
        self.pool = polyrun.MultiProcessPool(2)
        self.pool.map(["pass"] * 40)

    def sample(self):
        return per_job_us(self.pool.map, self.n, ours_answers=True)

    def close(self):
        end_pool(self.pool)


class HealingThroughput(OursThroughput):
    """The same map on a pool asked to heal: set-up recorded, dead workers
    restarted and workers recycled (limits that this run never reaches: the
    row shows what the checks cost, once per map, not a worker's start);
    compared with the plain map row above it by their medians."""

    def __init__(self, n, recycle):
        super().__init__(n)
        self.pool.setup("import math")
        self.pool.auto_restart = True
        if recycle:
            self.key, self.label = "ours_recycling", "map, recycle(max_jobs, max_rss) on"
            self.pool.recycle(max_jobs=10**12, max_rss=2**50)
        else:
            self.key, self.label = "ours_auto_restart", "map, setup + auto_restart on"


class FuturesThroughput(Contender):
    """The same jobs as futures: each to whichever worker is idle
    (`dealt=False`), or dealt as map deals them, gathered in job order."""

    ours = True

    def __init__(self, n, dealt):
        from vantrel import futures

        self.n, self.dealt, self.futures = n, dealt, futures
        which = "dealt" if dealt else "free"
        self.key, self.label = f"futures_{which}", f"futures.map(pool, jobs, dealt={dealt})"
        self.pool = polyrun.MultiProcessPool(2)
        futures.map(self.pool, ["pass"] * 40)

    def sample(self):
        return per_job_us(
            lambda jobs: self.futures.map(self.pool, jobs, dealt=self.dealt),
            self.n,
            ours_answers=True,
        )

    def close(self):
        end_pool(self.pool)


class StdPoolThroughput(Contender):
    ref = "ours"

    def __init__(self, n, chunksize):
        self.n, self.chunksize = n, chunksize
        if chunksize is None:
            self.key, self.label = (
                "mp_pool_map_default",
                "multiprocessing.Pool(2).map, default chunks",
            )
        else:
            self.key, self.label = "mp_pool_map_1", "multiprocessing.Pool(2).map, chunksize=1"
        self.pool = mp.Pool(2)
        self.pool.map(answer, ["pass"] * 40, chunksize=1)

    def sample(self):
        return per_job_us(
            lambda jobs: self.pool.map(answer, jobs, chunksize=self.chunksize), self.n
        )

    def close(self):
        end_std_pool(self.pool)


class ExecutorThroughput(Contender):
    key, label, ref = "ppe_map", "ProcessPoolExecutor(2).map", "ours"

    def __init__(self, n):
        self.n = n
        self.ex = concurrent.futures.ProcessPoolExecutor(2)
        list(self.ex.map(answer, ["pass"] * 40))

    def sample(self):
        return per_job_us(lambda jobs: list(self.ex.map(answer, jobs)), self.n)

    def close(self):
        end_executor(self.ex)


def throughput_contenders(n):
    return [
        lambda: OursThroughput(n),
        lambda: HealingThroughput(n, recycle=True),
        lambda: HealingThroughput(n, recycle=False),
        lambda: FarmThroughput(n, "raw", "raw mp.Queue, 2 children (floor)", raw_echo, ref="ours"),
        lambda: FarmThroughput(
            n,
            "raw_timed",
            "raw mp.Queue, 2 children, timed gets (0.1 / 0.2)",
            raw_timed_echo,
            caller="timed",
            ref="ours",
        ),
        lambda: FarmThroughput(
            n,
            "raw_fdpoll",
            "raw mp.Queue, 2 children, poll(2) waits (0.1 / 0.2), then get()",
            raw_fdpoll_echo,
            caller="fdpoll",
            ref="ours",
        ),
        lambda: FarmThroughput(
            n, "python_loop", "plain-Python job loop, 2 children", python_job_loop, ref="ours"
        ),
        lambda: StdPoolThroughput(n, 1),
        lambda: StdPoolThroughput(n, None),
        lambda: ExecutorThroughput(n),
        lambda: FuturesThroughput(n, dealt=True),
        lambda: FuturesThroughput(n, dealt=False),
    ]


# ---------------------------------------------------------------------------
# Payload: a numpy array in a dict item, and handed back


def make_array(megabytes):
    import numpy as np

    return np.arange(int(megabytes * 1e6) // 8, dtype=np.float64)


class PayloadContender(Contender):
    """Samples are MB/s: bytes that crossed a process boundary (the array one
    way, or both ways when it is handed back) per second."""

    def __init__(self, megabytes, back, repeat):
        self.mb, self.back, self.repeat = megabytes, back, repeat
        self.array = make_array(megabytes)
        self.total = float(self.array.sum())
        self.moved = self.array.nbytes * (2 if back else 1) * repeat
        self.suffix = f"{megabytes:g}mb_{'back' if back else 'in'}"

    def sample(self):
        t = time.perf_counter()
        for _ in range(self.repeat):
            self.check(self.one())
        return [self.moved / (time.perf_counter() - t) / 1e6]

    def check(self, result):
        if self.back:
            expect(result.shape == self.array.shape, "array shape")
        else:  # summed over memory aligned otherwise: the last bits may differ
            expect(abs(result - self.total) <= 1e-9 * abs(self.total), result)


class OursPayload(PayloadContender):
    ours = True

    def __init__(self, megabytes, back, repeat):
        super().__init__(megabytes, back, repeat)
        self.key = f"ours_{self.suffix}"
        verb = "xreturn(a=a)" if back else "xreturn(s=float(a.sum()))"
        self.label = f"blocked_put([{{'a': arr}}, '{verb}']), {megabytes:g} MB"
        self.h = monorun.SingleProcess()
        self.job = [{"a": self.array}, verb]
        self.check(self.one())

    def one(self):
        status, _, trace, values = self.h.blocked_put(self.job)
        expect(status == "SUCCESS", trace)
        return values["a"] if self.back else values["s"]

    def close(self):
        end_handle(self.h)


class StdPoolPayload(PayloadContender):
    def __init__(self, megabytes, back, repeat):
        super().__init__(megabytes, back, repeat)
        self.key, self.ref = f"mp_pool_{self.suffix}", f"ours_{self.suffix}"
        fn = "same" if back else "total"
        self.label = f"multiprocessing.Pool(1).apply({fn}, (arr,)), {megabytes:g} MB"
        self.fn = same if back else total
        self.pool = mp.Pool(1)
        self.check(self.one())

    def one(self):
        return self.pool.apply(self.fn, (self.array,))

    def close(self):
        end_std_pool(self.pool)


class RawPayload(PayloadContender):
    def __init__(self, megabytes, back, repeat):
        super().__init__(megabytes, back, repeat)
        self.key, self.ref = f"raw_{self.suffix}", f"ours_{self.suffix}"
        self.label = f"raw mp.Queue, {'array and back' if back else 'array in'}, {megabytes:g} MB"
        self.farm = QueueFarm("raw", "", raw_payload_echo, warm=(False, None))
        self.check(self.one())

    def one(self):
        ((qi, qo),) = self.farm.queues
        qi.put((self.back, {"a": self.array}))
        got = qo.get()
        if self.back:
            return got["a"]
        return self.total if got[0] == "SUCCESS" else got

    def close(self):
        self.farm.close()


class MemcpyPayload(PayloadContender):
    """The one-copy floor: the same bytes copied into fresh memory in this
    process (page faults included), once per crossing."""

    def __init__(self, megabytes, back, repeat):
        super().__init__(megabytes, back, repeat)
        self.key, self.ref = f"memcpy_{self.suffix}", f"ours_{self.suffix}"
        self.label = f"memcpy in one process ({'2 copies' if back else '1 copy'}), {megabytes:g} MB"

    def one(self):
        copy = self.array.copy()
        if self.back:
            return copy.copy()
        del copy
        return self.total


class JoblibPayload(PayloadContender):
    """joblib's Parallel on its loky workers, kept across calls: an array over
    its 1 MB limit is dumped to a file that the worker maps, and an array it
    has dumped before unchanged is not written again."""

    def __init__(self, megabytes, back, repeat):
        import joblib  # optional: the bench extra installs it

        super().__init__(megabytes, back, repeat)
        self.key, self.ref = f"joblib_{self.suffix}", f"ours_{self.suffix}"
        fn = "same" if back else "total"
        self.label = f"joblib Parallel(n_jobs=2)([delayed({fn})(arr)]), {megabytes:g} MB"
        self.fn = joblib.delayed(same if back else total)
        self.parallel = joblib.Parallel(n_jobs=2, backend="loky")
        self.parallel.__enter__()
        self.check(self.one())

    def one(self):
        return self.parallel([self.fn(self.array)])[0]

    def close(self):
        self.parallel.__exit__(None, None, None)


def payload_contenders(sizes_mb):
    makers = []
    for mb in sizes_mb:
        repeat = max(1, round(16 / mb))  # at least 16 MB per sample
        for back in (False, True):
            for cls in (OursPayload, StdPoolPayload, RawPayload, JoblibPayload, MemcpyPayload):
                makers.append(lambda cls=cls, mb=mb, back=back, r=repeat: cls(mb, back, r))
    return makers


# ---------------------------------------------------------------------------
# Small payloads: below the size that goes through shared memory


class SmallPayloadContender(Contender):
    """Samples are µs per round trip of a float64 array in and handed back."""

    def __init__(self, kilobytes, n):
        import numpy as np

        self.kb, self.n = kilobytes, n
        self.array = np.arange(kilobytes * 1024 // 8, dtype=np.float64)

    def sample(self):
        t = time.perf_counter()
        for _ in range(self.n):
            got = self.one()
        expect(got.shape == self.array.shape, "array shape")
        return [(time.perf_counter() - t) / self.n * 1e6]


class OursSmall(SmallPayloadContender):
    ours = True

    def __init__(self, kilobytes, n):
        super().__init__(kilobytes, n)
        self.key = f"ours_{kilobytes}kb"
        self.label = f"blocked_put([{{'a': arr}}, 'xreturn(a=a)']), {kilobytes} KB"
        self.h = monorun.SingleProcess()
        self.job = [{"a": self.array}, "xreturn(a=a)"]
        self.one()

    def one(self):
        status, _, trace, values = self.h.blocked_put(self.job)
        expect(status == "SUCCESS", trace)
        return values["a"]

    def close(self):
        end_handle(self.h)


class StdPoolSmall(SmallPayloadContender):
    def __init__(self, kilobytes, n):
        super().__init__(kilobytes, n)
        self.key, self.ref = f"mp_pool_{kilobytes}kb", f"ours_{kilobytes}kb"
        self.label = f"multiprocessing.Pool(1).apply(same, (arr,)), {kilobytes} KB"
        self.pool = mp.Pool(1)
        self.one()

    def one(self):
        return self.pool.apply(same, (self.array,))

    def close(self):
        end_std_pool(self.pool)


def small_payload_contenders(sizes_kb, n):
    return [
        lambda cls=cls, kb=kb: cls(kb, n) for kb in sizes_kb for cls in (OursSmall, StdPoolSmall)
    ]


# ---------------------------------------------------------------------------
# Output capture: many xprint calls in one job, beside an io.StringIO


class CaptureContender(Contender):
    """Samples are milliseconds per job; both jobs hand back the same text."""

    def __init__(self, lines, via_stringio):
        self.lines = lines
        if via_stringio:
            self.key, self.ref = f"stringio_{lines}", f"xprint_{lines}"
            self.label = f"io.StringIO, {lines:,} writes, text handed back"
            self.src = (
                "import io\n"
                "s = io.StringIO()\n"
                f"for i in range({lines}):\n"
                "    s.write('line' + str(i) + '\\n')\n"
                "xprint(s.getvalue(), end='')\n"
            )
        else:
            self.key, self.ours = f"xprint_{lines}", True
            self.label = f"{lines:,} xprint calls"
            self.src = f"for i in range({lines}):\n    xprint('line', i)\n"
        self.text_length = len("".join(f"line{i}\n" for i in range(lines)))
        self.h = monorun.SingleProcess()
        self.one()

    def one(self):
        status, printed, trace, _ = self.h.blocked_put(self.src)
        expect(status == "SUCCESS" and len(printed) == self.text_length, trace or len(printed))

    def sample(self):
        t = time.perf_counter()
        self.one()
        return [(time.perf_counter() - t) * 1e3]

    def close(self):
        end_handle(self.h)


class LiveCaptureContender(Contender):
    """The same printing job through vantrel.futures on a pool of one worker,
    without and with live text (on_output gets every piece as it is printed).
    Samples are milliseconds per job, until the future's result is there."""

    def __init__(self, lines, live):
        from vantrel import futures

        self.lines, self.live, self.futures = lines, live, futures
        if live:
            # Compared with the same job without live text, as a peer row is with ours.
            self.key, self.ref = f"live_{lines}", f"futures_{lines}"
            self.label = f"{lines:,} xprint calls, futures.submit with on_output"
        else:
            self.key, self.ours = f"futures_{lines}", True
            self.label = f"{lines:,} xprint calls, futures.submit"
        self.src = f"for i in range({lines}):\n    xprint('line', i)\n"
        self.text_length = len("".join(f"line{i}\n" for i in range(lines)))
        self.pool = polyrun.MultiProcessPool(1)
        self.one()

    def one(self):
        got = []
        on_output = got.append if self.live else None
        answer = self.futures.submit(self.pool, self.src, on_output=on_output).result()
        expect(answer[0] == "SUCCESS" and len(answer[1]) == self.text_length, answer[2])
        if self.live:
            expect("".join(got) == answer[1], "the live text is the answer's")

    def sample(self):
        t = time.perf_counter()
        self.one()
        return [(time.perf_counter() - t) * 1e3]

    def close(self):
        end_pool(self.pool)


def capture_contenders(sizes):
    return [
        lambda lines=lines, s=s: CaptureContender(lines, s)
        for lines in sizes
        for s in (False, True)
    ] + [
        lambda lines=lines, live=live: LiveCaptureContender(lines, live)
        for lines in sizes
        for live in (False, True)
    ]


# ---------------------------------------------------------------------------
# Repeated source: one 200-line item sent again and again


def source_lines(lines):
    """Top-level statements of a few kinds, cheap to run, costly to compile."""
    out = []
    for i in range(lines):
        kind, j = i % 4, max(i - 1, 0) // 4 * 4
        if kind == 0:
            out.append(f"v{i} = {i} * 3 + len('item{i}')")
        elif kind == 1:
            out.append(f"s{i} = 'item{i}'.upper() + str(v{j})")
        elif kind == 2:
            out.append(f"t{i} = v{j} - {i} if v{j} > {i} else {{'k': {i}}}")
        else:
            out.append(f"l{i} = [v{j}, {i}, len(s{j + 1})]")
    return out


class RepeatContender(Contender):
    """Samples are microseconds per job, from `jobs` jobs sent one by one."""

    counter = 0  # unique copies stay unique across rounds

    def __init__(self, kind, jobs, lines):
        self.kind, self.jobs = kind, jobs
        body = source_lines(lines)
        self.text = "\n".join(body) + "\n"
        self.h = monorun.SingleProcess()
        if kind == "same":
            self.key, self.ours = "same", True
            self.label = f"the same {lines}-line item, again"
        elif kind == "unique":
            self.key, self.ref = "unique", "same"
            self.label = f"{lines}-line item made unique by '# <n>'"
        else:
            self.key, self.ref = "function", "same"
            self.label = "the same lines defined once as f, then 'f()'"
            status, _, trace, _ = self.h.blocked_put(
                "def f():\n" + "".join("    " + ln + "\n" for ln in body)
            )
            expect(status == "SUCCESS", trace)
        self.one()

    def next_job(self):
        if self.kind == "same":
            return self.text
        if self.kind == "function":
            return "f()"
        RepeatContender.counter += 1
        return f"{self.text}# {RepeatContender.counter}"

    def one(self):
        status, _, trace, _ = self.h.blocked_put(self.next_job())
        expect(status == "SUCCESS", trace)

    def sample(self):
        jobs = [self.next_job() for _ in range(self.jobs)]
        bp = self.h.blocked_put
        t = time.perf_counter()
        for job in jobs:
            bp(job)
        return [(time.perf_counter() - t) / self.jobs * 1e6]

    def close(self):
        end_handle(self.h)


def repeat_contenders(jobs, lines):
    return [lambda k=k: RepeatContender(k, jobs, lines) for k in ("same", "unique", "function")]


# ---------------------------------------------------------------------------
# Start-up: from the constructor until every worker has answered once


class StartupContender(Contender):
    """Samples are milliseconds; tear-down happens after the clock stops."""

    def __init__(self, kind):
        self.kind = kind
        self.key, self.label, self.ours, self.ref = {
            "ours": ("ours", "MultiProcessPool(2) + map(['pass', 'pass'])", True, None),
            "mp_pool": ("mp_pool", "multiprocessing.Pool(2) + 2 apply", False, "ours"),
            "ppe": ("ppe", "ProcessPoolExecutor(2) + 2 results", False, "ours"),
        }[kind]

    def sample(self):
        start, stop = getattr(self, "_start_" + self.kind), getattr(self, "_stop_" + self.kind)
        t = time.perf_counter()
        thing = start()
        dt = time.perf_counter() - t
        stop(thing)
        return [dt * 1e3]

    def _start_ours(self):
        pool = polyrun.MultiProcessPool(2)
        try:
            expect([a[0] for a in pool.map(["pass", "pass"])] == ["SUCCESS"] * 2, "map")
        except BaseException:
            end_pool(pool)
            raise
        return pool

    _stop_ours = staticmethod(end_pool)

    def _start_mp_pool(self):
        pool = mp.Pool(2)
        pool.apply(answer, ("pass",))
        pool.apply(answer, ("pass",))
        return pool

    _stop_mp_pool = staticmethod(end_std_pool)

    def _start_ppe(self):
        ex = concurrent.futures.ProcessPoolExecutor(2)
        futures = [ex.submit(answer, "pass") for _ in range(2)]
        for f in futures:
            f.result()
        return ex

    _stop_ppe = staticmethod(end_executor)


def startup_contenders():
    return [lambda k=k: StartupContender(k) for k in ("ours", "mp_pool", "ppe")]


# ---------------------------------------------------------------------------
# Idle cost: what workers that wait for jobs use


CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_stats(pid):
    """(utime+stime in s, on-CPU ns from schedstat, voluntary switches), all
    threads of the process."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime (fields 14, 15)
    on_cpu = switches = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                on_cpu += int(f.read().split()[0])
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        switches += int(line.split()[1])
        except FileNotFoundError:  # a thread that just ended
            pass
    return ticks / CLOCK_TICKS, on_cpu, switches


class IdleContender(Contender):
    def __init__(self, key, label, pids, closer, ours=False):
        self.key, self.label, self.pids, self.closer, self.ours = key, label, pids, closer, ours
        self.ref = None if ours else "ours"

    def read(self):
        return [cpu_stats(pid) for pid in self.pids]

    def close(self):
        self.closer()


def idle_ours():
    pool = polyrun.MultiProcessPool(2)
    pool.map(["pass"] * 4)  # the answer queues' feeder threads exist from here on
    pids = [h.proc.pid for h in pool.procs.values()]
    return IdleContender("ours", "MultiProcessPool(2), idle", pids, lambda: end_pool(pool), True)


def idle_farm(key, label, target, warm="pass"):
    farm = QueueFarm(key, label, target, workers=2, warm=warm)
    return IdleContender(key, label, [p.pid for p in farm.procs], farm.close)


def idle_mp_pool():
    pool = mp.Pool(2)
    pool.map(answer, ["pass"] * 4, chunksize=1)
    pids = [p.pid for p in pool._pool]

    return IdleContender(
        "mp_pool", "multiprocessing.Pool(2), idle", pids, lambda: end_std_pool(pool)
    )


def idle_contenders():
    return [
        idle_ours,
        lambda: idle_farm(
            "python_loop", "plain-Python job loop, 2 children, idle", python_job_loop
        ),
        lambda: idle_farm(
            "timed_get", "bare get(timeout=0.1) loop, 2 children", idle_timed_get, warm=None
        ),
        lambda: idle_farm(
            "fdpoll", "poll(2) on the queue's pipe, 0.1 s, 2 children", raw_fdpoll_echo
        ),
        idle_mp_pool,
    ]
