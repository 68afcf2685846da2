// Large buffers through shared memory (shm_buffers.hpp).
//
// Segments are files in /dev/shm, the folder POSIX shared memory lives in on
// Linux, so that the resource tracker's own clean-up (shm_unlink) reaches
// them and their names can be listed to find what a dead process left.
#include "core/transport/shm_buffers.hpp"
#include "core/capi/call.hpp"
#include "core/capi/module.hpp"
#include "core/transport/queue_state.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <list>
#include <memory>
#include <new>
#include <pthread.h>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

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

// What this file keeps lives in the process state, shared by every binary
// (the salt and count of segment names among it).
using Kept = SharedMemory;
Kept& kept() noexcept {
    return process_state().shared_memory;
}

// The dump in progress in this thread, or null.
Collection* current_collection() noexcept {
    return static_cast<Collection*>(PyThread_tss_get(&kept().collecting));
}

// --- segments kept for reuse ---------------------------------------------------------
// A segment's first page holds its state; the buffers start on the next page.
// The sender writes into a segment only while it is idle, so the pages it
// writes already exist after the first time (no tmpfs page is allocated or
// freed per message); the reader's mapping, when the last object over it
// goes, sets it idle again. The reader's process forking while it maps one
// retires it instead: the fork's copy may read it for ever.
enum State : std::uint32_t { busy = 0, idle = 1, retired = 2 };

std::atomic_ref<std::uint32_t> state_of(void* header) noexcept {
    return std::atomic_ref<std::uint32_t>(*static_cast<std::uint32_t*>(header));
}

struct Segment {
    std::string name;
    pid_t reader;
    int fd;
    size_t size;          // bytes after the header page, allocated (a whole number of pages)
    void* header;         // the first page, mapped shared
    char* data = nullptr; // the rest, mapped shared: the sender copies into it
    bool writing = false; // a sender writes into it without the interpreter lock
    bool doomed = false;  // to be removed once that write is over
};

// The segments this process made, shared by every vantrel module binary of the
// process (one capsule on vantrel._control), so that whichever binary learns
// that a worker ended removes what any of them made for it.
struct Senders {
    std::list<Segment> segments;
    pid_t owner = 0; // a forked child finds its parent's here and lets them be
    size_t held = 0; // bytes of /dev/shm they hold, header pages included
};
// The list lives in the process state, one for every binary.
Senders*& senders_slot() noexcept {
    return *reinterpret_cast<Senders**>(&kept().senders);
}
const size_t page_size = static_cast<size_t>(sysconf(_SC_PAGESIZE));

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

void* tell_in_thread(void* args) noexcept {
    const PyGILState_STATE gil = PyGILState_Ensure();
    Ref told = Ref::steal(PyObject_Call(kept().tell, static_cast<PyObject*>(args), nullptr));
    // Nothing lost if the tracker fails: the name is unlinked by its maker,
    // or by the caller that sees its maker end.
    if (!told && !mp_queue::clear_if_exception()) PyErr_WriteUnraisable(kept().tell);
    PyGILState_Release(gil);
    return nullptr;
}

// Tells the resource tracker that `name` exists or has gone. The call runs in
// a thread of its own while this one waits without the interpreter lock: no
// signal handler (Ctrl-C) can stop it half done. The error being raised, if
// any, is kept().
void tell_tracker(bool made, std::string_view name) noexcept {
    SavedError error;
    Ref text =
        Ref::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    Ref args =
        text ? Ref::steal(Py_BuildValue("(OO)", made ? Py_True : Py_False, text.get())) : Ref();
    if (!args) {
        PyErr_Clear(); // no memory for a name: its maker or the caller still unlinks it
        error.restore();
        return;
    }
    int started = -1;
    if (!compat::is_finalizing()) {
        pthread_t thread{};
        Py_BEGIN_ALLOW_THREADS
            ;
            started = pthread_create(&thread, nullptr, tell_in_thread, args.get());
            if (started == 0) pthread_join(thread, nullptr);
        Py_END_ALLOW_THREADS;
    }
    if (started != 0) {
        // No thread to be had (or none may start now): here, then.
        Ref told = Ref::steal(PyObject_Call(kept().tell, args.get(), nullptr));
        if (!told && !mp_queue::clear_if_exception()) PyErr_WriteUnraisable(kept().tell);
    }
    error.restore();
}

