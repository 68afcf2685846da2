// While futures of vantrel.futures wait for a worker's answers, the output
// queue carries a marker in its instance dict, and the calls that read or
// drain that queue refuse it: they would take answers meant for the futures.
#pragma once

#include <Python.h>

namespace vantrel::futures_guard {

// 0 when `qo` may be read here; -1 with RuntimeError while futures own it.
int check(PyObject* qo) noexcept;

} // namespace vantrel::futures_guard
