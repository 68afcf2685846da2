// The callable type behind every function and method of both modules.
//
// It behaves like a Python function: vectorcall, binds through an instance as
// a bound method (and through its class as itself), carries __name__,
// __qualname__, __module__, __doc__, __defaults__, __kwdefaults__, __globals__
// and a real __code__ describing its parameters (so `inspect.signature` reads
// it like any function), and pickles by module and qualified name.
#pragma once

#include "binding.hpp"
#include "module.hpp"

#include "ref.hpp"
#include <initializer_list>

namespace vantrel {

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

// Creates the function type of `module` (once per process).
bool init_function_type(PyObject* module) noexcept;

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