// Unlinks `name` (when it still exists) and takes it off the tracker's list:
// whoever unlinks a name tells the tracker, nobody else.
void unlink_segment(std::string_view name) noexcept {
    const std::string path = path_of(name);
    if (unlink(path.c_str()) == 0 || errno != ENOENT) tell_tracker(false, name);
}

// A segment of this process's taken off its list, its pages and descriptor
// let go; its name is left in `gone`, to be unlinked once nothing walks the
// list (unlinking calls the tracker, and another thread may run meanwhile).
void detach(std::list<Segment>::iterator at, std::vector<std::string>& gone) noexcept {
    munmap(at->header, page_size);
    if (at->data) munmap(at->data, at->size);
    close(at->fd);
    senders_slot()->held -= page_size + at->size;
    gone.push_back(std::move(at->name));
    senders_slot()->segments.erase(at);
}

void unlink_all(const std::vector<std::string>& gone) noexcept {
    for (const std::string& name : gone)
        unlink_segment(name);
}

// A forked child holds its parent's list: those segments are the parent's.
void own_senders() noexcept {
    if (senders_slot()->owner == getpid()) return;
    for (Segment& segment : senders_slot()->segments) {
        munmap(segment.header, page_size);
        if (segment.data) munmap(segment.data, segment.size);
        close(segment.fd);
    }
    senders_slot()->segments.clear();
    senders_slot()->held = 0;
    senders_slot()->owner = getpid();
}

// A packed message that will never be read: its segment is idle again (or,
// made by another process, unlinked).
void discard_segment(std::string_view name) noexcept {
    if (senders_slot()) {
        own_senders();
        for (Segment& segment : senders_slot()->segments) {
            if (segment.name != name) continue;
            if (!segment.writing) state_of(segment.header).store(idle);
            return;
        }
    }
    unlink_segment(name);
}

// The settings of vantrel._control, read at the first buffer of a dump.
bool read_settings(bool& enabled, Py_ssize_t& threshold) noexcept {
    Ref on = Ref::steal(PyObject_GetAttrString(kept().control, "shared_memory"));
    Ref size =
        on ? Ref::steal(PyObject_GetAttrString(kept().control, "shared_memory_threshold")) : Ref();
    if (!size) return false;
    const int truth = PyObject_IsTrue(on.get());
    if (truth < 0) return false;
    // Any integer (numpy's too); one beyond any buffer means none leaves the stream.
    threshold = PyNumber_AsSsize_t(size.get(), nullptr);
    if (threshold == -1 && PyErr_Occurred()) return false;
    enabled = truth != 0;
    threshold = std::max<Py_ssize_t>(threshold, 1);
    return true;
}

// How many bytes of /dev/shm this process's segments may hold: the share in
// vantrel._control of the file system's size. 0 on error (none may be made).
size_t allowance() noexcept {
    Ref share = Ref::steal(PyObject_GetAttrString(kept().control, "shared_memory_share"));
    const double fraction = share ? PyFloat_AsDouble(share.get()) : -1.0;
    if (fraction < 0) {
        if (PyErr_Occurred()) mp_queue::clear_if_exception(); // an interrupt stays set
        return 0;
    }
    struct statvfs info{};
    if (statvfs(std::string(folder).c_str(), &info) != 0) return 0;
    return static_cast<size_t>(fraction * static_cast<double>(info.f_blocks) *
                               static_cast<double>(info.f_frsize));
}

// An idle segment made for `reader`, the best fit for `size` bytes (the
// smallest that holds them, else the largest), marked as being written before
// any other thread can look; retired ones are taken off the list on the way,
// and idle ones beyond one spare for this reader (their names in `gone`).
std::list<Segment>::iterator pick(pid_t reader, size_t size,
                                  std::vector<std::string>& gone) noexcept {
    auto& all = senders_slot()->segments;
    auto best = all.end();
    size_t spares = 0;
    for (auto it = all.begin(); it != all.end();) {
        const std::uint32_t state = it->writing ? busy : state_of(it->header).load();
        if (state == retired) {
            detach(it++, gone);
            continue;
        }
        if (state == idle && it->reader == reader) {
            ++spares;
            const bool fits = it->size >= size;
            if (best == all.end() || (fits && (best->size < size || it->size < best->size)) ||
                (!fits && best->size < size && it->size > best->size))
                best = it;
        }
        ++it;
    }
    // One spare kept beside the one used: a worker that holds the last array
    // it got while the next arrives needs two.
    for (auto it = all.begin(); spares > 2 && it != all.end();) {
        if (it != best && !it->writing && it->reader == reader &&
            state_of(it->header).load() == idle) {
            detach(it++, gone);
            --spares;
        } else {
            ++it;
        }
    }
    if (best != all.end()) best->writing = true;
    return best;
}

