// Calls and comparisons as Python code makes them. obj.name(...) goes through
// the method-call protocol: no bound method is made.
#pragma once

#include "ref.hpp"

namespace vantrel {

inline Ref call_method(PyObject* obj, PyObject* name) noexcept {
    return Ref::steal(
        PyObject_VectorcallMethod(name, &obj, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref call_method(PyObject* obj, PyObject* name, PyObject* arg) noexcept {
    PyObject* stack[] = {obj, arg};
    return Ref::steal(
        PyObject_VectorcallMethod(name, stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref call_method(PyObject* obj, PyObject* name, PyObject* arg1, PyObject* arg2) noexcept {
    PyObject* stack[] = {obj, arg1, arg2};
    return Ref::steal(
        PyObject_VectorcallMethod(name, stack, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// f(arg): a plain call with one argument.
inline Ref call(PyObject* callable, PyObject* arg) noexcept {
    return Ref::steal(PyObject_Vectorcall(callable, &arg, 1, nullptr));
}

// `a != b` as an expression evaluates it (no identity shortcut, unlike
// PyObject_RichCompareBool): 1, 0, or -1 with the error set.
inline int not_equal(PyObject* a, PyObject* b) noexcept {
    Ref differs = Ref::steal(PyObject_RichCompare(a, b, Py_NE));
    return differs ? PyObject_IsTrue(differs.get()) : -1;
}

} // namespace vantrel
