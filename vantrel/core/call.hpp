// obj.name(...) through the method-call protocol: no bound method is made.
#pragma once

#include "ref.hpp"

namespace vantrel {

inline PyObject* call_method(PyObject* obj, PyObject* name) noexcept {
    return PyObject_VectorcallMethod(name, &obj, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

inline PyObject* call_method(PyObject* obj, PyObject* name, PyObject* arg) noexcept {
    PyObject* stack[] = {obj, arg};
    return PyObject_VectorcallMethod(name, stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

} // namespace vantrel
