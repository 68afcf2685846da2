// Answers carry no job identity: they pair with jobs by position only. What
// keeps the pairing right:
//  * a wait on a worker's output queue watches the worker, so a dead worker
//    ends the wait with an error instead of a hang (mp_queue);
//  * a call that ends early once its first job may have been sent (an
//    interrupt, a job list that fails half-way, a dead worker of the same
//    pool) marks the output queues of the workers it sent jobs to as owing
//    answers nobody will read in order; the next call on such a worker first
//    sends a barrier job and discards everything up to the barrier's answer.
//    Calls that end normally mark nothing, so threads that share a worker
//    never take each other's answers.
#pragma once

#include "mp_queue.hpp"
#include "ref.hpp"

namespace vantrel {

// The next answer on `qo` (any object with get()). On a worker's queue the
// wait watches the worker and raises RuntimeError naming `position` (-1: "the
// job") when it ended without answering. Jobs that `outbox` holds back go out
// while it waits.
Ref next_answer(PyObject* qo, Py_ssize_t position, mp_queue::Outbox* outbox = nullptr) noexcept;

// A call that sent jobs to the worker behind `qo` ends without reading all
// their answers. Keeps the exception being raised.
void abandon(PyObject* qo) noexcept;

// If `qo` was abandoned: puts a barrier job on `qi` and discards what `qo`
// yields up to the barrier's answer (or until its worker is found dead).
int settle(PyObject* qi, PyObject* qo) noexcept;

} // namespace vantrel
