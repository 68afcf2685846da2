"""The installed package's stubs: they match the compiled modules, and a
type checker reading them accepts correct code and rejects wrong calls."""

import os
import pathlib
import shutil
import sys
import textwrap

import pytest
from programs import run_program

import vantrel

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("VANTREL_SANITIZED")), reason="static checks: the plain runs have them"
)

# Every assert_type must hold, and every "type: ignore" must be needed:
# mypy --strict reports an ignore that silences nothing.
CLIENT = """
import asyncio
import builtins
import concurrent.futures
from multiprocessing.queues import Queue
from typing import Any, assert_type

from vantrel import cluster, futures, monorun, polyrun


def use() -> None:
    w = monorun.SingleProcess("worker")
    assert_type(w.blocked_put(["a = 1", {"b": 2}]), list[Any])
    assert_type(w.qo, Queue[list[Any]])
    assert_type(w.proc.pid, int | None)
    w.clear_output()
    w.kill()

    pool = polyrun.MultiProcessPool(2, name_pref="p")
    assert_type(pool.procs, dict[int, monorun.SingleProcess])
    assert_type(pool.map(["x = 1"]), list[list[Any]])
    queues = pool.map(("x = 1", ["y = 2"]), block=False)
    assert_type(queues, list[Queue[list[Any]]])
    assert_type(queues[0].get(), list[Any])
    assert_type(polyrun.reduce(queues), list[list[Any]])
    assert_type(pool.map(["x = 1"], block=bool(len(queues))), list[Any])
    assert_type(polyrun.cs.SingleProcess(), monorun.SingleProcess)

    polyrun.MultiProcessNoRep.set(builtins)
    assert_type(polyrun.MultiProcessNoRep.init_process(2), polyrun.MultiProcessPool | None)

    h = monorun._HandleContent()
    h.xprint("a", 1, [2], end="")
    h.xreturn(a=1, b=[2])
    assert_type(h.print_content, str)
    assert_type(h.return_content, dict[str, Any])

    monorun.SingleProcess(3)  # type: ignore[arg-type]
    pool.map(["x"], blok=False)  # type: ignore[call-overload]
    polyrun.MultiProcessNoRep.init_process("2")  # type: ignore[arg-type]
    h.xprint("a", end=1)  # type: ignore[arg-type]
    h.xreturn(1)  # type: ignore[call-arg]
    w.blocked_put(1)  # type: ignore[arg-type]
    pool.kill_all(True)  # type: ignore[call-arg]

    ray_pool = cluster.RayPool(2, "r", actor_options={"num_cpus": 1}, start_timeout=60)
    assert_type(ray_pool.procs, dict[str, cluster.RayWorker])
    assert_type(ray_pool.procs["r_0"].node_id, str)
    assert_type(ray_pool.map(["x = 1"]), list[list[Any]])
    handles = ray_pool.map(["x = 1"], block=False)
    assert_type(handles, list[cluster.PendingAnswer])
    assert_type(handles[0].get(timeout=1.0), list[Any])
    assert_type(cluster.reduce(handles), list[list[Any]])
    cluster.RayPool("2")  # type: ignore[arg-type]
    cluster.RayPool(2, "r", None)  # type: ignore[call-arg]
    ray_pool.map(["x"], blok=False)  # type: ignore[call-overload]

    f = futures.submit(pool, "x = 1", 0, time_limit=1.0)
    assert_type(f, concurrent.futures.Future[list[Any]])
    assert_type(f.result(timeout=1), list[Any])
    batch = futures.submit_batch(ray_pool, ["x = 1"], dealt=True)
    assert_type(batch, list[concurrent.futures.Future[list[Any]]])
    assert_type(futures.gather([f], progress="jobs", return_exceptions=True), list[Any])
    assert_type(futures.map(pool, ["x = 1"], on_answer=lambda k, a: None), list[list[Any]])
    assert_type(futures.pending(pool), list[concurrent.futures.Future[list[Any]]])
    futures.submit(pool, "x", "0")  # type: ignore[arg-type]
    futures.map(pool, ["x"], progress=1.5)  # type: ignore[arg-type]


async def awaiting(pool: polyrun.MultiProcessPool) -> None:
    waiting = futures.asubmit(pool, "x = 1")
    assert_type(waiting, asyncio.Future[list[Any]])
    assert_type(await waiting, list[Any])
"""


# Ray's own sources are not ours to check, and reading them triples the time
# of each run: what vantrel takes from Ray is typed as Any.
MYPY_CONFIG = "[mypy]\n[mypy-ray.*]\nfollow_imports = skip\nignore_missing_imports = True\n"


def mypy_config(folder):
    path = folder / "mypy.ini"
    path.write_text(MYPY_CONFIG)
    return str(path)


def test_stubs_match_the_compiled_modules(tmp_path):
    # From a folder outside the source tree, so that the installed package
    # (compiled modules and stubs side by side) is the one checked.
    result = run_program(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", mypy_config(tmp_path)]
        + [
            "vantrel.monorun",
            "vantrel.polyrun",
            "vantrel._runner",
            "vantrel._wire",
            "vantrel.cluster",
        ]
        + ["vantrel.futures"],
        cwd=tmp_path,
        timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_type_checker_reads_the_stubs(tmp_path):
    (tmp_path / "client.py").write_text(textwrap.dedent(CLIENT))
    # vantrel.cluster is pure Python, typed by its own annotations: the
    # installed source is checked too, as a module of its own.
    # So is the futures package, copied whole (its imports are relative).
    installed = pathlib.Path(vantrel.__file__).parent
    (tmp_path / "cluster_source.py").write_text((installed / "cluster.py").read_text())
    shutil.copytree(installed / "futures", tmp_path / "futures_source")
    copies = ["cluster_source.py", "futures_source"]
    result = run_program(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", "/dev/null"]
        + ["--config-file", mypy_config(tmp_path)]
        + ["client.py", *copies],
        cwd=tmp_path,
        timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
