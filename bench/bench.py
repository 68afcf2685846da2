"""Side-by-side timings of vantrel and the transport it rides on.

Rounds of each contender are interleaved so that machine noise hits all of
them alike; medians (with p10/p90) and ratios come from one run.

    python bench/bench.py [--rounds N] [--json FILE]
"""

import argparse
import json
import multiprocessing as mp
import statistics
import time

from vantrel import monorun, polyrun

PINGS = 2000
MAP_JOBS = 20000


def _echo_loop(qi, qo):
    get, put = qi.get, qo.put
    while True:
        put(get())


class RawQueuePingPong:
    """The floor: a child doing nothing but get/put on the same kind of queues."""

    name = "raw mp.Queue ping-pong"

    def __init__(self):
        self.qi, self.qo = mp.Queue(), mp.Queue()
        self.proc = mp.Process(target=_echo_loop, args=(self.qi, self.qo))
        self.proc.start()

    def run(self, n):
        put, get = self.qi.put, self.qo.get
        t = time.perf_counter()
        for _ in range(n):
            put("pass")
            get()
        return (time.perf_counter() - t) / n

    def close(self):
        self.proc.kill()


class BlockedPut:
    name = "SingleProcess.blocked_put('pass')"

    def __init__(self):
        self.h = monorun.SingleProcess()
        self.h.blocked_put("pass")

    def run(self, n):
        bp = self.h.blocked_put
        t = time.perf_counter()
        for _ in range(n):
            bp("pass")
        return (time.perf_counter() - t) / n

    def close(self):
        self.h.kill()


class PoolMap:
    name = f"MultiProcessPool(2).map, {MAP_JOBS} 'pass' jobs"

    def __init__(self):
        self.pool = polyrun.MultiProcessPool(2)
        self.pool.map(["pass"] * 10)

    def run(self, n):
        jobs = ["pass"] * n
        t = time.perf_counter()
        self.pool.map(jobs)
        return (time.perf_counter() - t) / n

    def close(self):
        self.pool.kill_all()


def _noop(x):
    return x


class StdPoolMap:
    name = f"multiprocessing.Pool(2).map chunksize=1, {MAP_JOBS} jobs"

    def __init__(self):
        self.pool = mp.Pool(2)
        self.pool.map(_noop, range(10), chunksize=1)

    def run(self, n):
        t = time.perf_counter()
        self.pool.map(_noop, ["pass"] * n, chunksize=1)
        return (time.perf_counter() - t) / n

    def close(self):
        self.pool.terminate()


class XprintJob:
    def __init__(self, lines):
        self.lines = lines
        self.name = f"one job of {lines:,} xprint calls"
        self.h = monorun.SingleProcess()
        self.src = f"for i in range({lines}):\n    xprint('line', i)"

    def run(self, n):
        t = time.perf_counter()
        answer = self.h.blocked_put(self.src)
        assert answer[0] == "SUCCESS" and answer[1].count("\n") == self.lines
        return time.perf_counter() - t

    def close(self):
        self.h.kill()


def summarize(samples):
    s = sorted(samples)
    q = statistics.quantiles(s, n=10) if len(s) > 1 else [s[0]] * 9
    return {"median": statistics.median(s), "p10": q[0], "p90": q[-1], "n": len(s)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--json")
    args = ap.parse_args()

    groups = {
        "latency (s per round trip)": ([RawQueuePingPong, BlockedPut], PINGS),
        "throughput (s per job)": ([PoolMap, StdPoolMap], MAP_JOBS),
        "output capture (s per job)": ([lambda: XprintJob(10_000), lambda: XprintJob(100_000)], 1),
    }
    results = {}
    for title, (makers, n) in groups.items():
        contenders = [make() for make in makers]
        samples = {c.name: [] for c in contenders}
        try:
            for _ in range(args.rounds):
                for c in contenders:
                    samples[c.name].append(c.run(n))
        finally:
            for c in contenders:
                c.close()
        results[title] = {name: summarize(s) for name, s in samples.items()}
        print(f"\n{title}")
        base = None
        for name, st in results[title].items():
            base = base or st["median"]
            print(
                f"  {name:55s} median {st['median'] * 1e6:10.1f} us"
                f"  p10 {st['p10'] * 1e6:10.1f}  p90 {st['p90'] * 1e6:10.1f}"
                f"  ratio {st['median'] / base:5.2f}"
            )
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
