// The worker module: one file per concept (collector, job loop, worker
// handle), tied together by module.cpp.
#pragma once

#include "core/call.hpp"
#include "core/function.hpp"
#include "core/module.hpp"
#include "core/ref.hpp"

namespace vantrel::monorun {

// Interned names and constants, made once at load. Interned strings are
// immortal, so plain pointers are safe for the life of the process.
#define VANTREL_MONORUN_NAMES(X)                                                                   \
    X(clear)                                                                                       \
    X(print_content)                                                                               \
    X(return_content)                                                                              \
    X(update)                                                                                      \
    X(setproctitle)                                                                                \
    X(signal)                                                                                      \
    X(SIGINT)                                                                                      \
    X(sigint_handler)                                                                              \
    X(_HandleContent)                                                                              \
    X(xprint)                                                                                      \
    X(xreturn)                                                                                     \
    X(queue)                                                                                       \
    X(Empty)                                                                                       \
    X(traceback)                                                                                   \
    X(format_exc)                                                                                  \
    X(get)                                                                                         \
    X(put)                                                                                         \
    X(empty)                                                                                       \
    X(stop)                                                                                        \
    X(mp)                                                                                          \
    X(Queue)                                                                                       \
    X(Process)                                                                                     \
    X(monorun_main)                                                                                \
    X(target)                                                                                      \
    X(args)                                                                                        \
    X(start)                                                                                       \
    X(qi)                                                                                          \
    X(qo)                                                                                          \
    X(proc)                                                                                        \
    X(is_alive)                                                                                    \
    X(kill)                                                                                        \
    X(clear_queue)                                                                                 \
    X(SUCCESS)                                                                                     \
    X(EXCEPTION)

struct Names {
#define VANTREL_DECLARE(n) PyObject* n;
    VANTREL_MONORUN_NAMES(VANTREL_DECLARE)
#undef VANTREL_DECLARE
    PyObject* empty_str;       // ""
    PyObject* dunder_builtins; // "__builtins__"
    PyObject* source_filename; // "<string>"
    PyObject* timeout_kwnames; // ("timeout",)
    PyObject* get_timeout;     // 0.1, the job loop's wait for a job
};
extern Names names;
bool init_names() noexcept;

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

// Replacement of messages that a worker's queue cannot pickle: the function
// objects are made at load; guard_* attach them to one queue (a no-op for
// objects that are not multiprocessing queues).
bool init_feeder_hooks(PyObject* module) noexcept;
int guard_jobs(PyObject* queue) noexcept;
int guard_answers(PyObject* queue) noexcept;

} // namespace vantrel::monorun
