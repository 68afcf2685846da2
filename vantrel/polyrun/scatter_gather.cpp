// MultiProcessPool.map deals jobs over the workers in rotation; reduce reads
// one answer per output queue, in job order.
#include "core/answer_wait.hpp"
#include "polyrun.hpp"

namespace vantrel::polyrun {

namespace {

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

// After an interrupted gather, the queues from `from` on still owe answers.
void mark_rest_unread(PyObject* red, Py_ssize_t from) noexcept {
    if (!PyList_Check(red) && !PyTuple_Check(red)) return;
    for (Py_ssize_t i = from; i < PySequence_Fast_GET_SIZE(red); ++i)
        mark_unread(PySequence_Fast_GET_ITEM(red, i));
}

// reduce(red): red[i].get() for each i, in order. A queue of one of our
// workers is read while watching that worker.
PyObject* gather(PyObject* red) noexcept {
    Ref answers = Ref::steal(PyList_New(0));
    Ref it = answers ? Ref::steal(PyObject_GetIter(red)) : Ref();
    if (!it) return nullptr;
    Py_ssize_t position = 0;
    while (Ref queue = Ref::steal(PyIter_Next(it.get()))) {
        Ref process = worker_of(queue.get());
        Ref answer =
            process || !PyErr_Occurred() ? get_answer(queue.get(), process.get(), position) : Ref();
        if (!answer || PyList_Append(answers.get(), answer.get()) < 0) {
            mark_rest_unread(red, position);
            return nullptr;
        }
        ++position;
    }
    return PyErr_Occurred() ? nullptr : answers.release();
}

PyObject* reduce_body(Function*, BoundArgs& a) noexcept {
    return gather(a.v[0]);
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
    PyObject* arg = red.get();
    return PyObject_Vectorcall(reduce.get(), &arg, 1, nullptr);
}

} // namespace

const FunctionSpec reduce_spec = {"reduce", {{"red"}, 1, 0}, reduce_body};
const FunctionSpec pool_map_spec = {
    "MultiProcessPool.map", {{"self", "args", "block"}, 3, 0}, map_body};

} // namespace vantrel::polyrun
