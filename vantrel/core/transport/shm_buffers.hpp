// Large buffers of a message through shared memory.
//
// A message is pickled with protocol 5 and a buffer callback. Buffers of at
// least the threshold (vantrel._control.shared_memory_threshold) are kept out
// of band and written, once, into one new file in /dev/shm per message; the
// message on the queue is then a small pickle that calls
// vantrel._control.rebuild(stream, segment name, spans) when it is loaded, so
// that any reader, `qo.get()` by hand included, gets the whole object back.
// The reader maps the segment privately (copy-on-write) and loads the stream
// over the mapping: arrays are backed by it, writable, and when the last of
// them goes the segment is idle again, for its sender to write the next
// message into the same pages. Smaller buffers, and PickleBuffers over bytes
// or a bytearray, stay in the stream (bytearrays on arrival, writable whether
// the sender's were or not).
//
// Who owns a segment: its maker, for the maker's life. It registers the name
// with multiprocessing's resource tracker (shared by a caller and its
// workers) once, when it makes it, and unlinks and unregisters it when it
// removes it (a spare too many, at exit), so the tracker unlinks only what a
// process killed outright left. A name says who made it for whom
// (vantrel_<maker>_<reader>_<salt>_<n>), so that a caller that sees a worker
// end removes what either made for the other (forget_peer).
#pragma once

#include "core/capi/ref.hpp"

#include <sys/types.h>

namespace vantrel::shm_buffers {

// --- pickling ---------------------------------------------------------------

// The buffer callback of the message pickler (one object per process, for
// every thread).
PyObject* buffer_callback() noexcept;

// Around one dump with buffer_callback() in this thread: collects the
// out-of-band buffers, and puts back the read-only flag of any buffer the
// callback cleared.
class Collection {
  public:
    // `out_of_band`: whether buffers may leave the stream at all.
    explicit Collection(bool out_of_band) noexcept;
    Collection(const Collection&) = delete;
    Collection& operator=(const Collection&) = delete;
    ~Collection();
    // Whether the stream must be made again with protocol 4 (a read-only
    // buffer could not be made to arrive writable).
    bool needs_classic() const noexcept { return classic_; }
    // The buffers left out of the stream, in order (a list), or null.
    PyObject* buffers() const noexcept { return buffers_.get(); }

  private:
    friend PyObject* on_buffer(PyObject*, PyObject*) noexcept;
    Collection* outer_; // this thread's dump that this one runs inside of
    bool out_of_band_;
    bool installed_ = true;
    bool classic_ = false;
    bool settings_read_ = false;
    Py_ssize_t threshold_ = 0;
    Ref buffers_;
    Ref cleared_; // PickleBuffers whose read-only flag was cleared
};

// The message that carries `stream` and writes `buffers` into a new segment
// made for process `reader` (0: unknown). Null without an error when no
// segment can be had (the caller sends the message through the pipe).
Ref pack(PyObject* stream, PyObject* buffers, pid_t reader) noexcept;

// --- clean-up ---------------------------------------------------------------

// Unlinks the segment of a packed message that will never be sent.
void discard(PyObject* message) noexcept;
// Unlinks every segment this process and `peer` made for each other (after
// `peer` has ended: nothing of them can be read any more).
void forget_peer(pid_t peer) noexcept;
// Unlinks every segment this process made (at exit, or a worker ending itself).
void release_all() noexcept;
// The process this one's answers are for (a worker's caller), named in the
// segments it makes for them.
void set_answer_reader(pid_t reader) noexcept;

// Installs the reading side (vantrel._control.rebuild) and checks how the
// pickler treats read-only buffers; false with the error set.
bool init() noexcept;

} // namespace vantrel::shm_buffers
