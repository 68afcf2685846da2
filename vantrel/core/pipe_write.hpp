// Writing whole messages to a queue's pipe, or handing them to its `put`.
#pragma once

#include "queue_state.hpp"

namespace vantrel::mp_queue {

// The most messages one write carries (two parts each, within IOV_MAX).
inline constexpr Py_ssize_t batch_messages = 256;
// What one batch of messages may weigh before it is written.
inline constexpr Py_ssize_t batch_bytes = Py_ssize_t{32} * 1024;

// What became of messages offered to the pipe.
enum class Wrote {
    all,     // written
    no_room, // the pipe is too full now: later, or through `put`
    feeder,  // the queue's feeder holds messages, or they could never fit: `put`
    error,   // the error is set
};

// Writes the `count` messages of `messages` (bytes) in one go when that
// cannot wait: nothing handed to the feeder may be overtaken, and the pipe
// must have room for all of them.
Wrote write_direct(PyObject* queue, QueueState& s, PyObject* const* messages,
                   Py_ssize_t count) noexcept;

// Hands `data` to the queue's `put`, wrapped so that the feeder sends the
// bytes as they are now.
int put_pickled(PyObject* queue, QueueState& s, PyObject* data) noexcept;

} // namespace vantrel::mp_queue