// A new segment for `reader`, registered with the tracker before it exists;
// end() when none may be had.
std::list<Segment>::iterator make(pid_t reader, size_t size) noexcept {
    auto& all = senders_slot()->segments;
    if (senders_slot()->held + page_size + size > allowance()) return all.end();
    char name[longest_name];
    std::snprintf(name, sizeof name, "vantrel_%d_%d_%x_%llu", static_cast<int>(getpid()),
                  static_cast<int>(reader), kept().salt, ++kept().made);
    // Whatever happens next, the tracker knows it.
    tell_tracker(true, name);
    const std::string path = path_of(name);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    const std::uint32_t state = busy;
    void* header = MAP_FAILED;
    if (fd >= 0 && pwrite(fd, &state, sizeof state, 0) == sizeof state)
        header = mmap(nullptr, page_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (header == MAP_FAILED) {
        if (fd >= 0) close(fd);
        unlink_segment(name);
        return all.end();
    }
    senders_slot()->held += page_size;
    auto made = all.insert(all.end(), Segment{name, reader, fd, 0, header});
    made->writing = true;
    return made;
}

} // namespace

// --- pickling ---------------------------------------------------------------

PyObject* on_buffer(PyObject* /*self*/, PyObject* picklebuffer) noexcept {
    Collection* c = current_collection();
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
        if (kept().clears_readonly) {
            // Read only while the message is pickled: the flag is put back then.
            if (!c->cleared_) c->cleared_ = Ref::steal(PyList_New(0));
            if (!c->cleared_ || PyList_Append(c->cleared_.get(), picklebuffer) < 0) return nullptr;
            const_cast<Py_buffer*>(view)->readonly =
                0; // NOLINT(cppcoreguidelines-pro-type-const-cast)
        } else {
            c->classic_ = true;
        }
    }
    // A PickleBuffer over bytes or a bytearray stays in the stream at any size:
    // it arrives as a bytearray whichever way it travels.
    const bool out = c->out_of_band_ && view->len >= c->threshold_ &&
                     PyBuffer_IsContiguous(view, 'A') != 0 &&
                     (view->obj == nullptr ||
                      (PyBytes_Check(view->obj) == 0 && PyByteArray_Check(view->obj) == 0));
    if (!out) Py_RETURN_TRUE;
    if (!c->buffers_) c->buffers_ = Ref::steal(PyList_New(0));
    if (!c->buffers_ || PyList_Append(c->buffers_.get(), picklebuffer) < 0) return nullptr;
    Py_RETURN_FALSE;
}

namespace {
PyMethodDef callback_def = {"buffer_callback", on_buffer, METH_O, nullptr};
} // namespace

PyObject* buffer_callback() noexcept {
    return kept().callback;
}

// Each thread's dumps nest only within that thread: a dump in another thread
// never sees them.
Collection::Collection(bool out_of_band) noexcept
    : outer_(current_collection()), out_of_band_(out_of_band) {
    if (PyThread_tss_set(&kept().collecting, this) != 0) installed_ = false;
}

Collection::~Collection() {
    if (installed_) PyThread_tss_set(&kept().collecting, outer_);
    if (!cleared_) return;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cleared_.get()); ++i) {
        const Py_buffer* view = PyPickleBuffer_GetBuffer(PyList_GET_ITEM(cleared_.get(), i));
        if (view)
            const_cast<Py_buffer*>(view)->readonly =
                1; // NOLINT(cppcoreguidelines-pro-type-const-cast)
    }
}

