// A message as bytes and back: pickled at once, in the putting thread, the
// way multiprocessing would pickle it, with the commonest messages written
// and read without the pickler.
#pragma once

#include "mp_queue.hpp"
#include "ref.hpp"

namespace vantrel::mp_queue {

// The pickle protocol of every message vantrel pickles, on every Python, so
// that messages arrive alike everywhere: under protocol 5 (the default from
// CPython 3.14) an array that is read-only in the sender arrives read-only.
inline constexpr int message_protocol = 4;
// The protocol of messages pickled with a buffer callback: every buffer is
// handed to it (shm_buffers.hpp), and none arrives read-only.
inline constexpr int buffer_protocol = 5;

// A str of fewer than 256 UTF-8 bytes as protocol 4 pickles it:
// PROTO 4, FRAME, SHORT_BINUNICODE, MEMOIZE, STOP. Null (no error) for
// anything else.
Ref pickle_short_str(PyObject* obj) noexcept;

// Learns what a large vantrel._control.Pickled looks like once a feeder has
// pickled it, so that a reader can unpickle the bytes inside in place.
bool learn_wrapper_frame() noexcept;

// `message` pickled, or its stand-in pickled, for process `reader` (0: not
// known). Whatever pickling raises, a BaseException from a __reduce__
// included, the message is answered "EXCEPTION" in its own place.
Ref pickle_or_stand_in(PyObject* message, Kind kind, pid_t reader) noexcept;

// pickle.loads(data). A message that has been read is never lost to an
// interrupt that lands while it is unpickled: it is unpickled again, and the
// interrupt is delivered afterwards.
Ref unpickle(PyObject* data) noexcept;

} // namespace vantrel::mp_queue
