// The interface of mp_queue.hpp: the state kept on each queue, sending,
// receiving jobs and answers, and the watch over a worker while its answer is
// awaited.
#include "core/transport/mp_queue.hpp"
#include "core/capi/module.hpp"
#include "core/transport/message_pickle.hpp"
#include "core/transport/pipe_read.hpp"
#include "core/transport/pipe_write.hpp"
#include "core/transport/queue_facts.hpp"
#include "core/transport/queue_state.hpp"
#include "core/transport/shm_buffers.hpp"

#include <algorithm>
#include <climits>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace vantrel::mp_queue {

namespace {

// A queue's state is shared by the binaries of one build only.
const char* capsule_name() noexcept {
    return state_stamp();
}

void destroy_state(PyObject* capsule) noexcept {
    delete static_cast<QueueState*>(PyCapsule_GetPointer(capsule, capsule_name()));
}

// A file descriptor held by a Python int, or -1 (with the error set when
// reading it was interrupted or ran out of memory).
int as_fd(PyObject* number) noexcept {
    const long value = number ? PyLong_AsLong(number) : -1;
    if (value < 0 || value > INT32_MAX) {
        if (PyErr_Occurred()) clear_if_exception();
        return -1;
    }
    return static_cast<int>(value);
}

// Fills what the direct path needs; false (no error) when this queue cannot
// take it.
bool prepare_direct(PyObject* queue, QueueState& s) noexcept {
    const QueueLayout& l = layout();
    if (Py_TYPE(queue) != as_type(process_state().stdlib.queue_type)) return false;
    const auto attribute = [queue](const char* name) {
        return Ref::steal(PyObject_GetAttrString(queue, name));
    };
    // Each look only once the last one succeeded: no Python code runs while
    // an error (an interrupt, maybe) is set, and state_of sorts that error out.
    Ref reader;
    Ref writer;
    Ref notempty;
    if (!reader.keep(attribute("_reader")) || !writer.keep(attribute("_writer")) ||
        !notempty.keep(attribute("_notempty")) || !s.rlock.keep(attribute("_rlock")) ||
        !s.wlock.keep(attribute("_wlock")) || !s.sem.keep(attribute("_sem")) ||
        Py_TYPE(reader.get()) != as_type(l.connection_type) ||
        Py_TYPE(writer.get()) != as_type(l.connection_type) ||
        Py_TYPE(notempty.get()) != as_type(l.condition_type))
        return false;
    Ref reader_fd;
    Ref writer_fd;
    if (!s.waiters.keep(Ref::steal(PyObject_GetAttr(notempty.get(), layout().waiters_name))) ||
        !s.notempty_lock.keep(Ref::steal(PyObject_GetAttrString(notempty.get(), "_lock"))) ||
        !reader_fd.keep(call_method(reader.get(), names.fileno)) ||
        !writer_fd.keep(call_method(writer.get(), names.fileno)))
        return false;
    s.reader_fd = as_fd(reader_fd.get());
    s.writer_fd = as_fd(writer_fd.get());
    const int capacity = s.writer_fd >= 0 ? fcntl(s.writer_fd, F_GETPIPE_SZ) : -1;
    if (s.reader_fd < 0 || capacity <= 0) return false;
    s.pipe_bytes = static_cast<size_t>(capacity);
    return true;
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

// How the worker ended, in words (vantrel._figures.death_details); an
// empty text when that cannot be told. Null only for an error that is not an
// Exception (an interrupt), which the caller must see.
[[gnu::cold]] Ref death_details(PyObject* process) noexcept {
    Ref details = import_attribute("vantrel._figures", "death_details");
    Ref text = details ? call(details.get(), process) : Ref();
    if (text && PyUnicode_Check(text.get()) && PyUnicode_GET_LENGTH(text.get()) > 0)
        return Ref::steal(PyUnicode_FromFormat(": %U", text.get()));
    if (!text && PyErr_ExceptionMatches(PyExc_Exception) == 0) return {};
    PyErr_Clear();
    return Ref::steal(PyUnicode_FromString(""));
}

[[gnu::cold]] void raise_gone(PyObject* process, Py_ssize_t position) noexcept {
    Ref pid = Ref::steal(PyObject_GetAttr(process, names.pid));
    Ref code = pid ? Ref::steal(PyObject_GetAttr(process, names.exitcode)) : Ref();
    if (!code) return;
    Ref details = death_details(process);
    if (!details) return;
    Ref message = position >= 0
                      ? Ref::steal(PyUnicode_FromFormat(
                            "worker process %R ended (exit code %R) without answering job %zd%U",
                            pid.get(), code.get(), position, details.get()))
                      : Ref::steal(PyUnicode_FromFormat(
                            "worker process %R ended (exit code %R) without answering the job%U",
                            pid.get(), code.get(), details.get()));
    if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
}

[[gnu::cold]] void raise_cut_off() noexcept {
    PyErr_SetString(PyExc_RuntimeError,
                    "a message on this queue was cut off by a writer that ended");
}

// The public path of an answer: get(True, 0.2) and a look at the worker
// between tries.
Ref receive_answer_public(PyObject* qo, QueueState& s, Py_ssize_t position,
                          Lookout* lookout) noexcept {
    const Watch w = watch_worker(s);
    if (w.kind != Watch::Kind::child) return call_method(qo, names.get);
    PyObject* empty = process_state().stdlib.queue_empty;
    for (;;) {
        Ref item = call_method(qo, names.get, Py_True, process_state().answer_poll);
        if (item || PyErr_ExceptionMatches(empty) == 0) return item;
        PyErr_Clear();
        if (lookout && lookout->look() < 0) return {};
        const int dead = ended(w);
        if (dead < 0) {
            // Not ours to ask (another process started it): wait as before.
            // An interrupt that came while asking is the caller's.
            if (!clear_if_exception()) return {};
            return call_method(qo, names.get);
        }
        if (dead == 0) continue;
        // Dead: take an answer that arrived after the last look, if any.
        item = call_method(qo, names.get, Py_False);
        if (item || PyErr_ExceptionMatches(empty) == 0) return item;
        PyErr_Clear();
        forget_worker(s);
        if (release_feeders(s) == 0) raise_gone(w.process.get(), position);
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
        if (w.lookout && w.lookout->look() < 0) return -1;
    }
    return 0;
}

} // namespace

int state_of(PyObject* queue, QueueState*& state) noexcept {
    state = nullptr;
    if (!load_stdlib()) return -1;
    if (!PyObject_TypeCheck(queue, as_type(process_state().stdlib.queue_type))) return 0;
    PyObject* found = nullptr;
    const int has = compat::get_optional_attr(queue, names.queue_state_attribute, &found);
    Ref capsule = Ref::steal(found);
    if (has < 0) return -1;
    // The layout is learnt once, by whichever module meets a queue first.
    const int direct = direct_path_known();
    if (direct < 0) return -1;
    if (capsule && PyCapsule_IsValid(capsule.get(), capsule_name()) != 0) {
        state = static_cast<QueueState*>(PyCapsule_GetPointer(capsule.get(), capsule_name()));
        return 1;
    }
    auto* made = new (std::nothrow) QueueState();
    if (!made) {
        PyErr_NoMemory();
        return -1;
    }
    capsule = Ref::steal(PyCapsule_New(made, capsule_name(), destroy_state));
    if (!capsule) {
        delete made;
        return -1;
    }
    made->direct = direct == 1 && prepare_direct(queue, *made);
    // An odd instance takes the public path; an interrupt decides nothing.
    if (PyErr_Occurred() && !clear_if_exception()) return -1;
    if (PyObject_SetAttr(queue, names.queue_state_attribute, capsule.get()) < 0) return -1;
    state = made;
    return 1;
}

int attach_worker(PyObject* qo, PyObject* qi, PyObject* process) noexcept {
    QueueState* s = nullptr;
    const int found = state_of(qo, s);
    if (found <= 0) return found;
    if (!PyObject_TypeCheck(process, as_type(process_state().stdlib.process_type))) return 0;
    Ref pid = Ref::steal(PyObject_GetAttr(process, names.pid));
    Ref sentinel = pid ? Ref::steal(PyObject_GetAttr(process, names.sentinel)) : Ref();
    if (!sentinel) return -1;
    const long pid_value = PyLong_AsLong(pid.get());
    if (pid_value <= 0) return pid_value < 0 && PyErr_Occurred() ? -1 : 0;
    s->worker = Ref::steal(PyWeakref_NewRef(process, nullptr));
    if (!s->worker) return -1;
    s->jobs = Ref::steal(PyWeakref_NewRef(qi, nullptr));
    // An input queue that takes no weak reference is not watched.
    if (!s->jobs) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) == 0) return -1;
        PyErr_Clear();
    }
    s->watcher = getpid();
    s->worker_pid = static_cast<pid_t>(pid_value);
    QueueState* input = nullptr;
    if (state_of(qi, input) < 0) return -1;
    if (input) input->reader_pid = s->worker_pid;
    s->sentinel = as_fd(sentinel.get());
    return PyErr_Occurred() ? -1 : 0;
}

