// Writing messages: directly to the pipe, or through the queue's `put`.
//
// The one rule: a direct write starts only when the kernel guarantees that it
// completes at once. That holds in two cases, both decided with `_wlock` held
// (no other writer adds to the pipe meanwhile):
//  * the pipe is empty (FIONREAD counts 0 unread bytes) and the write is at
//    most the pipe's capacity (F_GETPIPE_SZ): an empty pipe takes that much
//    whole;
//  * the write is at most PIPE_BUF bytes and is made with RWF_NOWAIT: the
//    kernel takes all of it now or refuses it (EAGAIN), never part of it.
// Unread bytes say nothing about the room left (a pipe's pages can be partly
// filled), so nothing else is tried. A message that may not go now waits in
// the outbox (outbox.cpp) until it may, or goes to the queue's `put`, whose
// feeder thread writes it (and every later message of that queue, in order)
// without holding the interpreter lock. So no write ever waits, with or
// without the interpreter lock, and a message is always written whole or not
// at all. The descriptors stay blocking: their open file description is
// shared with the worker and with multiprocessing's feeder thread.
//
// Whether the feeder holds anything is read under the interpreter lock, which
// is not let go until `_wlock` is held: the feeder takes a new message only
// after a `put`, and a `put` needs the interpreter lock.
#include "core/transport/pipe_write.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

// Older C library headers lack the flag; a kernel that does not know it says
// so (EOPNOTSUPP or EINVAL) and only writes into empty pipes are made.
#ifndef RWF_NOWAIT
#define RWF_NOWAIT 0x00000008
#endif

namespace vantrel::mp_queue {

namespace {

// The length prefix of a message of `size` bytes; returns its length.
size_t encode_header(Py_ssize_t size, unsigned char (&header)[long_header]) noexcept {
    const auto length = static_cast<std::uint64_t>(size);
    if (size <= widest_short_message) {
        write_uint(length, header, short_header, Order::big_endian);
        return short_header;
    }
    unsigned char* rest = write_uint(long_marker, header, short_header, Order::big_endian);
    write_uint(length, rest, long_header - short_header, Order::big_endian);
    return long_header;
}

// Whether a message may be written now without overtaking one that the
// feeder holds: its buffer is empty and it has not started, or waits for
// more. Read under the interpreter lock, which is kept until `_wlock` is held.
int feeder_idle(PyObject* queue, const QueueState& s) noexcept {
    Ref thread = Ref::steal(PyObject_GetAttr(queue, layout().thread_name));
    Ref buffer = thread ? Ref::steal(PyObject_GetAttr(queue, layout().buffer_name)) : Ref();
    if (!buffer) return -1;
    const Py_ssize_t queued = PyObject_Size(buffer.get());
    if (queued != 0) return queued < 0 ? -1 : 0;
    if (thread.get() == Py_None) return 1;
    const Py_ssize_t waiting = PyObject_Size(s.waiters.get());
    return waiting < 0 ? -1 : static_cast<int>(waiting > 0);
}

// A first look, without the queue's locks, that spares them when the
// message cannot go now anyway: the pipe holds unread bytes and the message
// needs it empty, or the pipe has no free page for a write of at most
// PIPE_BUF bytes.
bool room_likely(const QueueState& s, size_t first_size, bool nowait) noexcept {
    int unread = 0;
    if (ioctl(s.writer_fd, FIONREAD, &unread) < 0 || unread == 0) return true;
    if (!nowait || first_size > atomic_write) return false;
    pollfd fd{s.writer_fd, POLLOUT, 0};
    return poll(&fd, 1, 0) > 0;
}

// Gives back `count` of the queue's count of messages, keeping the error
// being raised.
void release_counts(const QueueState& s, Py_ssize_t count) noexcept {
    SavedError error;
    for (Py_ssize_t i = 0; i < count; ++i)
        if (!call_method(s.sem.get(), names.release)) PyErr_WriteUnraisable(s.sem.get());
    error.restore();
}

// Takes the queue's count of messages once per message, as `put` does: 1
// taken, 0 a full bounded queue (none kept), -1 on error.
int take_counts(const QueueState& s, Py_ssize_t count) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i) {
        const int counted = try_acquire(s.sem.get());
        if (counted > 0) continue;
        release_counts(s, i);
        return counted;
    }
    return 1;
}

