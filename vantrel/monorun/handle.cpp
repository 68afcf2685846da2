// SingleProcess, the caller's handle on one worker, and the drain clear_queue.
#include "core/capi/module.hpp"
#include "core/transport/futures_guard.hpp"
#include "core/transport/mp_queue.hpp"
#include "core/transport/pairing.hpp"
#include "monorun.hpp"

namespace vantrel::monorun {
namespace {

// self.<name>, or null without an error when the handle lacks it (`status`
// 0); -1 in `status` on error.
Ref optional_attr(PyObject* self, PyObject* name, int& status) noexcept {
    PyObject* found = nullptr;
    status = compat::get_optional_attr(self, name, &found);
    return Ref::steal(found);
}

// Answers that an earlier, unfinished call left owing on this handle's queue
// are collected first. A handle that lacks an attribute has nothing to
// settle, and the method's own reads report what is missing.
int settle_owed(PyObject* self, PyObject* qo) noexcept {
    int status = 0;
    Ref qi = optional_attr(self, names.qi, status);
    if (status < 0) return -1;
    return qi ? settle(qi.get(), qo) : 0;
}

PyObject* clear_queue_body(Function*, BoundArgs& a) noexcept {
    PyObject* q = a.v[0];
    mp_queue::QueueState* state = nullptr;
    if (mp_queue::state_of(q, state) < 0) return nullptr;
    const int drained = mp_queue::drain(state);
    if (drained != 0) return drained < 0 ? nullptr : Py_NewRef(Py_None);
    for (;;) {
        Ref empty = call_method(q, names.empty);
        if (!empty) return nullptr;
        const int truth = PyObject_IsTrue(empty.get());
        if (truth < 0) return nullptr;
        if (truth != 0) Py_RETURN_NONE;
        if (!call_method(q, names.get)) return nullptr;
    }
}

// self.<attr> = mp.Queue()
int new_queue(Function* fn, PyObject* self, PyObject* attr) noexcept {
    Ref mp = lookup_global(fn, names.mp);
    if (!mp) return -1;
    Ref q = call_method(mp.get(), names.Queue);
    return q ? PyObject_SetAttr(self, attr, q.get()) : -1;
}

PyObject* init_body(Function* fn, BoundArgs& a) noexcept {
    PyObject* self = a.v[0];
    PyObject* name = a.v[1];
    if (new_queue(fn, self, names.qi) < 0 || new_queue(fn, self, names.qo) < 0) return nullptr;

    Ref mp = lookup_global(fn, names.mp);
    if (!mp) return nullptr;
    Ref process_class = Ref::steal(PyObject_GetAttr(mp.get(), names.Process));
    if (!process_class) return nullptr;
    Ref target = lookup_global(fn, names.monorun_main);
    if (!target) return nullptr;
    Ref qi = Ref::steal(PyObject_GetAttr(self, names.qi));
    Ref qo = qi ? Ref::steal(PyObject_GetAttr(self, names.qo)) : Ref();
    if (!qo) return nullptr;
    Ref args = Ref::steal(PyTuple_Pack(3, name, qi.get(), qo.get()));
    Ref kwnames = Ref::steal(PyTuple_Pack(2, names.target.get(), names.args.get()));
    if (!args || !kwnames) return nullptr;
    PyObject* call_args[] = {target.get(), args.get()};
    Ref proc = Ref::steal(PyObject_Vectorcall(process_class.get(), call_args, 0, kwnames.get()));
    if (!proc || PyObject_SetAttr(self, names.proc, proc.get()) < 0) return nullptr;

    Ref control = import_module("vantrel._control");
    Ref handed =
        control ? Ref::steal(PyObject_CallMethod(control.get(), "hand_settings", "O", proc.get()))
                : Ref();
    if (!handed) return nullptr;

    Ref started = Ref::steal(PyObject_GetAttr(self, names.proc));
    // Waits handed only the output queue (reduce) can then watch the worker.
    if (!started || !call_method(started.get(), names.start) ||
        mp_queue::attach_worker(qo.get(), qi.get(), started.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* blocked_put_body(Function*, BoundArgs& a) noexcept {
    PyObject* self = a.v[0];
    Ref qi = Ref::steal(PyObject_GetAttr(self, names.qi));
    if (!qi) return nullptr;
    int status = 0;
    Ref qo_now = optional_attr(self, names.qo, status);
    if (status < 0 || (qo_now && futures_guard::check(qo_now.get()) < 0)) return nullptr;
    // Answers an unfinished call left behind must not pair with this job.
    if (qo_now && settle(qi.get(), qo_now.get()) < 0) return nullptr;
    mp_queue::QueueState* input = nullptr;
    if (mp_queue::state_of(qi.get(), input) < 0) return nullptr;
    const int sent = mp_queue::send(qi.get(), input, a.v[1], mp_queue::Kind::job);
    Ref qo;
    {
        // Looked up with the send's error, if any, put aside.
        SavedError error;
        qo = Ref::steal(PyObject_GetAttr(self, names.qo));
        if (!qo) {
            error.chain_into_current();
            return nullptr;
        }
        error.restore();
    }
    // From here on the job may be with the worker: a call that ends without
    // its answer leaves that answer owed.
    Ref answer = sent == 0 ? next_answer(qo.get(), -1) : Ref();
    if (!answer) abandon(qo.get());
    return answer.release();
}

PyObject* kill_body(Function*, BoundArgs& a) noexcept {
    PyObject* self = a.v[0];
    Ref proc = Ref::steal(PyObject_GetAttr(self, names.proc));
    if (!proc) return nullptr;
    Ref alive = call_method(proc.get(), names.is_alive);
    if (!alive) return nullptr;
    const int truth = PyObject_IsTrue(alive.get());
    if (truth < 0) return nullptr;
    if (truth != 0 && !call_method(proc.get(), names.kill)) return nullptr;
    // Nothing of a killed worker may keep the caller from exiting.
    int status = 0;
    Ref qo = optional_attr(self, names.qo, status);
    mp_queue::QueueState* output = nullptr;
    if (status < 0 || (qo && mp_queue::state_of(qo.get(), output) < 0)) return nullptr;
    if (output && mp_queue::release_feeders(*output) < 0) return nullptr;
    if (output) mp_queue::forget_worker(*output);
    Py_RETURN_NONE;
}

PyObject* clear_output_body(Function* fn, BoundArgs& a) noexcept {
    Ref drain = lookup_global(fn, names.clear_queue);
    if (!drain) return nullptr;
    Ref qo = Ref::steal(PyObject_GetAttr(a.v[0], names.qo));
    if (!qo || futures_guard::check(qo.get()) < 0 || settle_owed(a.v[0], qo.get()) < 0)
        return nullptr;
    return call(drain.get(), qo.get()) ? Py_NewRef(Py_None) : nullptr;
}

} // namespace

const FunctionSpec clear_queue_spec = {"clear_queue", {{"q"}, 1, 0}, clear_queue_body};
const FunctionSpec handle_init_spec = {
    "SingleProcess.__init__", {{"self", "name"}, 2, 0}, init_body};
const FunctionSpec handle_blocked_put_spec = {
    "SingleProcess.blocked_put", {{"self", "w"}, 2, 0}, blocked_put_body};
const FunctionSpec handle_kill_spec = {"SingleProcess.kill", {{"self"}, 1, 0}, kill_body};
const FunctionSpec handle_clear_output_spec = {
    "SingleProcess.clear_output", {{"self"}, 1, 0}, clear_output_body};

} // namespace vantrel::monorun
