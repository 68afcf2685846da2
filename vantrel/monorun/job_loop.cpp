// monorun_main, the whole life of a worker process, and its SIGINT handler.
#include "monorun.hpp"
#include "source_cache.hpp"

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

    // Start-up steps 1 to 4; false with the error set.
    bool start(PyObject* name) noexcept;
    // The job loop; returns only by raising.
    PyObject* serve() noexcept;

  private:
    PyObject* global(PyObject* name) noexcept { return lookup_global(fn_, name); }
    int run_job(bool& waiting) noexcept;
    int run_item(PyObject* item) noexcept;
    int run_source(PyObject* source) noexcept;
    int put_answer(PyObject* status, PyObject* info) noexcept;
    int handle_failure(bool waiting) noexcept;

    Function* fn_;
    PyObject* qi_; // borrowed: the caller's arguments outlive the loop
    PyObject* qo_;
    Ref pc_;
    Ref globals_;
    SourceCache sources_;
};

bool Worker::start(PyObject* name) noexcept {
    Ref differs = Ref::steal(PyObject_RichCompare(Py_None, name, Py_NE));
    if (!differs) return false;
    const int truth = PyObject_IsTrue(differs.get());
    if (truth < 0) return false;
    if (truth) {
        Ref module = Ref::steal(global(names.setproctitle));
        if (!module) return false;
        Ref r = Ref::steal(call_method(module.get(), names.setproctitle, name));
        if (!r) return false;
    }

    // signal.signal(signal.SIGINT, sigint_handler), evaluated left to right.
    Ref signal_module = Ref::steal(global(names.signal));
    if (!signal_module) return false;
    Ref install = Ref::steal(PyObject_GetAttr(signal_module.get(), names.signal));
    if (!install) return false;
    Ref signal_again = Ref::steal(global(names.signal));
    if (!signal_again) return false;
    Ref sigint = Ref::steal(PyObject_GetAttr(signal_again.get(), names.SIGINT));
    if (!sigint) return false;
    Ref handler = Ref::steal(global(names.sigint_handler));
    if (!handler) return false;
    PyObject* install_args[] = {sigint.get(), handler.get()};
    Ref r = Ref::steal(PyObject_Vectorcall(install.get(), install_args, 2, nullptr));
    if (!r) return false;

    Ref collector_class = Ref::steal(global(names._HandleContent));
    if (!collector_class) return false;
    pc_ = Ref::steal(PyObject_CallNoArgs(collector_class.get()));
    if (!pc_) return false;

    // Answers that cannot be pickled are replaced in their place, not lost.
    if (guard_answers(qo_) < 0) return false;

    globals_ = Ref::steal(PyDict_New());
    if (!globals_) return false;
    for (PyObject* n : {names.xprint, names.xreturn}) {
        Ref bound = Ref::steal(PyObject_GetAttr(pc_.get(), n));
        if (!bound || PyDict_SetItem(globals_.get(), n, bound.get()) < 0) return false;
    }
    return true;
}

PyObject* Worker::serve() noexcept {
    for (;;) {
        Ref cleared = Ref::steal(call_method(pc_.get(), names.clear));
        if (!cleared) return nullptr;
        bool waiting = false;
        if (run_job(waiting) < 0 && handle_failure(waiting) < 0) return nullptr;
    }
}

// One cycle's guarded region: wait for a job, run its items, answer it.
int Worker::run_job(bool& waiting) noexcept {
    waiting = true;
    PyObject* get_args[] = {qi_, names.get_timeout};
    Ref job = Ref::steal(PyObject_VectorcallMethod(
        names.get, get_args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, names.timeout_kwnames));
    if (!job) return -1;
    waiting = false;

    PyObject* w = job.get();
    if (PyUnicode_Check(w)) {
        if (run_item(w) < 0) return -1;
    } else if (PyList_CheckExact(w) || PyTuple_CheckExact(w)) {
        // By index, re-reading the size: items may not outlive a shrinking list.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(w); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(w, i));
            if (run_item(item.get()) < 0) return -1;
        }
    } else {
        Ref it = Ref::steal(PyObject_GetIter(w));
        if (!it) return -1;
        while (Ref item = Ref::steal(PyIter_Next(it.get())))
            if (run_item(item.get()) < 0) return -1;
        if (PyErr_Occurred()) return -1;
    }
    return put_answer(names.SUCCESS, names.empty_str);
}

