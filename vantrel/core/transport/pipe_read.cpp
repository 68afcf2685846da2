// Reading messages from a queue's pipe (pipe_read.hpp).
#include "core/transport/pipe_read.hpp"

#include <algorithm>
#include <cerrno>
#include <sys/wait.h>
#include <unistd.h>

namespace vantrel::mp_queue {

bool ended_quietly(const Watch& w) noexcept {
    if (w.kind == Watch::Kind::caller) return w.caller->gone();
    if (w.kind != Watch::Kind::child) return false;
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(w.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0)
        return info.si_pid == w.pid;
    return w.sentinel >= 0 && readable_now(w.sentinel);
}

// Whether the watched process has ended; a child is asked through its
// process object (between messages only: this runs Python code). -1 on error.
int ended(const Watch& w) noexcept {
    if (w.kind == Watch::Kind::caller) return static_cast<int>(w.caller->gone());
    if (w.kind != Watch::Kind::child) return 0;
    Ref alive = call_method(w.process.get(), names.is_alive);
    if (!alive) return -1;
    const int truth = PyObject_IsTrue(alive.get());
    return truth < 0 ? -1 : static_cast<int>(truth == 0);
}

Read fail_with_errno(int error) noexcept {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    return Read::error;
}

Read read_rest(QueueState& s, const Watch& w, char* into, Py_ssize_t size, bool whole) noexcept {
    while (size > 0) {
        ssize_t got = 0;
        int error = 0;
        bool quiet = false;
        Py_BEGIN_ALLOW_THREADS
            for (;;) {
                if (!whole) {
                    pollfd fd{s.reader_fd, POLLIN, 0};
                    const int r = poll(&fd, 1, watch_ms);
                    if (r < 0 && errno == EINTR) continue;
                    if (r <= 0) {
                        error = r < 0 ? errno : 0;
                        quiet = r == 0;
                        break;
                    }
                }
                got = read(s.reader_fd, into, static_cast<size_t>(size));
                if (got < 0 && errno == EINTR) continue;
                if (got < 0) error = errno;
                break;
            }
        Py_END_ALLOW_THREADS
        if (error != 0) return fail_with_errno(error);
        if (quiet) {
            if (ended_quietly(w)) {
                s.cut_off = true;
                return Read::gone;
            }
            continue;
        }
        if (got == 0) {
            s.cut_off = true;
            PyErr_SetString(PyExc_EOFError, "the queue's pipe ended in the middle of a message");
            return Read::error;
        }
        into += got;
        size -= got;
        whole = false; // whatever is left was not there
    }
    return Read::message;
}

// Takes the queue's read lock, looking at the watched worker and the clock
// while another reader holds it. 1 taken, 0 timed out or worker gone (`end`
// says which), -1 on error.
int take_read_lock(QueueState& s, const Watch& w, double deadline, Read& end) noexcept {
    int locked = try_acquire(s.rlock.get());
    while (locked == 0) {
        double left = answer_poll_seconds;
        if (deadline >= 0) left = std::min(left, deadline - monotonic());
        if (left <= 0) {
            end = Read::timeout;
            return 0;
        }
        Ref wait_for = Ref::steal(PyFloat_FromDouble(left));
        Ref taken =
            wait_for ? call_method(s.rlock.get(), names.acquire, Py_True, wait_for.get()) : Ref();
        locked = taken ? PyObject_IsTrue(taken.get()) : -1;
        if (locked != 0) break;
        const int dead = ended(w);
        if (dead != 0) {
            end = Read::gone;
            return dead < 0 ? -1 : 0;
        }
    }
    return locked;
}

namespace {

// How long one poll for a message may last: up to `deadline` (-1: for good),
// and no longer than the next look at a child is due.
int poll_timeout_ms(double deadline, const Watch& w) noexcept {
    int wait_ms = -1;
    if (deadline >= 0) {
        const double left = deadline - monotonic();
        wait_ms = left <= 0 ? 0 : static_cast<int>(left * ms_per_second) + 1;
    }
    if (w.kind == Watch::Kind::child && (wait_ms < 0 || wait_ms > watch_ms)) wait_ms = watch_ms;
    return wait_ms;
}

} // namespace

// Waits, between messages, until the pipe is readable. Interrupts are taken
// here. Read::message when it is readable.
// NOLINTNEXTLINE(readability-function-cognitive-complexity): one loop reads best here
Read wait_for_message(QueueState& s, Watch& w, double deadline) noexcept {
    for (;;) {
        if (PyErr_CheckSignals() < 0) return Read::error;
        const int wait_ms = poll_timeout_ms(deadline, w);
        pollfd fds[2] = {{s.reader_fd, POLLIN, 0}, {w.sentinel, POLLIN, 0}};
        const nfds_t count = w.sentinel >= 0 ? 2 : 1;
        int r = 0;
        Py_BEGIN_ALLOW_THREADS
            r = poll(fds, count, wait_ms);
        Py_END_ALLOW_THREADS
        if (r < 0) {
            if (errno == EINTR) continue;
            return fail_with_errno(errno);
        }
        if (r > 0 && fds[0].revents != 0) return Read::message;
        const bool sentinel_ready = r > 0 && count == 2 && fds[1].revents != 0;
        if (sentinel_ready || (r == 0 && w.kind == Watch::Kind::child)) {
            const int dead = ended(w);
            if (dead < 0) return Read::error;
            // An answer may have come just before the end.
            if (dead != 0) return readable_now(s.reader_fd) ? Read::message : Read::gone;
            if (sentinel_ready) w.sentinel = -1; // readable while alive: look by the clock
            if (w.lookout && w.lookout->look() < 0) return Read::error;
        }
        if (deadline >= 0 && monotonic() >= deadline) return Read::timeout;
    }
}

// The header of the message at the head of `bytes` (`count` of them): its
// length and the message's. False while the header is incomplete.
bool parse_header(const unsigned char* bytes, size_t count, size_t& header,
                  std::uint64_t& size) noexcept {
    if (count < short_header) return false;
    size = read_uint(bytes, short_header, Order::big_endian);
    header = short_header;
    if (size != long_marker) return true;
    if (count < long_header) return false;
    size = read_uint(bytes + short_header, long_header - short_header, Order::big_endian);
    header = long_header;
    return true;
}

// A header no message can have: nothing after it can be read.
[[gnu::cold]] Read impossible_length(QueueState& s) noexcept {
    s.cut_off = true;
    PyErr_SetString(PyExc_OSError, "a message on the queue has an impossible length");
    return Read::error;
}

// A new bytes object for a message of `size` bytes (at most PY_SSIZE_T_MAX);
// false with the error set, the queue then cut off: a message cannot be
// skipped without reading it.
bool make_message(QueueState& s, std::uint64_t size, Ref& out) noexcept {
    out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!out) s.cut_off = true;
    return static_cast<bool>(out);
}

