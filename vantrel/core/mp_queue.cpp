// What vantrel does with the inside of multiprocessing.Queue, in one place.
//
// A multiprocessing.Queue (multiprocessing/queues.py of CPython 3.11 to 3.13)
// is a pipe written by a feeder thread. This file relies on these facts:
//  1. The pipe is a pair of connection.Connection objects over os.pipe()
//     (`_reader`, `_writer`). A message is a 4-byte big-endian signed length
//     (-1: an 8-byte length follows) and the pickled bytes
//     (Connection._send_bytes and _recv_bytes).
//  2. A reader holds `_rlock` while it reads one message and releases `_sem`
//     once per message; a writer holds `_wlock` while it writes one message,
//     and `put` acquires `_sem` once per message.
//  3. `put` appends to `_buffer` under `_notempty` and starts the feeder
//     thread (`_thread`) at the first put. The feeder pops from `_buffer`,
//     pickles, and sends under `_wlock`; it waits on `_notempty` (and is then
//     listed in `_notempty._waiters`) only when it found `_buffer` empty,
//     after everything it popped has been sent.
//  4. After a fork, `_notempty` is the same Condition (re-initialised) while
//     `_buffer` and `_thread` are new objects.
// They are checked once per process, at the first queue met (the names the
// queue's methods use, the parameters of its feeder, the message format of
// Connection); a queue that is not exactly multiprocessing.queues.Queue, or a
// Python on which the facts do not hold, takes the public path: messages are
// pickled here and handed to `put` as `vantrel._control.Pickled`, and read
// with `get`. A RuntimeWarning says so once when the facts do not hold.
#include "mp_queue.hpp"
#include "answer.hpp"
#include "call.hpp"
#include "module.hpp"
#include "state.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vantrel::mp_queue {

struct QueueState {
    bool direct = false; // the pipe is read and written here, whole messages at a time
    int reader_fd = -1;  // the queue's pipe
    int writer_fd = -1;
    Py_ssize_t pipe_pages = 0; // capacity of the pipe in pages
    Ref rlock, wlock, sem;     // the queue's own locks and count of messages
    Ref notempty;              // the Condition the queue's feeder waits on
    Ref worker;                // weak reference to the process that answers here
    Ref jobs;                  // weak reference to that worker's input queue
    pid_t watcher = 0;         // the process that started the worker: only it can watch it
    pid_t put_by = 0;          // the process in which vantrel last handed a message to `put`
    bool owes = false;         // see owes_answers()
    bool cut_off = false;      // a writer ended in the middle of a message
};

