// Calls and comparisons as Python code makes them. obj.name(...) goes through
// the method-call protocol: no bound method is made.
#pragma once

#include "core/capi/ref.hpp"

#ifndef NDEBUG
#include <cstdio>
#include <source_location>
#endif

namespace vantrel {

// Python code must never be called while an error is set: CPython turns the
// call's result into a SystemError, or the error is lost. Debug builds (make
// sanitize) stop at the first such call and say where it was made; release
// builds pass an empty CallSite, which costs nothing.
#ifdef NDEBUG
struct CallSite {
    static constexpr CallSite current() noexcept { return {}; }
};
inline void expect_no_error(CallSite) noexcept {}
#else
using CallSite = std::source_location;
inline void expect_no_error(CallSite site) noexcept {
    if (PyErr_Occurred() == nullptr) return;
    std::fprintf(stderr, "vantrel: Python code called at %s:%u while an error is set\n",
                 site.file_name(), static_cast<unsigned>(site.line()));
    Py_FatalError("vantrel: Python code called while an error is set");
}
#endif

inline Ref call_method(PyObject* obj, PyObject* name,
                       CallSite site = CallSite::current()) noexcept {
    expect_no_error(site);
    return Ref::steal(
        PyObject_VectorcallMethod(name, &obj, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref call_method(PyObject* obj, PyObject* name, PyObject* arg,
                       CallSite site = CallSite::current()) noexcept {
    expect_no_error(site);
    PyObject* stack[] = {obj, arg};
    return Ref::steal(
        PyObject_VectorcallMethod(name, stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref call_method(PyObject* obj, PyObject* name, PyObject* arg1, PyObject* arg2,
                       CallSite site = CallSite::current()) noexcept {
    expect_no_error(site);
    PyObject* stack[] = {obj, arg1, arg2};
    return Ref::steal(
        PyObject_VectorcallMethod(name, stack, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// f(arg): a plain call with one argument.
inline Ref call(PyObject* callable, PyObject* arg, CallSite site = CallSite::current()) noexcept {
    expect_no_error(site);
    return Ref::steal(PyObject_Vectorcall(callable, &arg, 1, nullptr));
}

// `a != b` as an expression evaluates it (no identity shortcut, unlike
// PyObject_RichCompareBool): 1, 0, or -1 with the error set.
inline int not_equal(PyObject* a, PyObject* b) noexcept {
    Ref differs = Ref::steal(PyObject_RichCompare(a, b, Py_NE));
    return differs ? PyObject_IsTrue(differs.get()) : -1;
}

} // namespace vantrel
