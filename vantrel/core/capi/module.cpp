#include "core/capi/module.hpp"
#include "core/capi/function.hpp"
#include "core/capi/state.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace vantrel {
namespace {

// "monorun" of "vantrel.monorun".
const char* short_module_name() noexcept {
    const char* dot = std::strrchr(VANTREL_MODULE_NAME, '.');
    return dot ? dot + 1 : VANTREL_MODULE_NAME;
}

[[gnu::cold]] void raise_reinitialisation() noexcept {
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 short_module_name());
}

[[gnu::cold]] void raise_name_error(PyObject* name) noexcept {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    // Like the interpreter, tell the exception which name was missing.
    PyObject* exc = compat::fetch_exception();
    if (exc && PyObject_SetAttrString(exc, "name", name) < 0) PyErr_Clear();
    compat::restore_exception(exc);
}

[[gnu::cold]] int check_runtime_version() noexcept {
    const unsigned long v = Py_Version;
    const int major = static_cast<int>((v >> 24) & 0xff);
    const int minor = static_cast<int>((v >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    constexpr size_t text_size = 200; // the text below, with at most 100 bytes of the module name
    char text[text_size];
    PyOS_snprintf(text, sizeof text,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, VANTREL_MODULE_NAME, "does not match", major,
                  minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, text, 1);
}

// The definition every module of this binary is made from; define_module
// fills in its name, doc and body.
int (*module_body)(PyObject*) noexcept = nullptr;

// The load guard of this binary's module.
ModuleGuard module_guard;

PyObject* create_slot(PyObject* spec, PyModuleDef*) noexcept {
    return module_guard.create(spec);
}
int exec_slot(PyObject* module) noexcept {
    return module_guard.exec(module, module_body);
}

// Create and exec, then where the module may be loaded (define_module
// copies those in).
constexpr size_t own_slots = 2;
PyModuleDef_Slot module_slots[own_slots + std::size(compat::loading_slots)] = {
    {Py_mod_create, reinterpret_cast<void*>(create_slot)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot)},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = nullptr,
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
};

} // namespace

PyObject* define_module(const char* doc, int (*body)(PyObject*) noexcept) noexcept {
    module_body = body;
    std::copy(std::begin(compat::loading_slots), std::end(compat::loading_slots),
              module_slots + own_slots);
    module_definition.m_name = short_module_name();
    module_definition.m_doc = doc;
    return PyModuleDef_Init(&module_definition);
}

PyObject* ModuleGuard::create(PyObject* spec) noexcept {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (interpreter_ == -1) {
        interpreter_ = current;
    } else if (interpreter_ != current) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only "
                                           "be loaded into one interpreter per process.");
        return nullptr;
    }
    if (module_) return Py_NewRef(module_.get());
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    module_.reset(module);
    return module.release();
}

int ModuleGuard::exec(PyObject* module, int (*body)(PyObject*) noexcept) noexcept {
    if (!module_) module_.reset(Ref::borrow(module)); // made by another create step
    if (module_.get() != module) {
        raise_reinitialisation();
        return -1;
    }
    if (executed_) return 0;
    if (check_runtime_version() < 0 || !init_state() || !init_function_type(module) ||
        body(module) < 0) {
        // Forget the half-built module so that the next import starts anew.
        module_.reset();
        return -1;
    }
    executed_ = true;
    return 0;
}

Ref lookup_global(PyObject* globals, PyObject* name) noexcept {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (!value) {
        if (PyErr_Occurred()) return {};
        value = PyDict_GetItemWithError(process_state().builtins, name);
        if (!value) {
            if (!PyErr_Occurred()) raise_name_error(name);
            return {};
        }
    }
    return Ref::borrow(value);
}

Ref import_module(const char* dotted) noexcept {
    Ref name = Ref::steal(PyUnicode_FromString(dotted));
    if (!name) return {};
    Ref top =
        Ref::steal(PyImport_ImportModuleLevelObject(name.get(), nullptr, nullptr, nullptr, 0));
    if (!top) return {};
    Ref leaf = Ref::steal(PyImport_GetModule(name.get()));
    if (leaf || PyErr_Occurred()) return leaf;
    // Not in sys.modules: walk the attributes of the package instead.
    const char* part = dotted;
    Ref current = top;
    for (const char* dot; (dot = strchr(part, '.')) != nullptr;) {
        part = dot + 1;
        const char* end = strchr(part, '.');
        Ref attr = Ref::steal(end ? PyUnicode_FromStringAndSize(part, end - part)
                                  : PyUnicode_FromString(part));
        if (!attr) return {};
        PyObject* next = nullptr;
        if (compat::get_optional_attr(current.get(), attr.get(), &next) < 0) return {};
        if (!next) {
            PyErr_Format(PyExc_ModuleNotFoundError, "No module named '%U'", name.get());
            return {};
        }
        current = Ref::steal(next);
    }
    return current;
}

Ref import_attribute(const char* module, const char* name) noexcept {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    return m ? Ref::steal(PyObject_GetAttrString(m.get(), name)) : Ref();
}

ClassBuilder::ClassBuilder(PyObject* module, const char* name) noexcept
    : name_(name), ns_(Ref::steal(PyDict_New())) {
    if (!ns_) return;
    Ref qualname = Ref::steal(PyUnicode_FromString(name));
    Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (!qualname || !module_name ||
        PyDict_SetItemString(ns_.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns_.get(), "__qualname__", qualname.get()) < 0)
        ns_.reset();
}

bool ClassBuilder::add(const char* member, PyObject* value) noexcept {
    return ns_ && value != nullptr && PyDict_SetItemString(ns_.get(), member, value) == 0;
}

Ref ClassBuilder::build() noexcept {
    if (!ns_) return {};
    return Ref::steal(
        PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", name_, ns_.get()));
}

bool bind(PyObject* module, const char* name, const Ref& value) noexcept {
    return value && PyModule_AddObjectRef(module, name, value.get()) == 0;
}

} // namespace vantrel