// Writes all of `parts` to `fd`, going on after a partial write; 0, or the
// errno of a write that failed. Runs without the interpreter lock.
int write_parts(int fd, iovec* part, int left_parts) noexcept {
    while (left_parts > 0) {
        const ssize_t written = writev(fd, part, left_parts);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        auto done = static_cast<size_t>(written);
        while (left_parts > 0 && done >= part->iov_len) {
            done -= part->iov_len;
            ++part;
            --left_parts;
        }
        if (left_parts > 0) {
            part->iov_base = static_cast<char*>(part->iov_base) + done;
            part->iov_len -= done;
        }
    }
    return 0;
}

// The first messages of a batch that fit in `room` bytes, framed for one
// writev: a header and the bytes of each.
struct Frames {
    unsigned char headers[batch_messages][long_header];
    iovec parts[2 * batch_messages];
    size_t total = 0;
    Py_ssize_t count = 0;

    Frames(PyObject* const* messages, Py_ssize_t offered, size_t room) noexcept {
        for (; count < std::min(offered, batch_messages); ++count) {
            const Py_ssize_t size = PyBytes_GET_SIZE(messages[count]);
            const size_t header_size = encode_header(size, headers[count]);
            const size_t whole = header_size + static_cast<size_t>(size);
            if (total + whole > room) break;
            parts[2 * count] = {headers[count], header_size};
            parts[(2 * count) + 1] = {PyBytes_AS_STRING(messages[count]),
                                      static_cast<size_t>(size)};
            total += whole;
        }
    }
    int part_count() const noexcept { return static_cast<int>(2 * count); }
};

// Writes `f` (at most PIPE_BUF bytes) to a pipe that holds unread bytes:
// all of it now, or none (Wrote::no_room).
Wrote write_at_once(QueueState& s, Frames& f) noexcept {
    const ssize_t done = pwritev2(s.writer_fd, f.parts, f.part_count(), -1, RWF_NOWAIT);
    if (done == static_cast<ssize_t>(f.total)) return Wrote::all;
    const int error = errno;
    release_counts(s, f.count);
    if (done >= 0) { // not all of it after all: the stream is out of step
        s.cut_off = true;
        PyErr_SetString(PyExc_OSError, "a write of whole messages to a pipe was cut short");
        return Wrote::error;
    }
    QueueLayout& l = layout();
    if (error == EOPNOTSUPP || error == EINVAL || error == ENOSYS) l.nowait_writes = 0;
    if (error == EAGAIN || error == EINTR || l.nowait_writes == 0) return Wrote::no_room;
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    return Wrote::error;
}

// Writes `f` (at most the pipe's capacity) to an empty pipe, which takes it
// whole: the write does not wait, but copying much is done without the
// interpreter lock.
Wrote write_into_empty(QueueState& s, Frames& f) noexcept {
    PyThreadState* released = f.total <= atomic_write ? nullptr : PyEval_SaveThread();
    const int error = write_parts(s.writer_fd, f.parts, f.part_count());
    if (released) PyEval_RestoreThread(released);
    if (error == 0) return Wrote::all;
    s.cut_off = true; // what was written of the batch cannot be taken back
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    return Wrote::error;
}

} // namespace

