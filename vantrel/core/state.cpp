#include "state.hpp"
#include "module.hpp"

namespace vantrel {

ProcessState process_state;

namespace {

bool intern_into(ProcessRef& slot, const char* text) noexcept {
    slot.reset(Ref::steal(PyUnicode_InternFromString(text)));
    return slot.get() != nullptr;
}

bool make_constants(ProcessState& s) noexcept {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return false;
    s.builtins.reset(Ref::borrow(PyModule_GetDict(builtins.get())));
    s.timeout_kwnames.reset(Ref::steal(PyTuple_Pack(1, s.names.timeout.get())));
    s.job_wait.reset(Ref::steal(PyFloat_FromDouble(job_wait_seconds)));
    s.answer_poll.reset(Ref::steal(PyFloat_FromDouble(answer_poll_seconds)));
    s.empty_tuple.reset(Ref::steal(PyTuple_New(0)));
    return s.builtins.get() != nullptr && s.timeout_kwnames.get() != nullptr &&
           s.job_wait.get() != nullptr && s.answer_poll.get() != nullptr &&
           s.empty_tuple.get() != nullptr;
}

bool import_into(ProcessRef& slot, const char* module, const char* name) noexcept {
    slot.reset(import_attribute(module, name));
    return slot.get() != nullptr;
}

} // namespace

bool init_state() noexcept {
    ProcessState& s = process_state;
    if (s.builtins) return true;
#define VANTREL_INTERN_NAME(n)                                                                     \
    if (!intern_into(s.names.n, #n)) return false;
#define VANTREL_INTERN_TEXT(n, text)                                                               \
    if (!intern_into(s.names.n, text)) return false;
    VANTREL_IDENTIFIERS(VANTREL_INTERN_NAME)
    VANTREL_TEXTS(VANTREL_INTERN_TEXT)
#undef VANTREL_INTERN_NAME
#undef VANTREL_INTERN_TEXT
    return make_constants(s);
}

bool load_stdlib() noexcept {
    ProcessState& s = process_state;
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
        !import_into(lib.barrier, "vantrel._control", "Barrier"))
        return false;
    if (!PyType_Check(lib.queue_type.get()) || !PyType_Check(lib.process_type.get())) {
        PyErr_SetString(PyExc_RuntimeError, "multiprocessing has no Queue or BaseProcess type");
        return false;
    }
    s.stdlib_loaded = true;
    return true;
}

} // namespace vantrel