int Worker::run_item(PyObject* item) noexcept {
    if (PyUnicode_Check(item)) return run_source(item);
    if (PyDict_Check(item)) return PyDict_Update(globals_.get(), item);
    return 0;
}

// exec(source, _globals, _locals) with a new _locals, then the merge.
int Worker::run_source(PyObject* source) noexcept {
    PyObject* globals = globals_.get();
    Ref code = sources_.code_for(source);
    if (!code) return -1;
    const int has_builtins = PyDict_Contains(globals, names.dunder_builtins);
    if (has_builtins < 0) return -1;
    if (!has_builtins && PyDict_SetItem(globals, names.dunder_builtins, PyEval_GetBuiltins()) < 0)
        return -1;
    if (PySys_Audit("exec", "O", code.get()) < 0) return -1;
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return -1;
    Ref result = Ref::steal(PyEval_EvalCode(code.get(), globals, locals.get()));
    if (!result) return -1;
    return PyDict_Update(globals, locals.get());
}

int Worker::put_answer(PyObject* status, PyObject* info) noexcept {
    Ref printed = Ref::steal(PyObject_GetAttr(pc_.get(), names.print_content));
    if (!printed) return -1;
    Ref returned = Ref::steal(PyObject_GetAttr(pc_.get(), names.return_content));
    if (!returned) return -1;
    Ref message = Ref::steal(PyList_New(4));
    if (!message) return -1;
    PyList_SET_ITEM(message.get(), 0, Py_NewRef(status));
    PyList_SET_ITEM(message.get(), 1, printed.release());
    PyList_SET_ITEM(message.get(), 2, Py_NewRef(info));
    PyList_SET_ITEM(message.get(), 3, returned.release());
    Ref r = Ref::steal(call_method(qo_, names.put, message.get()));
    return r ? 0 : -1;
}

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

// The handlers of the guarded region, in order: queue.Empty of the wait (no
// job this cycle), KeyboardInterrupt, Exception (an "EXCEPTION" answer).
// Anything else, and any failure inside a handler, leaves the loop.
int Worker::handle_failure(bool waiting) noexcept {
    SavedError error;
    Ref queue_module = Ref::steal(global(names.queue));
    Ref empty =
        queue_module ? Ref::steal(PyObject_GetAttr(queue_module.get(), names.Empty)) : Ref();
    if (!empty) {
        error.chain_into_current();
        return -1;
    }
    // A queue.Empty raised by the job's own code is an ordinary failure of
    // that job: swallowing it would leave the job without an answer and pair
    // every later answer with the wrong job.
    if (waiting && PyErr_GivenExceptionMatches(error.get(), empty.get())) return 0;
    if (PyErr_GivenExceptionMatches(error.get(), PyExc_KeyboardInterrupt)) return 0;
    if (!PyErr_GivenExceptionMatches(error.get(), PyExc_Exception)) {
        error.restore();
        return -1;
    }

    // format_exc() must see this exception as the one being handled.
    Ref outer = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(error.get());
    Ref info;
    if (Ref tb = Ref::steal(global(names.traceback))) {
        Ref text = Ref::steal(call_method(tb.get(), names.format_exc));
        if (!text && PyErr_ExceptionMatches(PyExc_Exception))
            text = plain_description(error.get()); // the job's data broke the formatter
        if (text) info = Ref::steal(PyObject_Str(text.get()));
    }
    const int rc = info ? put_answer(names.EXCEPTION, info.get()) : -1;
    PyErr_SetHandledException(outer.get());
    return rc;
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
