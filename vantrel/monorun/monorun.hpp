// The worker module: one file per concept (collector, job loop, worker
// handle), tied together by module.cpp.
#pragma once

#include "core/capi/call.hpp"
#include "core/capi/function.hpp"
#include "core/capi/module.hpp"
#include "core/capi/ref.hpp"
#include "core/capi/state.hpp"

namespace vantrel {
class JobRunner;
}

namespace vantrel::monorun {

// The worker's page (figures.cpp): `address` is where the caller's page is
// mapped in this process (None: no page). Installs the interrupt handler.
bool figures_start(PyObject* module, PyObject* address, JobRunner& runner) noexcept;
// Around each job taken from the queue: its number counted before it runs
// (with its owner's tag, or null); the memory and the count of finished jobs
// written before its answer goes.
void figures_job_started(PyObject* tag) noexcept;
void figures_job_finished() noexcept;
// A wait that brought no job: the memory read if jobs ended since the last read.
void figures_idle() noexcept;

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

} // namespace vantrel::monorun
