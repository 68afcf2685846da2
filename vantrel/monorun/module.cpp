// vantrel.monorun: load sequence and module namespace.
#include "monorun.hpp"

namespace vantrel::monorun {
namespace {

// import <module> [as <alias>], bound at module level.
bool import_as(PyObject* module, const char* dotted, const char* alias) noexcept {
    return bind(module, alias, import_module(dotted));
}

int fill_namespace(PyObject* m) noexcept {
    if (!import_as(m, "os", "os") || !import_as(m, "ctypes", "ctypes") ||
        !import_as(m, "mmap", "mmap") || !import_as(m, "queue", "queue") ||
        !import_as(m, "signal", "signal") || !import_as(m, "traceback", "traceback") ||
        !import_as(m, "time", "time") || !import_as(m, "numpy", "np") ||
        !import_as(m, "multiprocessing", "mp") || !import_as(m, "setproctitle", "setproctitle"))
        return -1;

    if (!bind(m, "clear_queue", make_function(m, clear_queue_spec)) ||
        !bind(m, "sigint_handler", make_function(m, sigint_handler_spec)))
        return -1;

    Ref end_default = Ref::steal(Py_BuildValue("{s:s}", "end", "\n"));
    if (!end_default) return -1;
    ClassBuilder collector(m, "_HandleContent");
    if (!collector.add("__init__", make_function(m, collector_init_spec)) ||
        !collector.add("xprint",
                       make_function(m, collector_xprint_spec, nullptr, end_default.get())) ||
        !collector.add("clear", make_function(m, collector_clear_spec)) ||
        !collector.add("xreturn", make_function(m, collector_xreturn_spec)) ||
        !bind(m, "_HandleContent", collector.build()))
        return -1;

    if (!bind(m, "monorun_main", make_function(m, monorun_main_spec))) return -1;

    Ref name_default = Ref::steal(PyTuple_Pack(1, Py_None));
    if (!name_default) return -1;
    ClassBuilder handle(m, "SingleProcess");
    if (!handle.add("__init__", make_function(m, handle_init_spec, name_default.get())) ||
        !handle.add("blocked_put", make_function(m, handle_blocked_put_spec)) ||
        !handle.add("kill", make_function(m, handle_kill_spec)) ||
        !handle.add("clear_output", make_function(m, handle_clear_output_spec)) ||
        !bind(m, "SingleProcess", handle.build()))
        return -1;
    return 0;
}

} // namespace
} // namespace vantrel::monorun

PyMODINIT_FUNC PyInit_monorun() {
    return vantrel::define_module(nullptr, vantrel::monorun::fill_namespace);
}
