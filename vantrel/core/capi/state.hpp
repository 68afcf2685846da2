// What lives as long as the process, in one place.
//
// Each extension module compiles the core, but an interpreter holds one
// ProcessState: the first binary loaded makes it and publishes it in the
// interpreter's dict under a key that names this build's layout
// (state_stamp()); the binaries loaded later with the same stamp join it, so
// that they share one learnt queue layout, one reused pickler, one shared-
// memory salt and count, one `_control.rebuild`. What it holds is plain data
// and Python objects (among them functions made by whichever binary filled
// the member first), and all of it is filled and read under the interpreter
// lock. Members are filled either by init_state() when the first module
// executes (the importing thread) or on first use, by whichever thread gets
// there first; nothing is filled from a queue's feeder thread. Each binary
// keeps for itself only what is the same in all of them: the interned names
// (the same objects), its load guard and its function type.
#pragma once

#include "core/capi/ref.hpp"

#include <sys/types.h>

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
    X(after_start)                                                                                 \
    X(append)                                                                                      \
    X(args)                                                                                        \
    X(answer)                                                                                      \
    X(before_map)                                                                                  \
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
    X(job)                                                                                         \
    X(kill)                                                                                        \
    X(kill_all)                                                                                    \
    X(kind)                                                                                        \
    X(live)                                                                                        \
    X(lost)                                                                                        \
    X(monorun_main)                                                                                \
    X(mp)                                                                                          \
    X(name_pref)                                                                                   \
    X(payload)                                                                                     \
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
    X(tag)                                                                                         \
    X(target)                                                                                      \
    X(text)                                                                                        \
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
    X(queue_state_attribute, "_vantrel")                                                           \
    X(healing_attribute, "_vantrel_healing")

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
    ProcessRef raised_by_signal; // vantrel._control.raised_by_signal: this process's own interrupt
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
    ProcessRef tagged;          // vantrel._control.Tagged: a message of one owner's traffic
    ProcessRef wrapper_prefix;  // what comes before a large Pickled's bytes as a feeder sends it
    ProcessRef wrapper_suffix;  // and after them
    ProcessRef deferring_put;   // vantrel._control.put_deferring_interrupts
    ProcessRef loads;           // pickle.loads
    ProcessRef pickler_class;   // _control.message_pickler(): ForkingPickler or its subclass
    ProcessRef message_pickler; // _control.message_pickler(True): the same, given a buffer callback
    // Where ForkingPickler finds its reducers when a pickler is made (copyreg's
    // dispatch table and its own registry), interned.
    ProcessRef copyreg_table_name;
    ProcessRef extra_reducers_name;
    ProcessRef raised_by_signal; // vantrel._control.raised_by_signal
    // The reusable pickler, as a tuple: the pickler, its io.BytesIO, and
    // copies of both tables as they were when it was made (a pickler is made
    // again when either has changed). A dump takes it out of this slot and
    // puts it back when done: a dump that finds the slot empty (another
    // thread's, or one that pickling code started) makes its own.
    ProcessRef reusable;
    ProcessRef file_start;    // 0, where the pickler's file is rewound to
    bool own_pickles = false; // short str jobs and plain answers skip the pickler
};

// What the shared-memory path keeps (shm_buffers.cpp); filled by its init()
// at the first queue met, under the interpreter lock.
struct SharedMemory {
    ProcessRef callback;     // the buffer callback of the message pickler
    ProcessRef rebuild;      // the reading side, installed as vantrel._control.rebuild
    ProcessRef control;      // vantrel._control: the switch, the threshold, the share
    ProcessRef tell;         // vantrel._control.tell_tracker
    ProcessRef loads;        // pickle.loads
    ProcessRef buffers_kw;   // ("buffers",)
    ProcessRef mapping_type; // the type of a reader's mapping of a segment
    bool ready = false;
    // Whether a read-only buffer can be made to pickle as a writable one (the
    // pickler reads the flag after asking the callback); checked by init().
    bool clears_readonly = false;
    // Each thread's dump in progress (the innermost of its own), made with
    // the state: the callback serves every thread's dumps.
    Py_tss_t collecting = Py_tss_NEEDS_INIT;
    // The segments this process made, for reuse (shm_buffers.cpp's `Senders`).
    void* senders = nullptr;
    unsigned long long made = 0; // segments made by this process
    unsigned salt = 0;           // tells this process's names from an earlier one's with its pid
    pid_t answer_reader = 0;     // in a worker: its caller, named in the segments of its answers
};

// Seconds a worker waits for a job before it starts a new cycle.
inline constexpr double job_wait_seconds = 0.1;
// Seconds between two looks at a worker that has not answered yet.
inline constexpr double answer_poll_seconds = 0.2;

struct ProcessState {
    // Constants, made with the state:
    ProcessRef builtins;        // dict of the builtins module: where global lookups fall back
    ProcessRef timeout_kwnames; // ("timeout",): the keyword of the worker's qi.get(timeout=...)
    ProcessRef job_wait;        // job_wait_seconds, as a float
    ProcessRef answer_poll;     // answer_poll_seconds, as a float
    ProcessRef empty_tuple;     // ()
    // How messages travel on multiprocessing queues (mp_queue.hpp).
    QueueLayout queue_layout;
    // Large buffers through shared memory (shm_buffers.hpp).
    SharedMemory shared_memory;
    // Barriers made by this process (pairing.cpp): their tokens must never
    // repeat, whichever module makes them.
    unsigned long long barriers_made = 0;
    // Standard-library objects; filled at first use by load_stdlib(), from
    // the caller's thread or the worker's main thread.
    Stdlib stdlib;
    bool stdlib_loaded = false;
};

// This binary's interned names (init_state()), the same objects in every binary.
extern Names interned_names;
// Shorthand for the names: `names.get`.
inline const Names& names = interned_names;

// The state this binary joined (init_state() has run).
extern ProcessState* joined_state;
inline ProcessState& process_state() noexcept {
    return *joined_state;
}

// What tells this build's layout of the shared state (and of what it keeps
// on queues) from another's: the version, a layout number, the sizes.
const char* state_stamp() noexcept;

// Interns the names, then joins the interpreter's state or makes and
// publishes it; false with the error set.
bool init_state() noexcept;
// Imports the members of `process_state().stdlib` once; false with the error set.
bool load_stdlib() noexcept;

} // namespace vantrel
