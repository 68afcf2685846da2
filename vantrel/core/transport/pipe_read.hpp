// Reading whole messages from a queue's pipe, watching whoever writes them.
#pragma once

#include "core/job/caller.hpp"
#include "core/transport/queue_state.hpp"

namespace vantrel::mp_queue {

enum class Read { message, timeout, gone, error };

// Whose end ends a wait, and how to tell.
struct Watch {
    enum class Kind { none, child, caller } kind = Kind::none;
    Ref process;                    // the worker (child): asked between messages
    int sentinel = -1;              // readable once the child or the caller has ended
    pid_t pid = 0;                  // the child
    const Caller* caller = nullptr; // the caller of this worker
    Lookout* lookout = nullptr;     // asked at each look at a silent child
};

// Whether the watched process has ended, asking the kernel only: no Python
// code runs, so no signal handler can interrupt a message half read.
bool ended_quietly(const Watch& w) noexcept;
// Whether the watched process has ended; a child is asked through its
// process object (between messages only: this runs Python code). -1 on error.
int ended(const Watch& w) noexcept;

// Sets OSError from `error`; returns Read::error.
Read fail_with_errno(int error) noexcept;

// Reads `size` more bytes of a message. No signal is taken here: a message
// once started is finished, or found cut off because its writer ended. With
// `whole` the bytes are known to be in the pipe already.
Read read_rest(QueueState& s, const Watch& w, char* into, Py_ssize_t size, bool whole) noexcept;

// Takes the queue's read lock, looking at the watched worker and the clock
// while another reader holds it. 1 taken, 0 timed out or worker gone (`end`
// says which), -1 on error.
int take_read_lock(QueueState& s, const Watch& w, double deadline, Read& end) noexcept;

// Waits, between messages, until the pipe is readable. Interrupts are taken
// here. Read::message when it is readable.
Read wait_for_message(QueueState& s, Watch& w, double deadline) noexcept;

// The header of the message at the head of `bytes` (`count` of them): its
// length and the message's. False while the header is incomplete.
bool parse_header(const unsigned char* bytes, size_t count, size_t& header,
                  std::uint64_t& size) noexcept;

// A header no message can have: nothing after it can be read.
Read impossible_length(QueueState& s) noexcept;

// A new bytes object for a message of `size` bytes (at most PY_SSIZE_T_MAX);
// false with the error set, the queue then cut off: a message cannot be
// skipped without reading it.
bool make_message(QueueState& s, std::uint64_t size, Ref& out) noexcept;

// Reads one whole message into `out` (bytes). `timeout` < 0 waits for good.
Read read_message(QueueState& s, double timeout, Watch& w, Ref& out) noexcept;

// The next message of a worker's input queue, from the bytes read ahead and
// the pipe (read_ahead.cpp).
Read read_ahead_message(QueueState& s, Watch& w, double timeout, Ref& out) noexcept;

// The next whole message that has arrived on a queue whose read lock the
// caller holds, from the bytes read ahead and the pipe, without waiting for
// one: Read::timeout when none has (a partial one stays read ahead for the
// next look). read_ahead.cpp.
Read read_arrived(QueueState& s, const Watch& w, Ref& out) noexcept;

} // namespace vantrel::mp_queue
