// Reading one answer from a worker's output queue without waiting for good on
// a worker that has died.
#pragma once

#include "ref.hpp"

namespace vantrel {

// The next item of `queue`. When `queue` is a multiprocessing queue and
// `process` (may be null) the multiprocessing process of the worker that answers on it, the
// wait checks every fraction of a second that the worker still lives; once it
// has ended with nothing left to read, RuntimeError names the process, its exit
// code and, when `position` >= 0, the position of the job whose answer is
// missing. Any other queue or process: a plain, unbounded `queue.get()`.
Ref get_answer(PyObject* queue, PyObject* process, Py_ssize_t position) noexcept;

// Whether `queue` is a multiprocessing queue, the kind get_answer can watch.
// -1 with the error set on failure.
int is_watchable_queue(PyObject* queue) noexcept;

} // namespace vantrel
