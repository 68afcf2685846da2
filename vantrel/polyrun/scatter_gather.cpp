// MultiProcessPool.map deals jobs over the workers in rotation; reduce reads
// one answer per output queue, in job order.
#include "core/mp_queue.hpp"
#include "core/pairing.hpp"
#include "polyrun.hpp"

#include <vector>

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
void abandon_rest(PyObject* queues, Py_ssize_t from) noexcept {
    if (!PyList_Check(queues) && !PyTuple_Check(queues)) return;
    for (Py_ssize_t i = from; i < PySequence_Fast_GET_SIZE(queues); ++i)
        abandon(PySequence_Fast_GET_ITEM(queues, i));
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
        Ref answer = next_answer(queue.get(), position);
        if (!answer || PyList_Append(answers.get(), answer.get()) < 0) {
            abandon_rest(queues, position);
            return nullptr;
        }
        ++position;
    }
    return PyErr_Occurred() ? nullptr : answers.release();
}

// The workers that got jobs from one call of map, and what is owed when the
// call ends early: from the first job on, every one of them may answer jobs
// whose answers nobody will read in order.
class Dealt {
  public:
    explicit Dealt(PyObject* handles) noexcept
        : handles_(handles), got_jobs_(static_cast<size_t>(PyList_GET_SIZE(handles)), false) {}
    void got_job(Py_ssize_t position) noexcept {
        got_jobs_[static_cast<size_t>(position % PyList_GET_SIZE(handles_))] = true;
    }
    void abandon_all() noexcept {
        for (size_t i = 0; i < got_jobs_.size(); ++i) {
            if (!got_jobs_[i]) continue;
            SavedError error;
            Ref qo = Ref::steal(
                PyObject_GetAttr(PyList_GET_ITEM(handles_, static_cast<Py_ssize_t>(i)), names.qo));
            PyErr_Clear();
            error.restore();
            if (qo) abandon(qo.get());
        }
    }

  private:
    PyObject* handles_;
    std::vector<bool> got_jobs_;
};

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
    Dealt dealt(handles.get());
    Py_ssize_t sent = 0;
    const int scattered = deal(jobs, handles.get(), [&](PyObject* handle, PyObject* job) noexcept {
        dealt.got_job(sent++);
        Ref qi = Ref::steal(PyObject_GetAttr(handle, names.qi));
        mp_queue::QueueState* state = nullptr;
        if (!qi || mp_queue::state_of(qi.get(), state) < 0) return -1;
        return mp_queue::send(qi.get(), state, job, mp_queue::Kind::job);
    });

    // Second pass over the jobs: the output queue behind each position.
    Ref red = scattered == 0 ? Ref::steal(PyList_New(0)) : Ref();
    const int listed = red ? deal(jobs, handles.get(),
                                  [&red](PyObject* handle, PyObject*) noexcept {
                                      Ref qo = Ref::steal(PyObject_GetAttr(handle, names.qo));
                                      return qo ? PyList_Append(red.get(), qo.get()) : -1;
                                  })
                           : -1;
    const int block = listed == 0 ? PyObject_IsTrue(a.v[2]) : -1;
    if (block < 0) {
        dealt.abandon_all();
        return nullptr;
    }
    // A job list that changed between the passes leaves answers that no
    // position stands for: owed, for the next call to settle.
    if (PyList_GET_SIZE(red.get()) != sent) dealt.abandon_all();
    if (!block) return red.release(); // the caller reads these answers from here on
    Ref reduce = lookup_global(fn, names.reduce);
    Ref answers = reduce ? call(reduce.get(), red.get()) : Ref();
    if (!answers) dealt.abandon_all();
    return answers.release();
}

} // namespace

const FunctionSpec reduce_spec = {"reduce", {{"red"}, 1, 0}, reduce_body};
const FunctionSpec pool_map_spec = {
    "MultiProcessPool.map", {{"self", "args", "block"}, 3, 0}, map_body};

} // namespace vantrel::polyrun
