#include "core/job/answer.hpp"
#include "core/capi/state.hpp"

namespace vantrel::answer {

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

} // namespace vantrel::answer
