// MultiProcessPool.map deals jobs over the workers in rotation; reduce reads
// one answer per output queue, in job order.
#include "core/answer_wait.hpp"
#include "polyrun.hpp"

namespace vantrel::polyrun {
namespace {

// The handle that job `position` goes to: worker `position % n`;
// ZeroDivisionError for a pool without workers, as the modulo does.
PyObject* dealt_to(PyObject* handles, Py_ssize_t position) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(handles);
    if (n == 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "integer modulo by zero");
        return nullptr;
    }
    return PyList_GET_ITEM(handles, position % n);
}

// One pass over `jobs`: visit(handle, job) with the handle each job is dealt to.
template <typename Visit> int deal(PyObject* jobs, PyObject* handles, Visit visit) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(jobs));
    if (!it) return -1;
    Py_ssize_t position = 0;
    while (Ref job = Ref::steal(PyIter_Next(it.get()))) {
        PyObject* handle = dealt_to(handles, position++);
        if (!handle || visit(handle, job.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// After an interrupted gather, the queues from `from` on still owe answers.
void mark_rest_unread(PyObject* queues, Py_ssize_t from) noexcept {
    if (!PyList_Check(queues) && !PyTuple_Check(queues)) return;
    for (Py_ssize_t i = from; i < PySequence_Fast_GET_SIZE(queues); ++i)
        mark_unread(PySequence_Fast_GET_ITEM(queues, i));
}

// reduce(red): red[i].get() for each i, in order. A queue of one of our
// workers is read while watching that worker.
PyObject* reduce_body(Function*, BoundArgs& a) noexcept {
    PyObject* queues = a.v[0];
    Ref answers = Ref::steal(PyList_New(0));
    Ref it = answers ? Ref::steal(PyObject_GetIter(queues)) : Ref();
    if (!it) return nullptr;
    Py_ssize_t position = 0;
    while (Ref queue = Ref::steal(PyIter_Next(it.get()))) {
        Ref process;
        Ref answer = worker_of(queue.get(), process) >= 0
                         ? get_answer(queue.get(), process.get(), position)
                         : Ref();
        if (!answer || PyList_Append(answers.get(), answer.get()) < 0) {
            mark_rest_unread(queues, position);
            return nullptr;
        }
        ++position;
    }
    return PyErr_Occurred() ? nullptr : answers.release();
}

PyObject* map_body(Function* fn, BoundArgs& a) noexcept {
    PyObject* self = a.v[0];
    PyObject* jobs = a.v[1];
    if (!call_method(self, names.clear_output)) return nullptr;
    Ref procs = Ref::steal(PyObject_GetAttr(self, names.procs));
    if (!procs) return nullptr;
    Ref values = call_method(procs.get(), names.values);
    if (!values) return nullptr;
    Ref handles = Ref::steal(PySequence_List(values.get()));
    if (!handles) return nullptr;

    // Scatter: every job is on a queue before any answer is read.
    const int sent = deal(jobs, handles.get(), [](PyObject* handle, PyObject* job) noexcept {
        Ref qi = Ref::steal(PyObject_GetAttr(handle, names.qi));
        return qi && call_method(qi.get(), names.put, job) ? 0 : -1;
    });
    if (sent < 0) return nullptr;

    // Second pass over the jobs: the output queue behind each position.
    Ref red = Ref::steal(PyList_New(0));
    if (!red) return nullptr;
    const int listed = deal(jobs, handles.get(), [&red](PyObject* handle, PyObject*) noexcept {
        Ref qo = Ref::steal(PyObject_GetAttr(handle, names.qo));
        return qo ? PyList_Append(red.get(), qo.get()) : -1;
    });
    if (listed < 0) return nullptr;

    const int block = PyObject_IsTrue(a.v[2]);
    if (block < 0) return nullptr;
    if (!block) return red.release();
    Ref reduce = lookup_global(fn, names.reduce);
    return reduce ? call(reduce.get(), red.get()).release() : nullptr;
}

} // namespace

const FunctionSpec reduce_spec = {"reduce", {{"red"}, 1, 0}, reduce_body};
const FunctionSpec pool_map_spec = {
    "MultiProcessPool.map", {{"self", "args", "block"}, 3, 0}, map_body};

} // namespace vantrel::polyrun
