"""RayPools made by a test and killed when it ends, on whatever Ray the
module's fixtures connected to."""


def pools_killed_at_the_end():
    """Generator for a fixture: yields a factory of RayPools, kills them all
    at teardown."""
    from vantrel import cluster

    pools = []

    def make(*args, **kwargs):
        pools.append(cluster.RayPool(*args, **kwargs))
        return pools[-1]

    yield make
    for p in pools:
        p.kill_all()
