// One owner's traffic with a worker, for a scheduler written in Python
// (vantrel.futures): jobs sent without waiting for their answers, each with a
// tag that travels with the message (vantrel._control.Tagged) and comes back
// with what the worker sends for it; whatever has arrived taken without
// waiting; the descriptors to wait on. Only the queue's owner reads it: the
// claim is kept in the output queue's state, and map, reduce, blocked_put
// and clear_output refuse a queue whose owner has jobs there.
//
// What the worker sends for a tagged job is a Tagged message of a kind:
// "answer" (the four-item answer) or "lost" (the job raised KeyboardInterrupt
// or queue.Empty and has no answer). take() hands every message on as
// (tag, kind, payload), so a new kind (a live piece of printed text, say)
// reaches the owner without a change here: only the kinds that settle a job
// are counted.
#pragma once

#include "core/capi/ref.hpp"
#include "core/transport/mp_queue.hpp"

namespace vantrel::owner {

// A worker handle's queues (its `qi` and `qo`) and their states.
struct Queues {
    Ref qi;
    Ref qo;
    mp_queue::QueueState* in = nullptr;  // null: not a multiprocessing queue
    mp_queue::QueueState* out = nullptr; // null: not a multiprocessing queue
};
// Fills `q` from `handle`; -1 with the error set (TypeError when its output
// queue is not a multiprocessing queue).
int queues_of(PyObject* handle, Queues& q) noexcept;

// Claims the handle's answers for `owner`: 1 when newly claimed (answers an
// unfinished call left owing are settled, and what had arrived is dropped),
// 0 when they were `owner`'s already, -1 with RuntimeError when another
// owner has jobs there.
int claim(Queues& q, PyObject* owner) noexcept;
// Gives the queue back if `owner` holds it.
void release(Queues& q, PyObject* owner) noexcept;
// Whether the owner holds jobs back for this worker: while it does, the
// calls that read the queue refuse it even with no job in flight.
void hold(Queues& q, bool held) noexcept;

// Sends `job` tagged `tag`, pickled at once (a job that does not pickle is
// answered "EXCEPTION" in its place, as map's are), written when the write
// cannot wait, else through `put`: never waited for. Either sent or not: an
// interrupt is taken before the message is made or after it went.
// With `live`, the worker also sends the job's printed text while it runs
// (Tagged messages of kind "text", before the answer).
int send(Queues& q, PyObject* tag, PyObject* job, bool live = false) noexcept;
// As send for several jobs (a sequence), tagged `first`, `first` + 1, ...,
// in as few writes as the pipe allows: how many went (counted, whatever
// came after), with `error` the exception that stopped the rest (an
// interrupt while one was pickled); -1 with the error set when none went.
Py_ssize_t send_many(Queues& q, Py_ssize_t first, PyObject* jobs, Ref& error,
                     bool live = false) noexcept;

// The tag of the last job that went since the claim, or None: what an
// owner whose own record was cut short by an interrupt goes by.
Ref last_sent(Queues& q) noexcept;

// Appends (tag, kind, payload) to `into` (a list the owner keeps: what an
// interrupt after the call cuts off is not lost) for every whole message
// that has arrived on the queue, without waiting; a message partly arrived stays read ahead.
// An untagged message comes as (None, "answer", message), one that cannot
// be unpickled as (None, "unreadable", error). 0, or -1 with the error set.
// With the queue's read lock busy (another thread takes), nothing is taken;
// nor when `owner` does not hold the queue (1 then, else 0).
int take(Queues& q, PyObject* owner, PyObject* into) noexcept;

// The descriptors that become readable when something arrives (-1 when it
// cannot be had) and when the worker ends (-1 when not this process's child).
void descriptors(Queues& q, int& answers, int& ended) noexcept;

// 0 when a call that is not the owner's may read `out` (handing it back when
// its owner has nothing in flight or held, or its worker has ended); -1
// with RuntimeError when it may not.
int check_unowned(mp_queue::QueueState& out) noexcept;

} // namespace vantrel::owner
