"""State that stays in the workers: each worker builds its share of a large
numpy matrix once, and later jobs compute on it where it lives. Only the small
inputs and results cross between processes.

Run it with `python numpy_state.py` after `make build` (or `pip install vantrel`).
"""

import time

import numpy as np

from vantrel import polyrun

WORKERS = 2
ROWS = 2_000  # rows per worker
COLS = 1_000  # 2000 x 1000 float64: 16 MB per worker, built once

# Job k of a batch of WORKERS jobs runs in worker k, so the dict item that
# opens each job gives every worker its own seed.
BUILD = """
import os
import numpy as np
block = np.random.default_rng(seed).standard_normal((rows, cols))
xprint("worker ", os.getpid(), " holds rows ", seed * rows, "..", (seed + 1) * rows - 1)
xreturn(nbytes=block.nbytes)
"""
PRODUCT = "xreturn(part=block @ v)"
SCALE = "block *= factor\nxreturn(norm=float(np.linalg.norm(block)))"


def values(answers, key):
    """The value `key` that each job handed back; a failed job raises here."""
    for status, _printed, trace, _returned in answers:
        if status != "SUCCESS":
            raise RuntimeError(trace)
    return [returned[key] for *_, returned in answers]


def main():
    pool = polyrun.MultiProcessPool(WORKERS, "numpy-state")
    try:
        start = time.perf_counter()
        built = pool.map([[{"seed": k, "rows": ROWS, "cols": COLS}, BUILD] for k in range(WORKERS)])
        took = time.perf_counter() - start
        for answer in built:
            print(answer[1], end="")
        size = sum(values(built, "nbytes")) / 1e6
        print(f"built {size:.0f} MB of state in {took:.2f} s")

        # Each job sends a vector (1000 floats) and gets back 2000 floats: the
        # 16 MB blocks never leave their workers.
        v = np.linspace(-1.0, 1.0, COLS)
        start = time.perf_counter()
        product = np.concatenate(values(pool.map([[{"v": v}, PRODUCT]] * WORKERS), "part"))
        took = time.perf_counter() - start
        print(f"matrix-vector product of {product.size} rows in {took:.3f} s")

        # A job may change the state in place; the next jobs see the change.
        norms = values(pool.map([[{"factor": 0.5}, SCALE]] * WORKERS), "norm")
        again = np.concatenate(values(pool.map([PRODUCT] * WORKERS), "part"))

        # The same computation in this process, from the same seeds.
        matrix = np.vstack(
            [np.random.default_rng(k).standard_normal((ROWS, COLS)) for k in range(WORKERS)]
        )
        assert np.allclose(product, matrix @ v)
        assert np.allclose(norms, [np.linalg.norm(b) * 0.5 for b in np.split(matrix, WORKERS)])
        assert np.allclose(again, 0.5 * (matrix @ v))
        print("results match the same computation done here")
    finally:
        pool.kill_all()


if __name__ == "__main__":
    main()
