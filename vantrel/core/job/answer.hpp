// The answer a worker sends for each job: a list of four items.
#pragma once

#include "core/capi/ref.hpp"

namespace vantrel::answer {

// Positions of the items.
namespace item {
inline constexpr Py_ssize_t status = 0;    // "SUCCESS" or "EXCEPTION"
inline constexpr Py_ssize_t printed = 1;   // str: what the job wrote through xprint
inline constexpr Py_ssize_t traceback = 2; // str: the traceback text of a failure, "" on success
inline constexpr Py_ssize_t values = 3;    // dict: what the job handed back through xreturn
inline constexpr Py_ssize_t count = 4;
} // namespace item

// A new answer list. `printed` and `values` are kept as they are, not copied.
Ref make(PyObject* status, Ref printed, PyObject* traceback, Ref values) noexcept;

// Whether `o` has the shape of an answer: a list of four items.
bool is_answer(PyObject* o) noexcept;

// Item `which` of an answer (borrowed); `answer` must pass is_answer.
inline PyObject* get(PyObject* answer, Py_ssize_t which) noexcept {
    return PyList_GET_ITEM(answer, which);
}

} // namespace vantrel::answer
