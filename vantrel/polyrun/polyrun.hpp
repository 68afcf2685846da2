// The pool module: one file per concept (pool lifecycle, scatter and gather,
// process-wide pool), tied together by module.cpp.
#pragma once

#include "core/call.hpp"
#include "core/function.hpp"
#include "core/module.hpp"
#include "core/ref.hpp"

namespace vantrel::polyrun {

// Interned names, made once at load (interned strings are immortal).
#define VANTREL_POLYRUN_NAMES(X)                                                                   \
    X(cs)                                                                                          \
    X(SingleProcess)                                                                               \
    X(N)                                                                                           \
    X(procs)                                                                                       \
    X(name_pref)                                                                                   \
    X(init_process)                                                                                \
    X(kill_all)                                                                                    \
    X(clear_output)                                                                                \
    X(kill)                                                                                        \
    X(items)                                                                                       \
    X(values)                                                                                      \
    X(qi)                                                                                          \
    X(qo)                                                                                          \
    X(proc)                                                                                        \
    X(pid)                                                                                         \
    X(put)                                                                                         \
    X(reduce)                                                                                      \
    X(MultiProcessPool)                                                                            \
    X(MultiProcessNoRep)                                                                           \
    X(builtin)                                                                                     \
    X(MPNR)

struct Names {
#define VANTREL_DECLARE(n) PyObject* n;
    VANTREL_POLYRUN_NAMES(VANTREL_DECLARE)
#undef VANTREL_DECLARE
    PyObject* underscore;    // "_"
    PyObject* shared_prefix; // "NoRepeatProcessingPool"
};
extern Names names;

// Definitions, in the order the module binds them.
extern const FunctionSpec reduce_spec;
extern const FunctionSpec pool_init_spec;
extern const FunctionSpec pool_init_process_spec;
extern const FunctionSpec pool_kill_all_spec;
extern const FunctionSpec pool_clear_output_spec;
extern const FunctionSpec pool_map_spec;
extern const FunctionSpec shared_set_spec;
extern const FunctionSpec shared_init_process_spec;

// Kills the workers of a pool that nobody will be able to reach, keeping the
// exception that is being raised.
void kill_unreachable(PyObject* pool, bool through_kill_all) noexcept;

} // namespace vantrel::polyrun
