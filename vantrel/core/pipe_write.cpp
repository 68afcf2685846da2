// Writing messages: directly to the pipe, or through the queue's `put`.
//
// Whether the feeder holds anything is read under the interpreter lock, which
// is not let go until `_wlock` is held: the feeder takes a new message only
#include "pipe_write.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

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

// Takes the queue's count of messages once per message, as `put` does: 1
// taken, 0 a full bounded queue (none kept), -1 on error.
int take_counts(const QueueState& s, Py_ssize_t count) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i) {
        const int counted = try_acquire(s.sem.get());
        if (counted > 0) continue;
        for (Py_ssize_t j = 0; j < i; ++j)
            if (!call_method(s.sem.get(), names.release)) PyErr_Clear();
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

} // namespace

Wrote write_direct(PyObject* queue, QueueState& s, PyObject* const* messages,
                   Py_ssize_t count) noexcept {
    unsigned char headers[batch_messages][long_header];
    iovec parts[2 * batch_messages];
    if (count > batch_messages) return Wrote::no_room;
    Py_ssize_t total = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const Py_ssize_t size = PyBytes_GET_SIZE(messages[i]);
        const size_t header_size = encode_header(size, headers[i]);
        parts[2 * i] = {headers[i], header_size};
        parts[(2 * i) + 1] = {PyBytes_AS_STRING(messages[i]), static_cast<size_t>(size)};
        total += size + static_cast<Py_ssize_t>(header_size);
    }
    const long page = layout().page_size;
    const Py_ssize_t pages = (total + page - 1) / page;
    // The unread bytes fill at most unread / page + 2 pages.
    constexpr Py_ssize_t partly_filled = 2;
    if (pages + partly_filled > s.pipe_pages) return count == 1 ? Wrote::feeder : Wrote::no_room;
    const int idle = feeder_idle(queue, s);
    if (idle <= 0) return idle < 0 ? Wrote::error : Wrote::feeder;
    int unread = 0;
    if (ioctl(s.writer_fd, FIONREAD, &unread) < 0) return Wrote::feeder;
    if (pages + (unread / page) + partly_filled > s.pipe_pages) return Wrote::no_room;

    const int locked = try_acquire(s.wlock.get());
    if (locked <= 0) return locked < 0 ? Wrote::error : Wrote::feeder; // another process writes
    Held wlock(s.wlock.get());
    const int counted = take_counts(s, count);
    if (counted <= 0) return counted < 0 ? Wrote::error : Wrote::feeder; // a full queue: put waits

    PyThreadState* released =
        static_cast<size_t>(total) <= atomic_write ? nullptr : PyEval_SaveThread();
    const int error = write_parts(s.writer_fd, parts, static_cast<int>(2 * count));
    if (released) PyEval_RestoreThread(released);
    if (error != 0) {
        s.cut_off = true; // what was written of the batch cannot be taken back
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        return Wrote::error;
    }
    return Wrote::all;
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
        if (!call_method(s.sem.get(), names.release)) PyErr_Clear();
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
    if (result < 0 && !call_method(s.sem.get(), names.release)) PyErr_WriteUnraisable(queue);
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
