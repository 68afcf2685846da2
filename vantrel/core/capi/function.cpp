#include "core/capi/function.hpp"
#include "core/capi/binding.hpp"
#include "core/capi/state.hpp"

#include <cstddef>
#include <cstring>

namespace vantrel {
namespace {

Function* as_function(PyObject* o) noexcept {
    return reinterpret_cast<Function*>(o);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    Function* fn = as_function(callable);
    BoundArgs bound;
    if (!bind_arguments(fn, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
    return fn->spec->body(fn, bound);
}

// What a function holds that may lead back to it: visited and cleared by
// the cycle collector, so listed once for both.
constexpr PyObject* Function::* collected_members[] = {
    &Function::module,  &Function::doc,  &Function::defaults,    &Function::kwdefaults,
    &Function::globals, &Function::code, &Function::annotations, &Function::dict,
};

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Function* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    for (PyObject* Function::* member : collected_members)
        Py_VISIT(fn->*member);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    Function* fn = as_function(self);
    for (PyObject* Function::* member : collected_members)
        Py_CLEAR(fn->*member);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    Function* fn = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    for (PyObject*& n : fn->names)
        Py_CLEAR(n);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Read through an instance: a bound method; through the class: the function.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// Pickled by reference: pickle resolves "<__module__>.<__qualname__>".
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

// Whether a slot may be emptied by None or deletion.
enum class Emptied { allowed, refused };

// Stores `value`, which must be a `type`, in `slot`.
int set_slot(PyObject** slot, PyObject* value, PyTypeObject* type, Emptied emptied,
             const char* message) noexcept {
    if (value == Py_None && emptied == Emptied::allowed) value = nullptr;
    if (value ? !PyObject_TypeCheck(value, type) : emptied == Emptied::refused) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(*slot, Py_XNewRef(value));
    return 0;
}

// The getset of a member: the value, or None for an empty optional one.
template <PyObject* Function::* member> PyObject* get_member(PyObject* self, void*) noexcept {
    PyObject* value = as_function(self)->*member;
    return Py_NewRef(value ? value : Py_None);
}

// A member that must hold an instance of `type`; `emptied` says whether None
// or deletion may empty it. The getset's closure is the TypeError's text.
template <PyObject* Function::* member, PyTypeObject* type, Emptied emptied>
int set_member(PyObject* self, PyObject* value, void* message) noexcept {
    return set_slot(&(as_function(self)->*member), value, type, emptied,
                    static_cast<const char*>(message));
}

PyObject* get_code(PyObject* self, void*) noexcept {
    return Py_NewRef(as_function(self)->code);
}
PyObject* get_globals(PyObject* self, void*) noexcept {
    return Py_NewRef(as_function(self)->globals);
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    Function* fn = as_function(self);
    if (!fn->annotations) fn->annotations = PyDict_New();
    return Py_XNewRef(fn->annotations);
}

// A getset row for the member `field` of type `type` (named `what` in the
// TypeError), which None may empty or not.
#define VANTREL_MEMBER_GETSET(name, field, type, emptied, what)                                    \
    {name, get_member<&Function::field>, set_member<&Function::field, &(type), Emptied::emptied>,  \
     nullptr, const_cast<char*>(name " must be set to a " what " object")}

PyGetSetDef function_getset[] = {
    VANTREL_MEMBER_GETSET("__name__", name, PyUnicode_Type, refused, "string"),
    VANTREL_MEMBER_GETSET("__qualname__", qualname, PyUnicode_Type, refused, "string"),
    VANTREL_MEMBER_GETSET("__defaults__", defaults, PyTuple_Type, allowed, "tuple"),
    VANTREL_MEMBER_GETSET("__kwdefaults__", kwdefaults, PyDict_Type, allowed, "dict"),
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations,
     set_member<&Function::annotations, &PyDict_Type, Emptied::allowed>, nullptr,
     const_cast<char*>("__annotations__ must be set to a dict object")},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef VANTREL_MEMBER_GETSET

PyMemberDef function_members[] = {
    {"__module__", compat::member_object, offsetof(Function, module), 0, nullptr},
    {"__doc__", compat::member_object, offsetof(Function, doc), 0, nullptr},
    {"__vectorcalloffset__", compat::member_ssize, offsetof(Function, vectorcall),
     compat::member_readonly, nullptr},
    {"__dictoffset__", compat::member_ssize, offsetof(Function, dict), compat::member_readonly,
     nullptr},
    {"__weaklistoffset__", compat::member_ssize, offsetof(Function, weakrefs),
     compat::member_readonly, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    VANTREL_MODULE_NAME ".function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// This binary's function type (init_function_type).
ProcessRef function_type;

// A code object that describes the signature (names, counts and flags) the
// way the compiler would for `def name(...)`; it is never run.
Ref make_code(PyObject* module, const FunctionSpec& spec, PyObject* name,
              PyObject* qualname) noexcept {
    const Signature& sig = spec.sig;
    Ref file_name = Ref::steal(PyUnicode_InternFromString("__file__"));
    PyObject* found = nullptr;
    if (!file_name || compat::get_optional_attr(module, file_name.get(), &found) < 0) return {};
    Ref file = Ref::steal(found);
    if (!file) {
        file = Ref::steal(PyUnicode_FromString(VANTREL_MODULE_NAME));
        if (!file) return {};
    }
    const char* file_text = PyUnicode_AsUTF8(file.get());
    const char* name_text = PyUnicode_AsUTF8(name);
    if (!file_text || !name_text) return {};
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file_text, name_text, 1)));
    if (!empty) return {};

    // co_varnames: positional, keyword-only, then *args and **kwargs.
    const int nparams = sig.npos + sig.nkwonly;
    const int nlocals = nparams + (sig.varargs ? 1 : 0) + (sig.varkw ? 1 : 0);
    Ref varnames = Ref::steal(PyTuple_New(nlocals));
    if (!varnames) return {};
    int k = 0;
    for (int i = 0; i < nparams; ++i) {
        PyObject* n = PyUnicode_InternFromString(sig.names[i]);
        if (!n) return {};
        PyTuple_SET_ITEM(varnames.get(), k++, n);
    }
    for (const char* extra : {sig.varargs, sig.varkw}) {
        if (!extra) continue;
        PyObject* n = PyUnicode_InternFromString(extra);
        if (!n) return {};
        PyTuple_SET_ITEM(varnames.get(), k++, n);
    }
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS | (sig.varargs ? CO_VARARGS : 0) |
                      (sig.varkw ? CO_VARKEYWORDS : 0);

    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:i,s:i,s:i,s:O,s:i,s:O}", "co_argcount", sig.npos,
                                          "co_kwonlyargcount", sig.nkwonly, "co_nlocals", nlocals,
                                          "co_varnames", varnames.get(), "co_flags", flags,
                                          "co_qualname", qualname));
    if (!replace || !kwargs) return {};
    return Ref::steal(PyObject_Call(replace.get(), process_state().empty_tuple, kwargs.get()));
}

} // namespace

