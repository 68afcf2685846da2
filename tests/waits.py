"""Waits in the test process that end: a hang becomes a failure, not a wedged run."""

import contextlib
import signal
import threading


class Hung(Exception):
    pass


@contextlib.contextmanager
def deadline(seconds, what):
    """Raises Hung in the calling (main) thread if the block has not ended
    after `seconds`. SIGUSR1 carries it, so that a blocking read or lock
    wait is interrupted too."""

    def hung(signum, frame):
        raise Hung(f"{what}: nothing after {seconds} s")

    saved = signal.signal(signal.SIGUSR1, hung)
    timer = threading.Timer(seconds, signal.pthread_kill, (threading.get_ident(), signal.SIGUSR1))
    timer.start()
    try:
        yield
    finally:
        timer.cancel()
        signal.signal(signal.SIGUSR1, saved)
