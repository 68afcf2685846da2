// Pickling a message and unpickling it (message_pickle.hpp).
#include "core/transport/message_pickle.hpp"
#include "core/capi/call.hpp"
#include "core/capi/module.hpp"
#include "core/job/answer.hpp"
#include "core/job/stand_in.hpp"
#include "core/transport/queue_state.hpp"
#include "core/transport/shm_buffers.hpp"

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

// Clears the error being raised when it is a `type`, and says so.
bool clear_if(PyObject* type) noexcept {
    if (PyErr_ExceptionMatches(type) == 0) return false;
    PyErr_Clear();
    return true;
}

} // namespace

// A str of fewer than 256 UTF-8 bytes as protocol 4 pickles it:
// PROTO 4, FRAME, SHORT_BINUNICODE, MEMOIZE, STOP. Null (no error) for
// anything else.
Ref pickle_short_str(PyObject* obj) noexcept {
    if (!PyUnicode_CheckExact(obj)) return {};
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!text) {
        clear_if(PyExc_UnicodeEncodeError); // lone surrogates: the pickler knows what to do
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
            clear_if(PyExc_UnicodeEncodeError); // lone surrogates: the pickler knows what to do
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

// A message of one of the two shapes above, decoded without an unpickler;
// null for any other message (no error), or with the error set.
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
    if (!list) return {};
    for (Py_ssize_t i = 0; i < answer_texts; ++i) {
        Ref text = read_text(at, end - answer_closing);
        if (!text) return {};
        PyList_SET_ITEM(list.get(), i, text.release());
    }
    if (at != end - answer_closing) return {};
    Ref values = Ref::steal(PyDict_New());
    if (!values) return {};
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

// The reducer tables in force where ForkingPickler finds them when a
// pickler is made (copyreg's dispatch table and its own registry): 1 with
// both set, 0 when the pickler class keeps them elsewhere (then a new pickler
// for every message is always right), -1 on error.
int reducer_tables(Ref& copyreg_table, Ref& extra) noexcept {
    const QueueLayout& l = layout();
    PyObject* found = nullptr;
    const int has = compat::get_optional_attr(l.pickler_class, l.copyreg_table_name, &found);
    copyreg_table = Ref::steal(found);
    if (has <= 0) return has;
    const int has_extra = compat::get_optional_attr(l.pickler_class, l.extra_reducers_name, &found);
    extra = Ref::steal(found);
    if (has_extra <= 0) return has_extra;
    return PyDict_Check(copyreg_table.get()) && PyDict_Check(extra.get()) ? 1 : 0;
}

// Positions in the tuple that QueueLayout::reusable holds.
namespace reused {
constexpr Py_ssize_t pickler = 0, file = 1, copyreg_seen = 2, extra_seen = 3, size = 4;
}

// Whether `made` (a tuple as above) pickles with the reducers in force, as a
// ForkingPickler made now would (it copies both tables when it is made):
// looks at the tables' contents, so that a reducer registered or replaced at
// any time is used from the next message on. -1 on error.
int still_current(PyObject* made, PyObject* copyreg_table, PyObject* extra) noexcept {
    if (same_items(copyreg_table, PyTuple_GET_ITEM(made, reused::copyreg_seen)) &&
        same_items(extra, PyTuple_GET_ITEM(made, reused::extra_seen)))
        return 1;
    return PyErr_Occurred() ? -1 : 0;
}

// A new message pickler over a new io.BytesIO, as a tuple as above (the
// tables copied now, or None when there are none to compare).
Ref make_pickler(PyObject* copyreg_table, PyObject* extra) noexcept {
    QueueLayout& l = layout();
    const auto copy = [](PyObject* table) {
        return table ? Ref::steal(PyDict_Copy(table)) : Ref::borrow(Py_None);
    };
    Ref copyreg_copy = copy(copyreg_table);
    Ref extra_copy = copyreg_copy ? copy(extra) : Ref();
    Ref bytes_io = extra_copy ? import_attribute("io", "BytesIO") : Ref();
    Ref file = bytes_io ? Ref::steal(PyObject_CallNoArgs(bytes_io.get())) : Ref();
    Ref pickler =
        file ? Ref::steal(PyObject_CallFunction(l.message_pickler, "OiO", file.get(),
                                                buffer_protocol, shm_buffers::buffer_callback()))
             : Ref();
    if (!pickler) return {};
    if (!l.file_start && !l.file_start.keep(Ref::steal(PyLong_FromLong(0)))) return {};
    return Ref::steal(PyTuple_Pack(reused::size, pickler.get(), file.get(), copyreg_copy.get(),
                                   extra_copy.get()));
}

// The pickler's bytes for `message`, its stream (the buffers it
// leaves out of band are those the Collection in force takes). The reusable
// pickler is taken out of its slot for the dump, which runs Python code: a
// dump in another thread, or one that code starts, meanwhile makes its own,
// and nothing here is borrowed from the slot. It goes back while the
// reducers in force stay the same and the stream was not a large one.
Ref dump(PyObject* message) noexcept {
    QueueLayout& l = layout();
    Ref made = l.reusable.take();
    Ref copyreg_table;
    Ref extra;
    const int tables = reducer_tables(copyreg_table, extra);
    if (tables < 0) return {};
    const int current =
        made && tables == 1 ? still_current(made.get(), copyreg_table.get(), extra.get()) : 0;
    if (current < 0) return {};
    if (current == 0) {
        made = tables == 1 ? make_pickler(copyreg_table.get(), extra.get())
                           : make_pickler(nullptr, nullptr);
        if (!made) return {};
    }
    PyObject* dumper = PyTuple_GET_ITEM(made.get(), reused::pickler); // held by `made`
    PyObject* file = PyTuple_GET_ITEM(made.get(), reused::file);
    const bool dumped = call_method(file, names.seek, l.file_start) &&
                        call_method(file, names.truncate) &&
                        call_method(dumper, names.dump, message);
    bool cleared = false;
    {
        // The memo holds what was pickled: let go of it now, not at the next
        // message. A pickler that could not is not used again, and what it
        // raised is raised (with the dump's own error as its context).
        SavedError error;
        cleared = static_cast<bool>(call_method(dumper, names.clear_memo));
        if (cleared) {
            error.restore();
        } else {
            made.reset();
            error.chain_into_current();
        }
    }
    Ref data = dumped && cleared ? call_method(file, names.getvalue) : Ref();
    // The file keeps its buffer: not the one of a large message.
    constexpr Py_ssize_t largest_kept = Py_ssize_t{1024} * 1024;
    if (data && made && tables == 1 && PyBytes_GET_SIZE(data.get()) <= largest_kept && !l.reusable)
        l.reusable.reset(std::move(made));
    return data;
}

Ref dumps_at(PyObject* obj, int version) noexcept {
    Ref view = Ref::steal(PyObject_CallMethod(layout().pickler_class, "dumps", "Oi", obj, version));
    return view ? Ref::steal(PyBytes_FromObject(view.get())) : Ref();
}

// The message whole, its buffers in the stream: protocol 4 (an array read
// only here arrives writable), or 5 for what 4 cannot pickle at all (a
// PickleBuffer).
Ref dumps_classic(PyObject* obj) noexcept {
    constexpr int buffers_in_stream = 5;
    Ref data = dumps_at(obj, message_protocol);
    if (data || PyErr_ExceptionMatches(PyExc_Exception) == 0 ||
        PyErr_ExceptionMatches(PyExc_MemoryError) != 0)
        return data;
    PyErr_Clear();
    return dumps_at(obj, buffers_in_stream);
}

// The bytes that carry `obj` to process `reader` (0: not known): its own
// pickle, or a small message that says where its large buffers wait.
Ref pickle_now(PyObject* obj, pid_t reader) noexcept {
    QueueLayout& l = layout();
    if (l.own_pickles) {
        Ref quick = PyUnicode_CheckExact(obj) ? pickle_short_str(obj) : pickle_plain_answer(obj);
        if (quick || PyErr_Occurred()) return quick;
    }
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

namespace {

// `message`, or with a tag, the Tagged message around it.
Ref tagged(PyObject* message, Tag tag) noexcept {
    if (!tag.tag) return Ref::borrow(message);
    PyObject* args[] = {tag.tag, tag.kind, message};
    return Ref::steal(PyObject_Vectorcall(layout().tagged, args, 3, nullptr));
}

Ref pickle_tagged(PyObject* message, Tag tag, pid_t reader) noexcept {
    if (tag.tag && layout().own_pickles) {
        Ref quick = pickle_tagged_quick(tag.tag, tag.kind, message);
        if (quick || PyErr_Occurred()) return quick;
    }
    Ref whole = tagged(message, tag);
    return whole ? pickle_now(whole.get(), reader) : Ref();
}

} // namespace

Ref pickle_or_stand_in(PyObject* message, Kind kind, pid_t reader, Tag tag) noexcept {
    Ref data = pickle_tagged(message, tag, reader);
    if (data || kind == Kind::live_text) return data; // a piece has no stand-in: not sent
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
    if (stand_in) data = pickle_tagged(stand_in.get(), tag, reader);
    if (!data && kind == Kind::answer && PyErr_ExceptionMatches(PyExc_MemoryError) == 0 &&
        clear_if(PyExc_Exception)) {
        // Not even the stand-in: an answer that says so, and nothing else.
        Ref info = Ref::steal(PyUnicode_FromString(
            "the answer could not be sent: neither it nor an account of why could be pickled\n"));
        Ref none = info ? Ref::steal(PyDict_New()) : Ref();
        Ref bare = none ? answer::make(names.EXCEPTION, Ref::borrow(names.empty_text), info.get(),
                                       std::move(none))
                        : Ref();
        if (bare) data = pickle_tagged(bare.get(), tag, reader);
    }
    if (!data) error.chain_into_current();
    return data;
}

namespace {

// The bytes inside a large Pickled as it arrives, as a view: null for any
// other message (no error), or with the error set.
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
    return range ? Ref::steal(PyObject_GetItem(view.get(), range.get())) : Ref();
}

} // namespace

Ref unpickle(PyObject* data) noexcept {
    Ref inner;
    if (layout().own_pickles) {
        Ref known = unpickle_known(data);
        if (known || PyErr_Occurred()) return known;
        known = unpickle_tagged_quick(data);
        if (known || PyErr_Occurred()) return known;
        // A large message that went through a feeder: the bytes inside, in place.
        inner = wrapped_bytes(data);
        if (!inner && PyErr_Occurred()) return {};
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

// Reads one pickled text (SHORT_BINUNICODE or BINUNICODE) at `*at` (advanced past it); null when
// the bytes are not one (with the error set when one could not be made).
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
    if (!text) clear_if(PyExc_UnicodeDecodeError); // let pickle.loads say what is wrong
    at += size;
    return text;
}

} // namespace vantrel::mp_queue
