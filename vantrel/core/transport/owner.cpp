// One owner's traffic with a worker (owner.hpp).
#include "core/transport/owner.hpp"
#include "core/transport/message_pickle.hpp"
#include "core/transport/pairing.hpp"
#include "core/transport/pipe_read.hpp"
#include "core/transport/queue_state.hpp"

#include <climits>
#include <unistd.h>

namespace vantrel::owner {

using mp_queue::QueueState;

namespace {

// Whether the owner of `s` still needs it: jobs in flight or held back, and
// a worker that can still answer them.
bool busy(const QueueState& s) noexcept {
    return (s.tagged_sent > s.tagged_settled || s.held) && !mp_queue::worker_ended(s);
}

// Drops what has arrived on `q.qo`, as clear_queue does.
int drop_arrived(Queues& q) noexcept {
    const int drained = mp_queue::drain(q.out);
    if (drained != 0) return drained < 0 ? -1 : 0;
    for (;;) {
        Ref empty = call_method(q.qo.get(), names.empty);
        const int truth = empty ? PyObject_IsTrue(empty.get()) : -1;
        if (truth != 0) return truth < 0 ? -1 : 0;
        if (!call_method(q.qo.get(), names.get)) return -1;
    }
}

// The watch over the worker while the rest of a message is read.
mp_queue::Watch watch(const QueueState& s) noexcept {
    mp_queue::Watch w;
    if (s.watcher == 0 || s.watcher != getpid()) return w;
    w.process = mp_queue::worker_of(s);
    if (!w.process) return w;
    w.kind = mp_queue::Watch::Kind::child;
    w.pid = s.worker_pid;
    w.sentinel = s.sentinel;
    return w;
}

bool settles(PyObject* kind) noexcept {
    return PyUnicode_Check(kind) &&
           (PyUnicode_Compare(kind, names.answer) == 0 || PyUnicode_Compare(kind, names.lost) == 0);
}

// Appends what `message` (unpickled, or null with the error of unpickling
// it set) says, counting a job settled. -1 on error.
int hand_on(QueueState& s, const Ref& message, PyObject* into) noexcept {
    Ref entry;
    bool settled = true;
    if (!message) {
        if (PyErr_ExceptionMatches(PyExc_Exception) == 0) return -1;
        Ref error = Ref::steal(compat::fetch_exception());
        Ref kind = Ref::steal(PyUnicode_FromString("unreadable"));
        if (!kind) return -1;
        entry = Ref::steal(PyTuple_Pack(3, Py_None, kind.get(), error.get()));
    } else if (Py_TYPE(message.get()) == mp_queue::as_type(mp_queue::layout().tagged)) {
        Ref tag = Ref::steal(PyObject_GetAttr(message.get(), names.tag));
        Ref kind = tag ? Ref::steal(PyObject_GetAttr(message.get(), names.kind)) : Ref();
        Ref payload = kind ? Ref::steal(PyObject_GetAttr(message.get(), names.payload)) : Ref();
        if (!payload) return -1;
        settled = settles(kind.get());
        entry = Ref::steal(PyTuple_Pack(3, tag.get(), kind.get(), payload.get()));
    } else {
        // Untagged on an owned queue: the worker could not read a tagged job
        // (its tag with it), and answers in job order.
        entry = Ref::steal(PyTuple_Pack(3, Py_None, names.answer.get(), message.get()));
    }
    if (!entry || PyList_Append(into, entry.get()) < 0) return -1;
    if (settled && s.tagged_settled < s.tagged_sent) ++s.tagged_settled;
    if (settled) {
        ++s.answers_read; // for the pool's status
        s.last_answer_at = mp_queue::monotonic();
    }
    return 0;
}

int take_public(Queues& q, PyObject* into) noexcept {
    PyObject* empty = process_state().stdlib.queue_empty;
    for (;;) {
        Ref item = call_method(q.qo.get(), names.get, Py_False);
        if (!item && PyErr_ExceptionMatches(empty) != 0) {
            PyErr_Clear();
            return 0;
        }
        if (hand_on(*q.out, item, into) < 0) return -1;
    }
}

int take_direct(QueueState& s, PyObject* into) noexcept {
    const int locked = mp_queue::try_acquire(s.rlock.get());
    if (locked <= 0) return locked; // another thread takes them
    mp_queue::Held rlock(s.rlock.get());
    const mp_queue::Watch w = watch(s);
    const Py_ssize_t before = PyList_GET_SIZE(into);
    for (;;) {
        Ref data;
        switch (mp_queue::read_arrived(s, w, data)) {
        case mp_queue::Read::message:
            break;
        case mp_queue::Read::timeout: // nothing more now
        case mp_queue::Read::gone:    // cut off: the owner learns of the end from the worker
            return 0;
        case mp_queue::Read::error:
            // What was taken is handed on; the error comes back at the next look.
            if (PyList_GET_SIZE(into) > before && PyErr_ExceptionMatches(PyExc_Exception) != 0) {
                PyErr_Clear();
                return 0;
            }
            return -1;
        }
        if (hand_on(s, mp_queue::unpickle(data.get()), into) < 0) return -1;
    }
}

// The reader's descriptor of a queue on the public path, learnt once.
int public_reader(PyObject* qo, QueueState& s) noexcept {
    if (s.public_fd != -2) return s.public_fd;
    s.public_fd = -1;
    Ref reader = Ref::steal(PyObject_GetAttrString(qo, "_reader"));
    Ref fd = reader ? call_method(reader.get(), names.fileno) : Ref();
    const long value = fd ? PyLong_AsLong(fd.get()) : -1;
    if (PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_Exception) == 0) return -1;
        PyErr_Clear();
    }
    if (value >= 0 && value <= INT_MAX) s.public_fd = static_cast<int>(value);
    return s.public_fd;
}

} // namespace

