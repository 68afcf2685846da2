// Pickling a message and unpickling it (message_pickle.hpp).
#include "message_pickle.hpp"
#include "answer.hpp"
#include "call.hpp"
#include "module.hpp"
#include "queue_state.hpp"
#include "shm_buffers.hpp"
#include "stand_in.hpp"

#include <cstring>

namespace vantrel::mp_queue {

namespace {

// What this file writes or recognises of pickle protocol 4.
namespace opcode {
constexpr unsigned char proto = 0x80, empty_list = ']', mark = '(', short_text = 0x8c, text = 'X',
                        empty_dict = '}', appends = 'e', stop = '.', frame = 0x95, memoize = 0x94,
                        bytes = 'B';
}
constexpr unsigned char protocol = message_protocol;
constexpr Py_ssize_t frame_length = 8;    // FRAME's length of what follows
constexpr Py_ssize_t str_framing = 11;    // PROTO 4, FRAME and its length
constexpr Py_ssize_t short_text_head = 2; // SHORT_BINUNICODE and a 1-byte length
constexpr Py_ssize_t long_length = 4;     // the length of BINUNICODE and BINBYTES
constexpr Py_ssize_t long_head = 1 + long_length;
constexpr Py_ssize_t str_around_text = short_text_head + 2; // and MEMOIZE, STOP
constexpr Py_ssize_t longest_short_text = 0xff;
constexpr Py_ssize_t longest_text = 0xffffffff;

} // namespace

// A str of fewer than 256 UTF-8 bytes as protocol 4 pickles it:
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

namespace {

// --- the commonest messages, without the pickler ------------------------------------
// An answer with no values is written in protocol 4's own opcodes
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

// Whether `now` (a dict) binds the same keys to the same objects as `then`.
bool same_items(PyObject* now, PyObject* then) noexcept {
    if (!PyDict_Check(now) || !then || PyDict_GET_SIZE(now) != PyDict_GET_SIZE(then)) return false;
    Py_ssize_t at = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(now, &at, &key, &value) != 0) {
        if (PyDict_GetItemWithError(then, key) != value) return false;
    }
    return true;
}

// Whether the reused pickler still pickles with the reducers in force, as a
// ForkingPickler made now would (it copies both tables when it is made).
// Looks at the tables' contents, so that a reducer registered or replaced at
// any time is used from the next message on. -1 on error.
int reducers_unchanged() noexcept {
    QueueLayout& l = layout();
    Ref copyreg_table = Ref::steal(PyObject_GetAttr(l.pickler_class, l.copyreg_table_name));
    Ref extra = copyreg_table ? Ref::steal(PyObject_GetAttr(l.pickler_class, l.extra_reducers_name))
                              : Ref();
    if (!extra) {
        // A ForkingPickler that keeps its reducers elsewhere: a new pickler
        // for every message is always right.
        if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) return -1;
        PyErr_Clear();
        return 0;
    }
    if (l.pickler && same_items(copyreg_table.get(), l.copyreg_seen) &&
        same_items(extra.get(), l.extra_seen))
        return 1;
    if (PyErr_Occurred()) return -1;
    Ref copyreg_copy =
        PyDict_Check(copyreg_table.get()) ? Ref::steal(PyDict_Copy(copyreg_table.get())) : Ref();
    Ref extra_copy = PyDict_Check(extra.get()) ? Ref::steal(PyDict_Copy(extra.get())) : Ref();
    if (PyErr_Occurred()) return -1;
    l.copyreg_seen.reset(copyreg_copy);
    l.extra_seen.reset(extra_copy);
    return 0;
}

// The pickler's bytes for `obj`, the stream of a message (the buffers it
// leaves out of band are those the Collection in force takes). A pickler is
// reused while the reducers in force stay the same.
Ref dump(PyObject* obj) noexcept {
    QueueLayout& l = layout();
    const int unchanged = reducers_unchanged();
    if (unchanged < 0) return {};
    if (unchanged == 0) {
        Ref bytes_io = import_attribute("io", "BytesIO");
        Ref file = bytes_io ? Ref::steal(PyObject_CallNoArgs(bytes_io.get())) : Ref();
        Ref pickler =
            file
                ? Ref::steal(PyObject_CallFunction(l.message_pickler, "OiO", file.get(),
                                                   buffer_protocol, shm_buffers::buffer_callback()))
                : Ref();
        Ref start = Ref::steal(PyLong_FromLong(0));
        if (!pickler || !start) return {};
        l.pickle_file.reset(file);
        l.pickler.reset(pickler);
        l.file_start.reset(start);
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

Ref dumps_classic(PyObject* obj) noexcept {
    Ref view = Ref::steal(
        PyObject_CallMethod(layout().pickler_class, "dumps", "Oi", obj, message_protocol));
    return view ? Ref::steal(PyBytes_FromObject(view.get())) : Ref();
}

// The bytes that carry `obj` to process `reader` (0: not known): its own
// pickle, or a small message that says where its large buffers wait.
Ref pickle_now(PyObject* obj, pid_t reader) noexcept {
    QueueLayout& l = layout();
    if (l.own_pickles) {
        Ref quick = PyUnicode_CheckExact(obj) ? pickle_short_str(obj) : pickle_plain_answer(obj);
        if (quick || PyErr_Occurred()) return quick;
    }
    if (l.pickler_busy) return dumps_classic(obj);
    for (bool out_of_band = true;; out_of_band = false) {
        Ref data;
        bool classic = false;
        Ref buffers;
        {
            shm_buffers::Collection collected(out_of_band);
            data = dump(obj);
            classic = collected.needs_classic();
            buffers = Ref::borrow(collected.buffers());
        }
        if (!data) return {};
        // A read-only buffer that would arrive read-only: as before, whole.
        if (classic) return dumps_classic(obj);
        if (!buffers) return data;
        Ref packed = shm_buffers::pack(data.get(), buffers.get(), reader);
        if (packed || PyErr_Occurred()) return packed;
        // No segment to be had: the buffers go in the stream, through the pipe.
    }
}

} // namespace

Ref pickle_or_stand_in(PyObject* message, Kind kind, pid_t reader) noexcept {
    Ref data = pickle_now(message, reader);
    if (data) return data;
    SavedError error;
    if (kind == Kind::job) {
        // The caller's own interrupt ends the call; only what the job's
        // objects raised while they were pickled is the job's answer.
        Ref caller_s = call(layout().raised_by_signal, error.get());
        const int truth = caller_s ? PyObject_IsTrue(caller_s.get()) : -1;
        if (truth != 0) {
            if (truth < 0) {
                error.chain_into_current();
                return {};
            }
            error.restore();
            return {};
        }
    }
    Ref stand_in = kind == Kind::job ? stand_in::unsent_job(error.get())
                                     : stand_in::unsendable_answer(message, error.get());
    if (stand_in) data = pickle_now(stand_in.get(), reader);
    if (!data && kind == Kind::answer) {
        // Not even the stand-in: an answer that says so, and nothing else.
        PyErr_Clear();
        Ref info = Ref::steal(PyUnicode_FromString(
            "the answer could not be sent: neither it nor an account of why could be pickled\n"));
        Ref none = info ? Ref::steal(PyDict_New()) : Ref();
        Ref bare = none ? answer::make(names.EXCEPTION, Ref::borrow(names.empty_text), info.get(),
                                       std::move(none))
                        : Ref();
        if (bare) data = pickle_now(bare.get(), reader);
    }
    if (!data) error.chain_into_current();
    return data;
}

namespace {

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

} // namespace

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

} // namespace vantrel::mp_queue
