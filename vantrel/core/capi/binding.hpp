// Argument binding: turns a vectorcall (args, nargs, kwnames) into one value
// per parameter (function.hpp's BoundArgs), with the TypeError texts that
// every module shares.
#pragma once

#include "core/capi/function.hpp"
#include "core/capi/ref.hpp"

namespace vantrel {

// Binds a call to `fn`. Returns false with TypeError set when the call does
// not fit the signature; the body must then not run.
bool bind_arguments(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    BoundArgs& out) noexcept;

// Message builders, kept cold and out of line.
[[gnu::cold]] void raise_positional_count(PyObject* name, bool exact, Py_ssize_t required,
                                          Py_ssize_t allowed, Py_ssize_t given) noexcept;
[[gnu::cold]] void raise_unexpected_keyword(PyObject* name, PyObject* keyword) noexcept;
[[gnu::cold]] void raise_multiple_values(PyObject* name, PyObject* keyword) noexcept;
[[gnu::cold]] void raise_keywords_not_strings(PyObject* name) noexcept;
[[gnu::cold]] void raise_missing_keyword_only(PyObject* name, PyObject* keyword) noexcept;

} // namespace vantrel