Ref worker_of(const QueueState& qo) noexcept {
    if (!qo.worker) return {};
    // A weak reference made by attach_worker: reading it cannot fail.
    PyObject* process = nullptr;
    compat::weakref_target(qo.worker.get(), &process);
    return Ref::steal(process);
}

namespace {

// Hands the feeder thread of `input`, if it has one, to
// _control.retire_feeder: once the queue is dropped the feeder lets go of the
// queue's semaphores as it ends, and an exit that froze it half-way there
// would leave the resource tracker reporting a leak.
int retire_feeder(PyObject* input) noexcept {
    const QueueLayout& l = layout();
    if (!l.thread_name) return 0; // no queue's layout read yet: none has a feeder
    PyObject* found = nullptr;
    if (compat::get_optional_attr(input, l.thread_name, &found) < 0) return -1;
    Ref thread = Ref::steal(found);
    if (!thread || thread.get() == Py_None) return 0;
    Ref retire = import_attribute("vantrel._control", "retire_feeder");
    PyObject* args[] = {input, thread.get()};
    return retire && Ref::steal(PyObject_Vectorcall(retire.get(), args, 2, nullptr)) ? 0 : -1;
}

} // namespace

int release_feeders(const QueueState& qo) noexcept {
    PyObject* qi = nullptr;
    const int found = qo.jobs ? compat::weakref_target(qo.jobs.get(), &qi) : 0;
    Ref input = Ref::steal(qi);
    if (found > 0 && PyObject_TypeCheck(input.get(), as_type(process_state().stdlib.queue_type)) &&
        call_method(input.get(), names.cancel_join_thread) && retire_feeder(input.get()) == 0)
        return 0;
    if (PyErr_Occurred() && !clear_if_exception()) return -1;
    return 0;
}

