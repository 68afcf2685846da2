// Module loading and module-level names, shared by every extension module.
#pragma once

#include "core/capi/ref.hpp"

#include <cstdint>

namespace vantrel {

// The load sequence: one interpreter per process, one module object per
// process, execution at most once, and a failed execution forgotten so that
// the next import starts from scratch. The module's names come from
// VANTREL_MODULE_NAME ("vantrel.<short name>").
class ModuleGuard {
  public:
    // Py_mod_create: the existing module object, or a new one from `spec`.
    PyObject* create(PyObject* spec) noexcept;
    // Py_mod_exec: once for the module object that `create` made, the process
    // state and the function type, then `body`.
    int exec(PyObject* module, int (*body)(PyObject* module) noexcept) noexcept;

  private:
    std::int64_t interpreter_ = -1;
    ProcessRef module_;
    bool executed_ = false;
};

// PyInit_<name> of this binary: the module definition, made by the import
// machinery through this binary's ModuleGuard, whose one execution fills
// the namespace with `body` (the process state and the function type are
// ready by then). `doc` may be null.
PyObject* define_module(const char* doc, int (*body)(PyObject* module) noexcept) noexcept;

// Module-level name lookup at each use: `globals`, then builtins, then
// NameError "name '...' is not defined".
Ref lookup_global(PyObject* globals, PyObject* name) noexcept;

// `import name` with its effect: the top-level package bound in sys.modules,
// the leaf module returned (ModuleNotFoundError when it cannot be had).
Ref import_module(const char* dotted) noexcept;

// getattr(import module, name).
Ref import_attribute(const char* module, const char* name) noexcept;

// Builds a class the way a class statement does: `type(name, (), ns)`, with
// `__module__` and `__qualname__` first in the namespace and the members in
// the order they are added.
class ClassBuilder {
  public:
    ClassBuilder(PyObject* module, const char* name) noexcept;
    // False with the error set when `value` is null or cannot be stored.
    bool add(const char* member, PyObject* value) noexcept; // borrows value
    bool add(const char* member, const Ref& value) noexcept { return add(member, value.get()); }
    Ref build() noexcept;

  private:
    const char* name_;
    Ref ns_;
};

// Binds `value` in the module namespace; fails on a null value (error set).
bool bind(PyObject* module, const char* name, const Ref& value) noexcept;

} // namespace vantrel
