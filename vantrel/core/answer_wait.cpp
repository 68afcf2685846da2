#include "answer_wait.hpp"

namespace vantrel {
namespace {

// Between two liveness checks: the longest a dead worker goes unnoticed.
constexpr double poll_seconds = 0.2;

struct Watch {
    PyObject* queue_type = nullptr;   // multiprocessing.queues.Queue
    PyObject* process_type = nullptr; // multiprocessing.process.BaseProcess
    PyObject* empty = nullptr;        // queue.Empty
    PyObject* get = nullptr;
    PyObject* is_alive = nullptr;
    PyObject* pid = nullptr;
    PyObject* exitcode = nullptr;
    PyObject* timeout_kwnames = nullptr;
    PyObject* poll = nullptr;
};
Watch watch; // filled once, kept for the process

PyObject* attribute_of(const char* module, const char* name) noexcept {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    return m ? PyObject_GetAttrString(m.get(), name) : nullptr;
}

bool init_watch() noexcept {
    if (watch.timeout_kwnames) return true;
    Watch w;
    w.queue_type = attribute_of("multiprocessing.queues", "Queue");
    w.process_type = attribute_of("multiprocessing.process", "BaseProcess");
    w.empty = attribute_of("queue", "Empty");
    w.get = PyUnicode_InternFromString("get");
    w.is_alive = PyUnicode_InternFromString("is_alive");
    w.pid = PyUnicode_InternFromString("pid");
    w.exitcode = PyUnicode_InternFromString("exitcode");
    w.poll = PyFloat_FromDouble(poll_seconds);
    w.timeout_kwnames = Py_BuildValue("(s)", "timeout");
    PyObject* all[] = {w.queue_type, w.process_type, w.empty,          w.get, w.is_alive, w.pid,
                       w.exitcode,   w.poll,         w.timeout_kwnames};
    bool ok = true;
    for (PyObject* o : all)
        ok = ok && o != nullptr;
    if (!ok || !PyType_Check(w.queue_type) || !PyType_Check(w.process_type)) {
        for (PyObject* o : all)
            Py_XDECREF(o);
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, "multiprocessing has no Queue or BaseProcess type");
        return false;
    }
    watch = w;
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

} // namespace

int is_watchable_queue(PyObject* queue) noexcept {
    if (!init_watch()) return -1;
    return PyObject_TypeCheck(queue, reinterpret_cast<PyTypeObject*>(watch.queue_type));
}

Ref get_answer(PyObject* queue, PyObject* process, Py_ssize_t position) noexcept {
    const int watched = is_watchable_queue(queue);
    if (watched < 0) return {};
    if (!watched || !process ||
        !PyObject_TypeCheck(process, reinterpret_cast<PyTypeObject*>(watch.process_type)))
        return Ref::steal(PyObject_VectorcallMethod(watch.get, &queue,
                                                    1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    for (;;) {
        PyObject* args[] = {queue, watch.poll};
        Ref item = Ref::steal(PyObject_VectorcallMethod(
            watch.get, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, watch.timeout_kwnames));
        if (item || !PyErr_ExceptionMatches(watch.empty)) return item;
        PyErr_Clear();

        Ref alive = Ref::steal(PyObject_VectorcallMethod(
            watch.is_alive, &process, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        const int truth = alive ? PyObject_IsTrue(alive.get()) : -1;
        if (truth < 0) {
            // Not ours to ask (another process started it): wait as before.
            PyErr_Clear();
            return Ref::steal(PyObject_VectorcallMethod(
                watch.get, &queue, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
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

} // namespace vantrel