void forget_worker(const QueueState& qo) noexcept {
    if (qo.watcher != getpid() || qo.worker_pid <= 0) return;
    if (qo.sentinel >= 0) {
        constexpr int longest_wait_ms =
            2000; // SIGKILL takes effect at once; a wedged kernel call does not
        pollfd ended{qo.sentinel, POLLIN, 0};
        Py_BEGIN_ALLOW_THREADS
            ;
            while (poll(&ended, 1, longest_wait_ms) < 0 && errno == EINTR) {
            }
        Py_END_ALLOW_THREADS;
    }
    shm_buffers::forget_peer(qo.worker_pid);
}

bool owes_answers(const QueueState& qo) noexcept {
    return qo.owes;
}

void set_owes_answers(QueueState& qo, bool owed) noexcept {
    qo.owes = owed;
}

namespace {

// One pickled message written to the pipe now if the write rule lets it:
// 1 written, 0 not (no room, or the feeder holds earlier ones), -1 on error.
int write_now(PyObject* queue, QueueState& state, PyObject* data) noexcept {
    PyObject* message_data = data;
    Py_ssize_t written = 0;
    switch (write_direct(queue, state, &message_data, 1, written)) {
    case Wrote::all:
        return 1;
    case Wrote::error:
        return -1;
    case Wrote::no_room:
    case Wrote::feeder:
        break;
    }
    return 0;
}

} // namespace

int send(PyObject* queue, QueueState* state, PyObject* message, Kind kind, Tag tag) noexcept {
    if (!state) {
        if (!tag.tag) return call_method(queue, names.put, message) ? 0 : -1;
        PyObject* args[] = {tag.tag, tag.kind, message};
        Ref whole = Ref::steal(PyObject_Vectorcall(layout().tagged, args, 3, nullptr));
        return whole && call_method(queue, names.put, whole.get()) ? 0 : -1;
    }
    Ref data = pickle_or_stand_in(message, kind, reader_of(*state), tag);
    if (!data) return -1;
    const int now = state->direct ? write_now(queue, *state, data.get()) : 0;
    if (now != 0) return now < 0 ? -1 : 0;
    return put_pickled(queue, *state, data.get());
}

int offer(PyObject* queue, QueueState* state, PyObject* message, Kind kind, Tag tag) noexcept {
    if (!state) return send(queue, state, message, kind, tag) == 0 ? 1 : -1;
    Ref data = pickle_or_stand_in(message, kind, reader_of(*state), tag);
    if (!data) return -1;
    if (!state->direct) return put_pickled(queue, *state, data.get()) == 0 ? 1 : -1;
    return write_now(queue, *state, data.get());
}

Py_ssize_t offer_chars(const QueueState* state) noexcept {
    // A quarter of the pipe (UTF-8 takes up to four bytes a character), less
    // the pickle's own bytes; a pipe too small for that takes small pieces.
    constexpr Py_ssize_t overhead = 256;
    constexpr Py_ssize_t fewest = 64;
    constexpr Py_ssize_t bytes_per_char = 4;
    if (!state || !state->direct) return PY_SSIZE_T_MAX;
    const auto quarter = static_cast<Py_ssize_t>(state->pipe_bytes) / bytes_per_char;
    return std::max(fewest, quarter - overhead);
}

