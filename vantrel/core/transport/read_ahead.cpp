// Reading ahead on a worker's input queue: one read takes what the pipe
// holds, and the messages in it are taken from the buffer one at a time.
#include "core/transport/pipe_read.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace vantrel::mp_queue {

namespace {

constexpr size_t read_ahead_size = size_t{64} * 1024;

// Waits for the rest of a message under way: no interrupt is taken, and the
// only way out is its writer's end.
Read wait_quietly(QueueState& s, const Watch& w) noexcept {
    for (;;) {
        pollfd fd{s.reader_fd, POLLIN, 0};
        int r = 0;
        Py_BEGIN_ALLOW_THREADS
            do {
                r = poll(&fd, 1, watch_ms);
            } while (r < 0 && errno == EINTR);
        Py_END_ALLOW_THREADS
        if (r < 0) return fail_with_errno(errno);
        if (r > 0) return Read::message;
        if (ended_quietly(w)) {
            s.cut_off = true;
            return Read::gone;
        }
    }
}

// What the pipe holds, read onto the end of the bytes read ahead (it holds
// something: the read does not wait); without the interpreter lock when
// `let_go`.
Read read_more(QueueState& s, bool let_go) noexcept {
    ssize_t got = 0;
    PyThreadState* saved = let_go ? PyEval_SaveThread() : nullptr;
    do {
        got = read(s.reader_fd, s.ahead + s.ahead_end, read_ahead_size - s.ahead_end);
    } while (got < 0 && errno == EINTR);
    const int error = errno;
    if (saved) PyEval_RestoreThread(saved);
    if (got < 0) return fail_with_errno(error);
    if (got == 0) {
        s.cut_off = true;
        PyErr_SetString(PyExc_EOFError, "the queue's pipe has no writer left");
        return Read::error;
    }
    s.ahead_end += static_cast<size_t>(got);
    return Read::message;
}

// Reads what the pipe holds, at least one byte, into the read-ahead buffer.
// Between messages the wait takes interrupts and ends at `deadline`.
Read fill_ahead(QueueState& s, Watch& w, double deadline, bool between) noexcept {
    Read end = Read::error;
    const int locked = take_read_lock(s, w, between ? deadline : -1, end);
    if (locked <= 0) return locked < 0 ? Read::error : end;
    Held rlock(s.rlock.get());
    const Read ready = between ? wait_for_message(s, w, deadline) : wait_quietly(s, w);
    if (ready != Read::message) return ready;
    if (s.ahead_start > 0) {
        std::memmove(s.ahead, s.ahead + s.ahead_start, s.ahead_end - s.ahead_start);
        s.ahead_end -= s.ahead_start;
        s.ahead_start = 0;
    }
    return read_more(s, true);
}

// What the bytes read ahead start with: a message that can be taken now
// (whole, or larger than the buffer and so read straight into its bytes), a
// length no message can have, or not yet a message (`header` and `size` set
// for the first two).
enum class Ahead { none, whole, impossible };
Ahead message_ahead(const QueueState& s, size_t& header, std::uint64_t& size) noexcept {
    const size_t have = s.ahead_end - s.ahead_start;
    const auto* head = reinterpret_cast<const unsigned char*>(s.ahead + s.ahead_start);
    if (!parse_header(head, have, header, size)) return Ahead::none;
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) - header) return Ahead::impossible;
    const auto whole = static_cast<size_t>(size) + header;
    return have >= whole || whole > read_ahead_size ? Ahead::whole : Ahead::none;
}

// Takes into `out` the message of `size` bytes whose header of `header`
// bytes heads the read-ahead buffer: what the buffer holds of it, and the
// rest straight from the pipe (under the read lock, taken here unless
// `locked`).
Read take_ahead_message(QueueState& s, const Watch& w, size_t header, std::uint64_t size, Ref& out,
                        bool lock_held = false) noexcept {
    if (!make_message(s, size, out)) return Read::error;
    const size_t have = s.ahead_end - s.ahead_start;
    const size_t here = std::min(have - header, static_cast<size_t>(size));
    std::memcpy(PyBytes_AS_STRING(out.get()), s.ahead + s.ahead_start + header, here);
    s.ahead_start += header + here;
    if (here < size && lock_held) {
        const Read got = read_rest(s, w, PyBytes_AS_STRING(out.get()) + here,
                                   static_cast<Py_ssize_t>(size - here), false);
        if (got != Read::message) return got;
    } else if (here < size) {
        Read end = Read::error;
        const int locked = take_read_lock(s, w, -1, end);
        if (locked <= 0) return locked < 0 ? Read::error : end;
        Held rlock(s.rlock.get());
        const Read got = read_rest(s, w, PyBytes_AS_STRING(out.get()) + here,
                                   static_cast<Py_ssize_t>(size - here), false);
        if (got != Read::message) return got;
    }
    return call_method(s.sem.get(), names.release) ? Read::message : Read::error;
}

bool make_ahead(QueueState& s) noexcept {
    if (s.ahead) return true;
    s.ahead = static_cast<char*>(PyMem_RawMalloc(read_ahead_size));
    if (!s.ahead) PyErr_NoMemory();
    return s.ahead != nullptr;
}

} // namespace

// The next whole message that has arrived, without waiting for one; the
// caller holds the read lock. A message whose first bytes are there is read
// to its end (its writer writes it whole).
Read read_arrived(QueueState& s, const Watch& w, Ref& out) noexcept {
    if (!make_ahead(s)) return Read::error;
    for (;;) {
        if (s.cut_off) return Read::gone;
        size_t header = 0;
        std::uint64_t size = 0;
        const Ahead ahead = message_ahead(s, header, size);
        if (ahead == Ahead::impossible) return impossible_length(s);
        if (ahead == Ahead::whole) return take_ahead_message(s, w, header, size, out, true);
        const size_t have = s.ahead_end - s.ahead_start;
        if (!readable_now(s.reader_fd)) return Read::timeout;
        if (s.ahead_start > 0) {
            std::memmove(s.ahead, s.ahead + s.ahead_start, have);
            s.ahead_end = have;
            s.ahead_start = 0;
        }
        const Read got = read_more(s, false);
        if (got != Read::message) return got;
    }
}

// The next message of a worker's input queue, from the bytes read ahead and
// the pipe. A message larger than the buffer is read straight into its bytes.
Read read_ahead_message(QueueState& s, Watch& w, double timeout, Ref& out) noexcept {
    if (!make_ahead(s)) return Read::error;
    const double deadline = monotonic() + timeout;
    for (;;) {
        if (s.cut_off) return Read::gone;
        size_t header = 0;
        std::uint64_t size = 0;
        const Ahead ahead = message_ahead(s, header, size);
        if (ahead == Ahead::impossible) return impossible_length(s);
        if (ahead == Ahead::whole) return take_ahead_message(s, w, header, size, out);
        const size_t have = s.ahead_end - s.ahead_start;
        const Read got = fill_ahead(s, w, deadline, have == 0);
        if (got != Read::message) return got;
    }
}

} // namespace vantrel::mp_queue
