"""RayPool on a Ray cluster of three nodes on this machine (Ray's own
multi-node test tool): workers spread over the nodes, a worker process killed
and a node lost in the middle of a map. One cluster serves the module."""

import os
import re
import signal
import threading
import time

import pytest
from ray_pools import pools_killed_at_the_end

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("VANTREL_SANITIZED")), reason="Ray's processes do not run under ASan"
)

WHERE = "import os, ray\nxreturn(pid=os.getpid(), node=ray.get_runtime_context().get_node_id())"


@pytest.fixture(scope="module")
def ray_cluster():
    import ray
    from ray.cluster_utils import Cluster

    from vantrel.cluster import RayPool

    cluster = Cluster(
        initialize_head=True, head_node_args={"num_cpus": 1, "include_dashboard": False}
    )
    try:
        for _ in range(2):
            cluster.add_node(num_cpus=1)
        cluster.wait_for_nodes()
        # The first pool connects this process to the cluster by its address.
        assert not ray.is_initialized()
        RayPool(1, address=cluster.address).kill_all()
        assert ray.is_initialized()
        yield cluster
    finally:
        ray.shutdown()
        cluster.shutdown()


@pytest.fixture
def make_ray_pool(ray_cluster):
    yield from pools_killed_at_the_end()


def alive_nodes():
    import ray

    return {n["NodeID"] for n in ray.nodes() if n["Alive"]}


@pytest.mark.parametrize("n", [3, 5])
def test_workers_spread_over_the_nodes(make_ray_pool, n):
    import ray

    pool = make_ray_pool(n)
    nodes = [w.node_id for w in pool.procs.values()]
    # One worker per node, the caller's own first, then round again.
    assert nodes[0] == ray.get_runtime_context().get_node_id()
    assert set(nodes[:3]) == alive_nodes() and nodes[3:] == nodes[: n - 3]
    answers = pool.map([WHERE] * n)
    assert [(a[3]["pid"], a[3]["node"]) for a in answers] == [
        (w.pid, w.node_id) for w in pool.procs.values()
    ]


def test_worker_process_killed_during_a_map(make_ray_pool):
    from vantrel import cluster

    pool = make_ray_pool(3, "Kill")
    pool.map(["state = 'kept'"] * 3)
    victim = pool.procs["Kill_1"]
    timer = threading.Timer(1.0, os.kill, (victim.pid, signal.SIGKILL))
    timer.start()
    try:
        with pytest.raises(RuntimeError) as e:
            pool.map(["xreturn(s=state)", "import time\ntime.sleep(60)", "xreturn(s=state)"])
    finally:
        timer.cancel()
    assert re.search(
        rf"worker Kill_1 \(pid {victim.pid}\) on node {victim.node_id} ended without "
        r"answering job 1\b",
        str(e.value),
    )
    # The others keep their namespaces; the dead one is never replaced
    # silently, whichever way its answers are read.
    handles = pool.map(["xreturn(s=state)"] * 3, block=False)
    assert handles[0].get(timeout=30)[3] == {"s": "kept"}
    with pytest.raises(RuntimeError, match="worker Kill_1 .* job 1"):
        handles[1].get(timeout=30)
    with pytest.raises(RuntimeError, match="worker Kill_1 .* job 1"):
        cluster.reduce(handles)
    with pytest.raises(RuntimeError, match="worker Kill_1 .* job 1"):
        pool.map(["pass"] * 2)


def test_worker_past_its_time_limit_is_replaced_on_its_own_node(make_ray_pool):
    from vantrel import futures

    pool = make_ray_pool(3, "Late")
    old = pool.procs["Late_2"]  # on a node other than the caller's
    late = futures.submit(pool, "import time\ntime.sleep(60)", 2, time_limit=0.5)
    with pytest.raises(TimeoutError, match="fresh worker"):
        late.result(timeout=60)
    fresh = pool.procs["Late_2"]
    assert fresh.pid != old.pid and fresh.node_id == old.node_id
    answer = futures.submit(pool, WHERE, 2).result(timeout=30)
    assert (answer[3]["pid"], answer[3]["node"]) == (fresh.pid, old.node_id)


@pytest.mark.parametrize("seen_by", ["worker dying", "refused connection"])
def test_node_lost_during_a_map(ray_cluster, make_ray_pool, monkeypatch, seen_by):
    # Last in the module: each case loses a node, and first adds one.
    from vantrel import cluster

    if len(alive_nodes()) < 3:
        ray_cluster.add_node(num_cpus=1)
        ray_cluster.wait_for_nodes()
    if seen_by == "worker dying":  # as where the node's address does not answer
        monkeypatch.setattr(cluster, "_refusing", lambda addresses: set())
    pool = make_ray_pool(3, "Lost")
    position = 2
    doomed = list(pool.procs.values())[position]
    node = next(n for n in ray_cluster.worker_nodes if n.node_id == doomed.node_id)
    jobs = ["xreturn(ok=1)"] * 3
    jobs[position] = "import time\ntime.sleep(120)"
    timer = threading.Timer(1.0, ray_cluster.remove_node, (node,), {"allow_graceful": False})
    timer.start()
    t = time.monotonic()
    try:
        with pytest.raises(RuntimeError) as e:
            pool.map(jobs)
    finally:
        timer.join()
    waited = time.monotonic() - t
    assert re.search(
        rf"worker Lost_2 \(pid {doomed.pid}\) on node {doomed.node_id} ended without "
        r"answering job 2\b",
        str(e.value),
    )
    print(f"node lost: map raised {waited:.1f} s after it started (node removed at 1 s)")
    # The lost worker stays lost; the others answer as before.
    with pytest.raises(RuntimeError, match="worker Lost_2 .* job 2"):
        pool.map(jobs)
    assert [a[0] for a in pool.map(["pass"] * 2)] == ["SUCCESS"] * 2

    # Restarting at once places the workers on the nodes that are left, even
    # while Ray still counts the lost one as alive: seen at once when its
    # address refuses connections, else when the worker placed there dies.
    t = time.monotonic()
    pool.init_process()
    print(f"node lost, {seen_by}: init_process took {time.monotonic() - t:.1f} s")
    nodes = [w.node_id for w in pool.procs.values()]
    assert len(nodes) == 3 and doomed.node_id not in nodes and len(set(nodes)) == 2
    answers = pool.map([WHERE] * 3)
    assert [a[3]["node"] for a in answers] == nodes
