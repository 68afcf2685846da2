"""Workers that come back ready: set-up recorded and replayed into every
worker the pool starts in place of another, dead workers restarted, workers
recycled after a number of jobs or past a memory size, and a running job
interrupted without losing the worker's namespace.

What a pool is asked for lives in one `_Healing` object on the pool, made at
the first such request. The pool's own code asks it once per `map` (before
dealing) and once per `init_process` (after starting the workers); a pool
without one pays a single attribute look-up."""

import operator
import sys
from typing import Any

from vantrel import _figures

_STATE = "_vantrel_healing"


class SetupError(RuntimeError):
    """A recorded set-up job answered "EXCEPTION" in a new worker. The worker
    was killed, never handed other jobs; `answer` is the set-up job's
    answer, `worker` the worker's position."""

    def __init__(self, message, answer, worker):
        super().__init__(message)
        self.answer = answer
        self.worker = worker


class _Healing:
    """What one pool was asked for."""

    __slots__ = ("after_setup", "auto_restart", "max_jobs", "max_rss", "setup")

    def __init__(self):
        self.setup = []  # (job, worker position or None for every worker), in order
        self.auto_restart = False
        self.max_jobs = None
        self.max_rss = None
        # pid -> jobs its set-up took: recycling counts the jobs after them.
        self.after_setup = {}

    def jobs_for(self, position):
        return [job for job, worker in self.setup if worker is None or worker == position]

    def before_map(self, pool):
        if self.auto_restart:
            restart_dead(pool)
        if self.max_jobs is not None or self.max_rss is not None:
            _recycle_worn(pool, self)

    def after_start(self, pool):
        self.after_setup.clear()
        if self.setup:
            _replay(pool, self, dict(enumerate(pool.procs.values())))


def _state(pool, create=False):
    state = pool.__dict__.get(_STATE)
    if state is None and create:
        state = _Healing()
        setattr(pool, _STATE, state)
    return state


def _is_local(pool):
    return not hasattr(pool, "_start_worker")


def _position(pool, index):
    position = operator.index(index)
    count = len(pool.procs)
    if not 0 <= position < count:
        raise IndexError(f"worker {index} is out of range: the pool has {count} workers")
    return position


def _run_round(pool, sends):
    """Sends each worker of `sends` ({position: (handle, job)}) its job and
    returns {position: answer}, read with every worker watched."""
    positions = list(sends)
    if _is_local(pool):
        reduce = sys.modules["vantrel.polyrun"].reduce
        for position in positions:
            handle, job = sends[position]
            handle.qi.put(job)
        answers = reduce([sends[position][0].qo for position in positions])
    else:
        from vantrel import cluster

        pending = [cluster._send(sends[p][0], k, sends[p][1]) for k, p in enumerate(positions)]
        answers = cluster.reduce(pending)
    return dict(zip(positions, answers, strict=True))


def _round(handles, plans, step, failed):
    # A function of its own: a comprehension inlined in _replay's `try` could
    # let an interrupt skip its handler (CPython 3.14).
    return {
        position: (handle, plans[position][step])
        for position, handle in handles.items()
        if step < len(plans[position]) and position not in failed
    }


def _replay(pool, state, handles):
    """Runs the recorded set-up, in order, in the workers `handles`
    ({position: handle}, all fresh), as rounds: every worker its first job,
    then its second... A worker whose set-up job fails is killed and the
    others finish theirs; then SetupError names the first failure. If the
    replay itself ends early (an interrupt, a worker that died), the workers
    it had not finished are killed."""
    plans = {position: state.jobs_for(position) for position in handles}
    failed = {}
    step = 0
    try:
        for step in range(max(map(len, plans.values()), default=0)):
            sends = _round(handles, plans, step, failed)
            if not sends:
                break
            for position, answer in _run_round(pool, sends).items():
                if not (isinstance(answer, list) and answer and answer[0] == "SUCCESS"):
                    failed[position] = answer
                    handles[position].kill()
                else:
                    continue  # keeps the jump back under the handler (CPython 3.14)
    except BaseException:
        # Interrupted, or a worker died: none that is half set up gets jobs.
        for position, handle in handles.items():
            if position not in failed and step < len(plans[position]):
                handle.kill()
            else:
                continue  # keeps the jump back under the handler (CPython 3.14)
        raise
    if failed:
        position, answer = next(iter(failed.items()))
        text = answer[2] if isinstance(answer, list) and len(answer) > 2 else repr(answer)
        raise SetupError(
            f"the recorded set-up failed in the new worker {position} (it was killed):\n{text}",
            answer,
            position,
        )
    if _is_local(pool):
        for handle in handles.values():
            figures = _figures.read(handle)
            if figures is not None:
                state.after_setup[handle.proc.pid] = figures.started


