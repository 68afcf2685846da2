// Large buffers through shared memory (shm_buffers.hpp).
//
// Segments are files in /dev/shm, the folder POSIX shared memory lives in on
// Linux, so that the resource tracker's own clean-up (shm_unlink) reaches
// them, their names can be listed to find what a dead process left, and a
// reader unlinks a name as soon as it has opened it.
#include "shm_buffers.hpp"
#include "call.hpp"
#include "module.hpp"
#include "queue_state.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel::shm_buffers {

namespace {

using mp_queue::Order;
using mp_queue::read_uint;
using mp_queue::write_uint;

constexpr std::string_view folder = "/dev/shm/";
constexpr std::string_view prefix = "vantrel_";
constexpr std::string_view tracker_kind = "shared_memory";
constexpr size_t alignment = 64; // each buffer starts on a cache line (and any dtype's alignment)
constexpr size_t longest_name = 96;
constexpr Py_ssize_t span_bytes = 16; // offset and length, 8 bytes each, little-endian
constexpr Py_ssize_t word = 8;

// What this file keeps for the life of the process (filled by init(), under
// the interpreter lock).
struct Kept {
    ProcessRef callback;   // the buffer callback of the message pickler
    ProcessRef rebuild;    // the reading side, installed as vantrel._control.rebuild
    ProcessRef control;    // vantrel._control: the switch and the threshold
    ProcessRef register_;  // resource_tracker.register
    ProcessRef unregister; // resource_tracker.unregister
    ProcessRef mmap_class; // mmap.mmap
    ProcessRef map_kwargs; // its flags and prot: shared, writable, populated
    ProcessRef loads;      // pickle.loads
    ProcessRef kind;       // "shared_memory"
    ProcessRef buffers_kw; // ("buffers",)
    bool ready = false;
    // Whether a read-only buffer can be made to pickle as a writable one (the
    // pickler reads the flag after asking the callback); checked by init().
    bool clears_readonly = false;
    Collection* current = nullptr; // the dump in progress
    unsigned long long made = 0;   // segments made by this process
    unsigned salt = 0;             // tells this process's names from an earlier one's with its pid
    pid_t answer_reader = 0;
};
Kept kept;

// --- the pickled message around the stream --------------------------------------
// PROTO 5, "vantrel._control" "rebuild" STACK_GLOBAL, the stream (BINBYTES or
// BINBYTES8), the name (SHORT_BINUNICODE), the spans (BINBYTES), TUPLE3,
// REDUCE, STOP: a pickle any loads reads.
namespace opcode {
constexpr unsigned char proto = 0x80, short_text = 0x8c, stack_global = 0x93, bytes = 'B',
                        bytes8 = 0x8e, tuple3 = 0x87, reduce = 'R', stop = '.';
}
constexpr unsigned char protocol = 5;
constexpr std::string_view head = "\x80\x05\x8c\x10vantrel._control\x8c\x07rebuild\x93";
constexpr Py_ssize_t short_length = 4;
constexpr std::uint64_t longest_short = 0xffffffffU;
constexpr size_t longest_short_text = 0xff;

unsigned char* put_bytes(unsigned char* out, const void* data, std::uint64_t size) noexcept {
    if (size <= longest_short) {
        *out++ = opcode::bytes;
        out = write_uint(size, out, short_length, Order::little_endian);
    } else {
        *out++ = opcode::bytes8;
        out = write_uint(size, out, word, Order::little_endian);
    }
    std::memcpy(out, data, size);
    return out + size;
}

// The segment name inside a packed message, or empty when it is not one.
std::string_view name_in(PyObject* message) noexcept {
    if (!PyBytes_Check(message)) return {};
    const auto* at = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(message));
    const unsigned char* end = at + PyBytes_GET_SIZE(message);
    if (end - at < static_cast<Py_ssize_t>(head.size()) + 1 + short_length ||
        std::memcmp(at, head.data(), head.size()) != 0)
        return {};
    at += head.size();
    std::uint64_t size = 0;
    if (*at == opcode::bytes) {
        size = read_uint(at + 1, short_length, Order::little_endian);
        at += 1 + short_length;
    } else if (*at == opcode::bytes8 && end - at >= 1 + word) {
        size = read_uint(at + 1, word, Order::little_endian);
        at += 1 + word;
    } else {
        return {};
    }
    if (size > static_cast<std::uint64_t>(end - at) - 2) return {};
    at += size;
    if (*at != opcode::short_text || at[1] > end - at - 2) return {};
    return {reinterpret_cast<const char*>(at + 2), at[1]};
}

