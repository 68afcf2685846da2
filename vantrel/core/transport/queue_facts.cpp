// What vantrel does with the inside of multiprocessing.Queue, in one place.
//
// A multiprocessing.Queue (multiprocessing/queues.py of CPython 3.11 to 3.15)
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
//  5. ForkingPickler pickles with the protocol it is given (a feeder: the
//     default one) and keeps the reducers registered with it in
//     `_extra_reducers`; each ForkingPickler made copies that and
//     `_copyreg_dispatch_table` (copyreg's dispatch table) when it is made
//     (message_pickle.cpp makes a new one when they change, and one per
//     message when they cannot be found).
// The facts are checked once per process, at the first queue met (the names
// the queue's methods use, the parameters of its feeder, the message format
// of Connection, the pickle of a short str). A queue that is not exactly
// multiprocessing.queues.Queue, or a Python on which the facts do not hold,
// takes the public path: messages are pickled here and handed to `put` as
// `vantrel._control.Pickled`, and read with `get`; a RuntimeWarning says so
#include "core/transport/queue_facts.hpp"
#include "core/capi/module.hpp"
#include "core/transport/message_pickle.hpp"
#include "core/transport/queue_state.hpp"
#include "core/transport/shm_buffers.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace vantrel::mp_queue {

namespace {

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

// The plain function behind attribute `name` of class `cls`; nothing is
// looked up while an earlier look's error is set.
Ref class_function(PyObject* cls, const char* name) noexcept {
    if (PyErr_Occurred()) return {};
    Ref attr = Ref::steal(PyObject_GetAttrString(cls, name));
    return attr && PyFunction_Check(attr.get()) ? attr : Ref();
}

bool facts_hold() noexcept {
    QueueLayout& l = layout();
    PyObject* queue_type = process_state().stdlib.queue_type;
    Ref put = class_function(queue_type, "put");
    Ref get = class_function(queue_type, "get");
    Ref reset = class_function(queue_type, "_reset");
    Ref feed = class_function(queue_type, "_feed");
    // No more looks once one failed: the error (an interrupt, maybe) stays set.
    if (PyErr_Occurred()) return false;
    Ref connection = import_attribute("multiprocessing.connection", "Connection");
    Ref send_bytes = connection ? class_function(connection.get(), "_send_bytes") : Ref();
    Ref recv_bytes = connection ? class_function(connection.get(), "_recv_bytes") : Ref();
    if (PyErr_Occurred()) return false;
    Ref condition = import_attribute("threading", "Condition");
    Ref notify = condition ? class_function(condition.get(), "notify") : Ref();
    Ref probe = condition ? Ref::steal(PyObject_CallNoArgs(condition.get())) : Ref();
    Ref waiters = probe ? Ref::steal(PyObject_GetAttr(probe.get(), layout().waiters_name)) : Ref();
    if (PyErr_Occurred()) return false;
    Ref deque = import_attribute("collections", "deque");
    if (!put || !get || !reset || !feed || !notify || !send_bytes || !recv_bytes || !waiters ||
        !deque || !PyType_Check(connection.get()) || !PyType_Check(condition.get()) ||
        !PyType_Check(deque.get()) || Py_TYPE(waiters.get()) != as_type(deque.get()))
        return false;
    // The pickler pickles a short str the way pickle_short_str does.
    Ref sample = Ref::steal(PyUnicode_FromString("pass"));
    Ref expected = sample ? pickle_short_str(sample.get()) : Ref();
    Ref view = sample ? Ref::steal(PyObject_CallMethod(l.pickler_class, "dumps", "Oi", sample.get(),
                                                       message_protocol))
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

} // namespace

int direct_path_known() noexcept {
    QueueLayout& l = layout();
    if (l.known >= 0) return l.known;
    Ref control = import_module("vantrel._control");
    Ref enabled =
        control ? Ref::steal(PyObject_GetAttrString(control.get(), "queue_fast_path")) : Ref();
    const auto attribute = [&control](const char* name) {
        return Ref::steal(PyObject_GetAttrString(control.get(), name));
    };
    const auto pickler = [&control](PyObject* buffers) {
        return Ref::steal(PyObject_CallMethod(control.get(), "message_pickler", "O", buffers));
    };
    if (!enabled || !l.buffer_name.keep(Ref::steal(PyUnicode_InternFromString("_buffer"))) ||
        !l.thread_name.keep(Ref::steal(PyUnicode_InternFromString("_thread"))) ||
        !l.waiters_name.keep(Ref::steal(PyUnicode_InternFromString("_waiters"))) ||
        !l.pickled.keep(attribute("Pickled")) || !l.tagged.keep(attribute("Tagged")) ||
        !l.deferring_put.keep(attribute("put_deferring_interrupts")) ||
        !l.loads.keep(import_attribute("pickle", "loads")) ||
        // ForkingPickler, or its subclass that sends an interactive __main__'s classes by value.
        !l.pickler_class.keep(pickler(Py_False)) || !l.message_pickler.keep(pickler(Py_True)) ||
        !l.raised_by_signal.keep(attribute("raised_by_signal")) ||
        !l.copyreg_table_name.keep(
            Ref::steal(PyUnicode_InternFromString("_copyreg_dispatch_table"))) ||
        !l.extra_reducers_name.keep(Ref::steal(PyUnicode_InternFromString("_extra_reducers"))) ||
        !shm_buffers::init())
        return -1;
    const int wanted = PyObject_IsTrue(enabled.get());
    if (wanted < 0) return -1;
    const bool held = wanted != 0 && facts_hold();
    // A fact that cannot be read does not hold; an interrupt leaves them to
    // be checked again at the next queue.
    if (PyErr_Occurred() && !clear_if_exception()) return -1;
    l.own_pickles = held;
    l.known = held ? 1 : 0;
    if (wanted != 0 && !held && warn_public_path() < 0) return -1;
    return l.known;
}

} // namespace vantrel::mp_queue
