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
//  3. `put` appends to `_buffer` under `_notempty` (a threading.Condition:
//     its `_lock`, and `notify` releases the first lock of `_waiters` and
//     removes it) and starts the feeder thread (`_thread`) at the first put.
//     The feeder pops from `_buffer`, pickles, and sends under `_wlock`; it
//     waits on `_notempty` (and is then
//     listed in `_notempty._waiters`) only when it found `_buffer` empty,
//     after everything it popped has been sent.
//  4. After a fork, `_notempty` is the same Condition (re-initialised) while
//     `_buffer` and `_thread` are new objects.
//  5. ForkingPickler pickles with the default protocol and keeps the reducers
//     registered with it in `_extra_reducers`.
// The facts are checked once per process, at the first queue met (the names
// the queue's methods use, the parameters of its feeder, the message format
// of Connection, the pickle of a short str). A queue that is not exactly
// multiprocessing.queues.Queue, or a Python on which the facts do not hold,
// takes the public path: messages are pickled here and handed to `put` as
// `vantrel._control.Pickled`, and read with `get`; a RuntimeWarning says so
// once when the facts do not hold.
//
// Whether the feeder holds anything is read under the interpreter lock, which
// is not let go until `_wlock` is held: the feeder takes a new message only
// after a `put`, and a `put` needs the interpreter lock.
#include "mp_queue.hpp"
#include "answer.hpp"
#include "call.hpp"
#include "module.hpp"
#include "stand_in.hpp"
#include "state.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
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
    int sentinel = -1;    // readable once the worker has ended
    pid_t put_by = 0;     // the process in which vantrel last handed a message to `put`
    bool owes = false;    // see owes_answers()
    bool cut_off = false; // a writer ended in the middle of a message
    // Bytes read from the pipe ahead of the messages taken so far. Only a
    // worker's wait for jobs reads ahead: it is the only reader of its input
    // queue, and the queue's count of messages is released per message taken.
    char* ahead = nullptr;
    size_t ahead_start = 0;
    size_t ahead_end = 0;

    QueueState() = default;
    QueueState(const QueueState&) = delete;
    QueueState& operator=(const QueueState&) = delete;
    ~QueueState() { PyMem_RawFree(ahead); }
};

namespace {

constexpr const char* capsule_name = "vantrel.mp_queue.QueueState.v1";
constexpr int ms_per_second = 1000;
// Between two looks at a silent worker.
constexpr int watch_ms = static_cast<int>(answer_poll_seconds * ms_per_second);
constexpr Py_ssize_t short_header = 4;             // big-endian signed length
constexpr Py_ssize_t long_header = 12;             // -1, then a big-endian 8-byte length
constexpr std::uint64_t long_marker = 0xffffffffU; // the -1 of a long header
constexpr Py_ssize_t widest_short_message = 0x7fffffff;
constexpr size_t atomic_write = PIPE_BUF; // a write this small arrives whole
constexpr unsigned bits_per_byte = 8;

enum class Read { message, timeout, gone, error };

// Lengths in a message's header are big-endian; those inside a pickle are
// little-endian.
enum class Order { big_endian, little_endian };

// The unsigned integer in the `count` bytes at `bytes`.
std::uint64_t read_uint(const unsigned char* bytes, Py_ssize_t count, Order order) noexcept {
    std::uint64_t value = 0;
    for (Py_ssize_t i = 0; i < count; ++i)
        value = (value << bits_per_byte) | bytes[order == Order::big_endian ? i : count - 1 - i];
    return value;
}

// `value` as `count` bytes at `into`; returns the end of what it wrote.
unsigned char* write_uint(std::uint64_t value, unsigned char* into, Py_ssize_t count,
                          Order order) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i) {
        into[order == Order::little_endian ? i : count - 1 - i] = static_cast<unsigned char>(value);
        value >>= bits_per_byte;
    }
    return into + count;
}

// Whether `fd` can be read without waiting.
bool readable_now(int fd) noexcept {
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, 0) > 0;
}

QueueLayout& layout() noexcept {
    return process_state.queue_layout;
}

double monotonic() noexcept {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    constexpr double nanoseconds = 1e9;
    return static_cast<double>(t.tv_sec) + (static_cast<double>(t.tv_nsec) / nanoseconds);
}

PyTypeObject* as_type(PyObject* o) noexcept {
    return reinterpret_cast<PyTypeObject*>(o);
}

// --- the facts, checked once -------------------------------------------------

// Whether every name of `wanted` is among `function.__code__.<field>`.
bool code_mentions(PyObject* function, const char* field,
                   std::initializer_list<const char*> wanted) noexcept {
    Ref code = Ref::steal(PyObject_GetAttrString(function, "__code__"));
    Ref listed = code ? Ref::steal(PyObject_GetAttrString(code.get(), field)) : Ref();
    if (!listed || !PyTuple_Check(listed.get())) return false;
    for (const char* name : wanted) {
        Ref text = Ref::steal(PyUnicode_FromString(name));
        if (!text || PySequence_Contains(listed.get(), text.get()) != 1) return false;
    }
    return true;
}

// The plain function behind attribute `name` of class `cls`.
Ref class_function(PyObject* cls, const char* name) noexcept {
    Ref attr = Ref::steal(PyObject_GetAttrString(cls, name));
    return attr && PyFunction_Check(attr.get()) ? attr : Ref();
}

// --- pickles read and written here ------------------------------------------------

