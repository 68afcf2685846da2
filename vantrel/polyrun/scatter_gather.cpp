// MultiProcessPool.map deals jobs over the workers in rotation; reduce reads
// one answer per output queue, in job order.
#include "core/answer_wait.hpp"
#include "polyrun.hpp"

namespace vantrel::polyrun {

ProcessRef original_reduce;

namespace {

ProcessRef registry; // weakref.WeakKeyDictionary: output queue -> worker process

// Worker `ia % n` of `pio`; ZeroDivisionError for a pool without workers,
// as the modulo does.
PyObject* dealt_to(PyObject* pio, Py_ssize_t ia) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(pio);
    if (n == 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "integer modulo by zero");
        return nullptr;
    }
    return PyList_GET_ITEM(pio, ia % n);
}

// Reads red[i].get() for each i; `processes` (or null) gives the worker
// behind each position so that a dead worker ends the wait.
PyObject* gather(PyObject* red, PyObject* processes) noexcept {
    Ref answers = Ref::steal(PyList_New(0));
    Ref it = answers ? Ref::steal(PyObject_GetIter(red)) : Ref();
    if (!it) return nullptr;
    Py_ssize_t position = 0;
    while (Ref queue = Ref::steal(PyIter_Next(it.get()))) {
        Ref process;
        if (processes) {
            const Py_ssize_t n = PyList_GET_SIZE(processes);
            process = Ref::borrow(PyList_GET_ITEM(processes, position % n));
        } else {
            process = worker_of_queue(queue.get());
            if (!process && PyErr_Occurred()) return nullptr;
        }
        Ref answer = get_answer(queue.get(), process.get(), position);
        if (!answer || PyList_Append(answers.get(), answer.get()) < 0) return nullptr;
        ++position;
    }
    return PyErr_Occurred() ? nullptr : answers.release();
}

PyObject* reduce_body(Function*, BoundArgs& a) noexcept {
    return gather(a.v[0], nullptr);
}

// The process behind each handle of `pio`, None where a handle has none.
Ref processes_of(PyObject* pio) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(pio);
    Ref out = Ref::steal(PyList_New(n));
    if (!out) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* p = nullptr;
        if (_PyObject_LookupAttr(PyList_GET_ITEM(pio, i), names.proc, &p) < 0) PyErr_Clear();
        PyList_SET_ITEM(out.get(), i, p ? p : Py_NewRef(Py_None));
    }
    return out;
}

PyObject* map_body(Function* fn, BoundArgs& a) noexcept {
    PyObject* self = a.v[0];
    PyObject* args = a.v[1];
    Ref drained = Ref::steal(call_method(self, names.clear_output));
    if (!drained) return nullptr;
    Ref procs = Ref::steal(PyObject_GetAttr(self, names.procs));
    if (!procs) return nullptr;
    Ref handles = Ref::steal(call_method(procs.get(), names.values));
    if (!handles) return nullptr;
    Ref pio = Ref::steal(PySequence_List(handles.get()));
    if (!pio) return nullptr;

    // Scatter: every job is on a queue before any answer is read.
    Ref it = Ref::steal(PyObject_GetIter(args));
    if (!it) return nullptr;
    Py_ssize_t ia = 0;
    while (Ref job = Ref::steal(PyIter_Next(it.get()))) {
        PyObject* handle = dealt_to(pio.get(), ia++);
        if (!handle) return nullptr;
        Ref qi = Ref::steal(PyObject_GetAttr(handle, names.qi));
        if (!qi) return nullptr;
        Ref sent = Ref::steal(call_method(qi.get(), names.put, job.get()));
        if (!sent) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;

    // Second pass over args: the output queue behind each position.
    Ref red = Ref::steal(PyList_New(0));
    it = red ? Ref::steal(PyObject_GetIter(args)) : Ref();
    if (!it) return nullptr;
    ia = 0;
    while (Ref job = Ref::steal(PyIter_Next(it.get()))) {
        PyObject* handle = dealt_to(pio.get(), ia++);
        if (!handle) return nullptr;
        Ref qo = Ref::steal(PyObject_GetAttr(handle, names.qo));
        if (!qo || PyList_Append(red.get(), qo.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;

    const int block = PyObject_IsTrue(a.v[2]);
    if (block < 0) return nullptr;
    if (!block) return red.release();
    Ref reduce = Ref::steal(lookup_global(fn, names.reduce));
    if (!reduce) return nullptr;
    if (original_reduce.is(reduce.get())) {
        // Our own reduce: the workers behind the queues are known here.
        Ref processes = processes_of(pio.get());
        return processes ? gather(red.get(), processes.get()) : nullptr;
    }
    PyObject* arg = red.get();
    return PyObject_Vectorcall(reduce.get(), &arg, 1, nullptr);
}

} // namespace

bool register_worker(PyObject* handle) noexcept {
    if (!registry) {
        Ref weakref = Ref::steal(PyImport_ImportModule("weakref"));
        Ref cls = weakref ? Ref::steal(PyObject_GetAttrString(weakref.get(), "WeakKeyDictionary"))
                          : Ref();
        if (!cls) return false;
        registry.set(Ref::steal(PyObject_CallNoArgs(cls.get())));
        if (!registry) return false;
    }
    // Only handles that look like ours take part; anything else is left alone.
    PyObject *qo_raw = nullptr, *proc_raw = nullptr;
    if (_PyObject_LookupAttr(handle, names.qo, &qo_raw) < 0) return false;
    Ref qo = Ref::steal(qo_raw);
    if (!qo) return true;
    if (_PyObject_LookupAttr(handle, names.proc, &proc_raw) < 0) return false;
    Ref proc = Ref::steal(proc_raw);
    if (!proc) return true;
    const int watchable = is_watchable_queue(qo.get());
    if (watchable <= 0) return watchable == 0;
    return PyObject_SetItem(registry.get(), qo.get(), proc.get()) == 0;
}

Ref worker_of_queue(PyObject* queue) noexcept {
    if (!registry) return {};
    const int watchable = is_watchable_queue(queue);
    if (watchable <= 0) return {};
    Ref process = Ref::steal(call_method(registry.get(), names.get, queue));
    if (process && process.is(Py_None)) return {};
    return process;
}

const FunctionSpec reduce_spec = {"reduce", {{"red"}, 1, 0}, reduce_body};
const FunctionSpec pool_map_spec = {
    "MultiProcessPool.map", {{"self", "args", "block"}, 3, 0}, map_body};

} // namespace vantrel::polyrun