// Reads one whole message into `out` (bytes). `timeout` < 0 waits for good.
Read read_message(QueueState& s, double timeout, Watch& w, Ref& out) noexcept {
    const double deadline = timeout < 0 ? -1 : monotonic() + timeout;
    Read end = Read::error;
    const int locked = take_read_lock(s, w, deadline, end);
    if (locked <= 0) return locked < 0 ? Read::error : end;
    Held rlock(s.rlock.get());
    if (s.cut_off) return Read::gone;
    const Read ready = wait_for_message(s, w, deadline);
    if (ready != Read::message) return ready;

    // One whole message: the poll said its first bytes are there.
    unsigned char head[long_header];
    Read got = read_rest(s, w, reinterpret_cast<char*>(head), short_header, true);
    if (got != Read::message) return got;
    size_t header = 0;
    std::uint64_t size = 0;
    if (!parse_header(head, short_header, header, size)) {
        got = read_rest(s, w, reinterpret_cast<char*>(head + short_header),
                        long_header - short_header, false);
        if (got != Read::message) return got;
        parse_header(head, long_header, header, size);
    }
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return impossible_length(s);
    if (!make_message(s, size, out)) return Read::error;
    // A message written in one go that fits a single write arrived whole.
    const bool whole = size + short_header <= atomic_write;
    got = read_rest(s, w, PyBytes_AS_STRING(out.get()), static_cast<Py_ssize_t>(size), whole);
    if (got != Read::message) {
        out.reset();
        return got;
    }
    return call_method(s.sem.get(), names.release) ? Read::message : Read::error;
}

} // namespace vantrel::mp_queue
