// monorun_main, the whole life of a worker process, and its SIGINT handler.
#include "core/capi/module.hpp"
#include "core/job/job.hpp"
#include "core/transport/mp_queue.hpp"
#include "core/transport/shm_buffers.hpp"
#include "monorun.hpp"
#include "monorun/live_text.hpp"

#include <unistd.h>

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
    bool put(PyObject* answer) noexcept {
        const mp_queue::Tag tag{tag_.get(), names.answer};
        return mp_queue::send(qo_, qo_state_, answer, mp_queue::Kind::answer, tag) == 0;
    }
    // A tagged job (vantrel._control.Tagged) is run as its payload, and what
    // is sent for it carries its tag; -1 on error.
    int untag(Ref& job) noexcept;
    bool answer(JobRunner::Outcome outcome) noexcept;
    bool cycle() noexcept;
    void end_if_orphaned() noexcept;

    Function* fn_;
    PyObject* qi_; // borrowed: the caller's arguments outlive the loop
    PyObject* qo_;
    mp_queue::QueueState* qi_state_ = nullptr; // null: not a multiprocessing queue
    mp_queue::QueueState* qo_state_ = nullptr;
    Caller caller_;
    JobRunner runner_;
    Ref tag_;                  // of the job being run, when it came tagged
    bool live_wanted_ = false; // that job's caller wants its printed text as it grows
    LiveText live_;
};

bool Worker::start(PyObject* name) noexcept {
    if (!caller_.find()) return false;
    // The caller's way with large buffers, whatever the start method; its
    // answers name it as their reader.
    Ref control = import_module("vantrel._control");
    // take_settings() gives the address of the worker's page, or None.
    Ref taken =
        control ? Ref::steal(PyObject_CallMethod(control.get(), "take_settings", nullptr)) : Ref();
    if (!taken) return false;
    shm_buffers::set_answer_reader(caller_.pid());
    const int named = not_equal(Py_None, name);
    if (named < 0) return false;
    if (named != 0) {
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

    Ref collector_class = global(names.handle_content);
    if (!collector_class) return false;
    Ref collector = Ref::steal(PyObject_CallNoArgs(collector_class.get()));
    if (!collector) return false;

    if (mp_queue::state_of(qi_, qi_state_) < 0 || mp_queue::state_of(qo_, qo_state_) < 0)
        return false;
    // Jobs are compiled under the file name "<string>", the name under which
    // the interpreter keeps the text of a `python -c` command for tracebacks.
    if (!Ref::steal(PyObject_CallMethod(control.get(), "forget_command_source", nullptr)))
        return false;
    // The collector lives as long as the runner, which lives as long as this loop.
    live_.start(collector.get(), qo_, qo_state_);
    if (!runner_.start(fn_->globals, std::move(collector))) return false;
    Ref module = import_module("vantrel.monorun");
    return module && figures_start(module.get(), taken.get(), runner_);
}

// Putting the "SUCCESS" answer is part of the job, so a failing put is
// answered like a failing job; a failure while putting the "EXCEPTION"
// answer ends the loop.
bool Worker::answer(JobRunner::Outcome outcome) noexcept {
    using End = JobRunner::End;
    if (outcome.end == End::success) {
        if (put(outcome.answer.get())) return true;
        outcome = runner_.handle_failure(JobRunner::Stage::running);
    }
    switch (outcome.end) {
    case End::exception:
        return put(outcome.answer.get());
    case End::unanswered:
        // Its owner learns that it will get no answer (an untagged job gets
        // no message at all).
        if (!tag_) return true;
        return mp_queue::send(qo_, qo_state_, Py_None, mp_queue::Kind::answer,
                              {tag_.get(), names.lost}) == 0;
    case End::success: // a handler never succeeds
    case End::fatal:
        break;
    }
    return false;
}

int Worker::untag(Ref& job) noexcept {
    tag_.reset();
    live_wanted_ = false;
    PyObject* tagged = process_state().queue_layout.tagged;
    if (!tagged || Py_TYPE(job.get()) != reinterpret_cast<PyTypeObject*>(tagged)) return 0;
    Ref tag = Ref::steal(PyObject_GetAttr(job.get(), names.tag));
    Ref kind = tag ? Ref::steal(PyObject_GetAttr(job.get(), names.kind)) : Ref();
    Ref payload = kind ? Ref::steal(PyObject_GetAttr(job.get(), names.payload)) : Ref();
    if (!payload) return -1;
    // A "live" job: its owner wants the printed text as it grows (live_text.hpp).
    live_wanted_ =
        PyUnicode_Check(kind.get()) != 0 && PyUnicode_Compare(kind.get(), names.live) == 0;
    tag_ = std::move(tag);
    job = std::move(payload);
    return 0;
}

// Nobody can reach a worker whose caller has ended: it ends too, after the
// job it is running, without the interpreter's exit steps (they would wait for this process's
// queue threads, which may be blocked on a pipe nobody reads any more).
void Worker::end_if_orphaned() noexcept {
    if (!caller_.gone()) return;
    for (const char* stream : {"stdout", "stderr"}) {
        PyObject* file = PySys_GetObject(stream); // borrowed
        if (file && file != Py_None && !call_method(file, names.flush)) PyErr_Clear();
    }
    shm_buffers::release_all(); // the exit steps that would do it are skipped
    _exit(0);
}

// One cycle: wait up to 0.1 s for a job, run it, answer it. Only a job taken
// from the queue is answered: an error raised while no job was taken (a
// signal handler of an earlier job) is reported as unraisable.
bool Worker::cycle() noexcept {
    mp_queue::JobReceipt receipt =
        mp_queue::receive_job(qi_, qi_state_, process_state().job_wait, caller_);
    switch (receipt.taken) {
    case mp_queue::Taken::job: {
        const int untagged = untag(receipt.job);
        figures_job_started(untagged < 0 ? nullptr : tag_.get());
        JobRunner::Outcome outcome{JobRunner::End::fatal, {}};
        if (untagged < 0) {
            outcome = runner_.handle_failure(JobRunner::Stage::running);
        } else if (live_wanted_ && live_.begin(tag_.get())) {
            outcome = runner_.run(receipt.job.get());
            live_.end(); // before the answer: no piece follows it
        } else {
            outcome = live_wanted_ ? runner_.handle_failure(JobRunner::Stage::running)
                                   : runner_.run(receipt.job.get());
        }
        // Written before the answer goes: a caller that has it sees them.
        figures_job_finished();
        const bool answered = answer(std::move(outcome));
        // Between jobs too: jobs already queued are not run for a caller that is gone.
        end_if_orphaned();
        return answered;
    }
    case mp_queue::Taken::unreadable: {
        tag_.reset();
        JobRunner::Outcome outcome = runner_.handle_failure(JobRunner::Stage::waiting);
        if (outcome.end == JobRunner::End::unanswered) end_if_orphaned();
        return answer(std::move(outcome));
    }
    case mp_queue::Taken::nothing:
        figures_idle();
        end_if_orphaned();
        return true;
    case mp_queue::Taken::interrupted:
        if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) != 0) {
            PyErr_Clear();
            return true;
        }
        if (PyErr_ExceptionMatches(PyExc_Exception) == 0) return false;
        PyErr_WriteUnraisable(fn_->name);
        return true;
    }
    return false;
}

PyObject* Worker::serve() noexcept {
    for (;;) {
        if (!runner_.clear_collector() || !cycle()) return nullptr;
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
