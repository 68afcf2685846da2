#include "core/capi/state.hpp"
#include "core/capi/module.hpp"

#include <cstdio>
#include <new>

#ifndef VANTREL_VERSION
#define VANTREL_VERSION "dev"
#endif

namespace vantrel {

Names interned_names;
ProcessState* joined_state = nullptr;

namespace {

// Raised by hand when what ProcessState (or what the core keeps on a queue)
// holds changes in a way its size may not show.
constexpr int state_layout = 1;

bool intern_into(ProcessRef& slot, const char* text) noexcept {
    slot.reset(Ref::steal(PyUnicode_InternFromString(text)));
    return slot.get() != nullptr;
}

bool intern_names() noexcept {
    Names& n = interned_names;
    if (n.empty_text) return true;
#define VANTREL_INTERN_NAME(name)                                                                  \
    if (!intern_into(n.name, #name)) return false;
#define VANTREL_INTERN_TEXT(name, text)                                                            \
    if (!intern_into(n.name, text)) return false;
    VANTREL_IDENTIFIERS(VANTREL_INTERN_NAME)
    VANTREL_TEXTS(VANTREL_INTERN_TEXT)
#undef VANTREL_INTERN_NAME
#undef VANTREL_INTERN_TEXT
    return true;
}

bool make_constants(ProcessState& s) noexcept {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return false;
    s.builtins.reset(Ref::borrow(PyModule_GetDict(builtins.get())));
    s.timeout_kwnames.reset(Ref::steal(PyTuple_Pack(1, names.timeout.get())));
    s.job_wait.reset(Ref::steal(PyFloat_FromDouble(job_wait_seconds)));
    s.answer_poll.reset(Ref::steal(PyFloat_FromDouble(answer_poll_seconds)));
    s.empty_tuple.reset(Ref::steal(PyTuple_New(0)));
    if (!s.builtins || !s.timeout_kwnames || !s.job_wait || !s.answer_poll || !s.empty_tuple)
        return false;
    if (PyThread_tss_create(&s.shared_memory.collecting) != 0) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// Drops what a state that was never published holds.
void discard_state(ProcessState* s) noexcept {
    for (ProcessRef* r :
         {&s->builtins, &s->timeout_kwnames, &s->job_wait, &s->answer_poll, &s->empty_tuple})
        r->reset();
    if (PyThread_tss_is_created(&s->shared_memory.collecting) != 0)
        PyThread_tss_delete(&s->shared_memory.collecting);
    delete s;
}

bool import_into(ProcessRef& slot, const char* module, const char* name) noexcept {
    slot.reset(import_attribute(module, name));
    return slot.get() != nullptr;
}

} // namespace

const char* state_stamp() noexcept {
    constexpr size_t stamp_size = 96;
    static char stamp[stamp_size];
    if (stamp[0] == '\0')
        std::snprintf(stamp, sizeof stamp, "vantrel.state.%s.%d.%zu", VANTREL_VERSION, state_layout,
                      sizeof(ProcessState));
    return stamp;
}

bool init_state() noexcept {
    if (joined_state) return true;
    if (!intern_names()) return false;
    // The interpreter's dict, as the other binaries of this build see it.
    PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get()); // borrowed
    if (!shared) {
        PyErr_SetString(PyExc_RuntimeError, "this interpreter keeps no state for extensions");
        return false;
    }
    const char* stamp = state_stamp();
    Ref key = Ref::steal(PyUnicode_FromString(stamp));
    if (!key) return false;
    PyObject* found = PyDict_GetItemWithError(shared, key.get()); // borrowed
    if (!found) {
        if (PyErr_Occurred()) return false;
        auto* made = new (std::nothrow) ProcessState();
        if (!made) {
            PyErr_NoMemory();
            return false;
        }
        // Never freed, as a static would not be: a capsule without destructor.
        Ref capsule =
            make_constants(*made) ? Ref::steal(PyCapsule_New(made, stamp, nullptr)) : Ref();
        // Making the constants ran Python code: another binary may have
        // published its state meanwhile, and that one is joined then.
        found = capsule ? PyDict_SetDefault(shared, key.get(), capsule.get()) : nullptr;
        if (found != capsule.get()) discard_state(made);
        if (!found) return false;
    }
    auto* state = static_cast<ProcessState*>(PyCapsule_GetPointer(found, stamp));
    if (!state) return false;
    joined_state = state;
    return true;
}

bool load_stdlib() noexcept {
    ProcessState& s = process_state();
    if (s.stdlib_loaded) return true;
    Stdlib& lib = s.stdlib;
    // The pickler class of queue messages (vantrel._control.message_pickler).
    Ref choose = import_attribute("vantrel._control", "message_pickler");
    Ref pickler = choose ? Ref::steal(PyObject_CallNoArgs(choose.get())) : Ref();
    if (!pickler) return false;
    lib.dumps.reset(Ref::steal(PyObject_GetAttrString(pickler.get(), "dumps")));
    if (!lib.dumps || !import_into(lib.queue_empty, "queue", "Empty") ||
        !import_into(lib.queue_type, "multiprocessing.queues", "Queue") ||
        !import_into(lib.process_type, "multiprocessing.process", "BaseProcess") ||
        !import_into(lib.format_exception, "traceback", "format_exception") ||
        !import_into(lib.unsent_job, "vantrel._control", "UnsentJob") ||
        !import_into(lib.barrier, "vantrel._control", "Barrier") ||
        !import_into(lib.raised_by_signal, "vantrel._control", "raised_by_signal"))
        return false;
    if (!PyType_Check(lib.queue_type.get()) || !PyType_Check(lib.process_type.get())) {
        PyErr_SetString(PyExc_RuntimeError, "multiprocessing has no Queue or BaseProcess type");
        return false;
    }
    s.stdlib_loaded = true;
    return true;
}

} // namespace vantrel
