// The commonest tagged messages without the pickler (message_pickle.hpp):
// vantrel._control.Tagged(tag, kind, payload) with a tag that fits in 32
// bits, a short kind, and a payload that is None, a str or an answer with no
// values, written in protocol 4's own opcodes. pickle.loads reads them like
// any message (a reader on the public path too); they are recognised on
// arrival and need no unpickler either.
#include "core/capi/call.hpp"
#include "core/job/answer.hpp"
#include "core/transport/message_pickle.hpp"
#include "core/transport/queue_state.hpp"

#include <cstring>

namespace vantrel::mp_queue {

namespace {

namespace opcode {
constexpr unsigned char proto = 0x80, short_text = 0x8c, text = 'X', stack_global = 0x93,
                        binint = 'J', none = 'N', empty_list = ']', mark = '(', empty_dict = '}',
                        appends = 'e', tuple3 = 0x87, reduce = 'R', stop = '.';
}

// PROTO 4, the class by module and name, STACK_GLOBAL: what every such
// message starts with.
constexpr char head[] = "\x80\x04\x8c\x10vantrel._control\x8c\x06Tagged\x93";
constexpr Py_ssize_t head_size = sizeof(head) - 1;
constexpr Py_ssize_t tail_size = 3; // TUPLE3, REDUCE, STOP
constexpr Py_ssize_t int_size = 4;
constexpr Py_ssize_t short_head = 2;
constexpr Py_ssize_t long_head = 5;
constexpr Py_ssize_t longest_short = 0xff;
constexpr Py_ssize_t longest_text = 0xffffffff;
constexpr Py_ssize_t texts_in_answer = 3;

struct Text {
    const char* at = nullptr;
    Py_ssize_t size = 0;
    Py_ssize_t encoded() const noexcept {
        return size + (size <= longest_short ? short_head : long_head);
    }
};

// The UTF-8 of an exact str; false (no error) for anything else.
bool text_of(PyObject* obj, Text& t) noexcept {
    if (!PyUnicode_CheckExact(obj)) return false;
    t.at = PyUnicode_AsUTF8AndSize(obj, &t.size);
    if (!t.at) {
        PyErr_Clear(); // lone surrogates: the pickler knows what to do
        return false;
    }
    return t.size <= longest_text;
}

unsigned char* put_text(unsigned char* out, const Text& t) noexcept {
    if (t.size <= longest_short) {
        *out++ = opcode::short_text;
        *out++ = static_cast<unsigned char>(t.size);
    } else {
        *out++ = opcode::text;
        out = write_uint(static_cast<std::uint64_t>(t.size), out, int_size, Order::little_endian);
    }
    std::memcpy(out, t.at, static_cast<size_t>(t.size));
    return out + t.size;
}

// A text at `at` (advanced past it); null (no error) when the bytes are not
// one: pickle.loads then says what is wrong.
Ref take_text(const unsigned char*& at, const unsigned char* end) noexcept {
    Ref text = read_text(at, end);
    if (!text) PyErr_Clear();
    return text;
}

} // namespace

Ref pickle_tagged_quick(PyObject* tag, PyObject* kind, PyObject* payload) noexcept {
    if (!PyLong_CheckExact(tag)) return {};
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(tag, &overflow);
    if (overflow != 0 || number < INT32_MIN || number > INT32_MAX) return {};
    Text kind_text;
    if (!text_of(kind, kind_text) || kind_text.size > longest_short) return {};
    Text texts[texts_in_answer];
    Py_ssize_t body = 0;
    enum class Shape { none, text, answer } shape = Shape::none;
    if (payload == Py_None) {
        body = 1;
    } else if (text_of(payload, texts[0])) {
        shape = Shape::text;
        body = texts[0].encoded();
    } else if (PyList_CheckExact(payload) && PyList_GET_SIZE(payload) == answer::item::count) {
        PyObject* values = PyList_GET_ITEM(payload, answer::item::values);
        if (!PyDict_CheckExact(values) || PyDict_GET_SIZE(values) != 0) return {};
        body = 4; // EMPTY_LIST, MARK, EMPTY_DICT, APPENDS
        for (Py_ssize_t i = 0; i < texts_in_answer; ++i) {
            if (!text_of(PyList_GET_ITEM(payload, i), texts[i])) return {};
            body += texts[i].encoded();
        }
        shape = Shape::answer;
    } else {
        return {};
    }
    if (PyErr_Occurred()) return {};
    const Py_ssize_t total = head_size + 1 + int_size + kind_text.encoded() + body + tail_size;
    Ref data = Ref::steal(PyBytes_FromStringAndSize(nullptr, total));
    if (!data) return {};
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(data.get()));
    std::memcpy(out, head, head_size);
    out += head_size;
    *out++ = opcode::binint;
    out = write_uint(static_cast<std::uint32_t>(static_cast<std::int32_t>(number)), out, int_size,
                     Order::little_endian);
    out = put_text(out, kind_text);
    switch (shape) {
    case Shape::none:
        *out++ = opcode::none;
        break;
    case Shape::text:
        out = put_text(out, texts[0]);
        break;
    case Shape::answer:
        *out++ = opcode::empty_list;
        *out++ = opcode::mark;
        for (const Text& t : texts)
            out = put_text(out, t);
        *out++ = opcode::empty_dict;
        *out++ = opcode::appends;
        break;
    }
    *out++ = opcode::tuple3;
    *out++ = opcode::reduce;
    *out = opcode::stop;
    return data;
}

