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
#include "core/answer_wait.hpp"
#include "monorun.hpp"

namespace vantrel::monorun {
namespace {

ProcessRef job_hook, answer_hook; // functions (queue, e, obj), bound to each queue

struct Helpers {
    PyObject* format_exception = nullptr; // traceback.format_exception
    PyObject* dumps = nullptr;            // multiprocessing.reduction.ForkingPickler.dumps
    PyObject* unsent_job = nullptr;       // vantrel._control.UnsentJob
};
Helpers helpers; // filled at the first failure, kept for the process

bool init_helpers() noexcept {
    if (helpers.unsent_job) return true;
    Ref format = import_attribute("traceback", "format_exception");
    Ref pickler = import_attribute("multiprocessing.reduction", "ForkingPickler");
    Ref dumps = pickler ? Ref::steal(PyObject_GetAttrString(pickler.get(), "dumps")) : Ref();
    Ref unsent = import_attribute("vantrel._control", "UnsentJob");
    if (!format || !dumps || !unsent) return false;
    helpers.format_exception = format.release();
    helpers.dumps = dumps.release();
    helpers.unsent_job = unsent.release();
    return true;
}

// "".join(traceback.format_exception(e))
Ref describe(PyObject* error) noexcept {
    Ref lines = Ref::steal(PyObject_CallOneArg(helpers.format_exception, error));
    Ref empty = lines ? Ref::steal(PyUnicode_FromString("")) : Ref();
    return empty ? Ref::steal(PyUnicode_Join(empty.get(), lines.get())) : Ref();
}

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

// The answer's values that can be pickled; the keys of the others go to `bad`.
// Pickling runs Python code, so the items are walked from a snapshot.
Ref picklable_values(PyObject* values, PyObject* bad) noexcept {
    Ref kept = Ref::steal(PyDict_New());
    if (!kept || !PyDict_Check(values)) return kept;
    Ref items = Ref::steal(PyDict_Items(values));
    if (!items) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0);
        PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1);
        Ref data = Ref::steal(PyObject_CallOneArg(helpers.dumps, value));
        if (data) {
            if (PyDict_SetItem(kept.get(), key, value) < 0) return {};
            continue;
        }
        PyErr_Clear();
        Ref shown = Ref::steal(PyObject_Repr(key));
        if (!shown || PyList_Append(bad, shown.get()) < 0) return {};
    }
    return kept;
}

Ref answer_stand_in(PyObject* error, PyObject* failed) noexcept {
    Ref reason = describe(error);
    if (!reason) return {};
    Ref printed = Ref::borrow(names.empty_str), earlier = Ref::borrow(names.empty_str);
    Ref values, bad = Ref::steal(PyList_New(0));
    if (!bad) return {};
    const bool is_answer = PyList_Check(failed) && PyList_GET_SIZE(failed) == 4;
    if (is_answer) {
        if (PyUnicode_Check(PyList_GET_ITEM(failed, 1)))
            printed = Ref::steal(PyUnicode_FromObject(PyList_GET_ITEM(failed, 1)));
        if (PyUnicode_Check(PyList_GET_ITEM(failed, 2)))
            earlier = Ref::steal(PyUnicode_FromObject(PyList_GET_ITEM(failed, 2)));
        values = picklable_values(PyList_GET_ITEM(failed, 3), bad.get());
    } else {
        values = Ref::steal(PyDict_New());
    }
    if (!printed || !earlier || !values) return {};

    Ref which;
    if (PyList_GET_SIZE(bad.get()) > 0) {
        Ref comma = Ref::steal(PyUnicode_FromString(", "));
        Ref joined = comma ? Ref::steal(PyUnicode_Join(comma.get(), bad.get())) : Ref();
        which = joined ? Ref::steal(PyUnicode_FromFormat(
                             "the answer could not be sent: the value(s) handed to xreturn "
                             "under %U cannot be pickled\n",
                             joined.get()))
                       : Ref();
    } else {
        which = Ref::steal(PyUnicode_FromString("the answer could not be sent: it cannot be "
                                                "pickled\n"));
    }
    Ref info =
        which
            ? Ref::steal(PyUnicode_FromFormat("%U%U\n%U", earlier.get(), reason.get(), which.get()))
            : Ref();
    if (!info) return {};
    Ref stand_in = Ref::steal(PyList_New(4));
    if (!stand_in) return {};
    PyList_SET_ITEM(stand_in.get(), 0, Py_NewRef(names.EXCEPTION));
    PyList_SET_ITEM(stand_in.get(), 1, printed.release());
    PyList_SET_ITEM(stand_in.get(), 2, info.release());
    PyList_SET_ITEM(stand_in.get(), 3, values.release());
    // Values that pickle one by one may still fail together: then send none,
    // rather than have this hook called again for its own stand-in.
    Ref data = Ref::steal(PyObject_CallOneArg(helpers.dumps, stand_in.get()));
    if (!data) {
        PyErr_Clear();
        Ref none = Ref::steal(PyDict_New());
        if (!none) return {};
        if (PyList_SetItem(stand_in.get(), 3, none.release()) < 0) return {};
    }
    return stand_in;
}

