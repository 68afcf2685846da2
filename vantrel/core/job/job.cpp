#include "core/job/job.hpp"
#include "core/capi/call.hpp"
#include "core/capi/module.hpp"
#include "core/capi/state.hpp"
#include "core/job/answer.hpp"

namespace vantrel {
namespace {

// What is left to say when traceback.format_exc() itself fails, as it can
// when a job has put odd keys (say, ints) into the namespace: the worker and
// its namespace must not die of it.
[[gnu::cold]] Ref plain_description(PyObject* error) noexcept {
    SavedError format_error;
    Ref message = Ref::steal(PyObject_Str(error));
    if (!message) {
        PyErr_Clear();
        message = Ref::steal(PyUnicode_FromString("<exception str() failed>"));
    }
    Ref why = Ref::steal(PyObject_Repr(format_error.get()));
    if (!why) {
        PyErr_Clear();
        why = Ref::steal(PyUnicode_FromString("?"));
    }
    if (!message || !why) return {};
    return Ref::steal(PyUnicode_FromFormat("%s: %U\n(the traceback could not be formatted: %U)\n",
                                           Py_TYPE(error)->tp_name, message.get(), why.get()));
}

} // namespace

bool JobRunner::start(PyObject* lookups, Ref collector) noexcept {
    lookups_ = lookups;
    collector_ = std::move(collector);
    globals_ = Ref::steal(PyDict_New());
    if (!globals_) return false;
    for (PyObject* name : {names.xprint.get(), names.xreturn.get()}) {
        Ref bound = Ref::steal(PyObject_GetAttr(collector_.get(), name));
        if (!bound || PyDict_SetItem(globals_.get(), name, bound.get()) < 0) return false;
    }
    return true;
}

int JobRunner::traverse(visitproc visit, void* arg) const noexcept {
    Py_VISIT(collector_.get());
    Py_VISIT(globals_.get());
    return sources_.traverse(visit, arg);
}

bool JobRunner::clear_collector() noexcept {
    return static_cast<bool>(call_method(collector_.get(), names.clear));
}

JobRunner::Outcome JobRunner::run(PyObject* job) noexcept {
    answer_interrupt_ = false;
    in_items_ = true;
    const int ran = run_items(job);
    in_items_ = false;
    if (ran < 0) return handle_failure(Stage::running);
    Ref answer = collected_answer(names.SUCCESS, names.empty_text);
    if (!answer) return handle_failure(Stage::running);
    return {End::success, std::move(answer)};
}

int JobRunner::run_items(PyObject* job) noexcept {
    if (PyUnicode_Check(job)) return run_item(job);
    if (PyList_CheckExact(job) || PyTuple_CheckExact(job)) {
        // By index, re-reading the size: items may not outlive a shrinking list.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(job); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(job, i));
            if (run_item(item.get()) < 0) return -1;
        }
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(job));
    if (!it) return -1;
    while (Ref item = Ref::steal(PyIter_Next(it.get())))
        if (run_item(item.get()) < 0) return -1;
    return PyErr_Occurred() ? -1 : 0;
}

int JobRunner::run_item(PyObject* item) noexcept {
    if (PyUnicode_Check(item)) return run_source(item);
    if (PyDict_Check(item)) return PyDict_Update(globals_.get(), item);
    return 0;
}

// exec(source, _globals, _locals) with a new _locals, then the merge.
int JobRunner::run_source(PyObject* source) noexcept {
    PyObject* globals = globals_.get();
    Ref code = sources_.code_for(source);
    if (!code) return -1;
    const int has_builtins = PyDict_Contains(globals, names.dunder_builtins);
    if (has_builtins < 0) return -1;
    if (has_builtins == 0 &&
        PyDict_SetItem(globals, names.dunder_builtins, PyEval_GetBuiltins()) < 0)
        return -1;
    if (PySys_Audit("exec", "O", code.get()) < 0) return -1;
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return -1;
    Ref result = Ref::steal(PyEval_EvalCode(code.get(), globals, locals.get()));
    if (!result) return -1;
    return PyDict_Update(globals, locals.get());
}

// The answer with the collector's text and values as they are now.
Ref JobRunner::collected_answer(PyObject* status, PyObject* traceback_text) noexcept {
    Ref printed = Ref::steal(PyObject_GetAttr(collector_.get(), names.print_content));
    if (!printed) return {};
    Ref returned = Ref::steal(PyObject_GetAttr(collector_.get(), names.return_content));
    if (!returned) return {};
    return answer::make(status, std::move(printed), traceback_text, std::move(returned));
}

JobRunner::Outcome JobRunner::handle_failure(Stage stage) noexcept {
    SavedError error;
    Ref queue_module = lookup_global(lookups_, names.queue);
    Ref empty =
        queue_module ? Ref::steal(PyObject_GetAttr(queue_module.get(), names.Empty)) : Ref();
    if (!empty) {
        error.chain_into_current();
        return {End::fatal, {}};
    }
    // A queue.Empty raised by the job's own code is an ordinary failure of
    // that job: swallowing it would leave the job without an answer and pair
    // every later answer with the wrong job.
    if (stage == Stage::waiting && PyErr_GivenExceptionMatches(error.get(), empty.get()) != 0)
        return {End::unanswered, {}};
    const bool asked = answer_interrupt_;
    answer_interrupt_ = false;
    const bool interrupt = PyErr_GivenExceptionMatches(error.get(), PyExc_KeyboardInterrupt) != 0;
    if (interrupt && !asked) return {End::unanswered, {}};
    if (!interrupt && PyErr_GivenExceptionMatches(error.get(), PyExc_Exception) == 0) {
        error.restore();
        return {End::fatal, {}};
    }

    // format_exc() must see this exception as the one being handled.
    Ref outer = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(error.get());
    Ref info;
    if (Ref tb = lookup_global(lookups_, names.traceback)) {
        Ref text = call_method(tb.get(), names.format_exc);
        if (!text && PyErr_ExceptionMatches(PyExc_Exception) != 0)
            text = plain_description(error.get()); // the job's data broke the formatter
        if (text) info = Ref::steal(PyObject_Str(text.get()));
    }
    Ref answer = info ? collected_answer(names.EXCEPTION, info.get()) : Ref();
    PyErr_SetHandledException(outer.get());
    return {answer ? End::exception : End::fatal, std::move(answer)};
}

} // namespace vantrel
