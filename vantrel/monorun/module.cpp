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
    if (!define_class(m, "_HandleContent",
                      {{"__init__", &collector_init_spec},
                       {"xprint", &collector_xprint_spec, nullptr, end_default.get()},
                       {"clear", &collector_clear_spec},
                       {"xreturn", &collector_xreturn_spec}}))
        return -1;

    if (!bind(m, "monorun_main", make_function(m, monorun_main_spec))) return -1;

    Ref name_default = Ref::steal(PyTuple_Pack(1, Py_None));
    if (!name_default) return -1;
    return define_class(m, "SingleProcess",
                        {{"__init__", &handle_init_spec, name_default.get()},
                         {"blocked_put", &handle_blocked_put_spec},
                         {"kill", &handle_kill_spec},
                         {"clear_output", &handle_clear_output_spec}})
               ? 0
               : -1;
}

} // namespace
} // namespace vantrel::monorun

PyMODINIT_FUNC PyInit_monorun() {
    return vantrel::define_module(nullptr, vantrel::monorun::fill_namespace);
}
