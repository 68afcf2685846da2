// The pool module: one file per concept (pool lifecycle, scatter and gather,
// process-wide pool), tied together by module.cpp.
#pragma once

#include "core/call.hpp"
#include "core/function.hpp"
#include "core/module.hpp"
#include "core/ref.hpp"
#include "core/state.hpp"

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

} // namespace vantrel::polyrun