def replay_into(pool: Any, position: int, handle: Any) -> None:
    """The recorded set-up run in `handle`, a new worker about to take
    `position`; SetupError (the worker killed) when a job of it fails."""
    state = _state(pool)
    if state is not None and state.setup:
        _replay(pool, state, {position: handle})


def setup(self: Any, job: Any, worker: int | None = None) -> Any:
    """Runs `job` on every worker now (as `map` of one copy per worker; with
    `worker`, on that worker only) and records it: every worker the pool
    starts from now on in place of another, or adds in `init_process`, runs
    the recorded set-up, in order, before any other job. Returns the answers
    (one answer with `worker`). A job that answers "EXCEPTION" here is not
    recorded."""
    if worker is None:
        answers = self.map([job] * len(self.procs))
        ok = all(answer[0] == "SUCCESS" for answer in answers)
    else:
        position = _position(self, worker)
        handle = list(self.procs.values())[position]
        if _is_local(self):
            answers = handle.blocked_put(job)  # settles what an earlier call left owed
        else:
            answers = _run_round(self, {position: (handle, job)})[position]
        ok = answers[0] == "SUCCESS"
        worker = position
    if ok:
        _state(self, create=True).setup.append((job, worker))
    return answers


def _setup_jobs(self: Any) -> list[tuple[Any, int | None]]:
    """The recorded set-up, in order: (job, worker position or None for all)."""
    state = _state(self)
    return list(state.setup) if state is not None else []


def forget_setup(self: Any) -> None:
    """Drops the recorded set-up: new workers start empty again."""
    state = _state(self)
    if state is not None:
        state.setup.clear()


def _dead_positions(pool):
    if not _is_local(pool):
        return pool._dead_positions()
    return [p for p, handle in enumerate(pool.procs.values()) if not handle.proc.is_alive()]


def restart_dead(self: Any) -> list[int]:
    """Replaces every worker that has ended (same position, set-up
    replayed); returns their positions."""
    dead: list[int] = _dead_positions(self)
    for position in dead:
        self.replace_worker(position)
    return dead


def _auto_restart(self: Any) -> bool:
    """Whether a worker found dead at the start of a `map` is replaced first
    (False by default). A worker that dies while it owes answers still fails
    that call; it is replaced before the next one."""
    state = _state(self)
    return state is not None and bool(state.auto_restart)


def _set_auto_restart(self: Any, value: object) -> None:
    _state(self, create=True).auto_restart = bool(value)


def _limit(name, value):
    if value is None:
        return None
    value = operator.index(value)
    if value <= 0:
        raise ValueError(f"{name} must be positive, or None")
    return value


def recycle(self: Any, max_jobs: int | None = None, max_rss: int | None = None) -> None:
    """Replaces a worker (set-up replayed) once it has run `max_jobs` jobs
    since its set-up, or once its resident memory after a job exceeds
    `max_rss` bytes. Checked when the pool deals jobs, before each `map`:
    never in the middle of a job, never losing an answer (one `map` does not
    split, so its jobs may take a worker past `max_jobs`). Both None: off."""
    if not _is_local(self):
        raise NotImplementedError("recycle is not available on a RayPool")
    max_jobs = _limit("max_jobs", max_jobs)
    max_rss = _limit("max_rss", max_rss)
    state = _state(self, create=True)
    state.max_jobs, state.max_rss = max_jobs, max_rss


def is_worn(state: Any, handle: Any) -> bool:
    """Whether the worker behind `handle` is past the recycling limits."""
    figures = _figures.read(handle)
    if figures is None:
        return False
    ran = figures.started - state.after_setup.get(handle.proc.pid, 0)
    return (state.max_jobs is not None and ran >= state.max_jobs) or (
        state.max_rss is not None and figures.resident > state.max_rss
    )


def _recycle_worn(pool, state):
    for position, handle in enumerate(list(pool.procs.values())):
        if is_worn(state, handle):
            pool.replace_worker(position)


def interrupt(self: Any, worker: int) -> bool:
    """Makes the job running in worker `worker` raise KeyboardInterrupt at
    its next bytecode: it answers "EXCEPTION" with its traceback and the
    worker keeps its namespace. Returns False when the worker was idle
    (nothing is done). A job inside C code that does not return to the
    interpreter (a long C call) is not reached this way."""
    if not _is_local(self):
        raise NotImplementedError("interrupt is not available on a RayPool")
    handle = list(self.procs.values())[_position(self, worker)]
    return bool(_figures.interrupt(handle))


METHODS = {
    "setup": setup,
    "setup_jobs": property(_setup_jobs),
    "forget_setup": forget_setup,
    "restart_dead": restart_dead,
    "auto_restart": property(_auto_restart, _set_auto_restart),
    "recycle": recycle,
    "interrupt": interrupt,
}