// NOLINTNEXTLINE(readability-function-cognitive-complexity): one parser reads best in one place
Ref unpickle_tagged_quick(PyObject* data) noexcept {
    const auto* at = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data));
    const unsigned char* end = at + PyBytes_GET_SIZE(data);
    if (end - at < head_size + 1 + int_size + tail_size || std::memcmp(at, head, head_size) != 0 ||
        at[head_size] != opcode::binint || end[-3] != opcode::tuple3 || end[-2] != opcode::reduce ||
        end[-1] != opcode::stop)
        return {};
    at += head_size + 1;
    const auto number = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(read_uint(at, int_size, Order::little_endian)));
    at += int_size;
    end -= tail_size;
    Ref kind = take_text(at, end);
    if (!kind || at >= end) return {};
    Ref payload;
    if (*at == opcode::none) {
        payload = Ref::borrow(Py_None);
        ++at;
    } else if (*at == opcode::empty_list) {
        if (end - at < 4 || at[1] != opcode::mark || end[-2] != opcode::empty_dict ||
            end[-1] != opcode::appends)
            return {};
        at += 2;
        Ref list = Ref::steal(PyList_New(answer::item::count));
        if (!list) {
            PyErr_Clear();
            return {};
        }
        for (Py_ssize_t i = 0; i < texts_in_answer; ++i) {
            Ref text = take_text(at, end - 2);
            if (!text) return {};
            PyList_SET_ITEM(list.get(), i, text.release());
        }
        Ref values = at == end - 2 ? Ref::steal(PyDict_New()) : Ref();
        if (!values) {
            PyErr_Clear();
            return {};
        }
        PyList_SET_ITEM(list.get(), answer::item::values, values.release());
        payload = std::move(list);
        at = end;
    } else {
        payload = take_text(at, end);
    }
    if (!payload || at != end) return {};
    // Made without running its __init__ (its slots set by their C
    // descriptors): no Python code runs, so no interrupt lands here.
    PyTypeObject* type = as_type(layout().tagged);
    Ref tag = Ref::steal(PyLong_FromLong(number));
    Ref tagged = tag ? Ref::steal(type->tp_alloc(type, 0)) : Ref();
    if (!tagged || PyObject_SetAttr(tagged.get(), names.tag, tag.get()) < 0 ||
        PyObject_SetAttr(tagged.get(), names.kind, kind.get()) < 0 ||
        PyObject_SetAttr(tagged.get(), names.payload, payload.get()) < 0)
        return {};
    return tagged;
}

} // namespace vantrel::mp_queue
