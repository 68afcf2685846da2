// The calls that read or drain a worker's output queue outside its owner
// (map, reduce, blocked_put, clear_output) ask first whether they may: not
// while the queue's owner (vantrel.futures) has jobs there (owner.hpp).
#pragma once

#include <Python.h>

namespace vantrel::futures_guard {

// 0 when `qo` may be read here (handing it back from an owner with nothing
// in flight); -1 with RuntimeError while its owner has jobs there.
int check(PyObject* qo) noexcept;

} // namespace vantrel::futures_guard
