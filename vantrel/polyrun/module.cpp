// vantrel.polyrun: load sequence and module namespace.
#include "polyrun.hpp"

namespace vantrel::polyrun {
namespace {

int exec_body(PyObject* m) noexcept {
    if (!init_state() || !init_function_type(m)) return -1;
    // import vantrel.monorun as cs: the submodule itself, loaded first.
    if (!bind(m, "cs", import_module("vantrel.monorun"))) return -1;

    if (!bind(m, "reduce", make_function(m, reduce_spec))) return -1;

    Ref prefix_default = Ref::steal(Py_BuildValue("(s)", "MultiProcessingPool"));
    Ref block_default = Ref::steal(PyTuple_Pack(1, Py_True));
    if (!prefix_default || !block_default) return -1;
    ClassBuilder pool(m, "MultiProcessPool");
    if (!pool.add("__init__", make_function(m, pool_init_spec, prefix_default.get())) ||
        !pool.add("init_process", make_function(m, pool_init_process_spec)) ||
        !pool.add("kill_all", make_function(m, pool_kill_all_spec)) ||
        !pool.add("clear_output", make_function(m, pool_clear_output_spec)) ||
        !pool.add("map", make_function(m, pool_map_spec, block_default.get())) ||
        !bind(m, "MultiProcessPool", pool.build()))
        return -1;

    Ref set = make_function(m, shared_set_spec);
    Ref set_static = set ? Ref::steal(PyStaticMethod_New(set.get())) : Ref();
    ClassBuilder shared(m, "MultiProcessNoRep");
    if (!shared.add("builtin", Py_None) || !shared.add("set", set_static) ||
        !shared.add("init_process", make_function(m, shared_init_process_spec)) ||
        !bind(m, "MultiProcessNoRep", shared.build()))
        return -1;
    return 0;
}

PyObject* create(PyObject* spec, PyModuleDef*) noexcept {
    return process_state.module_guard.create(spec);
}
int exec(PyObject* m) noexcept {
    return process_state.module_guard.exec(m, exec_body);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "polyrun",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = slots,
};

} // namespace
} // namespace vantrel::polyrun

PyMODINIT_FUNC PyInit_polyrun() {
    return PyModuleDef_Init(&vantrel::polyrun::definition);
}
