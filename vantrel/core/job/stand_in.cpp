#include "core/job/stand_in.hpp"
#include "core/capi/call.hpp"
#include "core/capi/state.hpp"
#include "core/job/answer.hpp"

namespace vantrel::stand_in {
namespace {

// Clears the error being raised when it is the values' own: they do not
// pickle (an Exception, or any exception their own code raised). No memory,
// or this process's own interrupt, stays set (false).
bool clear_if_values_own() noexcept {
    if (PyErr_ExceptionMatches(PyExc_MemoryError) != 0) return false;
    if (PyErr_ExceptionMatches(PyExc_Exception) != 0) {
        PyErr_Clear();
        return true;
    }
    SavedError error;
    Ref by_signal = call(process_state().stdlib.raised_by_signal, error.get());
    const int truth = by_signal ? PyObject_IsTrue(by_signal.get()) : -1;
    if (truth == 0) return true;
    if (truth < 0) {
        error.chain_into_current();
    } else {
        error.restore();
    }
    return false;
}

// The values that can be pickled; the keys of the others go to `bad`.
// Pickling runs Python code, so the items are walked from a snapshot.
Ref picklable_values(PyObject* values, PyObject* bad) noexcept {
    Ref kept = Ref::steal(PyDict_New());
    if (!kept || !PyDict_Check(values)) return kept;
    Ref items = Ref::steal(PyDict_Items(values));
    if (!items) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0);
        PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1);
        if (call(process_state().stdlib.dumps, value)) {
            if (PyDict_SetItem(kept.get(), key, value) < 0) return {};
            continue;
        }
        if (!clear_if_values_own()) return {};
        Ref shown = Ref::steal(PyObject_Repr(key));
        if (!shown || PyList_Append(bad, shown.get()) < 0) return {};
    }
    return kept;
}

// Why the answer was not sent, naming the values that do not pickle.
Ref unsendable_reason(PyObject* bad) noexcept {
    if (PyList_GET_SIZE(bad) == 0)
        return Ref::steal(
            PyUnicode_FromString("the answer could not be sent: it cannot be pickled\n"));
    Ref comma = Ref::steal(PyUnicode_FromString(", "));
    Ref joined = comma ? Ref::steal(PyUnicode_Join(comma.get(), bad)) : Ref();
    return joined ? Ref::steal(PyUnicode_FromFormat(
                        "the answer could not be sent: the value(s) handed to xreturn "
                        "under %U cannot be pickled\n",
                        joined.get()))
                  : Ref();
}

// A str item of `failed` as an exact str, or "".
Ref text_item(PyObject* failed, Py_ssize_t which) noexcept {
    PyObject* text = answer::is_answer(failed) ? answer::get(failed, which) : nullptr;
    if (text && PyUnicode_Check(text)) return Ref::steal(PyUnicode_FromObject(text));
    return Ref::borrow(names.empty_text);
}

} // namespace

Ref describe(PyObject* error) noexcept {
    Ref lines = call(process_state().stdlib.format_exception, error);
    return lines ? Ref::steal(PyUnicode_Join(names.empty_text, lines.get())) : Ref();
}

Ref unsent_job(PyObject* error) noexcept {
    if (!load_stdlib()) return {};
    Ref reason = describe(error);
    Ref text = reason ? Ref::steal(PyUnicode_FromFormat(
                            "the job could not be pickled and was not sent to the worker:\n\n%U",
                            reason.get()))
                      : Ref();
    return text ? call(process_state().stdlib.unsent_job, text.get()) : Ref();
}

Ref unsendable_answer(PyObject* failed, PyObject* error) noexcept {
    if (!load_stdlib()) return {};
    Ref reason = describe(error);
    Ref bad = reason ? Ref::steal(PyList_New(0)) : Ref();
    if (!bad) return {};
    Ref printed = text_item(failed, answer::item::printed);
    Ref earlier = text_item(failed, answer::item::traceback);
    Ref values = answer::is_answer(failed)
                     ? picklable_values(answer::get(failed, answer::item::values), bad.get())
                     : Ref::steal(PyDict_New());
    Ref which = values ? unsendable_reason(bad.get()) : Ref();
    if (!printed || !earlier || !which) return {};
    Ref info =
        Ref::steal(PyUnicode_FromFormat("%U%U\n%U", earlier.get(), reason.get(), which.get()));
    if (!info) return {};
    Ref stand_in = answer::make(names.EXCEPTION, std::move(printed), info.get(), std::move(values));
    if (!stand_in) return {};
    // Values that pickle one by one may still fail together: then send none,
    // rather than fail again on the stand-in.
    if (!call(process_state().stdlib.dumps, stand_in.get())) {
        if (!clear_if_values_own()) return {};
        Ref none = Ref::steal(PyDict_New());
        if (!none || PyList_SetItem(stand_in.get(), answer::item::values, none.release()) < 0)
            return {};
    }
    return stand_in;
}

} // namespace vantrel::stand_in