namespace {

// Copies `size` bytes to `to`, a segment's pages, skipping the stretches they
// hold already when `compare` (the pages are this segment's from before): an
// array sent again unchanged to the same worker costs a read, not a write.
// Exact, byte for byte; a buffer that differs from its start is copied whole.
void write_over(char* to, const char* from, size_t size, bool compare) noexcept {
    constexpr size_t stretch = size_t{256} * 1024;
    if (!compare || size == 0 || std::memcmp(to, from, std::min(stretch, size)) != 0) {
        std::memcpy(to, from, size);
        return;
    }
    for (size_t at = stretch; at < size; at += stretch) {
        const size_t n = std::min(stretch, size - at);
        if (std::memcmp(to + at, from + at, n) != 0) std::memcpy(to + at, from + at, n);
    }
}

} // namespace

Ref pack(PyObject* stream, PyObject* buffers, pid_t reader) noexcept {
    const Py_ssize_t count = PyList_GET_SIZE(buffers);
    Ref spans = Ref::steal(PyBytes_FromStringAndSize(nullptr, count * span_bytes));
    if (!spans) return {};
    // Where each buffer goes, taken now: the writes below run without the
    // interpreter lock, so they touch no Python object.
    struct Piece {
        const char* from;
        size_t size;
        size_t at;
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
        pieces[i] = {static_cast<const char*>(view->buf), static_cast<size_t>(view->len), total};
        span = write_uint(total, span, word, Order::little_endian);
        span = write_uint(static_cast<std::uint64_t>(view->len), span, word, Order::little_endian);
        total += (static_cast<size_t>(view->len) + alignment - 1) / alignment * alignment;
    }

    own_senders();
    const size_t want = (total + page_size - 1) / page_size * page_size;
    std::vector<std::string> gone;
    auto segment = pick(reader, want, gone);
    unlink_all(gone);
    const bool too_much = segment != senders_slot()->segments.end() && segment->size < want &&
                          senders_slot()->held + (want - segment->size) > allowance();
    if (segment == senders_slot()->segments.end() && !PyErr_Occurred())
        segment = make(reader, want);
    if (segment == senders_slot()->segments.end())
        return {}; // the pipe (or an interrupt, delivered now)
    if (too_much || PyErr_Occurred()) {
        // Growing it would hold too much: the pipe.
        segment->writing = false;
        state_of(segment->header).store(idle);
        return {};
    }
    state_of(segment->header).store(busy);
    const int fd = segment->fd;
    char* data = segment->data;
    size_t size = segment->size;
    const size_t had = size;
    int failure = 0;
    Py_BEGIN_ALLOW_THREADS
        ;
        // Pages are taken with fallocate before they are mapped: a full
        // /dev/shm is its ENOSPC (the pipe), never a SIGBUS in a copy. Once
        // there, the next messages are copied into the same pages, through
        // the same mapping: no page is made, freed or faulted in per message.
        if (size < want || size > 2 * want) {
            // Far more than this message needs: the rest goes back.
            const int resized = size < want ? fallocate(fd, 0, static_cast<off_t>(page_size + size),
                                                        static_cast<off_t>(want - size))
                                            : ftruncate(fd, static_cast<off_t>(page_size + want));
            if (resized != 0) failure = errno;
            if (failure == 0) {
                if (data) munmap(data, size);
                data = nullptr;
                size = 0;
                void* mapped = mmap(nullptr, want, PROT_READ | PROT_WRITE,
                                    MAP_SHARED | MAP_POPULATE, fd, static_cast<off_t>(page_size));
                if (mapped == MAP_FAILED) {
                    failure = errno;
                } else {
                    data = static_cast<char*>(mapped);
                    size = want;
                }
            }
        }
        for (Py_ssize_t i = 0; failure == 0 && i < count; ++i)
            write_over(data + pieces[i].at, pieces[i].from, pieces[i].size, size == had);
    Py_END_ALLOW_THREADS;
    segment->writing = false;
    segment->data = data;
    segment->size = size;
    senders_slot()->held = senders_slot()->held - had + size;
    const std::string name = segment->name;
    if (failure != 0 || segment->doomed) {
        gone.clear();
        detach(segment, gone);
        unlink_all(gone); // the message goes through the pipe instead
        return {};
    }

    const auto stream_size = static_cast<std::uint64_t>(PyBytes_GET_SIZE(stream));
    const size_t name_size = name.size();
    const size_t stream_head = 1 + (stream_size <= longest_short ? short_length : word);
    const auto message_size =
        static_cast<Py_ssize_t>(head.size() + stream_head + stream_size + 2 + name_size + 1 +
                                short_length + static_cast<size_t>(count * span_bytes) + 3);
    Ref message = Ref::steal(PyBytes_FromStringAndSize(nullptr, message_size));
    if (!message) {
        discard_segment(name);
        return {};
    }
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(message.get()));
    std::memcpy(out, head.data(), head.size());
    out += head.size();
    out = put_bytes(out, PyBytes_AS_STRING(stream), stream_size);
    *out++ = opcode::short_text;
    *out++ = static_cast<unsigned char>(name_size);
    out = std::copy_n(reinterpret_cast<const unsigned char*>(name.data()), name_size, out);
    out = put_bytes(out, PyBytes_AS_STRING(spans.get()),
                    static_cast<std::uint64_t>(count * span_bytes));
    *out++ = opcode::tuple3;
    *out++ = opcode::reduce;
    *out = opcode::stop;
    return message;
}