// The maker's and the reader's pids in a segment's name.
bool parties_of(std::string_view name, long& maker, long& reader) noexcept {
    const char* at = name.data() + prefix.size();
    const char* end = name.data() + name.size();
    for (long* pid : {&maker, &reader}) {
        const auto [next, error] = std::from_chars(at, end, *pid);
        if (error != std::errc() || next == end || *next != '_') return false;
        at = next + 1;
    }
    return true;
}

bool is_segment_name(std::string_view name) noexcept {
    return name.size() > prefix.size() && name.size() < longest_name &&
           name.substr(0, prefix.size()) == prefix && name.find('/') == std::string_view::npos;
}

std::string path_of(std::string_view name) {
    std::string path(folder);
    path += name;
    return path;
}

// Tells the resource tracker about `name`. An error of the tracker loses
// nothing (the name is unlinked by its reader or forget_peer); an interrupt
// stays set for the caller, which delivers it later.
bool tell_tracker(PyObject* function, std::string_view name) noexcept {
    std::string tracked = "/";
    tracked += name;
    Ref text = Ref::steal(
        PyUnicode_FromStringAndSize(tracked.data(), static_cast<Py_ssize_t>(tracked.size())));
    Ref told = text ? Ref::steal(PyObject_CallFunctionObjArgs(function, text.get(), kept.kind.get(),
                                                              nullptr))
                    : Ref();
    if (told) return true;
    return mp_queue::clear_if_exception();
}

// Unlinks `name` (when it still exists) and takes it off the tracker's list.
void unlink_segment(std::string_view name) noexcept {
    const std::string path = path_of(name);
    if (unlink(path.c_str()) == 0 || errno != ENOENT) {
        SavedError error;
        bool delivered = tell_tracker(kept.unregister, name);
        if (!delivered) PyErr_Clear(); // an interrupt: handed on below
        error.restore();
        if (!delivered) PyErr_SetInterrupt();
    }
}

// The settings of vantrel._control, read at the first buffer of a dump.
bool read_settings(bool& enabled, Py_ssize_t& threshold) noexcept {
    Ref on = Ref::steal(PyObject_GetAttrString(kept.control, "shared_memory"));
    Ref size =
        on ? Ref::steal(PyObject_GetAttrString(kept.control, "shared_memory_threshold")) : Ref();
    if (!size) return false;
    const int truth = PyObject_IsTrue(on.get());
    if (truth < 0) return false;
    threshold = PyLong_AsSsize_t(size.get());
    if (threshold == -1 && PyErr_Occurred()) return false;
    enabled = truth != 0;
    threshold = std::max<Py_ssize_t>(threshold, 1);
    return true;
}

} // namespace

// --- pickling ---------------------------------------------------------------

PyObject* on_buffer(PyObject* /*self*/, PyObject* picklebuffer) noexcept {
    Collection* c = kept.current;
    const Py_buffer* view = PyPickleBuffer_GetBuffer(picklebuffer);
    if (!view) return nullptr;
    if (!c) Py_RETURN_TRUE;
    if (c->out_of_band_ && !c->settings_read_) {
        bool enabled = false;
        if (!read_settings(enabled, c->threshold_)) return nullptr;
        c->out_of_band_ = c->out_of_band_ && enabled;
        c->settings_read_ = true;
    }
    if (view->readonly != 0) {
        if (kept.clears_readonly) {
            // Read only while the message is pickled: the flag is put back then.
            if (!c->cleared_) c->cleared_ = Ref::steal(PyList_New(0));
            if (!c->cleared_ || PyList_Append(c->cleared_.get(), picklebuffer) < 0) return nullptr;
            const_cast<Py_buffer*>(view)->readonly =
                0; // NOLINT(cppcoreguidelines-pro-type-const-cast)
        } else {
            c->classic_ = true;
        }
    }
    const bool out =
        c->out_of_band_ && view->len >= c->threshold_ && PyBuffer_IsContiguous(view, 'A') != 0;
    if (!out) Py_RETURN_TRUE;
    if (!c->buffers_) c->buffers_ = Ref::steal(PyList_New(0));
    if (!c->buffers_ || PyList_Append(c->buffers_.get(), picklebuffer) < 0) return nullptr;
    Py_RETURN_FALSE;
}

