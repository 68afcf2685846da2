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

#include "core/capi/ref.hpp"
#include "core/transport/mp_queue.hpp"

#include <vector>

namespace vantrel {

// The next answer on `qo` (any object with get()). On a worker's queue the
// wait watches the worker and raises RuntimeError naming `position` (-1: "the
// job") when it ended without answering. Jobs that `outbox` holds back go out
// while it waits.
Ref next_answer(PyObject* qo, Py_ssize_t position, mp_queue::Outbox* outbox = nullptr,
                mp_queue::Lookout* lookout = nullptr) noexcept;

// The answers of one call, one output queue per position, read in order.
// While one answer is awaited, every other worker that still owes answers to
// the call is watched too: when one of them has ended, what it left on its
// queue is read at once (kept for its turn), and if that is not all it owes,
// the wait ends with the RuntimeError naming it and its first job left
// unanswered.
class OwedAnswers final : public mp_queue::Lookout {
  public:
    OwedAnswers() noexcept = default;
    OwedAnswers(const OwedAnswers&) = delete;
    OwedAnswers& operator=(const OwedAnswers&) = delete;
    ~OwedAnswers() = default;

    // Learns which positions each queue of `queues` (a list) answers; -1 on error.
    int start(PyObject* queues) noexcept;
    // The answer at `position`, the next in order. Jobs that `outbox` holds
    // back go out meanwhile.
    Ref next(Py_ssize_t position, mp_queue::Outbox* outbox) noexcept;
    int look() noexcept override;

  private:
    struct Owing {
        PyObject* qo = nullptr; // borrowed from the list of queues
        mp_queue::QueueState* state = nullptr;
        std::vector<Py_ssize_t> positions; // in order
        size_t answered = 0;               // of `positions`
        Ref early;                         // answers read before their turn (a list)
        Py_ssize_t early_taken = 0;
        bool ended = false; // found ended with all it owes read
    };
    std::vector<Owing> owing_;
    std::vector<size_t> owner_; // position -> index into owing_
    size_t waiting_on_ = 0;
};

// A call that sent jobs to the worker behind `qo` ends without reading all
// their answers. Keeps the exception being raised.
void abandon(PyObject* qo) noexcept;

// If `qo` was abandoned: puts a barrier job on `qi` and discards what `qo`
// yields up to the barrier's answer (or until its worker is found dead).
int settle(PyObject* qi, PyObject* qo) noexcept;

} // namespace vantrel
