// vantrel.polyrun: load sequence and module namespace.
#include "polyrun.hpp"

namespace vantrel::polyrun {
namespace {

int fill_namespace(PyObject* m) noexcept {
    // import vantrel.monorun as cs: the submodule itself, loaded first.
    if (!bind(m, "cs", import_module("vantrel.monorun"))) return -1;

    if (!bind(m, "reduce", make_function(m, reduce_spec))) return -1;

    Ref prefix_default = Ref::steal(Py_BuildValue("(s)", "MultiProcessingPool"));
    Ref block_default = Ref::steal(PyTuple_Pack(1, Py_True));
    if (!prefix_default || !block_default) return -1;
    if (!define_class(m, "MultiProcessPool",
                      {{"__init__", &pool_init_spec, prefix_default.get()},
                       {"init_process", &pool_init_process_spec},
                       {"kill_all", &pool_kill_all_spec},
                       {"clear_output", &pool_clear_output_spec},
                       {"map", &pool_map_spec, block_default.get()}}))
        return -1;
    // The methods written in Python over the message path (vantrel._pool).
    Ref install = import_attribute("vantrel._pool", "install");
    Ref pool_class = install ? Ref::steal(PyObject_GetAttrString(m, "MultiProcessPool")) : Ref();
    if (!pool_class || !call(install.get(), pool_class.get())) return -1;

    Ref set = make_function(m, shared_set_spec);
    Ref set_static = set ? Ref::steal(PyStaticMethod_New(set.get())) : Ref();
    ClassBuilder shared(m, "MultiProcessNoRep");
    if (!shared.add("builtin", Py_None) || !shared.add("set", set_static) ||
        !shared.add("init_process", make_function(m, shared_init_process_spec)) ||
        !bind(m, "MultiProcessNoRep", shared.build()))
        return -1;
    return 0;
}

} // namespace
} // namespace vantrel::polyrun

PyMODINIT_FUNC PyInit_polyrun() {
    return vantrel::define_module(nullptr, vantrel::polyrun::fill_namespace);
}
