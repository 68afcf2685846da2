// vantrel._runner: the job loop's way of running a job, for workers that get
// their jobs some other way than from a queue (Ray actors). A JobRunner holds
// one collector (vantrel.monorun._HandleContent) and one namespace, and runs
// jobs in it exactly as a worker of vantrel.monorun does.
#include "core/capi/module.hpp"
#include "core/capi/function.hpp"
#include "core/capi/state.hpp"
#include "core/job/job.hpp"
#include "core/job/stand_in.hpp"
#include "core/transport/mp_queue.hpp"

#include <new>

namespace vantrel::runner {
namespace {

struct RunnerObject {
    PyObject_HEAD JobRunner runner;
};

RunnerObject* as_runner(PyObject* o) noexcept {
    return reinterpret_cast<RunnerObject*>(o);
}

// JobRunner(): the collector and the namespace of a new worker, with the
// handlers looking up `queue` and `traceback` in vantrel.monorun.
PyObject* runner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "JobRunner() takes no arguments");
        return nullptr;
    }
    Ref worker_module = import_module("vantrel.monorun");
    if (!worker_module) return nullptr;
    PyObject* lookups = PyModule_GetDict(worker_module.get());
    Ref collector_class = lookup_global(lookups, names.handle_content);
    if (!collector_class) return nullptr;
    Ref collector = Ref::steal(PyObject_CallNoArgs(collector_class.get()));
    if (!collector) return nullptr;

    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    new (&as_runner(self.get())->runner) JobRunner();
    // The worker module stays loaded for the life of the process.
    if (!as_runner(self.get())->runner.start(lookups, std::move(collector))) return nullptr;
    return self.release();
}

void runner_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_runner(self)->runner.~JobRunner();
    type->tp_free(self);
    Py_DECREF(type);
}

int runner_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    return as_runner(self)->runner.traverse(visit, arg);
}

// run(job): the job's answer, or None when the job raised KeyboardInterrupt
// (a worker sends no answer then). Exceptions that end a worker propagate.
PyObject* runner_run(PyObject* self, PyObject* job) noexcept {
    JobRunner& runner = as_runner(self)->runner;
    if (!runner.clear_collector()) return nullptr;
    JobRunner::Outcome outcome = runner.run(job);
    switch (outcome.end) {
    case JobRunner::End::success:
    case JobRunner::End::exception:
        return outcome.answer.release();
    case JobRunner::End::unanswered:
        Py_RETURN_NONE;
    case JobRunner::End::fatal:
        break;
    }
    return nullptr;
}

PyMethodDef runner_methods[] = {
    {"run", runner_run, METH_O, "run(job) -> the four-item answer, or None"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot runner_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(runner_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(runner_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(runner_traverse)},
    {Py_tp_methods, runner_methods},
    {Py_tp_doc, const_cast<char*>("JobRunner(): runs jobs in one namespace, as a worker does.")},
    {0, nullptr},
};

PyType_Spec runner_spec = {
    .name = "vantrel._runner.JobRunner",
    .basicsize = sizeof(RunnerObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = runner_slots,
};

// unsendable_answer(answer, error): the "EXCEPTION" answer a worker sends
// instead of an answer that cannot be pickled.
PyObject* unsendable_answer_body(Function*, BoundArgs& a) noexcept {
    return stand_in::unsendable_answer(a.v[0], a.v[1]).release();
}

// unsent_job(error): the job a caller sends instead of one that cannot be
// pickled; a worker answers it "EXCEPTION".
PyObject* unsent_job_body(Function*, BoundArgs& a) noexcept {
    return stand_in::unsent_job(a.v[0]).release();
}

// activity(qo): what the caller knows of the worker answering on `qo`, for a
// pool's status (mp_queue::activity), or None for another kind of queue.
PyObject* activity_body(Function*, BoundArgs& a) noexcept {
    mp_queue::QueueState* state = nullptr;
    const int known = mp_queue::state_of(a.v[0], state);
    if (known < 0) return nullptr;
    if (known == 0) Py_RETURN_NONE;
    return mp_queue::activity(*state).release();
}

const FunctionSpec activity_spec = {"activity", {{"qo"}, 1, 0}, activity_body};
const FunctionSpec unsendable_answer_spec = {
    "unsendable_answer", {{"answer", "error"}, 2, 0}, unsendable_answer_body};
const FunctionSpec unsent_job_spec = {"unsent_job", {{"error"}, 1, 0}, unsent_job_body};

constexpr const char* module_doc =
    "Runs jobs as a worker of vantrel.monorun does, for workers fed by other means.";

int fill_namespace(PyObject* m) noexcept {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(m, &runner_spec, nullptr));
    return bind(m, "JobRunner", type) &&
                   bind(m, "unsendable_answer", make_function(m, unsendable_answer_spec)) &&
                   bind(m, "unsent_job", make_function(m, unsent_job_spec)) &&
                   bind(m, "activity", make_function(m, activity_spec))
               ? 0
               : -1;
}

} // namespace
} // namespace vantrel::runner

PyMODINIT_FUNC PyInit__runner() { // NOLINT(bugprone-reserved-identifier): fixed by CPython
    return vantrel::define_module(vantrel::runner::module_doc, vantrel::runner::fill_namespace);
}
