// What lives as long as the process, in one place.
//
// Each extension module compiles the core, so each has its own ProcessState.
// Every member is a ProcessRef (owned, never released at exit) or a plain
// value. All of it is filled and read under the interpreter lock. Members are
// filled either by init_state() while the module executes (the importing
// thread) or on first use, by whichever thread gets there first; nothing is
// filled from a queue's feeder thread.
#pragma once

#include "module.hpp"
#include "ref.hpp"

namespace vantrel {

// Interned names: attributes, methods and module globals the code uses.
#define VANTREL_IDENTIFIERS(X)                                                                     \
    X(Empty)                                                                                       \
    X(EXCEPTION)                                                                                   \
    X(MPNR)                                                                                        \
    X(MultiProcessNoRep)                                                                           \
    X(MultiProcessPool)                                                                            \
    X(N)                                                                                           \
    X(Process)                                                                                     \
    X(Queue)                                                                                       \
    X(SIGINT)                                                                                      \
    X(SUCCESS)                                                                                     \
    X(SingleProcess)                                                                               \
    X(acquire)                                                                                     \
    X(append)                                                                                      \
    X(args)                                                                                        \
    X(builtin)                                                                                     \
    X(cancel_join_thread)                                                                          \
    X(clear)                                                                                       \
    X(clear_memo)                                                                                  \
    X(clear_output)                                                                                \
    X(clear_queue)                                                                                 \
    X(cs)                                                                                          \
    X(dump)                                                                                        \
    X(empty)                                                                                       \
    X(exitcode)                                                                                    \
    X(fileno)                                                                                      \
    X(flush)                                                                                       \
    X(format_exc)                                                                                  \
    X(get)                                                                                         \
    X(getvalue)                                                                                    \
    X(init_process)                                                                                \
    X(is_alive)                                                                                    \
    X(items)                                                                                       \
    X(kill)                                                                                        \
    X(kill_all)                                                                                    \
    X(monorun_main)                                                                                \
    X(mp)                                                                                          \
    X(name_pref)                                                                                   \
    X(pid)                                                                                         \
    X(print_content)                                                                               \
    X(proc)                                                                                        \
    X(procs)                                                                                       \
    X(put)                                                                                         \
    X(qi)                                                                                          \
    X(qo)                                                                                          \
    X(queue)                                                                                       \
    X(reduce)                                                                                      \
    X(release)                                                                                     \
    X(remove)                                                                                      \
    X(return_content)                                                                              \
    X(seek)                                                                                        \
    X(sentinel)                                                                                    \
    X(setproctitle)                                                                                \
    X(sigint_handler)                                                                              \
    X(signal)                                                                                      \
    X(start)                                                                                       \
    X(stop)                                                                                        \
    X(target)                                                                                      \
    X(timeout)                                                                                     \
    X(token)                                                                                       \
    X(traceback)                                                                                   \
    X(truncate)                                                                                    \
    X(update)                                                                                      \
    X(values)                                                                                      \
    X(xprint)                                                                                      \
    X(xreturn)

// Interned texts that are not identifiers: member name, then the text.
#define VANTREL_TEXTS(X)                                                                           \
    X(empty_text, "")                                                                              \
    X(underscore, "_")                                                                             \
    X(dunder_builtins, "__builtins__")                                                             \
    X(source_filename, "<string>")                                                                 \
    X(shared_pool_prefix, "NoRepeatProcessingPool")                                                \
    X(handle_content, "_HandleContent")                                                            \
    X(queue_state_attribute, "_vantrel")

struct Names {
#define VANTREL_DECLARE_NAME(n) ProcessRef n;
#define VANTREL_DECLARE_TEXT(n, text) ProcessRef n;
    VANTREL_IDENTIFIERS(VANTREL_DECLARE_NAME)
    VANTREL_TEXTS(VANTREL_DECLARE_TEXT)
#undef VANTREL_DECLARE_NAME
#undef VANTREL_DECLARE_TEXT
};

// Objects of the standard library that the core uses, imported at first use
// (never at load: a module imports only what its namespace shows).
struct Stdlib {
    ProcessRef queue_empty;      // queue.Empty: the end of a timed wait for a job or answer
    ProcessRef queue_type;       // multiprocessing.queues.Queue: queues whose worker is watched
    ProcessRef process_type;     // multiprocessing.process.BaseProcess: what a worker is
    ProcessRef dumps;            // dumps of the message pickler (_control.message_pickler)
    ProcessRef format_exception; // traceback.format_exception, for stand-in answers
    ProcessRef unsent_job;       // vantrel._control.UnsentJob: replaces an unpicklable job
    ProcessRef barrier;          // vantrel._control.Barrier: settles unread answers
};

// What the message path learns about multiprocessing queues and keeps for
// pickling messages; filled at the first queue met (the caller's thread or
// the worker's main thread).
struct QueueLayout {
    // Interned names of the queue's buffer, its feeder thread and the
    // waiters of its Condition (queue_facts.cpp says which).
    ProcessRef buffer_name;
    ProcessRef thread_name;
    ProcessRef waiters_name;
    int known = -1;             // -1 not checked; 1 the layout queue_facts.cpp checked; 0 not
    int nowait_writes = 1;      // 0 once the kernel refused a write with RWF_NOWAIT
    ProcessRef connection_type; // multiprocessing.connection.Connection
    ProcessRef condition_type;  // threading.Condition
    ProcessRef pickled;         // vantrel._control.Pickled: bytes handed to put
    ProcessRef wrapper_prefix;  // what comes before a large Pickled's bytes as a feeder sends it
    ProcessRef wrapper_suffix;  // and after them
    ProcessRef deferring_put;   // vantrel._control.put_deferring_interrupts
    ProcessRef loads;           // pickle.loads
    ProcessRef pickler_class;   // _control.message_pickler(): ForkingPickler or its subclass
    ProcessRef message_pickler; // _control.message_pickler(True): the same, given a buffer callback
    // Where ForkingPickler finds its reducers when a pickler is made (copyreg's
    // dispatch table and its own registry), interned, and copies of both
    // tables as they were when `pickler` was made: a pickler is made again
    // when either has changed.
    ProcessRef copyreg_table_name;
    ProcessRef extra_reducers_name;
    ProcessRef copyreg_seen;
    ProcessRef extra_seen;
    ProcessRef raised_by_signal; // vantrel._control.raised_by_signal
    ProcessRef pickler;          // a ForkingPickler over `pickle_file`, reused
    ProcessRef pickle_file;      // io.BytesIO
    ProcessRef file_start;       // 0, where `pickle_file` is rewound to
    bool pickler_busy = false;   // `pickler` is in use (pickling ran code that sends)
    bool own_pickles = false;    // short str jobs and plain answers skip the pickler
};

// Seconds a worker waits for a job before it starts a new cycle.
inline constexpr double job_wait_seconds = 0.1;
// Seconds between two looks at a worker that has not answered yet.
inline constexpr double answer_poll_seconds = 0.2;

struct ProcessState {
    // The load guard of this module (module.cpp): its interpreter, its module
    // object, whether it ran; used by the import machinery's create and exec.
    ModuleGuard module_guard;
    // Interned names; init_state() at module execution.
    Names names;
    // Constants, made by init_state() at module execution:
    ProcessRef builtins;        // dict of the builtins module: where global lookups fall back
    ProcessRef timeout_kwnames; // ("timeout",): the keyword of the worker's qi.get(timeout=...)
    ProcessRef job_wait;        // job_wait_seconds, as a float
    ProcessRef answer_poll;     // answer_poll_seconds, as a float
    ProcessRef empty_tuple;     // ()
    // The type of every function and method of the module (function.cpp);
    // init_function_type() at module execution.
    ProcessRef function_type;
    // How messages travel on multiprocessing queues (mp_queue.hpp).
    QueueLayout queue_layout;
    // Standard-library objects; filled at first use by load_stdlib(), from
    // the caller's thread or the worker's main thread.
    Stdlib stdlib;
    bool stdlib_loaded = false;
};

extern ProcessState process_state;
// Shorthand for the names: `names.get`.
inline const Names& names = process_state.names;

// Interns the names and makes the constants; false with the error set.
bool init_state() noexcept;
// Imports the members of `process_state.stdlib` once; false with the error set.
bool load_stdlib() noexcept;

} // namespace vantrel
