#include "pairing.hpp"
#include "answer.hpp"
#include "call.hpp"
#include "mp_queue.hpp"
#include "state.hpp"

#include <atomic>
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
    static std::atomic<unsigned long long> counter{0};
    Ref token = Ref::steal(
        PyUnicode_FromFormat("vantrel barrier %ld-%llu", (long)getpid(), counter.fetch_add(1) + 1));
    return token ? call(process_state.stdlib.barrier, token.get()) : Ref();
}

// The state of a multiprocessing queue: 1 with it set, 0 for other objects.
int state(PyObject* queue, mp_queue::QueueState*& s) noexcept {
    return mp_queue::state_of(queue, s);
}

} // namespace

Ref next_answer(PyObject* qo, Py_ssize_t position, mp_queue::Outbox* outbox) noexcept {
    mp_queue::QueueState* s = nullptr;
    if (state(qo, s) < 0) return {};
    return mp_queue::receive_answer(qo, s, position, outbox);
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