Wrote write_direct(PyObject* queue, QueueState& s, PyObject* const* messages, Py_ssize_t count,
                   Py_ssize_t& written) noexcept {
    written = 0;
    const auto first_size = static_cast<size_t>(PyBytes_GET_SIZE(messages[0])) + long_header;
    if (first_size > s.pipe_bytes) return Wrote::feeder; // never at once: the feeder sends it
    const bool nowait = layout().nowait_writes != 0;
    if (!room_likely(s, first_size, nowait)) return Wrote::no_room;
    const int idle = feeder_idle(queue, s);
    if (idle <= 0) return idle < 0 ? Wrote::error : Wrote::feeder;
    const int locked = try_acquire(s.wlock.get());
    if (locked <= 0) return locked < 0 ? Wrote::error : Wrote::feeder; // another process writes
    Held wlock(s.wlock.get());

    // With `_wlock` held nobody else adds to the pipe: an empty pipe stays
    // empty until this write.
    int unread = 0;
    if (ioctl(s.writer_fd, FIONREAD, &unread) < 0) return Wrote::feeder;
    const bool empty = unread == 0;
    if (!empty && !nowait) return Wrote::no_room;
    if (empty && (count > 1 || first_size > atomic_write)) {
        // The capacity learnt at first use may have shrunk since
        // (F_SETPIPE_SZ): a write it no longer takes whole would wait.
        const int capacity = fcntl(s.writer_fd, F_GETPIPE_SZ);
        if (capacity <= 0) return Wrote::feeder;
        s.pipe_bytes = static_cast<size_t>(capacity);
        if (first_size > s.pipe_bytes) return Wrote::feeder;
    }
    Frames frames(messages, count, empty ? s.pipe_bytes : atomic_write);
    if (frames.count == 0) return Wrote::no_room;
    const int counted = take_counts(s, frames.count);
    if (counted <= 0) return counted < 0 ? Wrote::error : Wrote::feeder; // a full queue: put waits
    const Wrote wrote = empty ? write_into_empty(s, frames) : write_at_once(s, frames);
    if (wrote == Wrote::all) written = frames.count;
    return wrote;
}

namespace {

// What `put` does once the feeder runs, done here with no Python code in
// between, so that no signal handler can raise half-way (a KeyboardInterrupt
// inside `with self._notempty` would leave that lock held for good): count
// the message, append it to the buffer, wake the feeder. 1 when put, 0 when
// the queue's own `put` must do it (closed, or full), -1 on error.
int put_without_interrupts(PyObject* queue, QueueState& s, PyObject* message) noexcept {
    Ref closed = Ref::steal(PyObject_GetAttrString(queue, "_closed"));
    if (!closed) return -1;
    if (closed.get() != Py_False) return 0; // put raises what it raises
    const int counted = try_acquire(s.sem.get());
    if (counted <= 0) return counted;
    if (!call_method(s.notempty_lock.get(), names.acquire)) {
        release_counts(s, 1);
        return -1;
    }
    int result = 1;
    {
        Held notempty(s.notempty_lock.get());
        Ref buffer = Ref::steal(PyObject_GetAttr(queue, layout().buffer_name));
        if (!buffer || !call_method(buffer.get(), names.append, message)) {
            result = -1;
        } else if (PyObject_Size(s.waiters.get()) > 0) {
            // Condition.notify(): wake the first waiter and take it off the list.
            Ref waiter = Ref::steal(PySequence_GetItem(s.waiters.get(), 0));
            if (!waiter || !call_method(waiter.get(), names.release) ||
                !call_method(s.waiters.get(), names.remove, waiter.get()))
                result = -1;
        }
    }
    if (result < 0) release_counts(s, 1);
    return result;
}

} // namespace

// Hands `data` to the queue's `put`, wrapped so that the feeder sends the
// bytes as they are now. The put that may start the feeder thread holds
// interrupts back: an interrupt inside the thread's start leaves a feeder
// the queue does not know, and two feeders on one queue reorder messages.
int put_pickled(PyObject* queue, QueueState& s, PyObject* data) noexcept {
    const QueueLayout& l = layout();
    Ref wrapped = call(l.pickled, data);
    if (!wrapped) return -1;
    const pid_t self = getpid();
    bool may_start_feeder = s.put_by != self;
    if (s.direct) {
        Ref thread = Ref::steal(PyObject_GetAttr(queue, layout().thread_name));
        if (!thread) return -1;
        may_start_feeder = thread.get() == Py_None;
        if (!may_start_feeder) {
            const int put = put_without_interrupts(queue, s, wrapped.get());
            if (put != 0) return put < 0 ? -1 : 0;
        }
    }
    Ref done;
    if (may_start_feeder) {
        PyObject* args[] = {queue, wrapped.get()};
        done = Ref::steal(PyObject_Vectorcall(l.deferring_put, args, 2, nullptr));
    } else {
        done = call_method(queue, names.put, wrapped.get());
    }
    if (!done) return -1;
    s.put_by = self;
    return 0;
}

} // namespace vantrel::mp_queue
