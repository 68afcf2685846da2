// Messages on multiprocessing queues: the interface of the transport, whose
// files (this folder) are the only ones that know the inside of
// multiprocessing.Queue (queue_facts.cpp says which facts they rely on).
// Python code reaches them only through the calls of the pools and handles,
// and a scheduler through owner.hpp (vantrel._wire).
//
// Every message vantrel puts is pickled at once, in the putting thread: a
// value that cannot be pickled is replaced in its place by a stand-in that
// is answered "EXCEPTION", and a later change to the value does not reach the
// message. On a queue of the layout queue_facts.cpp checked, whole messages are
// written to and read from the queue's pipe directly, under the queue's own
// locks, with interrupts taken only between messages; anything else goes
// through the queue's public `put` and `get`.
#pragma once

#include "core/capi/ref.hpp"
#include "core/job/caller.hpp"
#include "core/transport/message_pickle.hpp"

namespace vantrel::mp_queue {

// What vantrel keeps on a multiprocessing queue (a capsule attribute).
struct QueueState;

// The state of `queue`, made at first use: 1 with `state` set for a
// multiprocessing queue, 0 for any other object, -1 with the error set.
int state_of(PyObject* queue, QueueState*& state) noexcept;

// --- who answers on an output queue -----------------------------------------

// Records the worker process that answers on `qo` and its input queue `qi`.
int attach_worker(PyObject* qo, PyObject* qi, PyObject* process) noexcept;
// The process recorded by attach_worker, or null (no error) when none is.
Ref worker_of(const QueueState& qo) noexcept;
// Lets the interpreter exit without waiting for the feeder thread of the
// worker's input queue (the queue recorded with `qo`): a dead worker reads
// nothing, and a feeder blocked on its full pipe would otherwise be joined for
// ever at exit. -1 when an interrupt arrived meanwhile (it is set).
int release_feeders(const QueueState& qo) noexcept;

// Once the worker that answers on `qo` has ended (waiting for that briefly
// after it was killed): unlinks the shared memory it and this process made
// for each other, which nobody can read any more.
void forget_worker(const QueueState& qo) noexcept;

// --- answers owed ---------------------------------------------------------

// Whether answers may be on their way on `qo` that nobody will read in order
// (jobs were sent and their answers were not all read).
bool owes_answers(const QueueState& qo) noexcept;
void set_owes_answers(QueueState& qo, bool owed) noexcept;

// --- sending --------------------------------------------------------------

// Puts `message` on `queue` (state from state_of, or null for objects that
// are not multiprocessing queues, which get a plain `put(message)`), with a
// tag as the Tagged message around it.
int send(PyObject* queue, QueueState* state, PyObject* message, Kind kind, Tag tag = {}) noexcept;
// As send, but only if that cannot make anyone wait: written to the pipe
// when it takes it at once (through `put` on the public path, whose feeder
// never holds up the sender). 1 sent, 0 not now, -1 with the error set.
int offer(PyObject* queue, QueueState* state, PyObject* message, Kind kind, Tag tag = {}) noexcept;
// The most characters of text one offered message should carry to fit
// whole in the queue's pipe.
Py_ssize_t offer_chars(const QueueState* state) noexcept;

// Jobs for several queues, pickled as they come and written in as few
// writes as possible. Each lane (one queue at a time) keeps its messages in
// their order. Messages that find no room in a pipe are held back until
// there is (pump(), wait()), or handed to the queue's `put` (send_all());
// what is still held when the outbox goes away is never sent.
class Outbox {
  public:
    explicit Outbox(Py_ssize_t lanes) noexcept;
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;
    ~Outbox();

    // `message` for `queue` on lane `lane` (state as for send).
    int add(Py_ssize_t lane, PyObject* queue, QueueState* state, PyObject* message, Kind kind,
            Tag tag = {}) noexcept;
    // Writes what the pipes take now (a lane found without room waits for
    // wait() to say it may have some).
    int pump() noexcept;
    // Sends everything now, through `put` what does not fit.
    int send_all() noexcept;
    // Whether messages are held back.
    bool holding() const noexcept;
    // Waits at most `timeout_ms` for `reader_fd` (1), `sentinel` (2) or room
    // in a pipe that held messages back (0); -1 on error.
    int wait(int reader_fd, int sentinel, int timeout_ms) noexcept;

  private:
    struct Lane;
    static int pump(Lane& lane) noexcept;
    static int put_rest(Lane& lane) noexcept;
    static int send_all(Lane& lane) noexcept;
    Lane* lanes_;
    Py_ssize_t count_;
};

// --- receiving ------------------------------------------------------------

// A worker's wait for its next job, up to `timeout` seconds.
enum class Taken {
    job,         // `job` holds the job
    nothing,     // no job came in time
    unreadable,  // the error of taking a job is set (through `get`: maybe no job was taken)
    interrupted, // no job was taken; the error raised while waiting is set
};
struct JobReceipt {
    Taken taken;
    Ref job;
};
// The wait ends early, with nothing, when `caller` ends (a job cut off
// because its caller ended is no job either).
JobReceipt receive_job(PyObject* qi, QueueState* state, PyObject* timeout,
                       const Caller& caller) noexcept;

// What else a wait for an answer looks at, at every look at a silent
// worker (the other workers that owe answers to the same call).
class Lookout {
  public:
    // 0 to wait on; -1 with the error set ends the wait with that error.
    virtual int look() noexcept = 0;

  protected:
    Lookout() = default;
    ~Lookout() = default;
    Lookout(const Lookout&) = default;
    Lookout& operator=(const Lookout&) = default;
};

// The caller's wait for the next answer on `qo`, as long as it takes. When
// the worker that answers on it has died with nothing left to read, raises
// RuntimeError naming its pid, its exit code and `position` (the job's place
// in a batch; -1 for "the job").
// Jobs that `outbox` holds back go out while this waits; `lookout` is asked
// at each look at the silent worker.
Ref receive_answer(PyObject* qo, QueueState* state, Py_ssize_t position, Outbox* outbox = nullptr,
                   Lookout* lookout = nullptr) noexcept;

// --- what a pool's status reads --------------------------------------------

// The map call under way on the worker that answers on `qo`: its `jobs`,
// this worker's first position and the stride between its positions
// (recorded once per call, dropped by end_call).
void begin_call(QueueState& qo, PyObject* jobs, Py_ssize_t first, Py_ssize_t stride) noexcept;
void end_call(QueueState& qo) noexcept;
// (answers taken, when the last came, the call's jobs or None, first,
// stride, answers taken when the call began, when it began); times are
// time.monotonic() seconds.
Ref activity(const QueueState& qo) noexcept;

// Whether the worker that answers on `qo` has ended (asking the kernel only;
// false when this process did not start it).
bool worker_ended(const QueueState& qo) noexcept;

// Appends to `into` every whole message that `queue` holds now, unpickled,
// in order, without waiting: what a worker that has ended left on its output
// queue. -1 on error.
int take_remaining(PyObject* queue, QueueState* state, PyObject* into) noexcept;

// Raises the RuntimeError of the worker that answers on `qo`, which ended
// without answering the job at `position`.
void raise_worker_gone(const QueueState& qo, Py_ssize_t position) noexcept;

// Reads and drops every message `queue` holds now: 1 when it did (a queue of
// the checked layout), 0 when the caller must use the public calls instead.
int drain(QueueState* state) noexcept;

} // namespace vantrel::mp_queue
