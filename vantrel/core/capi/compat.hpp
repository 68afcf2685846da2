// What differs between the CPython versions vantrel builds for (3.11 and
// later). Every item uses the public API of the version at hand; the comment
// says which version brought the form used on newer interpreters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h> // 3.12 moved the member types into Python.h
#endif

namespace vantrel::compat {

// Member types of PyMemberDef: public names since 3.12, structmember.h before.
#if PY_VERSION_HEX >= 0x030C0000
inline constexpr int member_object = Py_T_OBJECT_EX;
inline constexpr int member_ssize = Py_T_PYSSIZET;
inline constexpr int member_readonly = Py_READONLY;
#else
inline constexpr int member_object = T_OBJECT_EX;
inline constexpr int member_ssize = T_PYSSIZET;
inline constexpr int member_readonly = READONLY;
#endif

// The exception being raised, as one object (3.12); null when none is set.
// Returns a new reference and clears the error indicator.
inline PyObject* fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Raises `exc` (stolen); null clears the error indicator.
inline void restore_exception(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    if (!exc) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                  PyException_GetTraceback(exc));
#endif
}

// Prints `exc` and its traceback to sys.stderr, as an uncaught error is shown.
inline void display_exception(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_DisplayException(exc);
#else
    PyObject* traceback = PyException_GetTraceback(exc);
    PyErr_Display(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, traceback);
    Py_XDECREF(traceback);
#endif
}

// Whether the interpreter is shutting down (threads can no longer take the GIL).
inline bool is_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// getattr(obj, name) that tells "absent" apart from "failed" (3.13): 1 with a
// new reference in *result, 0 when obj has no such attribute (no error set),
// -1 with the error set. Before 3.13 the AttributeError is made and dropped.
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** result) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    *result = PyObject_GetAttr(obj, name);
    if (*result) return 1;
    if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) return -1;
    PyErr_Clear();
    return 0;
#endif
}

// The target of a weak reference (3.13): 1 with a new reference in *result,
// 0 when it is dead, -1 with the error set.
inline int weakref_target(PyObject* ref, PyObject** result) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyWeakref_GetRef(ref, result);
#else
    PyObject* target = PyWeakref_GetObject(ref);
    if (!target) return -1;
    *result = target == Py_None ? nullptr : Py_NewRef(target);
    return *result ? 1 : 0;
#endif
}

// The module slots that say where a module may be loaded, ending with the
// end marker: not in a sub-interpreter with a lock of its own (3.12), and
// only with the interpreter lock held (3.13): the code relies on it.
inline constexpr PyModuleDef_Slot loading_slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

} // namespace vantrel::compat
