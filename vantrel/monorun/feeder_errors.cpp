// A message that a multiprocessing queue cannot pickle is lost in the queue's
// feeder thread, and whoever waits for its answer waits for good. The queues
// of a worker therefore get a replacement hook (`_on_queue_feeder_error`, the
// queue's own hook for this, called in the feeder thread) that puts a stand-in
// at the head of the queue's buffer: it is sent next, in the failed message's
// place, ahead of everything put after it. Nothing is pickled twice unless
// pickling has already failed.
//  * job (caller -> worker): the stand-in is a job that the worker answers
//    with "EXCEPTION" and the pickling error;
//  * answer (worker -> caller): the stand-in is an "EXCEPTION" answer that
//    keeps the printed text and the values that can be pickled, and names the
//    values that cannot.
#include "core/answer.hpp"
#include "core/answer_wait.hpp"
#include "monorun.hpp"

namespace vantrel::monorun {
namespace {

// Sends `stand_in` next: at the head of the buffer, with the queue's count of
// messages kept right (the feeder gave back the failed message's slot).
int send_next(PyObject* queue, PyObject* stand_in) noexcept {
    Ref sem = Ref::steal(PyObject_GetAttrString(queue, "_sem"));
    Ref buffer = sem ? Ref::steal(PyObject_GetAttrString(queue, "_buffer")) : Ref();
    if (!buffer) return -1;
    Ref taken = Ref::steal(PyObject_CallMethod(sem.get(), "acquire", "O", Py_False));
    if (!taken) return -1;
    if (!PyObject_IsTrue(taken.get())) {
        PyErr_SetString(PyExc_RuntimeError, "queue is full");
        return -1;
    }
    Ref r = Ref::steal(PyObject_CallMethod(buffer.get(), "appendleft", "O", stand_in));
    return r ? 0 : -1;
}

Ref job_stand_in(PyObject* error) noexcept {
    Ref reason = answer::describe(error);
    Ref text = reason ? Ref::steal(PyUnicode_FromFormat(
                            "the job could not be pickled and was not sent to the worker:\n\n%U",
                            reason.get()))
                      : Ref();
    return text ? call(process_state.stdlib.unsent_job, text.get()) : Ref();
}

PyObject* report_default(PyObject* error) noexcept {
    // What the queue does by default: print the error, drop the message.
    compat::display_exception(error);
    Py_RETURN_NONE;
}

enum class Direction { jobs, answers };

// The hook: (queue, e, obj). Errors of sending (a closed or broken pipe) are
// the queue's business: only a failure to pickle gets a stand-in.
PyObject* replace_unpicklable(BoundArgs& a, Direction direction) noexcept {
    PyObject* queue = a.v[0];
    PyObject* error = a.v[1];
    if (PyErr_GivenExceptionMatches(error, PyExc_OSError)) return report_default(error);
    Ref stand_in =
        direction == Direction::jobs ? job_stand_in(error) : answer::unsendable(a.v[2], error);
    if (!stand_in || send_next(queue, stand_in.get()) < 0) {
        PyErr_Clear();
        return report_default(error);
    }
    Py_RETURN_NONE;
}

PyObject* job_hook_body(Function*, BoundArgs& a) noexcept {
    return replace_unpicklable(a, Direction::jobs);
}
PyObject* answer_hook_body(Function*, BoundArgs& a) noexcept {
    return replace_unpicklable(a, Direction::answers);
}

const FunctionSpec job_hook_spec = {
    "_job_feeder_error", {{"queue", "e", "obj"}, 3, 0}, job_hook_body};
const FunctionSpec answer_hook_spec = {
    "_answer_feeder_error", {{"queue", "e", "obj"}, 3, 0}, answer_hook_body};

int install(PyObject* hook, PyObject* queue) noexcept {
    const int watched = is_watchable_queue(queue);
    if (watched <= 0) return watched;
    Ref bound = Ref::steal(PyMethod_New(hook, queue));
    return bound ? PyObject_SetAttrString(queue, "_on_queue_feeder_error", bound.get()) : -1;
}

} // namespace

bool init_feeder_hooks(PyObject* module) noexcept {
    ProcessState& s = process_state;
    if (!s.job_feeder_hook) s.job_feeder_hook.reset(make_function(module, job_hook_spec));
    if (!s.answer_feeder_hook) s.answer_feeder_hook.reset(make_function(module, answer_hook_spec));
    return s.job_feeder_hook && s.answer_feeder_hook;
}

int guard_jobs(PyObject* queue) noexcept {
    return install(process_state.job_feeder_hook, queue);
}
int guard_answers(PyObject* queue) noexcept {
    return install(process_state.answer_feeder_hook, queue);
}

} // namespace vantrel::monorun
