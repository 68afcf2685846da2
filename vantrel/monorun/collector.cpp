// _HandleContent: what one job prints through xprint and returns through
// xreturn.
#include "monorun.hpp"

namespace vantrel::monorun {
namespace {

// Whether `type` or a class on its MRO defines `name` (a class attribute or a
// descriptor that would take over reads and writes of that attribute).
bool type_defines(PyTypeObject* type, PyObject* name) noexcept {
    PyObject* mro = type->tp_mro;
    if (!mro) return true; // not ready: assume the worst
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        if (dict && PyDict_Contains(dict, name) != 0) return true; // an error counts as "defined"
    }
    return false;
}

// The instance dictionary, when `print_content` is a plain entry of it: no
// class attribute or descriptor of that name, default attribute access.
Ref plain_instance_dict(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr ||
        type->tp_setattro != PyObject_GenericSetAttr || type->tp_dictoffset == 0 ||
        type_defines(type, names.print_content)) {
        PyErr_Clear();
        return {};
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) PyErr_Clear();
    return dict;
}

// text += tail for two exact str, growing `text` in place when nobody else
// can see it. On failure `text` still holds the old, intact string.
bool append_str(Ref& text, PyObject* tail) noexcept {
    PyObject* head = text.get();
    const Py_ssize_t head_len = PyUnicode_GET_LENGTH(head);
    const Py_ssize_t tail_len = PyUnicode_GET_LENGTH(tail);
    if (tail_len == 0) return true;
    if (Py_REFCNT(head) == 1 && head_len > 0 && !PyUnicode_CHECK_INTERNED(head) &&
        PyUnicode_MAX_CHAR_VALUE(tail) <= PyUnicode_MAX_CHAR_VALUE(head)) {
        PyObject* grown = text.release();
        if (PyUnicode_Resize(&grown, head_len + tail_len) < 0) {
            text = Ref::steal(grown);
            return false;
        }
        text = Ref::steal(grown);
        return PyUnicode_CopyCharacters(grown, head_len, tail, 0, tail_len) >= 0;
    }
    Ref joined = Ref::steal(PyUnicode_Concat(head, tail));
    if (!joined) return false;
    text = std::move(joined);
    return true;
}

// self.print_content = current + tail, with `current` read beforehand, as
// `self.print_content += tail` does.
int add_to_print_content(PyObject* self, Ref current, PyObject* tail) noexcept {
    if (!PyUnicode_CheckExact(current.get()) || !PyUnicode_CheckExact(tail)) {
        Ref sum = Ref::steal(PyNumber_InPlaceAdd(current.get(), tail));
        if (!sum) return -1;
        return PyObject_SetAttr(self, names.print_content, sum.get());
    }
    Ref held = plain_instance_dict(self);
    PyObject* dict = held.get();
    if (dict && PyDict_GetItemWithError(dict, names.print_content) == current.get()) {
        // Let go of the dictionary's reference for the moment of the append so
        // that the text can grow in place: amortised linear printing. No Python
        // code runs before the entry is set again.
        if (PyDict_SetItem(dict, names.print_content, Py_None) < 0) return -1;
        const bool ok = append_str(current, tail);
        if (PyDict_SetItem(dict, names.print_content, current.get()) < 0) return -1;
        return ok ? 0 : -1;
    }
    if (PyErr_Occurred() || !append_str(current, tail)) return -1;
    return PyObject_SetAttr(self, names.print_content, current.get());
}

// One value of xprint: read, convert, add, store.
int print_value(PyObject* self, PyObject* value) noexcept {
    Ref current = Ref::steal(PyObject_GetAttr(self, names.print_content));
    if (!current) return -1;
    Ref text = Ref::steal(PyObject_Str(value));
    if (!text) return -1;
    return add_to_print_content(self, std::move(current), text.get());
}

PyObject* init_body(Function*, BoundArgs& a) noexcept {
    Ref r = call_method(a.v[0], names.clear);
    return r ? Py_NewRef(Py_None) : nullptr;
}

PyObject* xprint_body(Function*, BoundArgs& a) noexcept {
    PyObject* self = a.v[0];
    for (Py_ssize_t i = 0; i < a.nextra; ++i)
        // A value that fails to print is left out, whatever it raised:
        // KeyboardInterrupt and SystemExit from its __str__ are dropped too.
        if (print_value(self, a.extra[i]) < 0) PyErr_Clear();
    Ref current = Ref::steal(PyObject_GetAttr(self, names.print_content));
    if (!current || add_to_print_content(self, std::move(current), a.v[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* clear_body(Function*, BoundArgs& a) noexcept {
    Ref fresh = Ref::steal(PyDict_New());
    if (!fresh || PyObject_SetAttr(a.v[0], names.print_content, names.empty_text) < 0 ||
        PyObject_SetAttr(a.v[0], names.return_content, fresh.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* xreturn_body(Function*, BoundArgs& a) noexcept {
    Ref kwds = a.kwds ? std::move(a.kwds) : Ref::steal(PyDict_New());
    if (!kwds) return nullptr;
    Ref content = Ref::steal(PyObject_GetAttr(a.v[0], names.return_content));
    if (!content) return nullptr;
    if (PyDict_CheckExact(content.get())) {
        if (PyDict_Update(content.get(), kwds.get()) < 0) return nullptr;
    } else {
        Ref r = call_method(content.get(), names.update, kwds.get());
        if (!r) return nullptr;
    }
    Py_RETURN_NONE;
}

} // namespace

const FunctionSpec collector_init_spec = {"_HandleContent.__init__", {{"self"}, 1, 0}, init_body};
const FunctionSpec collector_xprint_spec = {
    "_HandleContent.xprint", {{"self", "end"}, 1, 1, "ws"}, xprint_body};
const FunctionSpec collector_clear_spec = {"_HandleContent.clear", {{"self"}, 1, 0}, clear_body};
const FunctionSpec collector_xreturn_spec = {
    "_HandleContent.xreturn", {{"self"}, 1, 0, nullptr, "kwds"}, xreturn_body};

} // namespace vantrel::monorun
