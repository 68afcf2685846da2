// The worker module: one file per concept (collector, job loop, worker
// handle, feeder errors), tied together by module.cpp.
#pragma once

#include "core/call.hpp"
#include "core/function.hpp"
#include "core/module.hpp"
#include "core/ref.hpp"
#include "core/state.hpp"

namespace vantrel::monorun {

// Definitions, in the order the module binds them.
extern const FunctionSpec clear_queue_spec;
extern const FunctionSpec sigint_handler_spec;
extern const FunctionSpec collector_init_spec;
extern const FunctionSpec collector_xprint_spec;
extern const FunctionSpec collector_clear_spec;
extern const FunctionSpec collector_xreturn_spec;
extern const FunctionSpec monorun_main_spec;
extern const FunctionSpec handle_init_spec;
extern const FunctionSpec handle_blocked_put_spec;
extern const FunctionSpec handle_kill_spec;
extern const FunctionSpec handle_clear_output_spec;

// Replacement of messages that a worker's queue cannot pickle: the hook
// functions are made at load; guard_* attach them to one queue (a no-op for
// objects that are not multiprocessing queues).
bool init_feeder_hooks(PyObject* module) noexcept;
int guard_jobs(PyObject* queue) noexcept;
int guard_answers(PyObject* queue) noexcept;

} // namespace vantrel::monorun