// What this file writes or recognises of the default pickle protocol.
namespace opcode {
constexpr unsigned char proto = 0x80, empty_list = ']', mark = '(', short_text = 0x8c, text = 'X',
                        empty_dict = '}', appends = 'e', stop = '.', frame = 0x95, memoize = 0x94,
                        bytes = 'B';
}
constexpr unsigned char protocol = 4;
constexpr Py_ssize_t frame_length = 8;    // FRAME's length of what follows
constexpr Py_ssize_t str_framing = 11;    // PROTO 4, FRAME and its length
constexpr Py_ssize_t short_text_head = 2; // SHORT_BINUNICODE and a 1-byte length
constexpr Py_ssize_t long_length = 4;     // the length of BINUNICODE and BINBYTES
constexpr Py_ssize_t long_head = 1 + long_length;
constexpr Py_ssize_t str_around_text = short_text_head + 2; // and MEMOIZE, STOP
constexpr Py_ssize_t longest_short_text = 0xff;
constexpr Py_ssize_t longest_text = 0xffffffff;

// A str of fewer than 256 UTF-8 bytes as the default protocol pickles it:
// PROTO 4, FRAME, SHORT_BINUNICODE, MEMOIZE, STOP. Null (no error) for
// anything else.
Ref pickle_short_str(PyObject* obj) noexcept {
    if (!PyUnicode_CheckExact(obj)) return {};
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!text) {
        PyErr_Clear(); // lone surrogates: the pickler knows what to do
        return {};
    }
    if (size > longest_short_text) return {};
    Ref data = Ref::steal(PyBytes_FromStringAndSize(nullptr, str_framing + str_around_text + size));
    if (!data) return {};
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(data.get()));
    const std::uint64_t frame_size = static_cast<std::uint64_t>(size) + str_around_text;
    *out++ = opcode::proto;
    *out++ = protocol;
    *out++ = opcode::frame;
    out = write_uint(frame_size, out, frame_length, Order::little_endian);
    *out++ = opcode::short_text;
    *out++ = static_cast<unsigned char>(size);
    std::memcpy(out, text, static_cast<size_t>(size));
    out += size;
    *out++ = opcode::memoize;
    *out = opcode::stop;
    return data;
}

// What a large vantrel._control.Pickled looks like once the feeder has
// pickled it: a fixed prefix, BINBYTES and the bytes, a fixed suffix. Learnt
// from a sample, so that a reader can unpickle the bytes inside in place
// instead of making a copy of them first.
bool learn_wrapper_frame() noexcept {
    QueueLayout& l = layout();
    constexpr Py_ssize_t sample_size = Py_ssize_t{128} * 1024; // beyond one pickle frame
    Ref payload = Ref::steal(PyBytes_FromStringAndSize(nullptr, sample_size));
    if (!payload) return false;
    std::memset(PyBytes_AS_STRING(payload.get()), 'v', sample_size);
    Ref wrapped = call(l.pickled, payload.get());
    Ref view = wrapped
                   ? Ref::steal(PyObject_CallMethod(l.pickler_class, "dumps", "O", wrapped.get()))
                   : Ref();
    Ref whole = view ? Ref::steal(PyBytes_FromObject(view.get())) : Ref();
    if (!whole) return false;
    const char* at = PyBytes_AS_STRING(whole.get());
    const Py_ssize_t size = PyBytes_GET_SIZE(whole.get());
    constexpr size_t probe = 64; // enough of the sample's bytes to find them
    const char* found = static_cast<const char*>(
        memmem(at, static_cast<size_t>(size), PyBytes_AS_STRING(payload.get()), probe));
    if (!found || found - at < long_head || found[-long_head] != opcode::bytes) return false;
    const Py_ssize_t prefix = (found - at) - long_head;
    const Py_ssize_t suffix = size - (found - at) - sample_size;
    if (suffix < 0) return false;
    l.wrapper_prefix.reset(Ref::steal(PyBytes_FromStringAndSize(at, prefix)));
    l.wrapper_suffix.reset(Ref::steal(PyBytes_FromStringAndSize(at + size - suffix, suffix)));
    return l.wrapper_prefix.get() != nullptr && l.wrapper_suffix.get() != nullptr;
}