int queues_of(PyObject* handle, Queues& q) noexcept {
    q.qi = Ref::steal(PyObject_GetAttr(handle, names.qi));
    q.qo = q.qi ? Ref::steal(PyObject_GetAttr(handle, names.qo)) : Ref();
    if (!q.qo || mp_queue::state_of(q.qi.get(), q.in) < 0 ||
        mp_queue::state_of(q.qo.get(), q.out) < 0)
        return -1;
    if (q.out) return 0;
    PyErr_Format(PyExc_TypeError, "a worker's output queue must be a multiprocessing queue, not %s",
                 Py_TYPE(q.qo.get())->tp_name);
    return -1;
}

int claim(Queues& q, PyObject* owner) noexcept {
    QueueState& s = *q.out;
    if (s.owner.get() == owner) return 0;
    if (s.owner && busy(s)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "this worker's answers belong to other futures still unanswered");
        return -1;
    }
    // Answers an unfinished call left owing, and stale ones, go first: they
    // must not reach the new owner.
    if (settle(q.qi.get(), q.qo.get()) < 0 || drop_arrived(q) < 0) return -1;
    s.owner = Ref::borrow(owner);
    s.tagged_sent = 0;
    s.tagged_settled = 0;
    s.last_tag.reset();
    s.held = false;
    return 1;
}

void release(Queues& q, PyObject* owner) noexcept {
    if (q.out->owner.get() != owner) return;
    q.out->owner.reset();
    q.out->held = false;
}

void hold(Queues& q, bool held) noexcept {
    q.out->held = held;
}

int send(Queues& q, PyObject* tag, PyObject* job, bool live) noexcept {
    if (mp_queue::send(q.qi.get(), q.in, job, mp_queue::Kind::job,
                       {tag, live ? names.live : names.job}) < 0)
        return -1;
    ++q.out->tagged_sent;
    q.out->last_tag = Ref::borrow(tag);
    return 0;
}

Ref last_sent(Queues& q) noexcept {
    return q.out->last_tag ? Ref::borrow(q.out->last_tag.get()) : Ref::borrow(Py_None);
}

Py_ssize_t send_many(Queues& q, Py_ssize_t first, PyObject* jobs, Ref& error, bool live) noexcept {
    Ref items = Ref::steal(PySequence_Fast(jobs, "jobs must be a sequence"));
    if (!items) return -1;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    mp_queue::Outbox outbox(1);
    Py_ssize_t added = 0;
    for (; added < count; ++added) {
        Ref tag = Ref::steal(PyLong_FromSsize_t(first + added));
        PyObject* job = PySequence_Fast_GET_ITEM(items.get(), added);
        if (!tag || outbox.add(0, q.qi.get(), q.in, job, mp_queue::Kind::job,
                               {tag.get(), live ? names.live : names.job}) < 0)
            break;
    }
    // What was added goes now, the rest never: an interrupt while a job was
    // pickled stops the batch there.
    SavedError stopped;
    const int sent = outbox.send_all();
    if (sent < 0)
        stopped.chain_into_current();
    else
        stopped.restore();
    q.out->tagged_sent += static_cast<std::uint64_t>(added);
    if (added > 0) {
        SavedError pending;
        Ref last = Ref::steal(PyLong_FromSsize_t(first + added - 1));
        if (last)
            q.out->last_tag = std::move(last);
        else
            PyErr_Clear(); // no memory for it: the owner counts without it
        pending.restore();
    }
    if (PyErr_Occurred()) error = Ref::steal(compat::fetch_exception());
    return added;
}

int take(Queues& q, PyObject* owner, PyObject* into) noexcept {
    QueueState& s = *q.out;
    if (s.owner.get() != owner) return 1;
    return s.direct ? take_direct(s, into) : take_public(q, into);
}

void descriptors(Queues& q, int& answers, int& ended) noexcept {
    const QueueState& s = *q.out;
    answers = s.direct ? s.reader_fd : public_reader(q.qo.get(), *q.out);
    ended = s.watcher != 0 && s.watcher == getpid() ? s.sentinel : -1;
}

int check_unowned(QueueState& out) noexcept {
    if (!out.owner) return 0;
    if (busy(out)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "this worker has futures (vantrel.futures) that are still unanswered: "
                        "map, reduce, blocked_put and clear_output would take their answers; "
                        "wait for them first (vantrel.futures.pending(pool) lists them)");
        return -1;
    }
    out.owner.reset();
    out.held = false;
    return 0;
}

} // namespace vantrel::owner