Ref job_stand_in(PyObject* error) noexcept {
    Ref reason = describe(error);
    Ref text = reason ? Ref::steal(PyUnicode_FromFormat(
                            "the job could not be pickled and was not sent to the worker:\n\n%U",
                            reason.get()))
                      : Ref();
    return text ? Ref::steal(PyObject_CallOneArg(helpers.unsent_job, text.get())) : Ref();
}

// Errors of sending (a closed or broken pipe) are the queue's business: only
// a failure to pickle gets a stand-in.
bool is_send_error(PyObject* error) noexcept {
    return PyErr_GivenExceptionMatches(error, PyExc_OSError);
}

PyObject* report_default(PyObject* error) noexcept {
    // What the queue does by default: print the error, drop the message.
    compat::display_exception(error);
    Py_RETURN_NONE;
}

PyObject* hook_body(BoundArgs& a, bool for_jobs) noexcept {
    PyObject* queue = a.v[0];
    PyObject* error = a.v[1];
    if (is_send_error(error)) return report_default(error);
    Ref stand_in;
    if (init_helpers()) stand_in = for_jobs ? job_stand_in(error) : answer_stand_in(error, a.v[2]);
    if (!stand_in || send_next(queue, stand_in.get()) < 0) {
        PyErr_Clear();
        return report_default(error);
    }
    Py_RETURN_NONE;
}

PyObject* job_hook_body(Function*, BoundArgs& a) noexcept {
    return hook_body(a, true);
}
PyObject* answer_hook_body(Function*, BoundArgs& a) noexcept {
    return hook_body(a, false);
}

const FunctionSpec job_hook_spec = {
    "_job_feeder_error", {{"queue", "e", "obj"}, 3, 0}, job_hook_body};
const FunctionSpec answer_hook_spec = {
    "_answer_feeder_error", {{"queue", "e", "obj"}, 3, 0}, answer_hook_body};

int install(ProcessRef& hook, PyObject* queue) noexcept {
    const int watched = is_watchable_queue(queue);
    if (watched <= 0 || !hook) return watched;
    Ref bound = Ref::steal(PyMethod_New(hook.get(), queue));
    return bound ? PyObject_SetAttrString(queue, "_on_queue_feeder_error", bound.get()) : -1;
}

} // namespace

bool init_feeder_hooks(PyObject* module) noexcept {
    if (!job_hook) job_hook.set(make_function(module, job_hook_spec));
    if (!answer_hook) answer_hook.set(make_function(module, answer_hook_spec));
    return job_hook && answer_hook;
}

int guard_jobs(PyObject* queue) noexcept {
    return install(job_hook, queue);
}
int guard_answers(PyObject* queue) noexcept {
    return install(answer_hook, queue);
}

} // namespace vantrel::monorun