bool facts_hold() noexcept {
    QueueLayout& l = layout();
    PyObject* queue_type = process_state.stdlib.queue_type;
    Ref put = class_function(queue_type, "put");
    Ref get = class_function(queue_type, "get");
    Ref reset = class_function(queue_type, "_reset");
    Ref feed = class_function(queue_type, "_feed");
    Ref connection = import_attribute("multiprocessing.connection", "Connection");
    Ref send_bytes = connection ? class_function(connection.get(), "_send_bytes") : Ref();
    Ref recv_bytes = connection ? class_function(connection.get(), "_recv_bytes") : Ref();
    Ref condition = import_attribute("threading", "Condition");
    Ref notify = condition ? class_function(condition.get(), "notify") : Ref();
    Ref probe = condition ? Ref::steal(PyObject_CallNoArgs(condition.get())) : Ref();
    Ref waiters = probe ? Ref::steal(PyObject_GetAttr(probe.get(), layout().waiters_name)) : Ref();
    Ref deque = import_attribute("collections", "deque");
    if (!put || !get || !reset || !feed || !notify || !send_bytes || !recv_bytes || !waiters ||
        !deque || !PyType_Check(connection.get()) || !PyType_Check(condition.get()) ||
        !PyType_Check(deque.get()) || Py_TYPE(waiters.get()) != as_type(deque.get()))
        return false;
    // The default protocol pickles a short str the way pickle_short_str does.
    Ref sample = Ref::steal(PyUnicode_FromString("pass"));
    Ref expected = sample ? pickle_short_str(sample.get()) : Ref();
    Ref view = sample ? Ref::steal(PyObject_CallMethod(l.pickler_class, "dumps", "O", sample.get()))
                      : Ref();
    Ref made = view ? Ref::steal(PyBytes_FromObject(view.get())) : Ref();
    if (!expected || !made) return false;
    const bool same_pickle = PyObject_RichCompareBool(expected.get(), made.get(), Py_EQ) == 1;
    const bool held =
        same_pickle &&
        code_mentions(put.get(), "co_names",
                      {"_sem", "_notempty", "_thread", "_start_thread", "_buffer", "append"}) &&
        code_mentions(get.get(), "co_names", {"_rlock", "_recv_bytes", "_sem", "_poll"}) &&
        code_mentions(reset.get(), "co_names", {"_notempty", "_buffer", "_thread"}) &&
        code_mentions(feed.get(), "co_varnames",
                      {"buffer", "notempty", "send_bytes", "writelock", "queue_sem"}) &&
        code_mentions(feed.get(), "co_names", {"popleft", "wait", "dumps"}) &&
        code_mentions(notify.get(), "co_names", {"_waiters", "release", "remove"}) &&
        code_mentions(send_bytes.get(), "co_consts", {"!i", "!Q"}) &&
        code_mentions(recv_bytes.get(), "co_consts", {"!i", "!Q"});
    if (!held) return false;
    l.connection_type.reset(connection);
    l.condition_type.reset(condition);
    return learn_wrapper_frame();
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

// Whether queues of the checked layout take the direct path in this process;
// what sending and receiving need is loaded on the way. -1 on error.
int direct_path_known() noexcept {
    QueueLayout& l = layout();
    if (l.known >= 0) return l.known;
    l.buffer_name.reset(Ref::steal(PyUnicode_InternFromString("_buffer")));
    l.thread_name.reset(Ref::steal(PyUnicode_InternFromString("_thread")));
    l.waiters_name.reset(Ref::steal(PyUnicode_InternFromString("_waiters")));
    if (!l.buffer_name || !l.thread_name || !l.waiters_name) return -1;
    Ref control = import_module("vantrel._control");
    if (!control) return -1;
    Ref enabled = Ref::steal(PyObject_GetAttrString(control.get(), "queue_fast_path"));
    l.pickled.reset(Ref::steal(PyObject_GetAttrString(control.get(), "Pickled")));
    l.deferring_put.reset(
        Ref::steal(PyObject_GetAttrString(control.get(), "put_deferring_interrupts")));
    l.loads.reset(import_attribute("pickle", "loads"));
    // ForkingPickler, or its subclass that sends an interactive __main__'s classes by value.
    Ref pickler = Ref::steal(PyObject_CallMethod(control.get(), "message_pickler", nullptr));
    l.pickler_class.reset(pickler);
    l.extra_reducers.reset(
        pickler ? Ref::steal(PyObject_GetAttrString(pickler.get(), "_extra_reducers")) : Ref());
    l.page_size = sysconf(_SC_PAGESIZE);
    if (!enabled || !l.pickled || !l.deferring_put || !l.loads || !l.pickler_class ||
        !l.extra_reducers)
        return -1;
    if (l.page_size <= 0 || !PyDict_Check(l.extra_reducers.get())) {
        PyErr_SetString(PyExc_RuntimeError, "vantrel cannot tell how messages are pickled");
        return -1;
    }
    const int wanted = PyObject_IsTrue(enabled.get());
    if (wanted < 0) return -1;
    const bool held = wanted != 0 && facts_hold();
    if (PyErr_Occurred()) PyErr_Clear(); // a fact that cannot be read does not hold
    l.own_pickles = held;
    l.known = held ? 1 : 0;
    if (wanted != 0 && !held && warn_public_path() < 0) return -1;
    return l.known;
}

// --- the state kept on each queue --------------------------------------------

void destroy_state(PyObject* capsule) noexcept {
    delete static_cast<QueueState*>(PyCapsule_GetPointer(capsule, capsule_name));
}

// A file descriptor held by a Python int, or -1.
int as_fd(PyObject* number) noexcept {
    const long value = number ? PyLong_AsLong(number) : -1;
    if (value < 0 || value > INT32_MAX) {
        PyErr_Clear();
        return -1;
    }
    return static_cast<int>(value);
}

// Fills what the direct path needs; false (no error) when this queue cannot
// take it.
bool prepare_direct(PyObject* queue, QueueState& s) noexcept {
    const QueueLayout& l = layout();
    if (Py_TYPE(queue) != as_type(process_state.stdlib.queue_type)) return false;
    Ref reader = Ref::steal(PyObject_GetAttrString(queue, "_reader"));
    Ref writer = Ref::steal(PyObject_GetAttrString(queue, "_writer"));
    Ref notempty = Ref::steal(PyObject_GetAttrString(queue, "_notempty"));
    s.rlock = Ref::steal(PyObject_GetAttrString(queue, "_rlock"));
    s.wlock = Ref::steal(PyObject_GetAttrString(queue, "_wlock"));
    s.sem = Ref::steal(PyObject_GetAttrString(queue, "_sem"));
    if (!reader || !writer || !notempty || !s.rlock || !s.wlock || !s.sem ||
        Py_TYPE(reader.get()) != as_type(l.connection_type) ||
        Py_TYPE(writer.get()) != as_type(l.connection_type) ||
        Py_TYPE(notempty.get()) != as_type(l.condition_type))
        return false;
    s.waiters = Ref::steal(PyObject_GetAttr(notempty.get(), layout().waiters_name));
    s.notempty_lock = Ref::steal(PyObject_GetAttrString(notempty.get(), "_lock"));
    s.reader_fd = as_fd(call_method(reader.get(), names.fileno).get());
    s.writer_fd = as_fd(call_method(writer.get(), names.fileno).get());
    const int capacity = s.writer_fd >= 0 ? fcntl(s.writer_fd, F_GETPIPE_SZ) : -1;
    if (!s.waiters || !s.notempty_lock || s.reader_fd < 0 || capacity <= 0) return false;
    s.pipe_pages = capacity / l.page_size;
    return true;
}

// --- small tools ---------------------------------------------------------------

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
        SavedError error;
        if (!call_method(lock_, names.release)) PyErr_WriteUnraisable(lock_);
        error.restore();
    }

  private:
    PyObject* lock_;
};

