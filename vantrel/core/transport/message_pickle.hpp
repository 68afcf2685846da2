// A message as bytes and back: pickled at once, in the putting thread, the
// way multiprocessing would pickle it, with the commonest messages written
// and read without the pickler.
#pragma once

#include "core/capi/ref.hpp"

#include <sys/types.h>

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

// A tagged message (vantrel._control.Tagged) of the commonest shapes
// written without the pickler, and read back: null with no error for any
// other (tagged_pickle.cpp). Reading fails (error set) only for want of
// memory.
Ref pickle_tagged_quick(PyObject* tag, PyObject* kind, PyObject* payload) noexcept;
Ref unpickle_tagged_quick(PyObject* data) noexcept;

// Learns what a large vantrel._control.Pickled looks like once a feeder has
// pickled it, so that a reader can unpickle the bytes inside in place.
bool learn_wrapper_frame() noexcept;

// A tag and the kind of a tagged message (vantrel._control.Tagged, owner.hpp);
// an untagged message has no tag.
struct Tag {
    PyObject* tag = nullptr; // borrowed
    PyObject* kind =
        nullptr; // borrowed: names.job, names.live, names.answer, names.lost, names.text
};

// What a message is: a job, a worker's answer (each has its own stand-in), or
// a piece of the text a job prints while it runs (sent beside the answer,
// never in its place; it has no stand-in).
enum class Kind { job, answer, live_text };

// `message` pickled, or its stand-in pickled, for process `reader` (0: not
// known). Whatever pickling raises, a BaseException from a __reduce__
// included, the message is answered "EXCEPTION" in its own place. With a
// tag, what is pickled is the Tagged message around it (or its stand-in):
// the tag always arrives.
Ref pickle_or_stand_in(PyObject* message, Kind kind, pid_t reader, Tag tag = {}) noexcept;

// pickle.loads(data). A message that has been read is never lost to an
// interrupt that lands while it is unpickled: it is unpickled again, and the
// interrupt is delivered afterwards.
Ref unpickle(PyObject* data) noexcept;

// One pickled text at `at` (advanced past it); null when the bytes are not
// one (with the error set when one could not be made).
Ref read_text(const unsigned char*& at, const unsigned char* end) noexcept;

} // namespace vantrel::mp_queue
