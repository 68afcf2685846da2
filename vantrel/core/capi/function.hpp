// The callable type behind every function and method of the modules.
//
// It behaves like a Python function: vectorcall, binds through an instance as
// a bound method (and through its class as itself), carries __name__,
// __qualname__, __module__, __doc__, __defaults__, __kwdefaults__, __globals__
// and a real __code__ describing its parameters (so `inspect.signature` reads
// it like any function), and pickles by module and qualified name.
#pragma once

#include "core/capi/module.hpp"
#include "core/capi/ref.hpp"

#include <array>
#include <initializer_list>

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
using Body = PyObject* (*)(Function* self, BoundArgs& args) noexcept;

// Everything static about one function.
struct FunctionSpec {
    const char* qualname; // "Class.method" or "function"; __name__ is its last part
    Signature sig;
    Body body;
    const char* doc = nullptr;
};

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;        // str
    PyObject* qualname;    // str
    PyObject* module;      // __module__
    PyObject* doc;         // __doc__
    PyObject* defaults;    // tuple or null
    PyObject* kwdefaults;  // dict or null
    PyObject* globals;     // the defining module's namespace
    PyObject* code;        // code object describing the signature
    PyObject* annotations; // dict or null (made on first use)
    PyObject* dict;        // __dict__
    PyObject* weakrefs;
    PyObject* names[Signature::max_params]; // interned parameter names
};

// Creates the function type of this binary, with `module` (once).
bool init_function_type(PyObject* module) noexcept;
// Whether `obj` is a function of this binary.
bool is_function(PyObject* obj) noexcept;

// Creates one function of `module`. `defaults` is a tuple or null,
// `kwdefaults` a dict or null; both are borrowed.
Ref make_function(PyObject* module, const FunctionSpec& spec, PyObject* defaults = nullptr,
                  PyObject* kwdefaults = nullptr) noexcept;

// One method of a class made by define_class: `defaults` (a tuple) and
// `kwdefaults` (a dict) are borrowed, or null.
struct MethodDef {
    const char* name;
    const FunctionSpec* spec;
    PyObject* defaults = nullptr;
    PyObject* kwdefaults = nullptr;
};

// Binds in `module` a class `name` whose namespace holds these methods, in
// this order (ClassBuilder); false with the error set.
bool define_class(PyObject* module, const char* name,
                  std::initializer_list<MethodDef> methods) noexcept;

// The module-level name `name` as the function sees it now: its module's
// namespace first, then builtins; NameError when neither has it.
inline Ref lookup_global(Function* self, PyObject* name) noexcept {
    return lookup_global(self->globals, name);
}

} // namespace vantrel
