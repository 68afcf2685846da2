// Argument binding: turns a vectorcall (args, nargs, kwnames) into one value
// per parameter, with the TypeError texts that both modules share.
#pragma once

#include "ref.hpp"

#include <array>
#include <cstdint>

namespace vantrel {

// Static description of a signature. Parameters are, in order: `npos`
// positional-or-keyword names, then `nkwonly` keyword-only names. `varargs`
// and `varkw` name the collecting parameters, or are null.
struct Signature {
    static constexpr int max_params = 6;
    const char* names[max_params];
    int npos;
    int nkwonly;
    const char* varargs;
    const char* varkw;
};

// Values bound for one call. `v[i]` is the value of parameter i (borrowed:
// it stays alive for the call, through the caller or through `owned`).
// `extra`/`nextra` are the surplus positionals (for *varargs), `kwds` the
// surplus keywords (for **varkw, a new dict, or null when there is none).
struct BoundArgs {
    std::array<PyObject*, Signature::max_params> v{};
    PyObject* const* extra = nullptr;
    Py_ssize_t nextra = 0;
    Ref kwds;
    std::array<Ref, Signature::max_params> owned; // defaults taken for this call
};

struct Function;

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
