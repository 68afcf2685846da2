#include "answer.hpp"
#include "call.hpp"
#include "state.hpp"

namespace vantrel::answer {
namespace {

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
        if (call(process_state.stdlib.dumps, value)) {
            if (PyDict_SetItem(kept.get(), key, value) < 0) return {};
            continue;
        }
        PyErr_Clear();
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
    PyObject* text = is_answer(failed) ? get(failed, which) : nullptr;
    if (text && PyUnicode_Check(text)) return Ref::steal(PyUnicode_FromObject(text));
    return Ref::borrow(names.empty_text);
}

} // namespace

Ref make(PyObject* status, Ref printed, PyObject* traceback, Ref values) noexcept {
    Ref list = Ref::steal(PyList_New(item::count));
    if (!list) return {};
    PyList_SET_ITEM(list.get(), item::status, Py_NewRef(status));
    PyList_SET_ITEM(list.get(), item::printed, printed.release());
    PyList_SET_ITEM(list.get(), item::traceback, Py_NewRef(traceback));
    PyList_SET_ITEM(list.get(), item::values, values.release());
    return list;
}

bool is_answer(PyObject* o) noexcept {
    return PyList_Check(o) && PyList_GET_SIZE(o) == item::count;
}

Ref describe(PyObject* error) noexcept {
    Ref lines = call(process_state.stdlib.format_exception, error);
    return lines ? Ref::steal(PyUnicode_Join(names.empty_text, lines.get())) : Ref();
}

Ref unsendable(PyObject* failed, PyObject* error) noexcept {
    if (!load_stdlib()) return {};
    Ref reason = describe(error);
    Ref bad = reason ? Ref::steal(PyList_New(0)) : Ref();
    if (!bad) return {};
    Ref printed = text_item(failed, item::printed);
    Ref earlier = text_item(failed, item::traceback);
    Ref values = is_answer(failed) ? picklable_values(get(failed, item::values), bad.get())
                                   : Ref::steal(PyDict_New());
    Ref which = values ? unsendable_reason(bad.get()) : Ref();
    if (!printed || !earlier || !which) return {};
    Ref info =
        Ref::steal(PyUnicode_FromFormat("%U%U\n%U", earlier.get(), reason.get(), which.get()));
    if (!info) return {};
    Ref stand_in = make(names.EXCEPTION, std::move(printed), info.get(), std::move(values));
    if (!stand_in) return {};
    // Values that pickle one by one may still fail together: then send none,
    // rather than fail again on the stand-in.
    if (!call(process_state.stdlib.dumps, stand_in.get())) {
        PyErr_Clear();
        Ref none = Ref::steal(PyDict_New());
        if (!none || PyList_SetItem(stand_in.get(), item::values, none.release()) < 0) return {};
    }
    return stand_in;
}

} // namespace vantrel::answer