namespace {
PyMethodDef callback_def = {"buffer_callback", on_buffer, METH_O, nullptr};
} // namespace

PyObject* buffer_callback() noexcept {
    return kept.callback;
}

Collection::Collection(bool out_of_band) noexcept
    : outer_(std::exchange(kept.current, this)), out_of_band_(out_of_band) {}

Collection::~Collection() {
    kept.current = outer_;
    if (!cleared_) return;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cleared_.get()); ++i) {
        const Py_buffer* view = PyPickleBuffer_GetBuffer(PyList_GET_ITEM(cleared_.get(), i));
        if (view)
            const_cast<Py_buffer*>(view)->readonly =
                1; // NOLINT(cppcoreguidelines-pro-type-const-cast)
    }
}

Ref pack(PyObject* stream, PyObject* buffers, pid_t reader) noexcept {
    const Py_ssize_t count = PyList_GET_SIZE(buffers);
    Ref spans = Ref::steal(PyBytes_FromStringAndSize(nullptr, count * span_bytes));
    if (!spans) return {};
    // Where each buffer goes, taken now: the writes below run without the
    // interpreter lock, so they touch no Python object.
    struct Piece {
        const char* from;
        size_t size;
        off_t at;
    };
    std::unique_ptr<Piece[]> pieces(new (std::nothrow) Piece[static_cast<size_t>(count)]);
    if (!pieces) {
        PyErr_NoMemory();
        return {};
    }
    auto* span = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(spans.get()));
    size_t total = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const Py_buffer* view = PyPickleBuffer_GetBuffer(PyList_GET_ITEM(buffers, i));
        if (!view) return {};
        pieces[i] = {static_cast<const char*>(view->buf), static_cast<size_t>(view->len),
                     static_cast<off_t>(total)};
        span = write_uint(total, span, word, Order::little_endian);
        span = write_uint(static_cast<std::uint64_t>(view->len), span, word, Order::little_endian);
        total += (static_cast<size_t>(view->len) + alignment - 1) / alignment * alignment;
    }

    char name[longest_name];
    std::snprintf(name, sizeof name, "vantrel_%d_%d_%x_%llu", static_cast<int>(getpid()),
                  static_cast<int>(reader), kept.salt, ++kept.made);
    // Registered before it exists: whatever happens next, the tracker knows it.
    if (!tell_tracker(kept.register_, name)) return {};
    const std::string path = path_of(name);
    int failure = 0;
    Py_BEGIN_ALLOW_THREADS
        ;
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (fd < 0) {
            failure = errno;
        } else {
            // No space taken up front: on a full /dev/shm pwrite fails with
            // ENOSPC (never a SIGBUS), and a segment read is whole, without
            // holes, since padding never spans a page.
            for (Py_ssize_t i = 0; failure == 0 && i < count; ++i) {
                const char* from = pieces[i].from;
                size_t left = pieces[i].size;
                off_t to = pieces[i].at;
                while (left > 0) {
                    const ssize_t wrote = pwrite(fd, from, left, to);
                    if (wrote <= 0) {
                        failure = wrote < 0 ? errno : EIO;
                        break;
                    }
                    from += wrote;
                    to += wrote;
                    left -= static_cast<size_t>(wrote);
                }
            }
            close(fd);
        }
    Py_END_ALLOW_THREADS;
    if (failure != 0) {
        unlink_segment(name); // the message goes through the pipe instead
        return {};
    }

    const auto stream_size = static_cast<std::uint64_t>(PyBytes_GET_SIZE(stream));
    const size_t name_size = std::strlen(name);
    const size_t stream_head = 1 + (stream_size <= longest_short ? short_length : word);
    const auto size =
        static_cast<Py_ssize_t>(head.size() + stream_head + stream_size + 2 + name_size + 1 +
                                short_length + static_cast<size_t>(count * span_bytes) + 3);
    Ref message = Ref::steal(PyBytes_FromStringAndSize(nullptr, size));
    if (!message) {
        SavedError error;
        unlink_segment(name);
        error.restore();
        return {};
    }
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(message.get()));
    std::memcpy(out, head.data(), head.size());
    out += head.size();
    out = put_bytes(out, PyBytes_AS_STRING(stream), stream_size);
    *out++ = opcode::short_text;
    *out++ = static_cast<unsigned char>(name_size);
    out = std::copy_n(reinterpret_cast<const unsigned char*>(name), name_size, out);
    out = put_bytes(out, PyBytes_AS_STRING(spans.get()),
                    static_cast<std::uint64_t>(count * span_bytes));
    *out++ = opcode::tuple3;
    *out++ = opcode::reduce;
    *out = opcode::stop;
    return message;
}

