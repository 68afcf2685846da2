"""Replacing one worker of a pool: the pool's own operation, shared by time
limits, restarts and recycling."""

import sys

from vantrel import _lock
from vantrel._pool import healing

from .status import replacing as marked_replacing

# Replacements one at a time: each reads `procs` and writes it back rebuilt,
# and the futures' threads may replace two workers of one pool at once.
replacing = _lock.RLock()


def replace_worker(self, index):
    """Ends worker ``index`` (its position in ``procs``) if it still runs and
    starts a fresh one of the same name in its place; returns the new handle.

    The fresh worker runs the pool's recorded set-up (``setup``) before it
    takes its place; without one its namespace is empty. If starting it or
    its set-up fails (SetupError), or is interrupted, the pool keeps the old
    entry and no new worker is left running outside ``procs``."""
    with replacing:
        procs = self.procs
        handles = list(procs.values())
        index = _position(index, len(handles))
        with marked_replacing(self, index):
            return _replace(self, procs, handles[index], index)


def _replace(self, procs, old, index):
    old.kill()
    if old.proc.is_alive():
        old.proc.join(1.0)
    cs = sys.modules["vantrel.polyrun"].cs  # looked up at each use, as the pool's own code does
    fresh = rebuilt = None
    try:
        fresh = cs.SingleProcess(f"{self.name_pref}_{index}")
        healing.replay_into(self, index, fresh)
        if self.procs is not procs:
            # Emptied or restarted meanwhile (kill_all from another thread):
            # the fresh worker has no place left.
            raise RuntimeError(f"the pool changed while worker {index} was being replaced")
        rebuilt = {
            (fresh.proc.pid if handle is old else pid): (fresh if handle is old else handle)
            for pid, handle in procs.items()
        }
        self.procs = rebuilt
    except BaseException:
        if fresh is not None and (rebuilt is None or self.procs is not rebuilt):
            fresh.kill()
        raise
    return fresh


def _position(index, count):
    """``index`` as a position among ``count`` workers (an ``operator.index``)."""
    import operator

    position = operator.index(index)
    if not 0 <= position < count:
        raise IndexError(f"worker {index} is out of range: the pool has {count} workers")
    return position


METHODS = {"replace_worker": replace_worker}
