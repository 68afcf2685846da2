"""The notebook story on a real Jupyter kernel: a kernel process started by
jupyter_client, cells sent to it as messages, interrupts sent the way Jupyter
sends them (SIGINT to the kernel's whole process group, workers included).
The cells are those of examples/notebook.ipynb."""

import ast
import os
import queue
import signal
import threading
import time

import nbformat
import pytest
from jupyter_client import KernelManager
from nbclient import NotebookClient
from programs import NOTEBOOK_DEFINITIONS, ROOT, Watch

NOTEBOOK = ROOT / "examples" / "notebook.ipynb"
ENDS = 15  # seconds; the workers are expected to go well within it


def notebook():
    return nbformat.read(NOTEBOOK, as_version=4)


CELLS = {cell.id: cell.source for cell in notebook().cells}

# Six jobs over two workers: each answer names its job, its worker and the
# worker's share of the data that the notebook's cells built.
PAIRING = """\
answers = MPNR.map([f"import os\\nxreturn(k={k}, pid=os.getpid(), part=part)" for k in range(6)])
print([(a[3]["k"], a[3]["pid"], a[3]["part"]) for a in answers])
"""


@pytest.fixture(autouse=True)
def jupyter_dirs(tmp_path, monkeypatch):
    # Kernel specs, runtime files and profiles of this test only: the kernel is
    # the ipykernel of this interpreter, whatever else is installed.
    for var, sub in [
        ("JUPYTER_PATH", "share"),
        ("JUPYTER_DATA_DIR", "data"),
        ("JUPYTER_CONFIG_DIR", "config"),
        ("JUPYTER_RUNTIME_DIR", "runtime"),
        ("IPYTHONDIR", "ipython"),
    ]:
        monkeypatch.setenv(var, str(tmp_path / sub))
    monkeypatch.setenv("JUPYTER_PLATFORM_DIRS", "1")


