#include "core/capi/binding.hpp"
#include "core/capi/function.hpp"

namespace vantrel {
namespace {

// Index of the parameter called `key`, or -1. Names are interned, so identity
// settles nearly every call; equality covers keys built at run time.
int find_parameter(Function* fn, int count, PyObject* key) noexcept {
    for (int i = 0; i < count; ++i)
        if (fn->names[i] == key) return i;
    for (int i = 0; i < count; ++i)
        if (PyUnicode_Compare(fn->names[i], key) == 0) return i;
    return -1;
}

enum class Problem { none, not_string, multiple, unexpected };

// The first keyword that does not fit the signature. It is reported only
// after the check for missing parameters, which takes precedence.
struct KeywordProblem {
    Problem kind = Problem::none;
    PyObject* key = nullptr;
};

// Keyword `key` to the **varkw dict, made at the first one.
bool collect_keyword(BoundArgs& out, PyObject* key, PyObject* value) noexcept {
    if (!out.kwds) {
        out.kwds = Ref::steal(PyDict_New());
        if (!out.kwds) return false;
    }
    return PyDict_SetItem(out.kwds.get(), key, value) == 0;
}

// Binds the keywords of a call (`values` in the order of `kwnames`) after the
// first `nfilled` parameters were given by position. False with the error
// set when binding fails; a keyword that does not fit goes to `problem`.
bool bind_keywords(Function* fn, PyObject* const* values, PyObject* kwnames, Py_ssize_t nfilled,
                   BoundArgs& out, KeywordProblem& problem) noexcept {
    const Signature& sig = fn->spec->sig;
    const int nparams = sig.npos + sig.nkwonly;
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        Problem found = Problem::none;
        if (!PyUnicode_Check(key)) {
            found = Problem::not_string;
        } else if (int i = find_parameter(fn, nparams, key); i >= 0) {
            if (i < nfilled || out.v[i])
                found = Problem::multiple;
            else
                out.v[i] = values[j];
        } else if (sig.varkw) {
            if (!collect_keyword(out, key, values[j])) return false;
        } else {
            found = Problem::unexpected;
        }
        if (found != Problem::none && problem.kind == Problem::none) problem = {found, key};
    }
    return true;
}

[[gnu::cold]] void raise_keyword_problem(Function* fn, const KeywordProblem& problem) noexcept {
    switch (problem.kind) {
    case Problem::none:
        break;
    case Problem::not_string:
        raise_keywords_not_strings(fn->name);
        break;
    case Problem::multiple:
        raise_multiple_values(fn->name, problem.key);
        break;
    case Problem::unexpected:
        raise_unexpected_keyword(fn->name, problem.key);
        break;
    }
}

// Keyword-only parameters not given take their value from __kwdefaults__;
// false with TypeError set for one that has none.
bool fill_keyword_only(Function* fn, BoundArgs& out) noexcept {
    const Signature& sig = fn->spec->sig;
    for (int i = sig.npos; i < sig.npos + sig.nkwonly; ++i) {
        if (out.v[i]) continue;
        PyObject* dflt =
            fn->kwdefaults ? PyDict_GetItemWithError(fn->kwdefaults, fn->names[i]) : nullptr;
        if (!dflt) {
            if (!PyErr_Occurred()) raise_missing_keyword_only(fn->name, fn->names[i]);
            return false;
        }
        out.owned[i] = Ref::borrow(dflt);
        out.v[i] = dflt;
    }
    return true;
}

} // namespace

bool bind_arguments(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    BoundArgs& out) noexcept {
    const Signature& sig = fn->spec->sig;
    const int npos = sig.npos;
    // As CPython does, the last len(__defaults__) positional parameters take
    // the defaults; a longer tuple contributes its last items only.
    const Py_ssize_t ndefaults = fn->defaults ? PyTuple_GET_SIZE(fn->defaults) : 0;
    const Py_ssize_t first_default = npos - ndefaults;
    const Py_ssize_t nrequired = std::max<Py_ssize_t>(first_default, 0);
    const bool exact = ndefaults == 0 && sig.varargs == nullptr;

    if (nargs > npos && !sig.varargs) {
        raise_positional_count(fn->name, exact, nrequired, npos, nargs);
        return false;
    }
    const Py_ssize_t nfilled = std::min<Py_ssize_t>(nargs, npos);
    for (Py_ssize_t i = 0; i < nfilled; ++i)
        out.v[i] = args[i];
    if (nargs > npos) {
        out.extra = args + npos;
        out.nextra = nargs - npos;
    }

    KeywordProblem problem;
    if (kwnames && !bind_keywords(fn, args + nargs, kwnames, nfilled, out, problem)) return false;

    for (int i = static_cast<int>(nfilled); i < npos; ++i) {
        if (out.v[i]) continue;
        if (i < nrequired) {
            raise_positional_count(fn->name, exact, nrequired, npos, i);
            return false;
        }
        out.owned[i] = Ref::borrow(PyTuple_GET_ITEM(fn->defaults, i - first_default));
        out.v[i] = out.owned[i].get();
    }

    if (problem.kind != Problem::none) {
        raise_keyword_problem(fn, problem);
        return false;
    }
    return fill_keyword_only(fn, out);
}

void raise_positional_count(PyObject* name, bool exact, Py_ssize_t required, Py_ssize_t allowed,
                            Py_ssize_t given) noexcept {
    const char* how;
    Py_ssize_t expected;
    if (given < required) {
        expected = required;
        how = exact ? "exactly" : "at least";
    } else {
        expected = allowed;
        how = exact ? "exactly" : "at most";
    }
    const char* text = PyUnicode_AsUTF8(name);
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 text, how, expected, expected == 1 ? "" : "s", given);
}

void raise_unexpected_keyword(PyObject* name, PyObject* keyword) noexcept {
    const char* text = PyUnicode_AsUTF8(name);
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", text, keyword);
}

void raise_multiple_values(PyObject* name, PyObject* keyword) noexcept {
    const char* text = PyUnicode_AsUTF8(name);
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", text,
                 keyword);
}

void raise_keywords_not_strings(PyObject* name) noexcept {
    const char* text = PyUnicode_AsUTF8(name);
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", text);
}

void raise_missing_keyword_only(PyObject* name, PyObject* keyword) noexcept {
    PyErr_Format(PyExc_TypeError, "%U() missing 1 required keyword-only argument: '%U'", name,
                 keyword);
}

} // namespace vantrel
