// Writing whole messages to a queue's pipe, or handing them to its `put`.
#pragma once

#include "core/transport/queue_state.hpp"

namespace vantrel::mp_queue {

// The most messages one write carries (two parts each, within IOV_MAX).
inline constexpr Py_ssize_t batch_messages = 256;
// What one batch of messages may weigh before it is written.
inline constexpr Py_ssize_t batch_bytes = Py_ssize_t{32} * 1024;

// What became of messages offered to the pipe.
enum class Wrote {
    all,     // written, some or all (see `written`)
    no_room, // not sure to fit now: later, or through `put`
    feeder,  // the queue's feeder holds messages, or the first could never fit: `put`
    error,   // the error is set
};

// Writes, in one write that cannot wait, as many of the first of the
// `count` messages of `messages` (bytes) as the pipe is sure to take now;
// `written` says how many (Wrote::all when at least one). Nothing handed to
// the feeder is overtaken.
Wrote write_direct(PyObject* queue, QueueState& s, PyObject* const* messages, Py_ssize_t count,
                   Py_ssize_t& written) noexcept;

// Hands `data` to the queue's `put`, wrapped so that the feeder sends the
// bytes as they are now.
int put_pickled(PyObject* queue, QueueState& s, PyObject* data) noexcept;

} // namespace vantrel::mp_queue