// --- reading ------------------------------------------------------------------

namespace {

// Views of the buffers at `spans` (offset and length pairs) in `mapping`.
Ref buffers_in(PyObject* mapping, PyObject* spans, std::uint64_t limit) noexcept {
    Ref whole = Ref::steal(PyMemoryView_FromObject(mapping));
    const Py_ssize_t count = PyBytes_GET_SIZE(spans) / span_bytes;
    Ref buffers = whole ? Ref::steal(PyList_New(count)) : Ref();
    if (!buffers) return {};
    const auto* span = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(spans));
    for (Py_ssize_t i = 0; i < count; ++i, span += span_bytes) {
        const std::uint64_t at = read_uint(span, word, Order::little_endian);
        const std::uint64_t length = read_uint(span + word, word, Order::little_endian);
        if (at > limit || length > limit - at) {
            PyErr_SetString(PyExc_ValueError, "a buffer lies outside its segment");
            return {};
        }
        Ref from = Ref::steal(PyLong_FromUnsignedLongLong(at));
        Ref to = from ? Ref::steal(PyLong_FromUnsignedLongLong(at + length)) : Ref();
        Ref range = to ? Ref::steal(PySlice_New(from.get(), to.get(), nullptr)) : Ref();
        Ref part = range ? Ref::steal(PyObject_GetItem(whole.get(), range.get())) : Ref();
        if (!part) return {};
        PyList_SET_ITEM(buffers.get(), i, part.release());
    }
    return buffers;
}

// vantrel._control.rebuild(stream, name, spans): maps the segment, unlinks
// its name, loads the stream over it. An interrupt that lands meanwhile is
// delivered once the message is whole: the segment is gone by then, and the
// message with it if it were lost.
PyObject* rebuild(PyObject* /*self*/, PyObject* arguments) noexcept {
    PyObject* const* args = PySequence_Fast_ITEMS(arguments);
    if (PyTuple_GET_SIZE(arguments) != 3 || !PyUnicode_Check(args[1]) || !PyBytes_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError, "rebuild(stream, name, spans)");
        return nullptr;
    }
    Py_ssize_t name_size = 0;
    const char* name_text = PyUnicode_AsUTF8AndSize(args[1], &name_size);
    if (!name_text) return nullptr;
    const std::string_view name(name_text, static_cast<size_t>(name_size));
    if (!is_segment_name(name)) {
        PyErr_Format(PyExc_ValueError, "not a vantrel segment: %R", args[1]);
        return nullptr;
    }
    const std::string path = path_of(name);
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    struct stat info{};
    Ref size = fstat(fd, &info) == 0 ? Ref::steal(PyLong_FromLongLong(info.st_size)) : Ref();
    Ref fileno = size ? Ref::steal(PyLong_FromLong(fd)) : Ref();
    if (!size && !PyErr_Occurred()) PyErr_SetFromErrno(PyExc_OSError);
    Ref mapping;
    if (fileno) {
        PyObject* map_args[] = {fileno.get(), size.get()};
        mapping =
            Ref::steal(PyObject_VectorcallDict(kept.mmap_class, map_args, 2, kept.map_kwargs));
    }
    close(fd);
    unlink_segment(name); // an interrupt is set again here, after the error below if any
    if (!mapping) return nullptr;

    Ref buffers = buffers_in(mapping.get(), args[2], static_cast<std::uint64_t>(info.st_size));
    if (!buffers) return nullptr;
    PyObject* load_args[] = {args[0], buffers.get()};
    Ref obj = Ref::steal(PyObject_Vectorcall(kept.loads, load_args, 1, kept.buffers_kw));
    if (obj || PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) == 0) return obj.release();
    SavedError interrupt;
    obj = Ref::steal(PyObject_Vectorcall(kept.loads, load_args, 1, kept.buffers_kw));
    if (!obj) {
        interrupt.chain_into_current();
        return nullptr;
    }
    PyErr_SetInterrupt();
    return obj.release();
}

PyMethodDef rebuild_def = {"rebuild", rebuild, METH_VARARGS,
                           "A message whose buffers wait in a shared-memory segment."};