namespace {

constexpr const char* capsule_name = "vantrel.mp_queue.QueueState.v1";
constexpr const char* state_attribute = "_vantrel";
constexpr double watch_seconds = 0.2; // between two looks at a silent worker

QueueLayout& layout() noexcept {
    return process_state.queue_layout;
}

// --- the facts, checked once -------------------------------------------------

// Whether every name of `wanted` is among `function.__code__.<field>`.
bool code_mentions(PyObject* function, const char* field,
                   std::initializer_list<const char*> wanted) noexcept {
    Ref code = Ref::steal(PyObject_GetAttrString(function, "__code__"));
    Ref names_tuple = code ? Ref::steal(PyObject_GetAttrString(code.get(), field)) : Ref();
    if (!names_tuple || !PyTuple_Check(names_tuple.get())) return false;
    for (const char* name : wanted) {
        Ref text = Ref::steal(PyUnicode_FromString(name));
        if (!text || PySequence_Contains(names_tuple.get(), text.get()) != 1) return false;
    }
    return true;
}

// The function behind attribute `name` of class `cls` (unwrapping staticmethod).
Ref class_function(PyObject* cls, const char* name) noexcept {
    Ref attr = Ref::steal(PyObject_GetAttrString(cls, name));
    if (attr && PyObject_TypeCheck(attr.get(), &PyStaticMethod_Type)) {
        attr = Ref::steal(PyObject_GetAttrString(attr.get(), "__func__"));
    }
    return attr && PyFunction_Check(attr.get()) ? attr : Ref();
}

bool facts_hold() noexcept {
    PyObject* queue_type = process_state.stdlib.queue_type;
    Ref put = class_function(queue_type, "put");
    Ref get = class_function(queue_type, "get");
    Ref reset = class_function(queue_type, "_reset");
    Ref feed = class_function(queue_type, "_feed");
    Ref connection = import_attribute("multiprocessing.connection", "Connection");
    Ref send_bytes = connection ? class_function(connection.get(), "_send_bytes") : Ref();
    Ref recv_bytes = connection ? class_function(connection.get(), "_recv_bytes") : Ref();
    Ref condition = import_attribute("threading", "Condition");
    Ref probe = condition ? Ref::steal(PyObject_CallNoArgs(condition.get())) : Ref();
    Ref deque = import_attribute("collections", "deque");
    Ref waiters = probe ? Ref::steal(PyObject_GetAttrString(probe.get(), "_waiters")) : Ref();
    if (!put || !get || !reset || !feed || !send_bytes || !recv_bytes || !waiters || !deque ||
        !PyType_Check(connection.get()) || !PyType_Check(condition.get()) ||
        !PyType_Check(deque.get()) ||
        !PyObject_TypeCheck(waiters.get(), reinterpret_cast<PyTypeObject*>(deque.get())))
        return false;
    const bool held =
        code_mentions(put.get(), "co_names",
                      {"_sem", "_notempty", "_thread", "_start_thread", "_buffer", "append"}) &&
        code_mentions(get.get(), "co_names", {"_rlock", "_recv_bytes", "_sem", "_poll"}) &&
        code_mentions(reset.get(), "co_names", {"_notempty", "_buffer", "_thread"}) &&
        code_mentions(feed.get(), "co_varnames",
                      {"buffer", "notempty", "send_bytes", "writelock", "queue_sem"}) &&
        code_mentions(feed.get(), "co_names", {"popleft", "wait", "dumps"}) &&
        code_mentions(send_bytes.get(), "co_consts", {"!i", "!Q"}) &&
        code_mentions(recv_bytes.get(), "co_consts", {"!i", "!Q"});
    if (!held) return false;
    layout().connection_type.reset(connection);
    layout().condition_type.reset(condition);
    layout().deque_type.reset(deque);
    return true;
}

[[gnu::cold]] int warn_public_path() noexcept {
    // Once per process, whichever module meets the first queue.
    Ref control = import_module("vantrel._control");
    if (!control) return -1;
    Ref warned = Ref::steal(PyObject_GetAttrString(control.get(), "queue_layout_warned"));
    if (!warned) return -1;
    if (PyObject_IsTrue(warned.get()) != 0) return 0;
    if (PyObject_SetAttrString(control.get(), "queue_layout_warned", Py_True) < 0) return -1;
    return PyErr_WarnEx(PyExc_RuntimeWarning,
                        "vantrel: multiprocessing.Queue of this Python is not laid out as vantrel "
                        "expects; using its public put and get (slower, and a read interrupted "
                        "in the middle of a message cannot be repaired)",
                        1);
}

// Whether queues of the checked layout take the direct path in this process.
// -1 with the error set on failure.
int direct_path_known() noexcept {
    QueueLayout& l = layout();
    if (l.known >= 0) return l.known;
    Ref control = import_module("vantrel._control");
    if (!control) return -1;
    Ref enabled = Ref::steal(PyObject_GetAttrString(control.get(), "queue_fast_path"));
    l.pickled.reset(Ref::steal(PyObject_GetAttrString(control.get(), "Pickled")));
    l.deferring_put.reset(
        Ref::steal(PyObject_GetAttrString(control.get(), "put_deferring_interrupts")));
    l.loads.reset(import_attribute("pickle", "loads"));
    Ref pickler = import_attribute("multiprocessing.reduction", "ForkingPickler");
    l.pickler_class.reset(pickler);
    l.extra_reducers.reset(
        pickler ? Ref::steal(PyObject_GetAttrString(pickler.get(), "_extra_reducers")) : Ref());
    if (!enabled || !l.pickled || !l.deferring_put || !l.loads || !l.pickler_class ||
        !l.extra_reducers)
        return -1;
    const int wanted = PyObject_IsTrue(enabled.get());
    if (wanted < 0) return -1;
    if (!wanted) {
        l.known = 0;
        return 0;
    }
    const bool held = facts_hold();
    if (PyErr_Occurred()) PyErr_Clear(); // a fact that cannot be read does not hold
    l.known = held ? 1 : 0;
    if (!held && warn_public_path() < 0) return -1;
    return l.known;
}

// --- the state kept on each queue --------------------------------------------

void destroy_state(PyObject* capsule) noexcept {
    delete static_cast<QueueState*>(PyCapsule_GetPointer(capsule, capsule_name));
}

// A file descriptor from `connection.fileno()`, or -1.
int fileno_of(PyObject* connection) noexcept {
    Ref fd = call_method(connection, names.fileno);
    const long value = fd ? PyLong_AsLong(fd.get()) : -1;
    if (value < 0 || value > INT32_MAX) PyErr_Clear();
    return value < 0 || value > INT32_MAX ? -1 : static_cast<int>(value);
}

// Fills what the direct path needs; false (no error) when this queue cannot
// take it.
bool prepare_direct(PyObject* queue, QueueState& s) noexcept {
    QueueLayout& l = layout();
    if (Py_TYPE(queue) != reinterpret_cast<PyTypeObject*>(process_state.stdlib.queue_type.get()))
        return false;
    Ref reader = Ref::steal(PyObject_GetAttrString(queue, "_reader"));
    Ref writer = Ref::steal(PyObject_GetAttrString(queue, "_writer"));
    s.rlock = Ref::steal(PyObject_GetAttrString(queue, "_rlock"));
    s.wlock = Ref::steal(PyObject_GetAttrString(queue, "_wlock"));
    s.sem = Ref::steal(PyObject_GetAttrString(queue, "_sem"));
    s.notempty = Ref::steal(PyObject_GetAttrString(queue, "_notempty"));
    if (!reader || !writer || !s.rlock.get() || !s.wlock.get() || !s.sem.get() ||
        !s.notempty.get() ||
        Py_TYPE(reader.get()) != reinterpret_cast<PyTypeObject*>(l.connection_type.get()) ||
        Py_TYPE(writer.get()) != reinterpret_cast<PyTypeObject*>(l.connection_type.get()) ||
        Py_TYPE(s.notempty.get()) != reinterpret_cast<PyTypeObject*>(l.condition_type.get()))
        return false;
    s.reader_fd = fileno_of(reader.get());
    s.writer_fd = fileno_of(writer.get());
    const int capacity = s.writer_fd >= 0 ? fcntl(s.writer_fd, F_GETPIPE_SZ) : -1;
    const long page = sysconf(_SC_PAGESIZE);
    if (s.reader_fd < 0 || capacity <= 0 || page <= 0) return false;
    s.pipe_pages = capacity / page;
    return true;
}

// --- small tools ---------------------------------------------------------------

double now() noexcept {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// lock.acquire(False): 1 taken, 0 busy, -1 error.
int try_acquire(PyObject* lock) noexcept {
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
        if (!lock_) return;
        SavedError error;
        if (!call_method(lock_, names.release)) PyErr_WriteUnraisable(lock_);
        error.restore();
    }

  private:
    PyObject* lock_;
};

Py_ssize_t length_of(PyObject* o) noexcept {
    return o ? PyObject_Size(o) : -1;
}

// --- pickling now ------------------------------------------------------------------

// The bytes that multiprocessing would send for `obj`. A pickler is reused
// while the reducers registered with ForkingPickler stay the same; one that
// is in use (pickling ran code that sends again) is never shared.
Ref pickle_now(PyObject* obj) noexcept {
    QueueLayout& l = layout();
    const Py_ssize_t reducers = PyDict_Size(l.extra_reducers);
    if (l.pickler_busy || reducers != l.reducers_seen) {
        if (!l.pickler_busy) {
            Ref bytes_io = import_attribute("io", "BytesIO");
            Ref file = bytes_io ? Ref::steal(PyObject_CallNoArgs(bytes_io.get())) : Ref();
            Ref pickler = file ? call(l.pickler_class, file.get()) : Ref();
            if (!pickler) return {};
            l.pickle_file.reset(file);
            l.pickler.reset(pickler);
            l.reducers_seen = reducers;
        } else {
            Ref view = Ref::steal(PyObject_CallMethod(l.pickler_class, "dumps", "O", obj));
            return view ? Ref::steal(PyBytes_FromObject(view.get())) : Ref();
        }
    }
    PyObject* file = l.pickle_file;
    Ref start = Ref::steal(PyLong_FromLong(0));
    if (!start) return {};
    l.pickler_busy = true;
    const bool dumped = call_method(file, names.seek, start.get()) &&
                        call_method(file, names.truncate) &&
                        call_method(l.pickler, names.dump, obj);
    {
        // The memo holds what was pickled: let go of it now, not at the next message.
        SavedError error;
        if (!call_method(l.pickler, names.clear_memo)) PyErr_Clear();
        error.restore();
    }
    l.pickler_busy = false;
    Ref data = dumped ? call_method(file, names.getvalue) : Ref();
    // The file keeps its buffer: not one of a large message.
    if (data && PyBytes_GET_SIZE(data.get()) > (1 << 20)) {
        l.pickler.reset();
        l.pickle_file.reset();
        l.reducers_seen = -1;
    }
    return data;
}

// The job that takes the place of one that cannot be pickled.
Ref unsent_job(PyObject* error) noexcept {
    Ref reason = answer::describe(error);
    Ref text = reason ? Ref::steal(PyUnicode_FromFormat(
                            "the job could not be pickled and was not sent to the worker:\n\n%U",
                            reason.get()))
                      : Ref();
    return text ? call(process_state.stdlib.unsent_job, text.get()) : Ref();
}

// `message` pickled, or its stand-in pickled. Whatever pickling raises, a
// BaseException from a __reduce__ included, the message is answered
// "EXCEPTION" in its own place.
Ref pickle_or_stand_in(PyObject* message, Kind kind) noexcept {
    Ref data = pickle_now(message);
    if (data) return data;
    SavedError error;
    Ref stand_in =
        kind == Kind::job ? unsent_job(error.get()) : answer::unsendable(message, error.get());
    if (stand_in) data = pickle_now(stand_in.get());
    if (!data) error.chain_into_current();
    return data;
}

// --- writing --------------------------------------------------------------------

// Writes `data` as one message when that cannot wait: nothing queued in the
// feeder may be overtaken and the pipe must have room for all of it. 1 when
// written, 0 when the message must go through `put`, -1 on error.
int write_direct(PyObject* queue, QueueState& s, PyObject* data) noexcept {
    const Py_ssize_t size = PyBytes_GET_SIZE(data);
    unsigned char header[12];
    size_t header_size = 4;
    if (size > 0x7fffffff) {
        std::memset(header, 0xff, 4);
        for (int i = 0; i < 8; ++i)
            header[4 + i] =
                static_cast<unsigned char>(static_cast<std::uint64_t>(size) >> (56 - 8 * i));
        header_size = 12;
    } else {
        for (int i = 0; i < 4; ++i)
            header[i] =
                static_cast<unsigned char>(static_cast<std::uint32_t>(size) >> (24 - 8 * i));
    }
    const long page = sysconf(_SC_PAGESIZE);
    const Py_ssize_t total = size + static_cast<Py_ssize_t>(header_size);
    const Py_ssize_t pages = (total + page - 1) / page;
    if (pages + 2 > s.pipe_pages) return 0;

    // Nothing handed to the feeder may be overtaken: its buffer must be empty
    // and the feeder, if it runs, waiting for more.
    if (!call_method(s.notempty.get(), names.acquire)) return -1;
    Held notempty(s.notempty.get());
    Ref buffer = Ref::steal(PyObject_GetAttr(queue, names.buffer_attribute));
    Ref thread = Ref::steal(PyObject_GetAttr(queue, names.thread_attribute));
    if (!buffer || !thread) return -1;
    if (length_of(buffer.get()) != 0) return PyErr_Occurred() ? -1 : 0;
    if (thread.get() != Py_None) {
        Ref waiters = Ref::steal(PyObject_GetAttr(s.notempty.get(), names.waiters_attribute));
        const Py_ssize_t waiting = length_of(waiters.get());
        if (waiting < 0) return -1;
        if (waiting == 0) return 0;
    }

    // Room for all of it: the unread bytes occupy at most unread/page + 2 pages.
    int unread = 0;
    if (ioctl(s.writer_fd, FIONREAD, &unread) < 0) return 0;
    if (pages + unread / page + 2 > s.pipe_pages) return 0;
    const int locked = try_acquire(s.wlock.get());
    if (locked <= 0) return locked;
    Held wlock(s.wlock.get());
    const int counted = try_acquire(s.sem.get());
    if (counted <= 0) return counted;

    iovec parts[2] = {{header, header_size}, {PyBytes_AS_STRING(data), static_cast<size_t>(size)}};
    int iov_count = 2;
    iovec* part = parts;
    int error = 0;
    Py_BEGIN_ALLOW_THREADS while (iov_count > 0) {
        const ssize_t written = writev(s.writer_fd, part, iov_count);
        if (written < 0) {
            if (errno == EINTR) continue;
            error = errno;
            break;
        }
        size_t left = static_cast<size_t>(written);
        while (iov_count > 0 && left >= part->iov_len) {
            left -= part->iov_len;
            ++part;
            --iov_count;
        }
        if (iov_count > 0) {
            part->iov_base = static_cast<char*>(part->iov_base) + left;
            part->iov_len -= left;
        }
    }
    Py_END_ALLOW_THREADS if (error) {
        call_method(s.sem.get(), names.release);
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    return 1;
}

// Hands `data` to the queue's `put`, wrapped so that the feeder sends the
// bytes as they are now. The put that may start the feeder thread holds
// interrupts back: an interrupt inside the thread's start leaves a feeder
// the queue does not know, and two feeders on one queue reorder messages.
int put_pickled(PyObject* queue, QueueState& s, PyObject* data) noexcept {
    QueueLayout& l = layout();
    Ref wrapped = call(l.pickled, data);
    if (!wrapped) return -1;
    const pid_t self = getpid();
    bool may_start_feeder = s.put_by != self;
    if (s.direct) {
        Ref thread = Ref::steal(PyObject_GetAttr(queue, names.thread_attribute));
        if (!thread) return -1;
        may_start_feeder = thread.get() == Py_None;
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

// --- reading --------------------------------------------------------------------

// Whose death ends a wait, and how to tell.
struct Watch {
    enum class Kind { none, child, parent } kind = Kind::none;
    Ref process;       // the worker (child): asked between messages
    int sentinel = -1; // becomes readable when the child ends
    pid_t pid = 0;     // the child, or the parent we started under
};

// Whether the watched process has ended, asking the kernel only (no Python
// code runs, so no signal handler can interrupt a message half read).
bool ended_quietly(Watch& w) noexcept {
    if (w.kind == Watch::Kind::parent) return getppid() != w.pid;
    if (w.kind != Watch::Kind::child) return false;
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(w.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0)
        return info.si_pid == w.pid;
    if (w.sentinel < 0) return false;
    pollfd fd{w.sentinel, POLLIN, 0};
    return poll(&fd, 1, 0) > 0;
}

// Whether the watched child has ended, asking the process object (between
// messages only: this runs Python code). -1 on error.
int ended(Watch& w) noexcept {
    if (w.kind != Watch::Kind::child) return 0;
    Ref alive = call_method(w.process.get(), names.is_alive);
    if (!alive) return -1;
    const int truth = PyObject_IsTrue(alive.get());
    return truth < 0 ? -1 : !truth;
}

// poll() on the pipe and the watched sentinel with the interpreter lock
// released. Returns the poll result; `pipe_ready`, `sentinel_ready` tell which.
int wait_readable(int fd, Watch& w, int timeout_ms, bool& pipe_ready, bool& sentinel_ready,
                  int& error) noexcept {
    pollfd fds[2] = {{fd, POLLIN, 0}, {w.sentinel, POLLIN, 0}};
    const nfds_t count = w.sentinel >= 0 ? 2 : 1;
    int result = 0;
    Py_BEGIN_ALLOW_THREADS result = poll(fds, count, timeout_ms);
    Py_END_ALLOW_THREADS error = result < 0 ? errno : 0;
    pipe_ready = result > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    sentinel_ready = result > 0 && count == 2 && fds[1].revents != 0;
    return result;
}

enum class Read { message, timeout, gone, error };

// Reads `size` bytes of a message whose first byte has been read or is
// readable. No signal is taken here: a message once started is finished, or
// found cut off because its writer ended.
Read read_rest(QueueState& s, Watch& w, char* into, Py_ssize_t size) noexcept {
    const int slice_ms = static_cast<int>(watch_seconds * 1000);
    while (size > 0) {
        ssize_t got = 0;
        int error = 0;
        bool ready = false;
        Py_BEGIN_ALLOW_THREADS pollfd fd{s.reader_fd, POLLIN, 0};
        for (;;) {
            const int r = poll(&fd, 1, slice_ms);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) {
                error = errno;
                break;
            }
            if (r == 0) break; // a quiet moment: look at the writer
            ready = true;
            got = read(s.reader_fd, into, static_cast<size_t>(size));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) error = errno;
            break;
        }
        Py_END_ALLOW_THREADS if (error) {
            errno = error;
            PyErr_SetFromErrno(PyExc_OSError);
            return Read::error;
        }
        if (!ready) {
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
    }
    return Read::message;
}

// Reads one whole message into `out` (bytes). `timeout` < 0 waits for good.
Read read_message(QueueState& s, double timeout, Watch& w, Ref& out) noexcept {
    const double deadline = timeout < 0 ? -1 : now() + timeout;
    auto slice = [&]() {
        double left = deadline < 0 ? watch_seconds : deadline - now();
        if (w.kind == Watch::Kind::child && left > watch_seconds) left = watch_seconds;
        return left <= 0 ? 0 : static_cast<int>(left * 1000 + 0.999);
    };

    // The read lock: free at once nearly always (one reader per queue).
    int locked = try_acquire(s.rlock.get());
    while (locked == 0) {
        const int ms = slice();
        if (ms == 0 && deadline >= 0) return Read::timeout;
        Ref wait_for = Ref::steal(PyFloat_FromDouble(ms / 1000.0));
        Ref taken =
            wait_for ? call_method(s.rlock.get(), names.acquire, Py_True, wait_for.get()) : Ref();
        locked = taken ? PyObject_IsTrue(taken.get()) : -1;
        if (locked == 0) {
            const int dead = ended(w);
            if (dead != 0) return dead < 0 ? Read::error : Read::gone;
        }
    }
    if (locked < 0) return Read::error;
    Held rlock(s.rlock.get());
    if (s.cut_off) return Read::gone;

    // Between messages: interrupts are taken here.
    for (;;) {
        bool pipe_ready = false, sentinel_ready = false;
        int error = 0;
        const int ms = slice();
        const int r = wait_readable(s.reader_fd, w, ms, pipe_ready, sentinel_ready, error);
        if (r < 0) {
            if (error != EINTR) {
                errno = error;
                PyErr_SetFromErrno(PyExc_OSError);
                return Read::error;
            }
            if (PyErr_CheckSignals() < 0) return Read::error;
            continue;
        }
        if (pipe_ready) break;
        if (sentinel_ready || (r == 0 && w.kind == Watch::Kind::child)) {
            const int dead = ended(w);
            if (dead < 0) return Read::error;
            if (dead) {
                // An answer may have come just before the end.
                pollfd fd{s.reader_fd, POLLIN, 0};
                if (poll(&fd, 1, 0) > 0) break;
                return Read::gone;
            }
            if (sentinel_ready) w.sentinel = -1; // readable while alive: look by time instead
        }
        if (deadline >= 0 && now() >= deadline) return Read::timeout;
    }

    // One whole message.
    unsigned char head[4];
    Read got = read_rest(s, w, reinterpret_cast<char*>(head), 4);
    if (got != Read::message) return got;
    std::uint64_t size = (std::uint64_t{head[0]} << 24) | (std::uint64_t{head[1]} << 16) |
                         (std::uint64_t{head[2]} << 8) | head[3];
    if (size == 0xffffffffu) {
        unsigned char wide[8];
        got = read_rest(s, w, reinterpret_cast<char*>(wide), 8);
        if (got != Read::message) return got;
        size = 0;
        for (unsigned char byte : wide)
            size = (size << 8) | byte;
    }
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        s.cut_off = true;
        PyErr_SetString(PyExc_OSError, "a message on the queue has an impossible length");
        return Read::error;
    }
    out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!out) {
        s.cut_off = true; // the message cannot be skipped without reading it
        return Read::error;
    }
    got = read_rest(s, w, PyBytes_AS_STRING(out.get()), static_cast<Py_ssize_t>(size));
    if (got != Read::message) {
        out.reset();
        return got;
    }
    if (!call_method(s.sem.get(), names.release)) return Read::error;
    return Read::message;
}

// pickle.loads(data). A message that has been read is never lost to an
// interrupt that lands while it is unpickled: it is unpickled again, and the
// interrupt is delivered afterwards.
Ref unpickle(PyObject* data) noexcept {
    Ref obj = call(layout().loads, data);
    if (obj || !PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return obj;
    SavedError interrupt;
    obj = call(layout().loads, data);
    if (!obj) {
        interrupt.chain_into_current();
        return {};
    }
    PyErr_SetInterrupt();
    return obj;
}

// The watch over the worker that answers on `qo`, set up between messages.
Watch watch_worker(const QueueState& qo) noexcept {
    Watch w;
    if (qo.watcher != getpid()) return w;
    Ref process = worker_of(qo);
    if (!process) return w;
    Ref pid = Ref::steal(PyObject_GetAttr(process.get(), names.pid));
    Ref sentinel = pid ? Ref::steal(PyObject_GetAttr(process.get(), names.sentinel)) : Ref();
    const long pid_value = pid ? PyLong_AsLong(pid.get()) : -1;
    const long fd = sentinel ? PyLong_AsLong(sentinel.get()) : -1;
    if (PyErr_Occurred()) PyErr_Clear(); // not started, or closed: nothing to watch
    if (pid_value <= 0) return w;
    w.kind = Watch::Kind::child;
    w.process = std::move(process);
    w.pid = static_cast<pid_t>(pid_value);
    w.sentinel = fd >= 0 && fd <= INT32_MAX ? static_cast<int>(fd) : -1;
    return w;
}

[[gnu::cold]] void raise_worker_gone(PyObject* process, Py_ssize_t position) noexcept {
    Ref pid = Ref::steal(PyObject_GetAttr(process, names.pid));
    Ref code = pid ? Ref::steal(PyObject_GetAttr(process, names.exitcode)) : Ref();
    if (!code) return;
    if (position >= 0)
        PyErr_Format(PyExc_RuntimeError,
                     "worker process %R ended (exit code %R) without answering job %zd", pid.get(),
                     code.get(), position);
    else
        PyErr_Format(PyExc_RuntimeError,
                     "worker process %R ended (exit code %R) without answering the job", pid.get(),
                     code.get());
}

[[gnu::cold]] void raise_cut_off() noexcept {
    PyErr_SetString(PyExc_RuntimeError,
                    "a message on this queue was cut off by a writer that ended");
}

// The public path of an answer: get(True, 0.2) and a look at the worker
// between tries.
Ref receive_answer_public(PyObject* qo, QueueState& s, Py_ssize_t position) noexcept {
    Watch w = watch_worker(s);
    if (w.kind != Watch::Kind::child) return call_method(qo, names.get);
    PyObject* empty = process_state.stdlib.queue_empty;
    for (;;) {
        Ref item = call_method(qo, names.get, Py_True, process_state.answer_poll);
        if (item || !PyErr_ExceptionMatches(empty)) return item;
        PyErr_Clear();
        const int dead = ended(w);
        if (dead < 0) {
            // Not ours to ask (another process started it): wait as before.
            PyErr_Clear();
            return call_method(qo, names.get);
        }
        if (!dead) continue;
        // Dead: take an answer that arrived after the last look, if any.
        item = call_method(qo, names.get, Py_False);
        if (item || !PyErr_ExceptionMatches(empty)) return item;
        PyErr_Clear();
        release_feeders(s);
        raise_worker_gone(w.process.get(), position);
        return {};
    }
}

} // namespace

// --- the interface -------------------------------------------------------------

int state_of(PyObject* queue, QueueState*& state) noexcept {
    state = nullptr;
    if (!load_stdlib()) return -1;
    if (!PyObject_TypeCheck(queue,
                            reinterpret_cast<PyTypeObject*>(process_state.stdlib.queue_type.get())))
        return 0;
    PyObject* found = nullptr;
    const int has = compat::get_optional_attr(queue, names.queue_state_attribute, &found);
    Ref capsule = Ref::steal(found);
    if (has < 0) return -1;
    if (capsule && PyCapsule_IsValid(capsule.get(), capsule_name)) {
        state = static_cast<QueueState*>(PyCapsule_GetPointer(capsule.get(), capsule_name));
        return 1;
    }
    const int direct = direct_path_known();
    if (direct < 0) return -1;
    auto* made = new (std::nothrow) QueueState();
    if (!made) {
        PyErr_NoMemory();
        return -1;
    }
    capsule = Ref::steal(PyCapsule_New(made, capsule_name, destroy_state));
    if (!capsule) {
        delete made;
        return -1;
    }
    made->direct = direct == 1 && prepare_direct(queue, *made);
    if (PyErr_Occurred()) PyErr_Clear(); // an odd instance takes the public path
    if (PyObject_SetAttr(queue, names.queue_state_attribute, capsule.get()) < 0) return -1;
    state = made;
    return 1;
}

int attach_worker(PyObject* qo, PyObject* qi, PyObject* process) noexcept {
    QueueState* s = nullptr;
    const int found = state_of(qo, s);
    if (found <= 0) return found;
    if (!PyObject_TypeCheck(
            process, reinterpret_cast<PyTypeObject*>(process_state.stdlib.process_type.get())))
        return 0;
    s->worker = Ref::steal(PyWeakref_NewRef(process, nullptr));
    if (!s->worker) return -1;
    s->jobs = Ref::steal(PyWeakref_NewRef(qi, nullptr));
    if (!s->jobs) PyErr_Clear(); // an input queue that takes no weak reference
    s->watcher = getpid();
    return 0;
}

Ref worker_of(const QueueState& qo) noexcept {
    if (!qo.worker) return {};
    PyObject* process = nullptr;
    if (compat::weakref_target(qo.worker.get(), &process) < 0) PyErr_Clear();
    return Ref::steal(process);
}

void release_feeders(QueueState& qo) noexcept {
    SavedError error;
    PyObject* qi = nullptr;
    if (qo.jobs && compat::weakref_target(qo.jobs.get(), &qi) > 0) {
        Ref input = Ref::steal(qi);
        if (PyObject_TypeCheck(input.get(), reinterpret_cast<PyTypeObject*>(
                                                process_state.stdlib.queue_type.get())))
            call_method(input.get(), names.cancel_join_thread);
    }
    PyErr_Clear();
    error.restore();
}

bool owes_answers(const QueueState& qo) noexcept {
    return qo.owes;
}

void set_owes_answers(QueueState& qo, bool owed) noexcept {
    qo.owes = owed;
}

int send(PyObject* queue, QueueState* state, PyObject* message, Kind kind) noexcept {
    if (!state) return call_method(queue, names.put, message) ? 0 : -1;
    Ref data = pickle_or_stand_in(message, kind);
    if (!data) return -1;
    if (state->direct) {
        const int written = write_direct(queue, *state, data.get());
        if (written != 0) return written < 0 ? -1 : 0;
    }
    return put_pickled(queue, *state, data.get());
}

JobReceipt receive_job(PyObject* qi, QueueState* state, PyObject* timeout, pid_t parent) noexcept {
    if (!state || !state->direct) {
        PyObject* args[] = {qi, timeout};
        Ref job = Ref::steal(PyObject_VectorcallMethod(
            names.get, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, process_state.timeout_kwnames));
        if (job) return {Taken::job, std::move(job)};
        // Through `get` it cannot be told whether the error came before or
        // after a job was taken: the worker's handlers sort it out, queue.Empty
        // included.
        return {Taken::unreadable, {}};
    }
    const double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred()) return {Taken::interrupted, {}};
    Watch w;
    w.kind = Watch::Kind::parent;
    w.pid = parent;
    Ref data;
    switch (read_message(*state, seconds, w, data)) {
    case Read::message:
        break;
    case Read::timeout:
        return {Taken::nothing, {}};
    case Read::gone: // the caller ended in the middle of a job: nobody waits for it
        PyErr_Clear();
        return {Taken::nothing, {}};
    case Read::error:
        return {Taken::interrupted, {}};
    }
    Ref job = unpickle(data.get());
    if (!job) return {Taken::unreadable, {}};
    return {Taken::job, std::move(job)};
}