// --- reading ------------------------------------------------------------------

namespace {

// A received segment, mapped: its header page shared (to hand the segment
// back), its data private (copy-on-write for this process and any child it
// forks: nothing written here reaches the segment, nor anything written there
// this mapping). Arrays rebuilt over it keep it alive; when the last goes, the
// segment is idle again for its sender.
struct Mapping {
    PyObject_HEAD void* header;
    char* data;
    size_t size;
    pid_t owner; // the process that mapped it (a forked child's copy hands nothing back)
    Mapping* previous;
    Mapping* next;
};

Mapping* live_mappings = nullptr; // every mapping of this process, for fork_prepare

// A fork while mappings live: their segments are retired, never written again
// (the child keeps reading them through its copy of the mapping).
void fork_prepare() noexcept {
    const pid_t me = getpid();
    for (Mapping* m = live_mappings; m; m = m->next) {
        std::uint32_t expected = busy;
        if (m->owner == me) state_of(m->header).compare_exchange_strong(expected, retired);
    }
}

void mapping_dealloc(PyObject* self) noexcept {
    auto* m = reinterpret_cast<Mapping*>(self);
    if (m->data) munmap(m->data, m->size);
    if (m->header) {
        std::uint32_t expected = busy;
        if (m->owner == getpid()) state_of(m->header).compare_exchange_strong(expected, idle);
        munmap(m->header, page_size);
    }
    if (m->previous)
        m->previous->next = m->next;
    else if (live_mappings == m)
        live_mappings = m->next;
    if (m->next) m->next->previous = m->previous;
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

int mapping_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    auto* m = reinterpret_cast<Mapping*>(self);
    static char nothing = 0;
    return PyBuffer_FillInfo(view, self, m->data ? m->data : &nothing,
                             static_cast<Py_ssize_t>(m->size), 0, flags);
}

PyType_Slot mapping_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(mapping_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(mapping_getbuffer)},
    {Py_tp_doc, const_cast<char*>( // NOLINT(cppcoreguidelines-pro-type-const-cast)
                    "A shared-memory segment received, mapped copy-on-write.")},
    {0, nullptr}};
PyType_Spec mapping_spec = {"vantrel._control.Segment", sizeof(Mapping), 0, Py_TPFLAGS_DEFAULT,
                            mapping_slots};

// Maps the first `size` data bytes of the segment open at `fd`.
Ref map_segment(int fd, size_t size) noexcept {
    void* header = mmap(nullptr, page_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (header == MAP_FAILED) return Ref::steal(PyErr_SetFromErrno(PyExc_OSError));
    void* data = nullptr;
    if (size > 0) {
        data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd,
                    static_cast<off_t>(page_size));
        if (data == MAP_FAILED) {
            munmap(header, page_size);
            return Ref::steal(PyErr_SetFromErrno(PyExc_OSError));
        }
#ifdef MADV_POPULATE_READ
        // The pages exist: map them all at once, shared until written (a
        // populated private writable mapping would copy every page).
        madvise(data, size, MADV_POPULATE_READ);
#endif
    }
    auto* m = PyObject_New(Mapping, mp_queue::as_type(kept().mapping_type));
    if (!m) {
        if (data) munmap(data, size);
        munmap(header, page_size);
        return {};
    }
    m->header = header;
    m->data = static_cast<char*>(data);
    m->size = size;
    m->owner = getpid();
    m->previous = nullptr;
    m->next = live_mappings;
    if (live_mappings) live_mappings->previous = m;
    live_mappings = m;
    return Ref::steal(reinterpret_cast<PyObject*>(m));
}