bool init_function_type(PyObject* module) noexcept {
    if (!function_type) {
        function_type.reset(Ref::steal(PyType_FromModuleAndSpec(module, &function_spec, nullptr)));
    }
    return function_type.get() != nullptr;
}

bool is_function(PyObject* obj) noexcept {
    return Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(function_type.get());
}

Ref make_function(PyObject* module, const FunctionSpec& spec, PyObject* defaults,
                  PyObject* kwdefaults) noexcept {
    const char* dot = std::strrchr(spec.qualname, '.');
    Ref name = Ref::steal(PyUnicode_InternFromString(dot ? dot + 1 : spec.qualname));
    Ref qualname = Ref::steal(PyUnicode_InternFromString(spec.qualname));
    Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (!name || !qualname || !module_name) return {};
    Ref code = make_code(module, spec, name.get(), qualname.get());
    if (!code) return {};

    auto* type = reinterpret_cast<PyTypeObject*>(function_type.get());
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return {};
    Function* fn = as_function(self.get());
    fn->vectorcall = function_vectorcall;
    fn->spec = &spec;
    fn->name = name.release();
    fn->qualname = qualname.release();
    fn->module = module_name.release();
    fn->doc = spec.doc ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None);
    fn->defaults = Py_XNewRef(defaults);
    fn->kwdefaults = Py_XNewRef(kwdefaults);
    fn->globals = Py_NewRef(PyModule_GetDict(module));
    fn->code = code.release();
    for (int i = 0; i < spec.sig.npos + spec.sig.nkwonly; ++i) {
        fn->names[i] = PyUnicode_InternFromString(spec.sig.names[i]);
        if (!fn->names[i]) return {};
    }
    if (!fn->doc) return {};
    return self;
}

bool define_class(PyObject* module, const char* name,
                  std::initializer_list<MethodDef> methods) noexcept {
    ClassBuilder cls(module, name);
    for (const MethodDef& method : methods)
        if (!cls.add(method.name,
                     make_function(module, *method.spec, method.defaults, method.kwdefaults)))
            return false;
    return bind(module, name, cls.build());
}

} // namespace vantrel