Ref receive_answer(PyObject* qo, QueueState* state, Py_ssize_t position) noexcept {
    if (!state) return call_method(qo, names.get);
    if (!state->direct) return receive_answer_public(qo, *state, position);
    Watch w = watch_worker(*state);
    Ref data;
    switch (read_message(*state, -1, w, data)) {
    case Read::message:
        return unpickle(data.get());
    case Read::timeout: // no time limit was set
    case Read::error:
        return {};
    case Read::gone:
        break;
    }
    if (w.kind != Watch::Kind::child) {
        raise_cut_off();
        return {};
    }
    release_feeders(*state);
    raise_worker_gone(w.process.get(), position);
    return {};
}

int drain(QueueState* state) noexcept {
    if (!state || !state->direct) return 0;
    Watch w = watch_worker(*state);
    for (;;) {
        pollfd fd{state->reader_fd, POLLIN, 0};
        if (poll(&fd, 1, 0) <= 0) return 1;
        Ref data;
        switch (read_message(*state, 0, w, data)) {
        case Read::message:
            if (!unpickle(data.get())) return -1;
            continue;
        case Read::timeout: // another reader took it
            return 1;
        case Read::gone:
            if (w.kind == Watch::Kind::child) {
                release_feeders(*state);
                raise_worker_gone(w.process.get(), -1);
            } else {
                raise_cut_off();
            }
            return -1;
        case Read::error:
            return -1;
        }
    }
}

} // namespace vantrel::mp_queue
