// What vantrel keeps on each multiprocessing queue, and the small tools that
// every part of the message path shares (mp_queue.cpp, queue_facts.cpp,
// message_pickle.cpp, pipe_write.cpp, pipe_read.cpp, read_ahead.cpp,
// outbox.cpp).
#pragma once

#include "core/capi/call.hpp"
#include "core/capi/state.hpp"
#include "core/transport/mp_queue.hpp"

#include <climits>
#include <cstdint>
#include <ctime>
#include <poll.h>
#include <sys/types.h>

namespace vantrel::mp_queue {

struct QueueState {
    bool direct = false; // the pipe is read and written here, whole messages at a time
    int reader_fd = -1;  // the queue's pipe
    int writer_fd = -1;
    size_t pipe_bytes = 0; // capacity of the pipe (F_GETPIPE_SZ)
    // The queue's own locks and its count of messages.
    Ref rlock;
    Ref wlock;
    Ref sem;
    Ref notempty_lock; // the lock of the queue's `_notempty` Condition
    Ref waiters;       // the deque of threads waiting on that Condition
    // The worker that answers on this (output) queue, recorded by the process
    // that started it, which alone can watch it.
    Ref worker;        // weak reference to its multiprocessing.Process
    Ref jobs;          // weak reference to its input queue
    pid_t watcher = 0; // the process that started it
    pid_t worker_pid = 0;
    pid_t reader_pid = 0; // the worker that reads this (input) queue, for the same process
    int sentinel = -1;    // readable once the worker has ended
    pid_t put_by = 0;     // the process in which vantrel last handed a message to `put`
    bool owes = false;    // see owes_answers()
    bool cut_off = false; // a writer ended in the middle of a message
    // One owner's tagged traffic (owner.hpp), kept on the output queue: who
    // claimed it, how many tagged jobs went to its worker since, how many of
    // them were settled (answered, or said to have no answer), and whether
    // the owner holds jobs back for this worker.
    Ref owner;
    std::uint64_t tagged_sent = 0;
    std::uint64_t tagged_settled = 0;
    Ref last_tag; // of the last tagged job that went (its owner reconciles with it)
    bool held = false;
    int public_fd = -2; // the pipe's reader on the public path (-1: not to be had; -2: not asked)
    // Bytes read from the pipe ahead of the messages taken so far: a worker's
    // wait for jobs (it is the only reader of its input queue), and an
    // owner's take (owner.cpp), which reads under the queue's read lock. The
    // queue's count of messages is released per message taken.
    char* ahead = nullptr;
    size_t ahead_start = 0;
    size_t ahead_end = 0;
    // What a pool's status reads (an output queue, in the caller): answers
    // taken by receive_answer and when the last came (CLOCK_MONOTONIC
    // seconds), and the map call under way: its jobs, this worker's first
    // position and the stride, the answers taken when it began.
    std::uint64_t answers_read = 0;
    double last_answer_at = 0;
    Ref call_jobs;
    Py_ssize_t call_first = 0;
    Py_ssize_t call_stride = 1;
    std::uint64_t call_read_at_start = 0;
    double call_started = 0;

    QueueState() = default;
    QueueState(const QueueState&) = delete;
    QueueState& operator=(const QueueState&) = delete;
    ~QueueState() { PyMem_RawFree(ahead); }
};

// The process the messages put on `s` are for, when known: the worker of an
// input queue, or, in a worker, its caller.
inline pid_t reader_of(const QueueState& s) noexcept {
    return s.reader_pid != 0 ? s.reader_pid : process_state().shared_memory.answer_reader;
}

inline constexpr int ms_per_second = 1000;
// Between two looks at a silent worker.
inline constexpr int watch_ms = static_cast<int>(answer_poll_seconds * ms_per_second);
inline constexpr Py_ssize_t short_header = 4;             // big-endian signed length
inline constexpr Py_ssize_t long_header = 12;             // -1, then a big-endian 8-byte length
inline constexpr std::uint64_t long_marker = 0xffffffffU; // the -1 of a long header
inline constexpr Py_ssize_t widest_short_message = 0x7fffffff;
inline constexpr size_t atomic_write = PIPE_BUF; // a write this small arrives whole
inline constexpr unsigned bits_per_byte = 8;

// Lengths in a message's header are big-endian; those inside a pickle are
// little-endian.
enum class Order { big_endian, little_endian };

// The unsigned integer in the `count` bytes at `bytes`.
inline std::uint64_t read_uint(const unsigned char* bytes, Py_ssize_t count, Order order) noexcept {
    std::uint64_t value = 0;
    for (Py_ssize_t i = 0; i < count; ++i)
        value = (value << bits_per_byte) | bytes[order == Order::big_endian ? i : count - 1 - i];
    return value;
}

// `value` as `count` bytes at `into`; returns the end of what it wrote.
inline unsigned char* write_uint(std::uint64_t value, unsigned char* into, Py_ssize_t count,
                                 Order order) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i) {
        into[order == Order::little_endian ? i : count - 1 - i] = static_cast<unsigned char>(value);
        value >>= bits_per_byte;
    }
    return into + count;
}

// Whether `fd` can be read without waiting.
inline bool readable_now(int fd) noexcept {
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, 0) > 0;
}

inline QueueLayout& layout() noexcept {
    return process_state().queue_layout;
}

inline double monotonic() noexcept {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    constexpr double nanoseconds = 1e9;
    return static_cast<double>(t.tv_sec) + (static_cast<double>(t.tv_nsec) / nanoseconds);
}

inline PyTypeObject* as_type(PyObject* o) noexcept {
    return reinterpret_cast<PyTypeObject*>(o);
}

// Clears the error being raised when it is an Exception, and says so. An
// interrupt (or any other BaseException) or a MemoryError stays set: it is
// the caller's, and a look that it cut short proves nothing about the queue.
inline bool clear_if_exception() noexcept {
    if (PyErr_ExceptionMatches(PyExc_Exception) == 0 ||
        PyErr_ExceptionMatches(PyExc_MemoryError) != 0)
        return false;
    PyErr_Clear();
    return true;
}

// lock.acquire(False): 1 taken, 0 busy, -1 error.
inline int try_acquire(PyObject* lock) noexcept {
    Ref taken = call_method(lock, names.acquire, Py_False);
    return taken ? PyObject_IsTrue(taken.get()) : -1;
}

// Releases a lock taken here on every path out, keeping the error being raised.
class Held {
  public:
    explicit Held(PyObject* lock) noexcept : lock_(lock) {}
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() {
        SavedError error;
        if (!call_method(lock_, names.release)) PyErr_WriteUnraisable(lock_);
        error.restore();
    }

  private:
    PyObject* lock_;
};

} // namespace vantrel::mp_queue
