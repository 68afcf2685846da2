"""Jobs that vantrel itself puts on a worker's input queue.

A worker iterates every job that is not a str. These objects raise instead,
so the worker answers them with "EXCEPTION" like any failing job, in their
own position on its output queue, without any special case in the job loop.
"""

import pickle


class UnsentJob:
    """Takes the place of a job that the caller's queue could not pickle."""

    def __init__(self, reason: str) -> None:
        self.reason = reason

    def __iter__(self) -> "UnsentJob":
        raise pickle.PicklingError(self.reason)


class BarrierReached(Exception):
    pass


class Barrier:
    """Marks a point in a worker's queues: every answer before the barrier's
    own is left over from an earlier, interrupted wait."""

    def __init__(self, token):
        self.token = token

    def __iter__(self):
        raise BarrierReached(self.token)