// The end of the last buffer at `spans` (offset and length pairs), or -1
// (ValueError) when one lies outside `limit` bytes.
std::int64_t extent_of(PyObject* spans, std::uint64_t limit) noexcept {
    const Py_ssize_t count = PyBytes_GET_SIZE(spans) / span_bytes;
    const auto* span = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(spans));
    std::uint64_t end = 0;
    for (Py_ssize_t i = 0; i < count; ++i, span += span_bytes) {
        const std::uint64_t at = read_uint(span, word, Order::little_endian);
        const std::uint64_t length = read_uint(span + word, word, Order::little_endian);
        if (at > limit || length > limit - at) {
            PyErr_SetString(PyExc_ValueError, "a buffer lies outside its segment");
            return -1;
        }
        end = std::max(end, at + length);
    }
    return static_cast<std::int64_t>(end);
}

// Views of the buffers at `spans` in `mapping`.
Ref buffers_in(PyObject* mapping, PyObject* spans) noexcept {
    Ref whole = Ref::steal(PyMemoryView_FromObject(mapping));
    const Py_ssize_t count = PyBytes_GET_SIZE(spans) / span_bytes;
    Ref buffers = whole ? Ref::steal(PyList_New(count)) : Ref();
    if (!buffers) return {};
    const auto* span = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(spans));
    for (Py_ssize_t i = 0; i < count; ++i, span += span_bytes) {
        const std::uint64_t at = read_uint(span, word, Order::little_endian);
        const std::uint64_t length = read_uint(span + word, word, Order::little_endian);
        Ref from = Ref::steal(PyLong_FromUnsignedLongLong(at));
        Ref to = from ? Ref::steal(PyLong_FromUnsignedLongLong(at + length)) : Ref();
        Ref range = to ? Ref::steal(PySlice_New(from.get(), to.get(), nullptr)) : Ref();
        Ref part = range ? Ref::steal(PyObject_GetItem(whole.get(), range.get())) : Ref();
        if (!part) return {};
        PyList_SET_ITEM(buffers.get(), i, part.release());
    }
    return buffers;
}

// vantrel._control.rebuild(stream, name, spans): maps the segment and loads
// the stream over it. An interrupt that lands meanwhile is delivered once the
// message is whole.
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
    Ref mapping;
    if (fstat(fd, &info) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
    } else {
        const auto data_size = static_cast<std::uint64_t>(
            std::max<off_t>(info.st_size - static_cast<off_t>(page_size), 0));
        const std::int64_t extent = extent_of(args[2], data_size);
        if (extent >= 0) mapping = map_segment(fd, static_cast<size_t>(extent));
    }
    close(fd);
    if (!mapping) return nullptr;

    Ref buffers = buffers_in(mapping.get(), args[2]);
    if (!buffers) return nullptr;
    mapping = Ref(); // the views hold it now
    PyObject* load_args[] = {args[0], buffers.get()};
    Ref obj = Ref::steal(PyObject_Vectorcall(kept().loads, load_args, 1, kept().buffers_kw));
    if (obj || PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) == 0) return obj.release();
    SavedError interrupt;
    obj = Ref::steal(PyObject_Vectorcall(kept().loads, load_args, 1, kept().buffers_kw));
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
                                                  "buffer_callback", kept().callback.get()))
                       : Ref();
    Ref args = kwargs ? Ref::steal(PyTuple_Pack(1, pickled_buffer.get())) : Ref();
    if (!args) return -1;
    Ref data;
    {
        kept().clears_readonly = true;
        const Collection probe(false);
        data = Ref::steal(PyObject_Call(dumps.get(), args.get(), kwargs.get()));
    }
    kept().clears_readonly = false;
    Ref back = data ? call(kept().loads, data.get()) : Ref();
    if (!back) return -1;
    const Py_buffer* view = PyPickleBuffer_GetBuffer(pickled_buffer.get());
    if (!view) return -1;
    return PyByteArray_CheckExact(back.get()) && view->readonly != 0 ? 1 : 0;
}

} // namespace

