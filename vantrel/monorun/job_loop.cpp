// monorun_main, the whole life of a worker process, and its SIGINT handler.
#include "core/job.hpp"
#include "monorun.hpp"

namespace vantrel::monorun {
namespace {

constexpr const char* main_doc =
    "\n    This is the main loop of a single process\n    \n    Parametrs : \n"
    "    _______________________\n    qi is the input queue for this main function\n"
    "    while qo is the output queue for this \n  ";

PyObject* sigint_handler_body(Function* fn, BoundArgs&) noexcept {
    if (PyDict_SetItem(fn->globals, names.stop, Py_True) < 0) return nullptr;
    Py_RETURN_NONE;
}

class Worker {
  public:
    Worker(Function* fn, PyObject* qi, PyObject* qo) noexcept : fn_(fn), qi_(qi), qo_(qo) {}

    // Names the process, installs the SIGINT handler, builds the collector
    // and the namespace; false with the error set.
    bool start(PyObject* name) noexcept;
    // The job loop; returns only by raising.
    PyObject* serve() noexcept;

  private:
    Ref global(PyObject* name) noexcept { return lookup_global(fn_, name); }
    Ref wait_for_job() noexcept;
    bool put(PyObject* answer) noexcept {
        return static_cast<bool>(call_method(qo_, names.put, answer));
    }
    bool answer(PyObject* job) noexcept;

    Function* fn_;
    PyObject* qi_; // borrowed: the caller's arguments outlive the loop
    PyObject* qo_;
    JobRunner runner_;
};

bool Worker::start(PyObject* name) noexcept {
    Ref differs = Ref::steal(PyObject_RichCompare(Py_None, name, Py_NE));
    if (!differs) return false;
    const int truth = PyObject_IsTrue(differs.get());
    if (truth < 0) return false;
    if (truth) {
        Ref module = global(names.setproctitle);
        if (!module || !call_method(module.get(), names.setproctitle, name)) return false;
    }

    // signal.signal(signal.SIGINT, sigint_handler), evaluated left to right:
    // `signal` is looked up twice, as the expression does.
    Ref signal_module = global(names.signal);
    if (!signal_module) return false;
    Ref install = Ref::steal(PyObject_GetAttr(signal_module.get(), names.signal));
    if (!install) return false;
    Ref signal_module_again = global(names.signal);
    if (!signal_module_again) return false;
    Ref sigint = Ref::steal(PyObject_GetAttr(signal_module_again.get(), names.SIGINT));
    if (!sigint) return false;
    Ref handler = global(names.sigint_handler);
    if (!handler) return false;
    PyObject* install_args[] = {sigint.get(), handler.get()};
    if (!Ref::steal(PyObject_Vectorcall(install.get(), install_args, 2, nullptr))) return false;

    Ref collector_class = global(names._HandleContent);
    if (!collector_class) return false;
    Ref collector = Ref::steal(PyObject_CallNoArgs(collector_class.get()));
    if (!collector) return false;

    // Answers that cannot be pickled are replaced in their place, not lost.
    if (guard_answers(qo_) < 0) return false;
    return runner_.start(fn_->globals, std::move(collector));
}

// qi.get(timeout=0.1)
Ref Worker::wait_for_job() noexcept {
    PyObject* args[] = {qi_, process_state.job_wait};
    return Ref::steal(PyObject_VectorcallMethod(names.get, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                process_state.timeout_kwnames));
}

// One cycle after the wait: run the job and put its answer. Putting the
// "SUCCESS" answer is part of the job, so a failing put is answered like a
// failing job; a failure while putting the "EXCEPTION" answer ends the loop.
bool Worker::answer(PyObject* job) noexcept {
    using End = JobRunner::End;
    JobRunner::Outcome outcome =
        job ? runner_.run(job) : runner_.handle_failure(JobRunner::Stage::waiting);
    if (outcome.end == End::success) {
        if (put(outcome.answer.get())) return true;
        outcome = runner_.handle_failure(JobRunner::Stage::running);
    }
    switch (outcome.end) {
    case End::exception:
        return put(outcome.answer.get());
    case End::unanswered:
        return true;
    case End::success: // a handler never succeeds
    case End::fatal:
        break;
    }
    return false;
}

PyObject* Worker::serve() noexcept {
    for (;;) {
        if (!runner_.clear_collector()) return nullptr;
        Ref job = wait_for_job();
        if (!answer(job.get())) return nullptr;
    }
}

PyObject* monorun_main_body(Function* fn, BoundArgs& a) noexcept {
    Worker worker(fn, a.v[1], a.v[2]);
    if (!worker.start(a.v[0])) return nullptr;
    return worker.serve();
}

} // namespace

const FunctionSpec sigint_handler_spec = {
    "sigint_handler", {{"signum", "frame"}, 2, 0}, sigint_handler_body};
const FunctionSpec monorun_main_spec = {
    "monorun_main", {{"name", "qi", "qo"}, 3, 0}, monorun_main_body, main_doc};

} // namespace vantrel::monorun