JobReceipt receive_job(PyObject* qi, QueueState* state, PyObject* timeout,
                       const Caller& caller) noexcept {
    if (!state || !state->direct) {
        PyObject* args[] = {qi, timeout};
        Ref job = Ref::steal(PyObject_VectorcallMethod(
            names.get, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, process_state().timeout_kwnames));
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

namespace {

// An answer taken: counted for the pool's status (one clock read per answer).
Ref counted(QueueState& s, Ref answer) noexcept {
    if (answer) {
        ++s.answers_read;
        s.last_answer_at = monotonic();
    }
    return answer;
}

} // namespace

Ref receive_answer(PyObject* qo, QueueState* state, Py_ssize_t position, Outbox* outbox,
                   Lookout* lookout) noexcept {
    if (!state) return call_method(qo, names.get);
    if (!state->direct) {
        if (outbox && outbox->send_all() < 0) return {};
        return counted(*state, receive_answer_public(qo, *state, position, lookout));
    }
    Watch w = watch_worker(*state);
    w.lookout = lookout;
    if (outbox && send_held_jobs(*outbox, *state, w) < 0) return {};
    Ref data;
    switch (read_message(*state, -1, w, data)) {
    case Read::message:
        return counted(*state, unpickle(data.get()));
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
    forget_worker(*state);
    if (release_feeders(*state) == 0) raise_gone(w.process.get(), position);
    return {};
}

bool worker_ended(const QueueState& qo) noexcept {
    if (qo.watcher == 0 || qo.watcher != getpid()) return false;
    Watch w;
    w.kind = Watch::Kind::child;
    w.pid = qo.worker_pid;
    w.sentinel = qo.sentinel;
    return ended_quietly(w);
}

int take_remaining(PyObject* queue, QueueState* state, PyObject* into) noexcept {
    if (!state || !state->direct) {
        PyObject* empty = process_state().stdlib.queue_empty;
        for (;;) {
            Ref item = call_method(queue, names.get, Py_False);
            if (!item) {
                if (PyErr_ExceptionMatches(empty) == 0) return -1;
                PyErr_Clear();
                return 0;
            }
            if (PyList_Append(into, item.get()) < 0) return -1;
        }
    }
    // The writer has ended: whatever is there is all there is.
    Watch w = watch_worker(*state);
    while (readable_now(state->reader_fd)) {
        Ref data;
        switch (read_message(*state, 0, w, data)) {
        case Read::message:
            break;
        case Read::timeout: // another reader took it
        case Read::gone:    // cut off
            PyErr_Clear();
            return 0;
        case Read::error:
            // A message cut off by the writer's end is where its answers stop.
            if (PyErr_ExceptionMatches(PyExc_EOFError) == 0) return -1;
            PyErr_Clear();
            return 0;
        }
        Ref item = unpickle(data.get());
        if (!item || PyList_Append(into, item.get()) < 0) return -1;
    }
    return 0;
}

void raise_worker_gone(const QueueState& qo, Py_ssize_t position) noexcept {
    Ref process = worker_of(qo);
    if (!process) {
        PyErr_Format(PyExc_RuntimeError, "the worker ended without answering job %zd", position);
        return;
    }
    if (release_feeders(qo) == 0) raise_gone(process.get(), position);
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
                forget_worker(*state);
                if (release_feeders(*state) == 0) raise_gone(w.process.get(), -1);
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

namespace vantrel::mp_queue {

void begin_call(QueueState& qo, PyObject* jobs, Py_ssize_t first, Py_ssize_t stride) noexcept {
    qo.call_jobs = Ref::borrow(jobs);
    qo.call_first = first;
    qo.call_stride = stride;
    qo.call_read_at_start = qo.answers_read;
    qo.call_started = monotonic();
}

void end_call(QueueState& qo) noexcept {
    qo.call_jobs.reset();
}

Ref activity(const QueueState& qo) noexcept {
    PyObject* jobs = qo.call_jobs ? qo.call_jobs.get() : Py_None;
    return Ref::steal(Py_BuildValue("(KdOnnKd)", static_cast<unsigned long long>(qo.answers_read),
                                    qo.last_answer_at, jobs, qo.call_first, qo.call_stride,
                                    static_cast<unsigned long long>(qo.call_read_at_start),
                                    qo.call_started));
}

} // namespace vantrel::mp_queue
