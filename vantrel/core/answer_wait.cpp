#include "answer_wait.hpp"
#include "answer.hpp"
#include "call.hpp"
#include "state.hpp"

#include <atomic>
#include <unistd.h>

namespace vantrel {
namespace {

[[gnu::cold]] void raise_worker_gone(PyObject* process, Py_ssize_t position) noexcept {
    Ref pid = Ref::steal(PyObject_GetAttr(process, names.pid));
    Ref code = pid ? Ref::steal(PyObject_GetAttr(process, names.exitcode)) : Ref();
    if (!code) return;
    if (position >= 0)
        PyErr_Format(PyExc_RuntimeError,
                     "worker process %R ended (exit code %R) without answering job %zd", pid.get(),
                     code.get(), position);
    else
        PyErr_Format(PyExc_RuntimeError,
                     "worker process %R ended (exit code %R) without answering the job", pid.get(),
                     code.get());
}

bool is_process(PyObject* process) noexcept {
    return process && PyObject_TypeCheck(process, reinterpret_cast<PyTypeObject*>(
                                                      process_state.stdlib.process_type.get()));
}

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

// queue.get(block, timeout), positional: the cheapest call of a Python method.
Ref timed_get(PyObject* queue, PyObject* block, PyObject* timeout) noexcept {
    return timeout ? call_method(queue, names.get, block, timeout)
                   : call_method(queue, names.get, block);
}

// Swallows queue.Empty (true); anything else stays raised (false).
bool was_empty() noexcept {
    if (!PyErr_ExceptionMatches(process_state.stdlib.queue_empty)) return false;
    PyErr_Clear();
    return true;
}

} // namespace

int is_watchable_queue(PyObject* queue) noexcept {
    if (!load_stdlib()) return -1;
    return PyObject_TypeCheck(
        queue, reinterpret_cast<PyTypeObject*>(process_state.stdlib.queue_type.get()));
}

Ref get_answer(PyObject* queue, PyObject* process, Py_ssize_t position) noexcept {
    const int watched = is_watchable_queue(queue);
    if (watched < 0) return {};
    if (!watched || !is_process(process)) return call_method(queue, names.get);
    for (;;) {
        Ref item = timed_get(queue, Py_True, process_state.answer_poll);
        if (item || !was_empty()) return item;

        Ref alive = call_method(process, names.is_alive);
        const int truth = alive ? PyObject_IsTrue(alive.get()) : -1;
        if (truth < 0) {
            // Not ours to ask (another process started it): wait as before.
            PyErr_Clear();
            return call_method(queue, names.get);
        }
        if (truth) continue;

        // Dead: take an answer that arrived after the last look, if any.
        item = timed_get(queue, Py_False, nullptr);
        if (item || !was_empty()) return item;
        raise_worker_gone(process, position);
        return {};
    }
}

int attach_worker(PyObject* queue, PyObject* process) noexcept {
    const int watched = is_watchable_queue(queue);
    if (watched <= 0 || !is_process(process)) return watched;
    Ref ref = Ref::steal(PyWeakref_NewRef(process, nullptr));
    return ref ? PyObject_SetAttr(queue, names.worker_attribute, ref.get()) : -1;
}

int worker_of(PyObject* queue, Ref& process) noexcept {
    const int watched = is_watchable_queue(queue);
    if (watched <= 0) return watched;
    PyObject* found = nullptr;
    const int has = compat::get_optional_attr(queue, names.worker_attribute, &found);
    Ref owner = Ref::steal(found);
    if (has <= 0 || !PyWeakref_CheckRef(owner.get())) return has < 0 ? -1 : 0;
    PyObject* target = nullptr;
    const int alive = compat::weakref_target(owner.get(), &target);
    process = Ref::steal(target);
    return alive;
}

void mark_unread(PyObject* queue) noexcept {
    SavedError error;
    if (is_watchable_queue(queue) > 0) PyObject_SetAttr(queue, names.unread_attribute, Py_True);
    PyErr_Clear();
    error.restore();
}

int is_marked_unread(PyObject* qo) noexcept {
    const int watched = is_watchable_queue(qo);
    if (watched <= 0) return watched;
    PyObject* flag = nullptr;
    const int has = compat::get_optional_attr(qo, names.unread_attribute, &flag);
    Ref marked = Ref::steal(flag);
    if (has <= 0) return has;
    return marked.get() != Py_False;
}

int settle_unread(PyObject* qi, PyObject* qo, PyObject* process) noexcept {
    const int marked = is_marked_unread(qo);
    if (marked <= 0) return marked;

    Ref barrier = new_barrier();
    if (!barrier || !call_method(qi, names.put, barrier.get())) return -1;
    Ref token = Ref::steal(PyObject_GetAttr(barrier.get(), names.token));
    if (!token) return -1;
    for (;;) {
        Ref answer = get_answer(qo, process, -1);
        if (!answer) {
            // A dead worker owes nothing any more; anything else (an interrupt)
            // leaves the mark for the next try.
            if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) return -1;
            PyErr_Clear();
            break;
        }
        if (is_barrier_answer(answer.get(), token.get())) break;
    }
    return PyObject_SetAttr(qo, names.unread_attribute, Py_False);
}

} // namespace vantrel