// --- the commonest messages, without the pickler ------------------------------------
// An answer with no values is written in the default protocol's own opcodes
// (PROTO 4, EMPTY_LIST, MARK, three texts, EMPTY_DICT, APPENDS, STOP), which
// pickle.loads reads like any message. It and the short str of
// pickle_short_str are recognised on arrival and need no unpickler either.

constexpr Py_ssize_t answer_opening = 4; // PROTO 4, EMPTY_LIST, MARK
constexpr Py_ssize_t answer_closing = 3; // EMPTY_DICT, APPENDS, STOP

constexpr Py_ssize_t answer_texts = 3;

Ref pickle_plain_answer(PyObject* obj) noexcept {
    if (!PyList_CheckExact(obj) || PyList_GET_SIZE(obj) != answer::item::count) return {};
    PyObject* values = PyList_GET_ITEM(obj, answer::item::values);
    if (!PyDict_CheckExact(values) || PyDict_GET_SIZE(values) != 0) return {};
    const char* texts[answer_texts];
    Py_ssize_t sizes[answer_texts];
    Py_ssize_t total = answer_opening + answer_closing;
    for (Py_ssize_t i = 0; i < answer_texts; ++i) {
        PyObject* item = PyList_GET_ITEM(obj, i);
        if (!PyUnicode_CheckExact(item)) return {};
        texts[i] = PyUnicode_AsUTF8AndSize(item, &sizes[i]);
        if (!texts[i]) {
            PyErr_Clear(); // lone surrogates: the pickler knows what to do
            return {};
        }
        if (sizes[i] > longest_text) return {};
        total += sizes[i] + (sizes[i] <= longest_short_text ? short_text_head : long_head);
    }
    Ref data = Ref::steal(PyBytes_FromStringAndSize(nullptr, total));
    if (!data) return {};
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(data.get()));
    *out++ = opcode::proto;
    *out++ = protocol;
    *out++ = opcode::empty_list;
    *out++ = opcode::mark;
    for (Py_ssize_t i = 0; i < answer_texts; ++i) {
        const auto size = static_cast<std::uint64_t>(sizes[i]);
        if (sizes[i] <= longest_short_text) {
            *out++ = opcode::short_text;
            *out++ = static_cast<unsigned char>(size);
        } else {
            *out++ = opcode::text;
            out = write_uint(size, out, long_length, Order::little_endian);
        }
        std::memcpy(out, texts[i], static_cast<size_t>(size));
        out += size;
    }
    *out++ = opcode::empty_dict;
    *out++ = opcode::appends;
    *out = opcode::stop;
    return data;
}

// Reads one text of a plain answer at `*at` (advanced past it); null when
// the bytes are not one.
Ref read_text(const unsigned char*& at, const unsigned char* end) noexcept {
    std::uint64_t size = 0;
    if (at < end && *at == opcode::short_text && end - at >= short_text_head) {
        size = at[1];
        at += short_text_head;
    } else if (at < end && *at == opcode::text && end - at >= long_head) {
        size = read_uint(at + 1, long_length, Order::little_endian);
        at += long_head;
    } else {
        return {};
    }
    if (size > static_cast<std::uint64_t>(end - at)) return {};
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(at),
                                               static_cast<Py_ssize_t>(size), nullptr));
    if (!text) PyErr_Clear(); // let pickle.loads say what is wrong
    at += size;
    return text;
}

// A message of one of the two shapes above, decoded without an unpickler;
// null (no error) for any other message.
Ref unpickle_known(PyObject* data) noexcept {
    const auto* at = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data));
    const unsigned char* end = at + PyBytes_GET_SIZE(data);
    if (end - at >= str_framing + str_around_text && at[0] == opcode::proto && at[1] == protocol &&
        at[2] == opcode::frame) {
        const unsigned char* text = at + str_framing;
        Ref str = read_text(text, end - 2);
        if (str && text == end - 2 && end[-2] == opcode::memoize && end[-1] == opcode::stop)
            return str;
        return {};
    }
    if (end - at < answer_opening + answer_closing || at[0] != opcode::proto || at[1] != protocol ||
        at[2] != opcode::empty_list || at[3] != opcode::mark || end[-3] != opcode::empty_dict ||
        end[-2] != opcode::appends || end[-1] != opcode::stop)
        return {};
    at += answer_opening;
    Ref list = Ref::steal(PyList_New(answer::item::count));
    if (!list) {
        PyErr_Clear();
        return {};
    }
    for (Py_ssize_t i = 0; i < answer_texts; ++i) {
        Ref text = read_text(at, end - answer_closing);
        if (!text) return {};
        PyList_SET_ITEM(list.get(), i, text.release());
    }
    Ref values = at == end - answer_closing ? Ref::steal(PyDict_New()) : Ref();
    if (!values) {
        PyErr_Clear();
        return {};
    }
    PyList_SET_ITEM(list.get(), answer::item::values, values.release());
    return list;
}

