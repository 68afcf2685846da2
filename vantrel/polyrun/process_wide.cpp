// MultiProcessNoRep: one pool per interpreter, kept as `MPNR` on a holder
// object such as the builtins module.
#include "polyrun.hpp"

namespace vantrel::polyrun {
namespace {

// MultiProcessNoRep.builtin, both names looked up now.
Ref holder(Function* fn) noexcept {
    Ref cls = lookup_global(fn, names.MultiProcessNoRep);
    return cls ? Ref::steal(PyObject_GetAttr(cls.get(), names.builtin)) : Ref();
}

PyObject* set_body(Function* fn, BoundArgs& a) noexcept {
    Ref cls = lookup_global(fn, names.MultiProcessNoRep);
    if (!cls || PyObject_SetAttr(cls.get(), names.builtin, a.v[0]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* resize_stored_pool(Function* fn, PyObject* n) noexcept {
    Ref shared_holder = holder(fn);
    Ref pool =
        shared_holder ? Ref::steal(PyObject_GetAttr(shared_holder.get(), names.MPNR)) : Ref();
    if (!pool) return nullptr;
    Ref size = Ref::steal(PyObject_GetAttr(pool.get(), names.N));
    if (!size) return nullptr;
    const int resized = not_equal(n, size.get());
    if (resized < 0) return nullptr;
    if (resized != 0) {
        if (PyObject_SetAttr(pool.get(), names.N, n) < 0) return nullptr;
        if (!call_method(pool.get(), names.init_process)) return nullptr;
    }
    return pool.release();
}

PyObject* create_pool(Function* fn, PyObject* n) noexcept {
    Ref pool_class = lookup_global(fn, names.MultiProcessPool);
    if (!pool_class) return nullptr;
    PyObject* args[] = {n, names.shared_pool_prefix};
    Ref pool = Ref::steal(PyObject_Vectorcall(pool_class.get(), args, 2, nullptr));
    if (!pool) return nullptr;
    Ref shared_holder = holder(fn);
    if (!shared_holder || PyObject_SetAttr(shared_holder.get(), names.MPNR, pool.get()) < 0) {
        // Stored nowhere: nobody could ever kill these workers.
        kill_unreachable_pool(pool.get());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* init_process_body(Function* fn, BoundArgs& a) noexcept {
    PyObject* n = a.v[0];
    Ref shared_holder = holder(fn);
    if (!shared_holder) return nullptr;
    // Presence test: a holder whose MPNR cannot be read has no pool. An
    // ordinary exception of the holder's own says only that; an interrupt or
    // a MemoryError is the caller's and is raised, never taken for "no pool"
    // (which would start a second pool beside the first).
    PyObject* found = nullptr;
    int has = compat::get_optional_attr(shared_holder.get(), names.MPNR, &found);
    const Ref present = Ref::steal(found);
    if (has < 0) {
        if (PyErr_ExceptionMatches(PyExc_Exception) == 0 ||
            PyErr_ExceptionMatches(PyExc_MemoryError) != 0)
            return nullptr;
        PyErr_Clear();
        has = 0;
    }
    return has == 1 ? resize_stored_pool(fn, n) : create_pool(fn, n);
}

} // namespace

const FunctionSpec shared_set_spec = {"MultiProcessNoRep.set", {{"builtin"}, 1, 0}, set_body};
const FunctionSpec shared_init_process_spec = {
    "MultiProcessNoRep.init_process", {{"n"}, 1, 0}, init_process_body};

} // namespace vantrel::polyrun
