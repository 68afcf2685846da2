// MultiProcessPool: start, restart, drain and kill N workers as a group.
#include "polyrun.hpp"

namespace vantrel::polyrun {
namespace {

// What a failing handle does to the walk over the others.
enum class OnFailure { stop, go_on };

// for pid, proc in self.procs.items(): proc.<method>()
int for_each_handle(PyObject* self, PyObject* method, OnFailure on_failure) noexcept {
    Ref procs = Ref::steal(PyObject_GetAttr(self, names.procs));
    if (!procs) return -1;
    Ref items = call_method(procs.get(), names.items);
    if (!items) return -1;
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    if (!it) return -1;
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref handle = Ref::steal(PySequence_GetItem(pair.get(), 1));
        if (!handle) return -1;
        if (!call_method(handle.get(), method)) {
            if (on_failure == OnFailure::stop) return -1;
            PyErr_Clear();
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* init_body(Function*, BoundArgs& a) noexcept {
    PyObject* self = a.v[0];
    Ref procs = Ref::steal(PyDict_New());
    if (!procs || PyObject_SetAttr(self, names.N, a.v[1]) < 0 ||
        PyObject_SetAttr(self, names.procs, procs.get()) < 0 ||
        PyObject_SetAttr(self, names.name_pref, a.v[2]) < 0)
        return nullptr;
    if (!call_method(self, names.init_process)) {
        // The pool never reaches the caller: its workers must not outlive it.
        kill_unreachable_handles(self);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// name_pref + "_" + str(index)
Ref worker_name(PyObject* self, PyObject* index) noexcept {
    Ref prefix = Ref::steal(PyObject_GetAttr(self, names.name_pref));
    Ref head = prefix ? Ref::steal(PyNumber_Add(prefix.get(), names.underscore)) : Ref();
    Ref number = head ? Ref::steal(PyObject_Str(index)) : Ref();
    return number ? Ref::steal(PyNumber_Add(head.get(), number.get())) : Ref();
}

int start_worker(Function* fn, PyObject* self, PyObject* index) noexcept {
    Ref name = worker_name(self, index);
    if (!name) return -1;
    Ref cs = lookup_global(fn, names.cs);
    if (!cs) return -1;
    Ref handle_class = Ref::steal(PyObject_GetAttr(cs.get(), names.SingleProcess));
    if (!handle_class) return -1;
    Ref handle = call(handle_class.get(), name.get());
    if (!handle) return -1;
    Ref proc = Ref::steal(PyObject_GetAttr(handle.get(), names.proc));
    if (!proc) return -1;
    Ref pid = Ref::steal(PyObject_GetAttr(proc.get(), names.pid));
    if (!pid) return -1;
    Ref procs = Ref::steal(PyObject_GetAttr(self, names.procs));
    return procs ? PyObject_SetItem(procs.get(), pid.get(), handle.get()) : -1;
}

PyObject* init_process_body(Function* fn, BoundArgs& a) noexcept {
    PyObject* self = a.v[0];
    Ref procs = Ref::steal(PyObject_GetAttr(self, names.procs));
    if (!procs) return nullptr;
    const Py_ssize_t running = PyObject_Size(procs.get());
    if (running < 0) return nullptr;
    if (running > 0 && !call_method(self, names.kill_all)) return nullptr;
    Ref count = Ref::steal(PyObject_GetAttr(self, names.N));
    if (!count) return nullptr;
    Ref range = call(reinterpret_cast<PyObject*>(&PyRange_Type), count.get());
    if (!range) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(range.get()));
    if (!it) return nullptr;
    while (Ref index = Ref::steal(PyIter_Next(it.get())))
        if (start_worker(fn, self, index.get()) < 0) return nullptr;
    // Recorded set-up is replayed into the new workers before any job.
    if (PyErr_Occurred() || heal(self, names.after_start) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* kill_all_body(Function*, BoundArgs& a) noexcept {
    if (for_each_handle(a.v[0], names.kill, OnFailure::stop) < 0) return nullptr;
    Ref empty = Ref::steal(PyDict_New());
    if (!empty || PyObject_SetAttr(a.v[0], names.procs, empty.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* clear_output_body(Function*, BoundArgs& a) noexcept {
    if (for_each_handle(a.v[0], names.clear_output, OnFailure::stop) < 0) return nullptr;
    Py_RETURN_NONE;
}

} // namespace

int heal(PyObject* pool, PyObject* method) noexcept {
    PyObject* found = nullptr;
    const int has = compat::get_optional_attr(pool, names.healing_attribute, &found);
    Ref state = Ref::steal(found);
    if (has <= 0 || state.get() == Py_None) return has;
    return call_method(state.get(), method, pool) ? 0 : -1;
}

void kill_unreachable_pool(PyObject* pool) noexcept {
    SavedError error;
    if (!call_method(pool, names.kill_all)) PyErr_Clear(); // the caller must see the original
    error.restore();
}

void kill_unreachable_handles(PyObject* pool) noexcept {
    SavedError error;
    if (for_each_handle(pool, names.kill, OnFailure::go_on) < 0) PyErr_Clear();
    error.restore();
}

const FunctionSpec pool_init_spec = {
    "MultiProcessPool.__init__", {{"self", "N", "name_pref"}, 3, 0}, init_body};
const FunctionSpec pool_init_process_spec = {
    "MultiProcessPool.init_process", {{"self"}, 1, 0}, init_process_body};
const FunctionSpec pool_kill_all_spec = {
    "MultiProcessPool.kill_all", {{"self"}, 1, 0}, kill_all_body};
const FunctionSpec pool_clear_output_spec = {
    "MultiProcessPool.clear_output", {{"self"}, 1, 0}, clear_output_body};

} // namespace vantrel::polyrun
