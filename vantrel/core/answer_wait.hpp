// Reading answers from a worker's output queue: never waiting for good on a
// dead worker, and never pairing a job with the answer of an earlier one.
//
// Answers carry no job identity: they pair with jobs by position only. Two
// things can break that pairing, and both are handled here:
//  * the worker dies: the wait watches the worker process and raises;
//  * a wait is interrupted (KeyboardInterrupt, a dead worker of the same pool):
//    the answers still owed on that queue would be read by the next call. The
//    queue is then marked, and the next drain or blocked_put sends a barrier
//    job and discards everything up to the barrier's answer.
#pragma once

#include "ref.hpp"

namespace vantrel {

// The next item of `queue`. When `queue` is a multiprocessing queue and
// `process` (may be null) the multiprocessing process of the worker that
// answers on it, the wait checks every fraction of a second that the worker
// lives; once it has ended with nothing left to read, RuntimeError names the
// process, its exit code and, when `position` >= 0, the position of the job
// whose answer is missing. Otherwise: a plain, unbounded `queue.get()`.
Ref get_answer(PyObject* queue, PyObject* process, Py_ssize_t position) noexcept;

// Whether `queue` is a multiprocessing queue. -1 with the error set on failure.
int is_watchable_queue(PyObject* queue) noexcept;

// Records on the output queue `queue` which process answers on it (a weak
// reference), so that a wait that is handed only the queue can watch it.
int attach_worker(PyObject* queue, PyObject* process) noexcept;
// The process recorded by attach_worker: 1 with it in `process`, 0 when none
// is known (another kind of queue, or the process is gone), -1 on error.
int worker_of(PyObject* queue, Ref& process) noexcept;

// Marks `queue` as owing answers that an interrupted wait did not read. Keeps
// the exception being raised.
void mark_unread(PyObject* queue) noexcept;
// Whether `qo` is marked (cheap: the per-job check). -1 with the error set.
int is_marked_unread(PyObject* qo) noexcept;
// If `qo` is marked: puts a barrier job on `qi` and discards what `qo` yields
// up to the barrier's answer, then unmarks it (also when the worker has died).
int settle_unread(PyObject* qi, PyObject* qo, PyObject* process) noexcept;

} // namespace vantrel