class Kernel:
    def __init__(self, cwd):
        self.km = KernelManager(kernel_name="python3")
        self.km.start_kernel(cwd=str(cwd))
        self.process = self.km.provisioner.process
        self.kc = self.km.client()
        self.kc.start_channels()
        self.kc.wait_for_ready(timeout=60)

    def run(self, code, timeout=60, interrupt_on=None):
        """Runs one cell; returns its reply and the text it printed. With
        `interrupt_on`, interrupts the kernel once that text has been printed."""
        msg_id = self.kc.execute(code)
        printed = ""
        deadline = time.monotonic() + timeout
        while True:
            try:
                msg = self.kc.get_iopub_msg(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError(f"cell still running after {timeout} s:\n{code}") from None
            if msg["parent_header"].get("msg_id") != msg_id:
                continue
            if msg["msg_type"] == "stream":
                printed += msg["content"]["text"]
                if interrupt_on and interrupt_on in printed:
                    interrupt_on = None
                    time.sleep(0.3)  # well into the wait
                    self.km.interrupt_kernel()
            elif msg["msg_type"] == "status" and msg["content"]["execution_state"] == "idle":
                break
        while (reply := self.kc.get_shell_msg(timeout=timeout))["parent_header"][
            "msg_id"
        ] != msg_id:
            pass  # the reply to an earlier request, such as the readiness check
        return reply["content"], printed

    def ok(self, code):
        reply, printed = self.run(code)
        assert reply["status"] == "ok", reply.get("traceback")
        return printed

    def close(self):
        self.kc.stop_channels()
        try:  # the kernel's process group: the kernel and every worker it started
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait()
        self.km.cleanup_resources()


@pytest.fixture
def kernel(tmp_path):
    k = Kernel(tmp_path)
    yield k
    k.close()


def workers_of(printed):
    """The pids that the set-up cell printed."""
    line = printed.strip().splitlines()[-1]
    assert line.startswith("workers: "), printed
    return ast.literal_eval(line.split(": ", 1)[1])


def test_notebook_runs_and_shutdown_ends_its_workers(tmp_path):
    nb = notebook()
    client = NotebookClient(
        nb, timeout=60, kernel_name="python3", resources={"metadata": {"path": str(tmp_path)}}
    )
    out = {}
    with client.setup_kernel():  # leaving it shuts the kernel down
        for index, cell in enumerate(nb.cells):
            client.execute_cell(cell, index)
            out[cell.id] = "".join(o.get("text", "") for o in cell.get("outputs", []))
            if cell.id == "setup":
                workers = Watch(workers_of(out["setup"]))
    assert len(workers.started) == 2
    assert out["build-state"] == "built: ['SUCCESS', 'SUCCESS']\n"
    assert out["read-state"] == "{'part': 0, 'total': 499500}\n{'part': 1, 'total': 1499500}\n"
    assert workers.wait_ended(ENDS) == []


def test_setup_twice_interrupt_and_shutdown(kernel):
    workers = workers_of(kernel.ok(CELLS["setup"]))
    watch = Watch(workers)
    kernel.ok("first_pool = MPNR")
    # Run again, the set-up cell hands out the same pool and workers.
    assert workers_of(kernel.ok(CELLS["setup"])) == workers
    assert kernel.ok("print(MPNR is first_pool)") == "True\n"
    kernel.ok(CELLS["build-state"])

    # Interrupted while `map` waits: the cell ends with KeyboardInterrupt and the
    # workers, which got the SIGINT too, keep running with their state.
    reply, _ = kernel.run(
        "print('mapping', flush=True)\nMPNR.map(['import time\\ntime.sleep(0.5)'] * 8)",
        interrupt_on="mapping",
    )
    assert (reply["status"], reply["ename"]) == ("error", "KeyboardInterrupt")
    assert watch.running() == workers

    # The next cell's answers pair with their jobs, and each worker still has
    # its share of the data.
    pairs = ast.literal_eval(kernel.ok(PAIRING))
    assert pairs == [(k, workers[k % 2], k % 2) for k in range(6)]
    assert kernel.ok(CELLS["read-state"]).splitlines() == [
        "{'part': 0, 'total': 499500}",
        "{'part': 1, 'total': 1499500}",
    ]

    # A normal shutdown, as a notebook front end asks for it, takes the workers
    # along. (ipykernel ends the children in its process group; they stay
    # zombies until reaped, so the kernel may be sent SIGTERM in the end.)
    kernel.km.shutdown_kernel(now=False)
    assert watch.wait_ended(ENDS) == []


def test_kernel_killed_outright(kernel):
    watch = Watch(workers_of(kernel.ok(CELLS["setup"])))
    kernel.ok(CELLS["build-state"])
    # As the out-of-memory killer would: the kernel alone, no atexit handler.
    os.kill(kernel.process.pid, signal.SIGKILL)
    assert watch.wait_ended(ENDS) == []


FUTURES_NOTEBOOK = ROOT / "examples" / "futures.ipynb"


def test_futures_notebook_runs(tmp_path):
    nb = nbformat.read(FUTURES_NOTEBOOK, as_version=4)
    client = NotebookClient(
        nb, timeout=60, kernel_name="python3", resources={"metadata": {"path": str(tmp_path)}}
    )
    with client.setup_kernel():
        for index, cell in enumerate(nb.cells):
            client.execute_cell(cell, index)
    out = {
        c.id: "".join(
            o.get("text", "") or o.get("data", {}).get("text/plain", "")
            for o in c.get("outputs", [])
        )
        for c in nb.cells
    }
    assert out["magic"] == "[worker 0] SUCCESS\nready\n[worker 1] SUCCESS\nready\n"
    assert out["magic-values"] == "True True\n"
    assert out["await"] == f"{[k * k for k in range(8)]}\n"
    assert out["futures"] == "['fast', 'slow']\n"
    # With ipywidgets the bar is a widget, whose text form is its first state.
    assert "jobs:" in out["progress"] and "/50" in out["progress"]
    widgets = "vantrel-status" in out["progress"]  # the status under the bar
    assert widgets or ("jobs: 100%" in out["progress"] and "50/50" in out["progress"])
    assert "50 {'SUCCESS'}\n" in out["progress"] and "Warning" not in out["progress"]


def interrupted(kernel, code, after):
    """Runs a cell and interrupts the kernel `after` seconds into it."""
    timer = threading.Timer(after, kernel.km.interrupt_kernel)
    timer.start()
    try:
        return kernel.run(code)
    finally:
        timer.cancel()


def test_await_and_magic_interrupted_then_paired(kernel):
    workers = workers_of(kernel.ok(CELLS["setup"]))
    watch = Watch(workers)
    kernel.ok("import asyncio\nfrom vantrel import futures\n%load_ext vantrel")
    kernel.ok("%%vantrel\nmine = 'kept'")

    # Top-level await: interrupted while it waits, the cell ends; the jobs
    # already sent finish in the workers, the waiting ones never run.
    reply, _ = interrupted(
        kernel,
        "await asyncio.gather(*(futures.asubmit(MPNR, 'import time\\ntime.sleep(0.5)\\nran = 1') "
        "for _ in range(10)))",
        0.3,
    )
    assert reply["status"] == "error" and reply["ename"] in ("KeyboardInterrupt", "CancelledError")

    # The magic, interrupted while it waits.
    reply, _ = interrupted(kernel, "%%vantrel\nimport time\ntime.sleep(1)", 0.3)
    assert (reply["status"], reply["ename"]) == ("error", "KeyboardInterrupt")
    assert watch.running() == workers

    # The next run pairs: each worker answers for itself, its state kept.
    printed = kernel.ok("%%vantrel -o out\nimport os\nxreturn(pid=os.getpid(), mine=mine)")
    assert printed == "[worker 0] SUCCESS\n[worker 1] SUCCESS\n"
    assert ast.literal_eval(kernel.ok("print([out[i] for i in sorted(out)])")) == [
        {"pid": workers[0], "mine": "kept"},
        {"pid": workers[1], "mine": "kept"},
    ]
    # Once the futures are answered, map has the pool again.
    kernel.ok("import concurrent.futures\nconcurrent.futures.wait(futures.pending(MPNR))")
    pairs = kernel.ok(
        "answers = MPNR.map([f'import os\\nxreturn(k={k}, pid=os.getpid())' for k in range(6)])\n"
        "print([(a[3]['k'], a[3]['pid']) for a in answers])"
    )
    assert ast.literal_eval(pairs) == [(k, workers[k % 2]) for k in range(6)]


def test_magic_failures_and_usage(kernel):
    kernel.ok("%load_ext vantrel")
    reply, _ = kernel.run("%%vantrel\npass")
    assert reply["status"] == "error" and "MultiProcessNoRep.init_process" in reply["evalue"]
    kernel.ok(CELLS["setup"])
    printed = kernel.ok("%%vantrel -w 1\nxprint('before')\n1/0")
    assert printed.startswith("[worker 1] EXCEPTION\nbefore\nTraceback")
    assert "ZeroDivisionError" in printed and "[worker 0]" not in printed
    reply, _ = kernel.run("%%vantrel -w 5\npass")
    assert reply["status"] == "error" and "worker 5 is not in the pool" in reply["evalue"]


# Classes and functions defined in a notebook after its pool started: a
# worker cannot import them from the kernel's __main__, so they travel by value.
NOTEBOOK_CLASSES = """\
import multiprocessing
multiprocessing.set_start_method({method!r}, force=True)
from vantrel import polyrun

pool = polyrun.MultiProcessPool(2)

{definitions}
try:
    answers = pool.map([[{{"p": Point(k), "f": tenfold}}, "xreturn(p=f(p))"] for k in (1, 2)])
    print([a[0] for a in answers], [type(a[3]["p"]) is Point for a in answers],
          [a[3]["p"].x for a in answers])
finally:
    pool.kill_all()
"""


@pytest.mark.parametrize("method", ["fork", "forkserver"])
def test_classes_of_a_notebook_reach_the_workers(kernel, method):
    printed = kernel.ok(NOTEBOOK_CLASSES.format(method=method, definitions=NOTEBOOK_DEFINITIONS))
    assert printed.strip().splitlines()[-1] == "['SUCCESS', 'SUCCESS'] [True, True] [10, 20]"


def run_watching(kernel, code, on_display, timeout=60):
    """Runs a cell, calling on_display(text) for each display message of it
    while it runs; returns its reply and the text it printed."""
    msg_id = kernel.kc.execute(code)
    printed = ""
    deadline = time.monotonic() + timeout
    while True:
        msg = kernel.kc.get_iopub_msg(timeout=max(0.01, deadline - time.monotonic()))
        if msg["parent_header"].get("msg_id") != msg_id:
            continue
        kind = msg["msg_type"]
        if kind == "stream":
            printed += msg["content"]["text"]
        elif kind in ("display_data", "update_display_data"):
            on_display(msg["content"]["data"].get("text/plain", ""))
        elif kind == "status" and msg["content"]["execution_state"] == "idle":
            break
    while (reply := kernel.kc.get_shell_msg(timeout=timeout))["parent_header"]["msg_id"] != msg_id:
        pass
    return reply["content"], printed


def test_magic_shows_what_workers_print_while_the_cell_runs(kernel, tmp_path):
    kernel.ok(CELLS["setup"])
    kernel.ok("%load_ext vantrel")
    go = tmp_path / "go"
    seen = []

    def shown(text):
        seen.append(text)
        if "working on it" in text:
            go.touch()  # the job goes on only once its first line was on the page

    cell = (
        "%%vantrel -w 1\nimport os, time\nxprint('working on it')\n"
        f"while not os.path.exists({str(go)!r}): time.sleep(0.01)\nxprint('done')"
    )
    reply, printed = run_watching(kernel, cell, shown)
    assert reply["status"] == "ok"
    assert seen[0] == "[worker 1] running\nworking on it\n"
    assert printed == "[worker 1] SUCCESS\nworking on it\ndone\n"

    # A worker killed mid-job: what it printed before is shown with the report.
    cell = "%%vantrel -w 0\nimport os, signal, time\nxprint('last words')\ntime.sleep(0.5)\n"
    cell += "os.kill(os.getpid(), signal.SIGKILL)"
    reply, printed = run_watching(kernel, cell, lambda text: None)
    assert reply["status"] == "ok"
    report, rest = printed.split("\n", 1)
    assert report.startswith("[worker 0] RuntimeError: ") and "ended" in report
    assert rest == "last words\n"


def test_magic_interrupt_reaches_the_jobs(kernel):
    kernel.ok(CELLS["setup"])
    kernel.ok("%load_ext vantrel")
    kernel.ok("%%vantrel\nmine = 'kept'")
    # Both jobs are well into their loops when the cell is interrupted.
    reply, printed = interrupted(
        kernel, "%%vantrel --interrupt\nxprint('looping')\nwhile True: pass", 1.5
    )
    assert (reply["status"], reply["ename"]) == ("error", "KeyboardInterrupt")
    assert printed.count("KeyboardInterrupt: interrupted by its caller") == 2, printed
    assert "[worker 0] EXCEPTION\nlooping\n" in printed and "[worker 1] EXCEPTION" in printed
    printed = kernel.ok("%%vantrel -o out\nxreturn(mine=mine)")
    assert (
        kernel.ok("print([out[i] for i in sorted(out)])")
        == "[{'mine': 'kept'}, {'mine': 'kept'}]\n"
    )
