"""A notebook session, played by IPython's own shell.

A notebook's set-up cell runs again and again: after an edit, on "run all",
after `%reset`. Kept on `builtins`, the process-wide pool survives all of that,
so a second run of the set-up cell hands out the same workers, with whatever
state earlier cells left in them, instead of starting new ones.

This program feeds cells to `InteractiveShell.run_cell`, the call through which
a Jupyter kernel runs every cell, and prints them like a notebook would.

Run it with `python notebook_session.py` (needs `ipython`).
"""

from IPython.core.interactiveshell import InteractiveShell
from traitlets.config import Config

SETUP = """\
import atexit
import builtins
from vantrel import polyrun

polyrun.MultiProcessNoRep.set(builtins)
if polyrun.MultiProcessNoRep.init_process(2) is None:
    # First run in this interpreter: the pool was just created.
    atexit.register(lambda: builtins.MPNR.kill_all())
    print("pool created, workers", list(MPNR.procs))
else:
    print("pool reused, workers", list(MPNR.procs))
"""

# Each worker counts the batches it has run: its namespace outlives the cells.
WORK = """\
answers = MPNR.map(["runs = globals().get('runs', 0) + 1\\nxreturn(runs=runs)"] * 2)
print("batches run by each worker:", [a[3]["runs"] for a in answers])
"""

CELLS = [SETUP, WORK, SETUP, WORK, "%reset -f", SETUP, WORK, "MPNR.kill_all()"]


def main():
    config = Config()
    config.HistoryManager.hist_file = ":memory:"
    shell = InteractiveShell.instance(config=config)
    first_seen = {}
    try:
        for number, cell in enumerate(CELLS, 1):
            if cell in first_seen:
                print(f"In [{number}]: # the cell of In [{first_seen[cell]}], run again")
            else:
                first_seen[cell] = number
                first, *rest = cell.rstrip().splitlines()
                print(f"In [{number}]:", first)
                for line in rest:
                    print(f"{'':8}{line}".rstrip())
            shell.run_cell(cell, store_history=True).raise_error()
            print()
    finally:
        # Whatever happened above, no worker outlives this program.
        shell.run_cell("import builtins\nif hasattr(builtins, 'MPNR'): builtins.MPNR.kill_all()")


if __name__ == "__main__":
    main()