// --- pickling now ------------------------------------------------------------------

// The bytes that multiprocessing would send for `obj`. A pickler is reused
// while the reducers registered with ForkingPickler stay the same; while it
// is in use (pickling ran code that sends again) another one is made.
Ref pickle_now(PyObject* obj) noexcept {
    QueueLayout& l = layout();
    if (l.own_pickles) {
        Ref quick = PyUnicode_CheckExact(obj) ? pickle_short_str(obj) : pickle_plain_answer(obj);
        if (quick || PyErr_Occurred()) return quick;
    }
    if (l.pickler_busy) {
        Ref view = Ref::steal(PyObject_CallMethod(l.pickler_class, "dumps", "O", obj));
        return view ? Ref::steal(PyBytes_FromObject(view.get())) : Ref();
    }
    const Py_ssize_t reducers = PyDict_GET_SIZE(l.extra_reducers.get());
    if (!l.pickler || reducers != l.reducers_seen) {
        Ref bytes_io = import_attribute("io", "BytesIO");
        Ref file = bytes_io ? Ref::steal(PyObject_CallNoArgs(bytes_io.get())) : Ref();
        Ref pickler = file ? call(l.pickler_class, file.get()) : Ref();
        Ref start = Ref::steal(PyLong_FromLong(0));
        if (!pickler || !start) return {};
        l.pickle_file.reset(file);
        l.pickler.reset(pickler);
        l.file_start.reset(start);
        l.reducers_seen = reducers;
    }
    PyObject* file = l.pickle_file;
    l.pickler_busy = true;
    const bool dumped = call_method(file, names.seek, l.file_start) &&
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
    // The file keeps its buffer: not the one of a large message.
    constexpr Py_ssize_t largest_kept = Py_ssize_t{1024} * 1024;
    if (data && PyBytes_GET_SIZE(data.get()) > largest_kept) l.pickler.reset();
    return data;
}

// `message` pickled, or its stand-in pickled. Whatever pickling raises, a
// BaseException from a __reduce__ included, the message is answered
// "EXCEPTION" in its own place.
Ref pickle_or_stand_in(PyObject* message, Kind kind) noexcept {
    Ref data = pickle_now(message);
    if (data) return data;
    SavedError error;
    Ref stand_in = kind == Kind::job ? stand_in::unsent_job(error.get())
                                     : stand_in::unsendable_answer(message, error.get());
    if (stand_in) data = pickle_now(stand_in.get());
    if (!data) error.chain_into_current();
    return data;
}

// pickle.loads(data). A message that has been read is never lost to an
// interrupt that lands while it is unpickled: it is unpickled again, and the
// interrupt is delivered afterwards.
// The bytes inside a large Pickled as it arrives, as a view: null (no error)
// for any other message.
Ref wrapped_bytes(PyObject* data) noexcept {
    const QueueLayout& l = layout();
    if (!l.wrapper_prefix) return {};
    const Py_ssize_t prefix = PyBytes_GET_SIZE(l.wrapper_prefix.get());
    const Py_ssize_t suffix = PyBytes_GET_SIZE(l.wrapper_suffix.get());
    const Py_ssize_t size = PyBytes_GET_SIZE(data);
    const char* at = PyBytes_AS_STRING(data);
    if (size < prefix + long_head + suffix || at[prefix] != opcode::bytes ||
        std::memcmp(at, PyBytes_AS_STRING(l.wrapper_prefix.get()), static_cast<size_t>(prefix)) !=
            0 ||
        std::memcmp(at + size - suffix, PyBytes_AS_STRING(l.wrapper_suffix.get()),
                    static_cast<size_t>(suffix)) != 0)
        return {};
    const std::uint64_t inner = read_uint(reinterpret_cast<const unsigned char*>(at + prefix + 1),
                                          long_length, Order::little_endian);
    if (inner != static_cast<std::uint64_t>(size - prefix - long_head - suffix)) return {};
    Ref view = Ref::steal(PyMemoryView_FromObject(data));
    Ref start = view ? Ref::steal(PyLong_FromSsize_t(prefix + long_head)) : Ref();
    Ref stop = start ? Ref::steal(PyLong_FromSsize_t(size - suffix)) : Ref();
    Ref range = stop ? Ref::steal(PySlice_New(start.get(), stop.get(), nullptr)) : Ref();
    Ref slice = range ? Ref::steal(PyObject_GetItem(view.get(), range.get())) : Ref();
    if (!slice) PyErr_Clear();
    return slice;
}

Ref unpickle(PyObject* data) noexcept {
    Ref inner;
    if (layout().own_pickles) {
        Ref known = unpickle_known(data);
        if (known) return known;
        // A large message that went through a feeder: the bytes inside, in place.
        inner = wrapped_bytes(data);
    }
    PyObject* source = inner ? inner.get() : data;
    Ref obj = call(layout().loads, source);
    if (obj || PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) == 0) return obj;
    SavedError interrupt;
    obj = call(layout().loads, source);
    if (!obj) {
        interrupt.chain_into_current();
        return {};
    }
    PyErr_SetInterrupt();
    return obj;
}

// --- writing --------------------------------------------------------------------

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

