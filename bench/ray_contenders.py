"""The Ray sections of the benchmark: RayPool beside plain Ray actor calls
that exec the same text (what vantrel costs on Ray), and beside
MultiProcessPool (what leaving one machine costs). All rows share one local
Ray instance, started by the first contender and left to Ray's exit handler.

bench.py adds these sections to its own; the smoke run skips them unless
`--only` names them (starting Ray takes seconds).
"""

import time

import numpy as np
import report
from contenders import Contender, OursThroughput, end_pool, expect, per_job_us

from vantrel import polyrun

KEYS = ("ray_throughput", "ray_payload")

SIZES = {
    "full": {"jobs": 2000, "rounds": 15, "payload_mb": 8, "payload_rounds": 15},
    "quick": {"jobs": 2000, "rounds": 3, "payload_mb": 8, "payload_rounds": 3},
    "smoke": {"jobs": 100, "rounds": 1, "payload_mb": 1, "payload_rounds": 1},
}


def _ray():
    import ray

    if not ray.is_initialized():
        ray.init(include_dashboard=False, log_to_driver=False)
    return ray


def _exec_actor(ray):
    """The plainest actor that runs our jobs: exec each str item in one
    namespace, merge each dict item, hand back what `xreturn` got. Defined
    here so that Ray ships it by value."""

    class ExecActor:
        def __init__(self):
            self.ns = {"xreturn": self._xreturn}
            self.values = {}

        def _xreturn(self, **kw):
            self.values.update(kw)

        def run(self, job):
            self.values = {}
            for item in [job] if isinstance(job, str) else job:
                if isinstance(item, str):
                    exec(item, self.ns)
                elif isinstance(item, dict):
                    self.ns.update(item)
            return ["SUCCESS", "", "", self.values]

    return ray.remote(num_cpus=0, max_restarts=0, max_task_retries=0)(ExecActor)


class PlainActors:
    """N plain actors, dealt to as map deals, gathered with one ray.get."""

    def __init__(self, n):
        ray = _ray()
        self.ray = ray
        cls = _exec_actor(ray)
        self.actors = [cls.remote() for _ in range(n)]
        self.map(["pass"] * 40)

    def map(self, jobs):
        n = len(self.actors)
        return self.ray.get([self.actors[k % n].run.remote(job) for k, job in enumerate(jobs)])

    def close(self):
        for a in self.actors:
            self.ray.kill(a, no_restart=True)


def _ray_pool(n):
    from vantrel import cluster

    _ray()
    pool = cluster.RayPool(n, "BenchRay")
    pool.map(["pass"] * 40)
    return pool


# ---------------------------------------------------------------------------
# Tiny jobs


class RayPoolThroughput(Contender):
    key, label, ours = "ours", "RayPool(2).map", True

    def __init__(self, n):
        self.n = n
        self.pool = _ray_pool(2)

    def sample(self):
        return per_job_us(self.pool.map, self.n, ours_answers=True)

    def close(self):
        self.pool.kill_all()


class PlainActorThroughput(Contender):
    key, label, ref = "plain_actors", "2 plain Ray actors exec'ing the text, one ray.get", "ours"

    def __init__(self, n):
        self.n = n
        self.actors = PlainActors(2)

    def sample(self):
        return per_job_us(self.actors.map, self.n)

    def close(self):
        self.actors.close()


class LocalThroughput(OursThroughput):
    key, label, ref, ours = "local_pool", "MultiProcessPool(2).map (one machine)", "ours", False


# ---------------------------------------------------------------------------
# Payload: a numpy array in a dict item, a float back


VERB = "xreturn(s=float(a[0]))"


class PayloadRow(Contender):
    """Samples are MB/s of the array sent, `repeat` jobs one after another."""

    def __init__(self, megabytes, repeat, run):
        self.array = np.arange(int(megabytes * 1e6) // 8, dtype=np.float64)
        self.repeat, self.run = repeat, run
        self.job = [{"a": self.array}, VERB]
        self.one()

    def one(self):
        answer = self.run([self.job])[0]
        expect(answer[0] == "SUCCESS" and answer[3] == {"s": 0.0}, answer)

    def sample(self):
        t = time.perf_counter()
        for _ in range(self.repeat):
            self.one()
        return [self.array.nbytes * self.repeat / (time.perf_counter() - t) / 1e6]


class RayPoolPayload(PayloadRow):
    key, ours = "ours", True

    def __init__(self, megabytes, repeat):
        self.label = f"RayPool(1).map([[{{'a': arr}}, '{VERB}']]), {megabytes:g} MB"
        self.pool = _ray_pool(1)
        super().__init__(megabytes, repeat, self.pool.map)

    def close(self):
        self.pool.kill_all()


class PlainActorPayload(PayloadRow):
    key, ref = "plain_actors", "ours"

    def __init__(self, megabytes, repeat):
        self.label = f"plain Ray actor exec'ing the same job, {megabytes:g} MB"
        self.actors = PlainActors(1)
        super().__init__(megabytes, repeat, self.actors.map)

    def close(self):
        self.actors.close()


class LocalPayload(PayloadRow):
    key, ref = "local_pool", "ours"

    def __init__(self, megabytes, repeat):
        self.label = f"MultiProcessPool(1).map, the same job, {megabytes:g} MB (one machine)"
        self.pool = polyrun.MultiProcessPool(1)
        super().__init__(megabytes, repeat, self.pool.map)

    def close(self):
        end_pool(self.pool)


# ---------------------------------------------------------------------------
# For bench.py


def sections(profile):
    s = SIZES[profile]
    jobs, mb = s["jobs"], s["payload_mb"]
    repeat = max(1, round(16 / mb))
    return [
        (
            "ray_throughput",
            f"On Ray: throughput of {jobs:,} tiny jobs on 2 workers",
            "µs per job",
            "One local Ray instance. `RayPool.map` beside the same `'pass'` jobs sent as plain"
            " actor method calls that `exec` the text (one call per job, dealt round-robin,"
            " gathered with one `ray.get`), and beside `MultiProcessPool.map` on the same"
            " machine without Ray.",
            [
                lambda: RayPoolThroughput(jobs),
                lambda: PlainActorThroughput(jobs),
                lambda: LocalThroughput(jobs),
            ],
            s["rounds"],
        ),
        (
            "ray_payload",
            f"On Ray: a {mb:g} MB numpy array in a dict item",
            "MB/s",
            "The array goes in, a float comes back, one job at a time on one worker. Our"
            " worker gets a writable copy of the array (as a local worker does); the plain"
            " actor reads Ray's read-only view of it. Higher is better.",
            [
                lambda: RayPoolPayload(mb, repeat),
                lambda: PlainActorPayload(mb, repeat),
                lambda: LocalPayload(mb, repeat),
            ],
            s["payload_rounds"],
        ),
    ]


def targets(results):
    out = []

    def add(what, value, op, limit):
        out.append(report.target("ray", what, value, op, limit))

    def medians(key):
        return report.medians(results, key)

    # Only for the sections that ran: runs without Ray (the smoke run) have
    # no such targets at all.
    thr, pay = medians("ray_throughput"), medians("ray_payload")
    if thr:
        add(
            "RayPool.map ÷ plain actor calls (per job)",
            thr["ours"] / thr["plain_actors"],
            "<=",
            1.15,
        )
    if pay:
        add("RayPool MB/s ÷ plain actor MB/s", pay["ours"] / pay["plain_actors"], ">=", 0.90)
    return out
