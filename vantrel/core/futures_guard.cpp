#include "futures_guard.hpp"
#include "ref.hpp"

namespace vantrel::futures_guard {

int check(PyObject* qo) noexcept {
    if (Py_TYPE(qo)->tp_dictoffset == 0) return 0; // no instance dict, no marker
    static ProcessRef marker;
    if (!marker) {
        marker.reset(Ref::steal(PyUnicode_InternFromString("_vantrel_futures")));
        if (!marker) return -1;
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(qo, nullptr));
    if (!dict) return -1;
    PyObject* found = PyDict_GetItemWithError(dict.get(), marker); // borrowed
    if (!found) return PyErr_Occurred() ? -1 : 0;
    // The marker says whether its futures still need the queue; asked, it
    // hands the queue back when they do not (and leaves the dict).
    Ref held = Ref::borrow(found);
    const int busy = PyObject_IsTrue(held.get());
    if (busy <= 0) return busy;
    PyErr_SetString(PyExc_RuntimeError,
                    "this worker has futures (vantrel.futures) that are still unanswered: map, "
                    "reduce, blocked_put and clear_output would take their answers; wait for "
                    "them first (vantrel.futures.pending(pool) lists them)");
    return -1;
}

} // namespace vantrel::futures_guard