// The most messages one write carries (two parts each, within IOV_MAX).
constexpr Py_ssize_t batch_messages = 256;
// What one batch of messages may weigh before it is written.
constexpr Py_ssize_t batch_bytes = Py_ssize_t{32} * 1024;

// What became of messages offered to the pipe.
enum class Wrote {
    all,     // written
    no_room, // the pipe is too full now: later, or through `put`
    feeder,  // the queue's feeder holds messages, or they could never fit: `put`
    error,   // the error is set
};

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

// Writes the `count` messages of `messages` (bytes) in one go when that
// cannot wait: nothing handed to the feeder may be overtaken, and the pipe
// must have room for all of them.
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

// --- reading --------------------------------------------------------------------

// Whose end ends a wait, and how to tell.
struct Watch {
    enum class Kind { none, child, caller } kind = Kind::none;
    Ref process;                    // the worker (child): asked between messages
    int sentinel = -1;              // readable once the child or the caller has ended
    pid_t pid = 0;                  // the child
    const Caller* caller = nullptr; // the caller of this worker
};

// Whether the watched process has ended, asking the kernel only: no Python
// code runs, so no signal handler can interrupt a message half read.
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

// Reads `size` more bytes of a message. No signal is taken here: a message
// once started is finished, or found cut off because its writer ended. With
// `whole` the bytes are known to be in the pipe already.
Read read_rest(QueueState& s, const Watch& w, char* into, Py_ssize_t size, bool whole) noexcept {
    while (size > 0) {
        ssize_t got = 0;
        int error = 0;
        bool quiet = false;
        Py_BEGIN_ALLOW_THREADS for (;;) {
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
        Py_END_ALLOW_THREADS if (error != 0) return fail_with_errno(error);
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
        Py_BEGIN_ALLOW_THREADS r = poll(fds, count, wait_ms);
        Py_END_ALLOW_THREADS if (r < 0) {
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

// --- reading ahead (a worker's input queue) ----------------------------------------

constexpr size_t read_ahead_size = size_t{64} * 1024;

// Waits for the rest of a message under way: no interrupt is taken, and the
// only way out is its writer's end.
Read wait_quietly(QueueState& s, const Watch& w) noexcept {
    for (;;) {
        pollfd fd{s.reader_fd, POLLIN, 0};
        int r = 0;
        Py_BEGIN_ALLOW_THREADS do {
            r = poll(&fd, 1, watch_ms);
        }
        while (r < 0 && errno == EINTR)
            ;
        Py_END_ALLOW_THREADS if (r < 0) return fail_with_errno(errno);
        if (r > 0) return Read::message;
        if (ended_quietly(w)) {
            s.cut_off = true;
            return Read::gone;
        }
    }
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
    ssize_t got = 0;
    Py_BEGIN_ALLOW_THREADS do {
        got = read(s.reader_fd, s.ahead + s.ahead_end, read_ahead_size - s.ahead_end);
    }
    while (got < 0 && errno == EINTR)
        ;
    Py_END_ALLOW_THREADS if (got < 0) return fail_with_errno(errno);
    if (got == 0) {
        s.cut_off = true;
        PyErr_SetString(PyExc_EOFError, "the queue's pipe has no writer left");
        return Read::error;
    }
    s.ahead_end += static_cast<size_t>(got);
    return Read::message;
}

// Takes into `out` the message of `size` bytes whose header of `header`
// bytes heads the read-ahead buffer: what the buffer holds of it, and the
// rest straight from the pipe.
Read take_ahead_message(QueueState& s, const Watch& w, size_t header, std::uint64_t size,
                        Ref& out) noexcept {
    if (!make_message(s, size, out)) return Read::error;
    const size_t have = s.ahead_end - s.ahead_start;
    const size_t here = std::min(have - header, static_cast<size_t>(size));
    std::memcpy(PyBytes_AS_STRING(out.get()), s.ahead + s.ahead_start + header, here);
    s.ahead_start += header + here;
    if (here < size) {
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

// The next message of a worker's input queue, from the bytes read ahead and
// the pipe. A message larger than the buffer is read straight into its bytes.
Read read_ahead_message(QueueState& s, Watch& w, double timeout, Ref& out) noexcept {
    if (!s.ahead) {
        s.ahead = static_cast<char*>(PyMem_RawMalloc(read_ahead_size));
        if (!s.ahead) {
            PyErr_NoMemory();
            return Read::error;
        }
    }
    const double deadline = monotonic() + timeout;
    for (;;) {
        if (s.cut_off) return Read::gone;
        const size_t have = s.ahead_end - s.ahead_start;
        const auto* head = reinterpret_cast<const unsigned char*>(s.ahead + s.ahead_start);
        size_t header = 0;
        std::uint64_t size = 0;
        if (parse_header(head, have, header, size)) {
            if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) - header)
                return impossible_length(s);
            const auto whole = static_cast<size_t>(size) + header;
            if (have >= whole || whole > read_ahead_size)
                return take_ahead_message(s, w, header, size, out);
        }
        const Read got = fill_ahead(s, w, deadline, have == 0);
        if (got != Read::message) return got;
    }
}

// The watch over the worker that answers on `qo`, in the process that
// started it.
Watch watch_worker(const QueueState& qo) noexcept {
    Watch w;
    if (qo.watcher == 0 || qo.watcher != getpid()) return w;
    Ref process = worker_of(qo);
    if (!process) return w;
    w.kind = Watch::Kind::child;
    w.process = std::move(process);
    w.pid = qo.worker_pid;
    w.sentinel = qo.sentinel;
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
    const Watch w = watch_worker(s);
    if (w.kind != Watch::Kind::child) return call_method(qo, names.get);
    PyObject* empty = process_state.stdlib.queue_empty;
    for (;;) {
        Ref item = call_method(qo, names.get, Py_True, process_state.answer_poll);
        if (item || PyErr_ExceptionMatches(empty) == 0) return item;
        PyErr_Clear();
        const int dead = ended(w);
        if (dead < 0) {
            // Not ours to ask (another process started it): wait as before.
            PyErr_Clear();
            return call_method(qo, names.get);
        }
        if (dead == 0) continue;
        // Dead: take an answer that arrived after the last look, if any.
        item = call_method(qo, names.get, Py_False);
        if (item || PyErr_ExceptionMatches(empty) == 0) return item;
        PyErr_Clear();
        release_feeders(s);
        raise_worker_gone(w.process.get(), position);
        return {};
    }
}

// While jobs are held back for want of room, they go out as the workers make
// room, until an answer is there on `qo` or its worker has ended. -1 on error.
int send_held_jobs(Outbox& outbox, const QueueState& qo, Watch& w) noexcept {
    while (outbox.holding()) {
        if (PyErr_CheckSignals() < 0 || outbox.pump() < 0) return -1;
        if (!outbox.holding()) break;
        const int ready = outbox.wait(qo.reader_fd, w.sentinel, watch_ms);
        if (ready < 0) return -1;
        if (ready == 1) break;
        if (ready == 2 || w.kind == Watch::Kind::child) {
            const int dead = ended(w);
            if (dead < 0) return -1;
            if (dead != 0) break; // read_message tells the rest
            if (ready == 2) w.sentinel = -1;
        }
    }
    return 0;
}

} // namespace

// --- the interface -------------------------------------------------------------

int state_of(PyObject* queue, QueueState*& state) noexcept {
    state = nullptr;
    if (!load_stdlib()) return -1;
    if (!PyObject_TypeCheck(queue, as_type(process_state.stdlib.queue_type))) return 0;
    PyObject* found = nullptr;
    const int has = compat::get_optional_attr(queue, names.queue_state_attribute, &found);
    Ref capsule = Ref::steal(found);
    if (has < 0) return -1;
    if (capsule && PyCapsule_IsValid(capsule.get(), capsule_name) != 0) {
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
    if (!PyObject_TypeCheck(process, as_type(process_state.stdlib.process_type))) return 0;
    Ref pid = Ref::steal(PyObject_GetAttr(process, names.pid));
    Ref sentinel = pid ? Ref::steal(PyObject_GetAttr(process, names.sentinel)) : Ref();
    if (!sentinel) return -1;
    const long pid_value = PyLong_AsLong(pid.get());
    if (pid_value <= 0) return pid_value < 0 && PyErr_Occurred() ? -1 : 0;
    s->worker = Ref::steal(PyWeakref_NewRef(process, nullptr));
    if (!s->worker) return -1;
    s->jobs = Ref::steal(PyWeakref_NewRef(qi, nullptr));
    if (!s->jobs) PyErr_Clear(); // an input queue that takes no weak reference
    s->watcher = getpid();
    s->worker_pid = static_cast<pid_t>(pid_value);
    s->sentinel = as_fd(sentinel.get());
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
        if (PyObject_TypeCheck(input.get(), as_type(process_state.stdlib.queue_type)))
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
        PyObject* message_data = data.get();
        switch (write_direct(queue, *state, &message_data, 1)) {
        case Wrote::all:
            return 0;
        case Wrote::error:
            return -1;
        case Wrote::no_room:
        case Wrote::feeder:
            break;
        }
    }
    return put_pickled(queue, *state, data.get());
}

// --- batches -----------------------------------------------------------------------

struct Outbox::Lane {
    Ref queue;
    QueueState* state = nullptr;
    Ref pending;               // list of bytes, oldest first
    Py_ssize_t first = 0;      // the first message of `pending` not sent yet
    Py_ssize_t held_bytes = 0; // what the messages not sent yet weigh
    bool through_put = false;  // a message went to `put`: the later ones follow it
    bool stalled = false;      // the pipe had room for none of them at the last look

    Py_ssize_t held() const noexcept {
        return pending ? PyList_GET_SIZE(pending.get()) - first : 0;
    }
    void sent(Py_ssize_t count) noexcept {
        for (Py_ssize_t i = 0; i < count; ++i)
            held_bytes -= PyBytes_GET_SIZE(PyList_GET_ITEM(pending.get(), first + i));
        first += count;
        if (held() == 0) {
            pending.reset();
            first = 0;
            held_bytes = 0;
        }
    }
};

Outbox::Outbox(Py_ssize_t lanes) noexcept
    : lanes_(new (std::nothrow) Lane[static_cast<size_t>(lanes > 0 ? lanes : 1)]),
      count_(lanes > 0 ? lanes : 1) {}

Outbox::~Outbox() {
    delete[] lanes_;
}

int Outbox::add(Py_ssize_t lane, PyObject* queue, QueueState* state, PyObject* message,
                Kind kind) noexcept {
    if (!lanes_) {
        PyErr_NoMemory();
        return -1;
    }
    Lane& l = lanes_[lane % count_];
    if (l.held() > 0 && l.queue.get() != queue && send_all(l) < 0) return -1;
    if (!state || !state->direct) return send(queue, state, message, kind);
    Ref data = pickle_or_stand_in(message, kind);
    if (!data) return -1;
    if (l.queue.get() != queue) {
        l.queue = Ref::borrow(queue);
        l.state = state;
        l.through_put = false;
    }
    if (l.through_put) return put_pickled(queue, *state, data.get());
    if (!l.pending) {
        l.pending = Ref::steal(PyList_New(0));
        if (!l.pending) return -1;
    }
    if (PyList_Append(l.pending.get(), data.get()) < 0) return -1;
    l.held_bytes += PyBytes_GET_SIZE(data.get());
    return l.held() >= batch_messages || l.held_bytes >= batch_bytes ? pump(l) : 0;
}

// Writes as many of a lane's messages as the pipe takes now, in their
// order. Once one must go through `put` (the feeder holds messages, or it
// could never fit), all the lane's messages go that way.
int Outbox::pump(Lane& l) noexcept {
    l.stalled = false;
    while (l.held() > 0 && !l.through_put) {
        PyObject** next = &PySequence_Fast_ITEMS(l.pending.get())[l.first];
        const Py_ssize_t batch = std::min(l.held(), batch_messages);
        Wrote wrote = write_direct(l.queue.get(), *l.state, next, batch);
        Py_ssize_t written = batch;
        if (wrote == Wrote::no_room && batch > 1) {
            wrote = write_direct(l.queue.get(), *l.state, next, 1);
            written = 1;
        }
        switch (wrote) {
        case Wrote::all:
            l.sent(written);
            break;
        case Wrote::no_room:
            l.stalled = true;
            return 0;
        case Wrote::feeder:
            l.through_put = true;
            break;
        case Wrote::error:
            return -1;
        }
    }
    return put_rest(l);
}

// Hands the lane's messages to `put` once it goes that way.
int Outbox::put_rest(Lane& l) noexcept {
    while (l.through_put && l.held() > 0) {
        if (put_pickled(l.queue.get(), *l.state, PyList_GET_ITEM(l.pending.get(), l.first)) < 0)
            return -1;
        l.sent(1);
    }
    return 0;
}

// A lane's messages, all of them now: directly while they fit, then through
// `put`.
int Outbox::send_all(Lane& l) noexcept {
    if (pump(l) < 0) return -1;
    l.through_put = l.through_put || l.held() > 0;
    return put_rest(l);
}

int Outbox::pump() noexcept {
    for (Py_ssize_t i = 0; lanes_ && i < count_; ++i)
        if (pump(lanes_[i]) < 0) return -1;
    return 0;
}

int Outbox::send_all() noexcept {
    for (Py_ssize_t i = 0; lanes_ && i < count_; ++i)
        if (send_all(lanes_[i]) < 0) return -1;
    return 0;
}

bool Outbox::holding() const noexcept {
    for (Py_ssize_t i = 0; lanes_ && i < count_; ++i)
        if (lanes_[i].held() > 0) return true;
    return false;
}

// Waits until `reader_fd` (or `sentinel`) is readable or a stalled lane's
// pipe has room, at most `timeout_ms`; 1 readable, 2 sentinel, 0 otherwise.
int Outbox::wait(int reader_fd, int sentinel, int timeout_ms) noexcept {
    constexpr size_t most_fds = 64;
    pollfd fds[most_fds];
    nfds_t count = 0;
    fds[count++] = {reader_fd, POLLIN, 0};
    if (sentinel >= 0) fds[count++] = {sentinel, POLLIN, 0};
    const nfds_t first_lane = count;
    bool retry_soon = false;
    for (Py_ssize_t i = 0; i < count_ && count < most_fds; ++i) {
        const Lane& l = lanes_[i];
        if (l.held() == 0) continue;
        // A lane whose pipe had room, but not enough, is looked at again
        // shortly instead of being woken at once.
        if (!l.stalled)
            retry_soon = true;
        else
            fds[count++] = {l.state->writer_fd, POLLOUT, 0};
    }
    constexpr int soon_ms = 1;
    if (retry_soon || count == most_fds) timeout_ms = std::min(timeout_ms, soon_ms);
    int r = 0;
    Py_BEGIN_ALLOW_THREADS r = poll(fds, count, timeout_ms);
    Py_END_ALLOW_THREADS if (r < 0) {
        if (errno == EINTR) return 0; // the caller takes the signal
        fail_with_errno(errno);
        return -1;
    }
    for (nfds_t i = first_lane; i < count; ++i)
        if (fds[i].revents != 0)
            for (Py_ssize_t j = 0; j < count_; ++j)
                if (lanes_[j].held() > 0 && lanes_[j].state->writer_fd == fds[i].fd)
                    lanes_[j].stalled = false;
    if (r > 0 && fds[0].revents != 0) return 1;
    if (r > 0 && sentinel >= 0 && fds[1].revents != 0) return 2;
    return 0;
}

JobReceipt receive_job(PyObject* qi, QueueState* state, PyObject* timeout,
                       const Caller& caller) noexcept {
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
    w.kind = Watch::Kind::caller;
    w.caller = &caller;
    w.sentinel = caller.fd();
    Ref data;
    switch (read_ahead_message(*state, w, seconds, data)) {
    case Read::message:
        break;
    case Read::timeout:
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

Ref receive_answer(PyObject* qo, QueueState* state, Py_ssize_t position, Outbox* outbox) noexcept {
    if (!state) return call_method(qo, names.get);
    if (!state->direct) {
        if (outbox && outbox->send_all() < 0) return {};
        return receive_answer_public(qo, *state, position);
    }
    Watch w = watch_worker(*state);
    if (outbox && send_held_jobs(*outbox, *state, w) < 0) return {};
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
        if (!readable_now(state->reader_fd)) return 1;
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