// Whether the pickler writes a read-only buffer whose flag the callback
// cleared as a writable one.
int check_clears_readonly() noexcept {
    constexpr std::string_view text = "vantrel";
    Ref sample =
        Ref::steal(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    Ref pickled_buffer = sample ? Ref::steal(PyPickleBuffer_FromObject(sample.get())) : Ref();
    Ref dumps = pickled_buffer ? import_attribute("pickle", "dumps") : Ref();
    Ref kwargs = dumps ? Ref::steal(Py_BuildValue("{s:i,s:O}", "protocol", protocol,
                                                  "buffer_callback", kept.callback.get()))
                       : Ref();
    Ref args = kwargs ? Ref::steal(PyTuple_Pack(1, pickled_buffer.get())) : Ref();
    if (!args) return -1;
    Ref data;
    {
        kept.clears_readonly = true;
        const Collection probe(false);
        data = Ref::steal(PyObject_Call(dumps.get(), args.get(), kwargs.get()));
    }
    kept.clears_readonly = false;
    Ref back = data ? call(kept.loads, data.get()) : Ref();
    if (!back) return -1;
    const Py_buffer* view = PyPickleBuffer_GetBuffer(pickled_buffer.get());
    if (!view) return -1;
    return PyByteArray_CheckExact(back.get()) && view->readonly != 0 ? 1 : 0;
}

} // namespace

bool init() noexcept {
    if (kept.ready) return true;
    if (!kept.control.keep(import_module("vantrel._control")) ||
        !kept.register_.keep(import_attribute("multiprocessing.resource_tracker", "register")) ||
        !kept.unregister.keep(import_attribute("multiprocessing.resource_tracker", "unregister")) ||
        !kept.mmap_class.keep(import_attribute("mmap", "mmap")) ||
        !kept.loads.keep(import_attribute("pickle", "loads")))
        return false;
    auto flags = static_cast<unsigned>(MAP_SHARED);
#ifdef MAP_POPULATE
    flags |=
        static_cast<unsigned>(MAP_POPULATE); // the pages are there already: map them all at once
#endif
    const unsigned prot = static_cast<unsigned>(PROT_READ) | static_cast<unsigned>(PROT_WRITE);
    kept.map_kwargs.reset(Ref::steal(Py_BuildValue("{s:I,s:I}", "flags", flags, "prot", prot)));
    kept.kind.reset(Ref::steal(PyUnicode_FromStringAndSize(
        tracker_kind.data(), static_cast<Py_ssize_t>(tracker_kind.size()))));
    kept.buffers_kw.reset(Ref::steal(Py_BuildValue("(s)", "buffers")));
    kept.callback.reset(Ref::steal(PyCFunction_New(&callback_def, nullptr)));
    kept.rebuild.reset(Ref::steal(PyCFunction_New(&rebuild_def, nullptr)));
    if (!kept.map_kwargs || !kept.kind || !kept.buffers_kw || !kept.callback || !kept.rebuild ||
        PyObject_SetAttrString(kept.control, "rebuild", kept.rebuild) < 0)
        return false;
    if (getrandom(&kept.salt, sizeof kept.salt, GRND_NONBLOCK) != sizeof kept.salt)
        kept.salt = static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr));
    const int clears = check_clears_readonly();
    if (clears < 0) return false;
    kept.clears_readonly = clears == 1;
    kept.ready = true;
    return true;
}

// --- clean-up ---------------------------------------------------------------

void discard(PyObject* message) noexcept {
    const std::string_view name = name_in(message);
    if (is_segment_name(name)) unlink_segment(name);
}

void forget_peer(pid_t peer) noexcept {
    if (!kept.ready || peer <= 0) return;
    DIR* dir = opendir(std::string(folder).c_str());
    if (!dir) return;
    const long me = getpid();
    std::string found;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name(entry->d_name);
        long maker = 0;
        long reader = 0;
        if (!is_segment_name(name) || !parties_of(name, maker, reader)) continue;
        if ((maker == me && reader == peer) || (maker == peer && reader == me)) {
            found += name;
            found += '/';
        }
    }
    closedir(dir);
    for (size_t at = 0, end = 0; (end = found.find('/', at)) != std::string::npos; at = end + 1)
        unlink_segment(std::string_view(found).substr(at, end - at));
}

void set_answer_reader(pid_t reader) noexcept {
    kept.answer_reader = reader;
}

pid_t answer_reader() noexcept {
    return kept.answer_reader;
}

} // namespace vantrel::shm_buffers
