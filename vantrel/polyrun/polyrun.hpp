// The pool module: one file per concept (pool lifecycle, scatter and gather,
// process-wide pool), tied together by module.cpp.
#pragma once

#include "core/capi/call.hpp"
#include "core/capi/function.hpp"
#include "core/capi/module.hpp"
#include "core/capi/ref.hpp"
#include "core/capi/state.hpp"

namespace vantrel::polyrun {

// Definitions, in the order the module binds them.
extern const FunctionSpec reduce_spec;
extern const FunctionSpec pool_init_spec;
extern const FunctionSpec pool_init_process_spec;
extern const FunctionSpec pool_kill_all_spec;
extern const FunctionSpec pool_clear_output_spec;
extern const FunctionSpec pool_map_spec;
extern const FunctionSpec shared_set_spec;
extern const FunctionSpec shared_init_process_spec;

// Ends the workers of a pool that nobody will be able to reach, keeping the
// exception that is being raised: through the pool's own kill_all() once the
// pool is complete, or handle by handle while it is half-built.
void kill_unreachable_pool(PyObject* pool) noexcept;
void kill_unreachable_handles(PyObject* pool) noexcept;

// pool._vantrel_healing.<method>(pool) when the pool has that state (its
// set-up, restarts or recycling were asked for: vantrel._pool.healing); one
// attribute look-up otherwise. -1 on error.
int heal(PyObject* pool, PyObject* method) noexcept;

} // namespace vantrel::polyrun
