#include "core/transport/pairing.hpp"
#include "core/capi/call.hpp"
#include "core/capi/state.hpp"
#include "core/job/answer.hpp"
#include "core/transport/mp_queue.hpp"

#include <unistd.h>

namespace vantrel {
namespace {

// The barrier's answer is the "EXCEPTION" answer whose traceback names its token.
bool is_barrier_answer(PyObject* candidate, PyObject* token) noexcept {
    if (!answer::is_answer(candidate)) return false;
    PyObject* info = answer::get(candidate, answer::item::traceback);
    return PyUnicode_Check(info) && PyUnicode_Find(info, token, 0, PY_SSIZE_T_MAX, 1) >= 0;
}

Ref new_barrier() noexcept {
    Ref token = Ref::steal(PyUnicode_FromFormat("vantrel barrier %ld-%llu", (long)getpid(),
                                                ++process_state().barriers_made));
    return token ? call(process_state().stdlib.barrier, token.get()) : Ref();
}

// The state of a multiprocessing queue: 1 with it set, 0 for other objects.
int state(PyObject* queue, mp_queue::QueueState*& s) noexcept {
    return mp_queue::state_of(queue, s);
}

} // namespace

Ref next_answer(PyObject* qo, Py_ssize_t position, mp_queue::Outbox* outbox,
                mp_queue::Lookout* lookout) noexcept {
    mp_queue::QueueState* s = nullptr;
    if (state(qo, s) < 0) return {};
    return mp_queue::receive_answer(qo, s, position, outbox, lookout);
}

int OwedAnswers::start(PyObject* queues) noexcept {
    const Py_ssize_t count = PyList_GET_SIZE(queues);
    owner_.reserve(static_cast<size_t>(count));
    for (Py_ssize_t position = 0; position < count; ++position) {
        PyObject* qo = PyList_GET_ITEM(queues, position);
        size_t which = 0;
        while (which < owing_.size() && owing_[which].qo != qo)
            ++which;
        if (which == owing_.size()) {
            Owing added;
            added.qo = qo;
            if (state(qo, added.state) < 0) return -1;
            owing_.push_back(std::move(added));
        }
        owing_[which].positions.push_back(position);
        owner_.push_back(which);
    }
    return 0;
}

Ref OwedAnswers::next(Py_ssize_t position, mp_queue::Outbox* outbox) noexcept {
    Owing& o = owing_[owner_[static_cast<size_t>(position)]];
    waiting_on_ = owner_[static_cast<size_t>(position)];
    Ref answer;
    if (o.early && o.early_taken < PyList_GET_SIZE(o.early.get())) {
        answer = Ref::borrow(PyList_GET_ITEM(o.early.get(), o.early_taken++));
    } else {
        // Only calls with more than one worker have others to look at.
        mp_queue::Lookout* others = owing_.size() > 1 ? this : nullptr;
        answer = mp_queue::receive_answer(o.qo, o.state, position, outbox, others);
    }
    if (answer) ++o.answered;
    return answer;
}

int OwedAnswers::look() noexcept {
    for (size_t i = 0; i < owing_.size(); ++i) {
        Owing& o = owing_[i];
        if (i == waiting_on_ || o.ended || !o.state || o.answered == o.positions.size() ||
            !mp_queue::worker_ended(*o.state))
            continue;
        if (!o.early) {
            o.early = Ref::steal(PyList_New(0));
            if (!o.early) return -1;
        }
        if (mp_queue::take_remaining(o.qo, o.state, o.early.get()) < 0) return -1;
        const size_t have =
            o.answered + static_cast<size_t>(PyList_GET_SIZE(o.early.get()) - o.early_taken);
        if (have >= o.positions.size()) {
            o.ended = true;
            continue;
        }
        mp_queue::raise_worker_gone(*o.state, o.positions[have]);
        return -1;
    }
    return 0;
}

void abandon(PyObject* qo) noexcept {
    SavedError error;
    mp_queue::QueueState* s = nullptr;
    if (state(qo, s) > 0) mp_queue::set_owes_answers(*s, true);
    PyErr_Clear();
    error.restore();
}

int settle(PyObject* qi, PyObject* qo) noexcept {
    mp_queue::QueueState* s = nullptr;
    const int found = state(qo, s);
    if (found <= 0 || !mp_queue::owes_answers(*s)) return found < 0 ? -1 : 0;

    Ref barrier = new_barrier();
    if (!barrier) return -1;
    mp_queue::QueueState* input = nullptr;
    if (mp_queue::state_of(qi, input) < 0 ||
        mp_queue::send(qi, input, barrier.get(), mp_queue::Kind::job) < 0)
        return -1;
    Ref token = Ref::steal(PyObject_GetAttr(barrier.get(), names.token));
    if (!token) return -1;
    for (;;) {
        Ref answer = mp_queue::receive_answer(qo, s, -1);
        if (!answer) {
            // A dead worker owes nothing any more; anything else (an interrupt)
            // leaves the queue owing for the next try.
            if (PyErr_ExceptionMatches(PyExc_RuntimeError) == 0) return -1;
            PyErr_Clear();
            break;
        }
        if (is_barrier_answer(answer.get(), token.get())) break;
    }
    mp_queue::set_owes_answers(*s, false);
    return 0;
}

} // namespace vantrel
