#include "answer_wait.hpp"
#include "call.hpp"
#include "module.hpp"

#include <atomic>
#include <unistd.h>

namespace vantrel {
namespace {

// Between two liveness checks: the longest a dead worker goes unnoticed.
constexpr double poll_seconds = 0.2;

// Attributes that vantrel keeps on a multiprocessing output queue.
constexpr const char* worker_attribute = "_vantrel_worker";
constexpr const char* unread_attribute = "_vantrel_unread";

struct Watch {
    PyObject* queue_type = nullptr;   // multiprocessing.queues.Queue
    PyObject* process_type = nullptr; // multiprocessing.process.BaseProcess
    PyObject* empty = nullptr;        // queue.Empty
    PyObject* get = nullptr;
    PyObject* put = nullptr;
    PyObject* is_alive = nullptr;
    PyObject* pid = nullptr;
    PyObject* exitcode = nullptr;
    PyObject* worker = nullptr;
    PyObject* unread = nullptr;
    PyObject* poll = nullptr;
};
Watch watch; // filled once, kept for the process

bool init_watch() noexcept {
    if (watch.poll) return true;
    auto name = [](const char* text) { return Ref::steal(PyUnicode_InternFromString(text)); };
    Ref refs[] = {import_attribute("multiprocessing.queues", "Queue"),
                  import_attribute("multiprocessing.process", "BaseProcess"),
                  import_attribute("queue", "Empty"),
                  name("get"),
                  name("put"),
                  name("is_alive"),
                  name("pid"),
                  name("exitcode"),
                  name(worker_attribute),
                  name(unread_attribute),
                  Ref::steal(PyFloat_FromDouble(poll_seconds))};
    for (const Ref& r : refs)
        if (!r) return false;
    if (!PyType_Check(refs[0].get()) || !PyType_Check(refs[1].get())) {
        PyErr_SetString(PyExc_RuntimeError, "multiprocessing has no Queue or BaseProcess type");
        return false;
    }
    // Kept for the life of the process, like the modules they come from.
    watch = {refs[0].release(), refs[1].release(), refs[2].release(), refs[3].release(),
             refs[4].release(), refs[5].release(), refs[6].release(), refs[7].release(),
             refs[8].release(), refs[9].release(), refs[10].release()};
    return true;
}

[[gnu::cold]] void raise_worker_gone(PyObject* process, Py_ssize_t position) noexcept {
    Ref pid = Ref::steal(PyObject_GetAttr(process, watch.pid));
    Ref code = pid ? Ref::steal(PyObject_GetAttr(process, watch.exitcode)) : Ref();
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
    return process &&
           PyObject_TypeCheck(process, reinterpret_cast<PyTypeObject*>(watch.process_type));
}

// The barrier's answer is the "EXCEPTION" answer whose traceback names its token.
bool is_barrier_answer(PyObject* answer, PyObject* token) noexcept {
    if (!PyList_CheckExact(answer) || PyList_GET_SIZE(answer) != 4) return false;
    PyObject* info = PyList_GET_ITEM(answer, 2);
    return PyUnicode_Check(info) && PyUnicode_Find(info, token, 0, PY_SSIZE_T_MAX, 1) >= 0;
}

Ref new_barrier() noexcept {
    static std::atomic<unsigned long long> counter{0};
    Ref cls = import_attribute("vantrel._control", "Barrier");
    if (!cls) return {};
    Ref token = Ref::steal(
        PyUnicode_FromFormat("vantrel barrier %ld-%llu", (long)getpid(), counter.fetch_add(1) + 1));
    if (!token) return {};
    return Ref::steal(PyObject_CallOneArg(cls.get(), token.get()));
}

} // namespace

int is_watchable_queue(PyObject* queue) noexcept {
    if (!init_watch()) return -1;
    return PyObject_TypeCheck(queue, reinterpret_cast<PyTypeObject*>(watch.queue_type));
}

Ref get_answer(PyObject* queue, PyObject* process, Py_ssize_t position) noexcept {
    const int watched = is_watchable_queue(queue);
    if (watched < 0) return {};
    if (!watched || !is_process(process)) return Ref::steal(call_method(queue, watch.get));
    for (;;) {
        // get(True, poll): positional, the cheapest call of a Python method.
        PyObject* args[] = {queue, Py_True, watch.poll};
        Ref item = Ref::steal(PyObject_VectorcallMethod(
            watch.get, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (item || !PyErr_ExceptionMatches(watch.empty)) return item;
        PyErr_Clear();

        Ref alive = Ref::steal(call_method(process, watch.is_alive));
        const int truth = alive ? PyObject_IsTrue(alive.get()) : -1;
        if (truth < 0) {
            // Not ours to ask (another process started it): wait as before.
            PyErr_Clear();
            return Ref::steal(call_method(queue, watch.get));
        }
        if (truth) continue;

        // Dead: take an answer that arrived after the last look, if any.
        PyObject* last_look[] = {queue, Py_False};
        item = Ref::steal(PyObject_VectorcallMethod(watch.get, last_look,
                                                    2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (item || !PyErr_ExceptionMatches(watch.empty)) return item;
        PyErr_Clear();
        raise_worker_gone(process, position);
        return {};
    }
}

int attach_worker(PyObject* queue, PyObject* process) noexcept {
    const int watched = is_watchable_queue(queue);
    if (watched <= 0 || !is_process(process)) return watched;
    Ref ref = Ref::steal(PyWeakref_NewRef(process, nullptr));
    return ref ? PyObject_SetAttr(queue, watch.worker, ref.get()) : -1;
}

Ref worker_of(PyObject* queue) noexcept {
    const int watched = is_watchable_queue(queue);
    if (watched <= 0) return {};
    PyObject* ref = nullptr;
    if (compat::get_optional_attr(queue, watch.worker, &ref) < 0) return {};
    Ref owner = Ref::steal(ref);
    if (!owner || !PyWeakref_CheckRef(owner.get())) return {};
    PyObject* process = nullptr;
    if (compat::weakref_target(owner.get(), &process) < 0) return {};
    return Ref::steal(process);
}

void mark_unread(PyObject* queue) noexcept {
    SavedError error;
    if (is_watchable_queue(queue) > 0) PyObject_SetAttr(queue, watch.unread, Py_True);
    PyErr_Clear();
    error.restore();
}

int is_marked_unread(PyObject* qo) noexcept {
    const int watched = is_watchable_queue(qo);
    if (watched <= 0) return watched;
    PyObject* flag = nullptr;
    if (compat::get_optional_attr(qo, watch.unread, &flag) < 0) return -1;
    Ref marked = Ref::steal(flag);
    return marked && !marked.is(Py_False);
}

int settle_unread(PyObject* qi, PyObject* qo, PyObject* process) noexcept {
    const int marked = is_marked_unread(qo);
    if (marked <= 0) return marked;

    Ref barrier = new_barrier();
    if (!barrier) return -1;
    PyObject* put_args[] = {qi, barrier.get()};
    Ref sent = Ref::steal(PyObject_VectorcallMethod(watch.put, put_args,
                                                    2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!sent) return -1;
    Ref token = Ref::steal(PyObject_GetAttrString(barrier.get(), "token"));
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
    return PyObject_SetAttr(qo, watch.unread, Py_False);
}

} // namespace vantrel