namespace {

// At exit (and when a worker ends itself): every segment this process made is
// unlinked. Arrays over them elsewhere keep their pages while they live.
PyObject* release_at_exit(PyObject* /*self*/, PyObject* /*unused*/) noexcept {
    release_all();
    Py_RETURN_NONE;
}
PyMethodDef release_def = {"release_segments", release_at_exit, METH_NOARGS, nullptr};

// The list of this process's segments, made once with the shared state (kept
// for the life of the process) and unlinked at exit.
bool make_senders() noexcept {
    auto* made = new (std::nothrow) Senders;
    if (!made) {
        PyErr_NoMemory();
        return false;
    }
    made->owner = getpid();
    senders_slot() = made;
    Ref release = Ref::steal(PyCFunction_New(&release_def, nullptr));
    Ref at_exit = release ? import_attribute("atexit", "register") : Ref();
    return at_exit && call(at_exit.get(), release.get());
}

} // namespace

bool init() noexcept {
    if (kept().ready) return true;
    if (!kept().control.keep(import_module("vantrel._control")) ||
        !kept().tell.keep(import_attribute("vantrel._control", "tell_tracker")) ||
        !kept().loads.keep(import_attribute("pickle", "loads")) ||
        !kept().mapping_type.keep(Ref::steal(PyType_FromSpec(&mapping_spec))) || !make_senders())
        return false;
    kept().buffers_kw.reset(Ref::steal(Py_BuildValue("(s)", "buffers")));
    kept().callback.reset(Ref::steal(PyCFunction_New(&callback_def, nullptr)));
    kept().rebuild.reset(Ref::steal(PyCFunction_New(&rebuild_def, nullptr)));
    if (!kept().buffers_kw || !kept().callback || !kept().rebuild ||
        PyObject_SetAttrString(kept().control, "rebuild", kept().rebuild) < 0)
        return false;
    if (getrandom(&kept().salt, sizeof kept().salt, GRND_NONBLOCK) != sizeof kept().salt)
        kept().salt = static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr));
    const int clears = check_clears_readonly();
    if (clears < 0) return false;
    kept().clears_readonly = clears == 1;
    if (pthread_atfork(fork_prepare, nullptr, nullptr) != 0) {
        PyErr_SetString(PyExc_RuntimeError, "pthread_atfork failed");
        return false;
    }
    kept().ready = true;
    return true;
}

// --- clean-up ---------------------------------------------------------------

void discard(PyObject* message) noexcept {
    const std::string_view name = name_in(message);
    if (is_segment_name(name)) discard_segment(name);
}

namespace {

// Unlinks what `maker` (any process when 0) made for this process, listed by name.
void unlink_made_for_me(pid_t maker) noexcept {
    DIR* dir = opendir(std::string(folder).c_str());
    if (!dir) return;
    const long me = getpid();
    std::string found;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name(entry->d_name);
        long made_by = 0;
        long reader = 0;
        if (!is_segment_name(name) || !parties_of(name, made_by, reader)) continue;
        if (reader == me && (maker == 0 || made_by == maker)) {
            found += name;
            found += '/';
        }
    }
    closedir(dir);
    for (size_t at = 0, end = 0; (end = found.find('/', at)) != std::string::npos; at = end + 1)
        unlink_segment(std::string_view(found).substr(at, end - at));
}

// Removes this process's segments for `reader` (every one when 0).
void remove_made_for(pid_t reader) noexcept {
    own_senders();
    auto& all = senders_slot()->segments;
    std::vector<std::string> gone;
    for (auto it = all.begin(); it != all.end();) {
        if (reader != 0 && it->reader != reader) {
            ++it;
        } else if (it->writing) {
            (it++)->doomed = true;
        } else {
            detach(it++, gone);
        }
    }
    unlink_all(gone);
}

} // namespace

void forget_peer(pid_t peer) noexcept {
    if (!kept().ready || peer <= 0) return;
    remove_made_for(peer);
    unlink_made_for_me(peer);
}

// A process that ends: nothing it made, and nothing made for it, can be read
// any more (its workers are ended with it, or end once they see it gone).
void release_all() noexcept {
    if (!senders_slot()) return;
    remove_made_for(0);
    unlink_made_for_me(0);
}

void set_answer_reader(pid_t reader) noexcept {
    kept().answer_reader = reader;
}

} // namespace vantrel::shm_buffers
