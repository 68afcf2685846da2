// SingleProcess, the caller's handle on one worker, and the drain clear_queue.
#include "core/answer_wait.hpp"
#include "monorun.hpp"

namespace vantrel::monorun {
namespace {

// The answers that an interrupted wait on this handle's queue left behind are
// collected first. Only the mark on the output queue is read on every call
// (`qo` when the caller has it already); a handle that lacks an attribute has
// nothing to settle, and the method's own reads report what is missing.
int settle_unread_of(PyObject* self, PyObject* qo) noexcept {
    Ref held;
    if (!qo) {
        PyObject* found = nullptr;
        if (compat::get_optional_attr(self, names.qo, &found) < 0) return -1;
        held = Ref::steal(found);
        if (!held) return 0;
        qo = held.get();
    }
    const int marked = is_marked_unread(qo);
    if (marked <= 0) return marked;
    PyObject *qi = nullptr, *proc = nullptr;
    if (compat::get_optional_attr(self, names.qi, &qi) < 0) return -1;
    Ref qi_ref = Ref::steal(qi);
    if (compat::get_optional_attr(self, names.proc, &proc) < 0) return -1;
    Ref proc_ref = Ref::steal(proc);
    return qi && proc ? settle_unread(qi, qo, proc) : 0;
}

PyObject* clear_queue_body(Function*, BoundArgs& a) noexcept {
    PyObject* q = a.v[0];
    for (;;) {
        Ref empty = Ref::steal(call_method(q, names.empty));
        if (!empty) return nullptr;
        const int truth = PyObject_IsTrue(empty.get());
        if (truth < 0) return nullptr;
        if (truth) Py_RETURN_NONE;
        Ref dropped = Ref::steal(call_method(q, names.get));
        if (!dropped) return nullptr;
    }
}

// self.<attr> = mp.Queue(); jobs that cannot be pickled are answered, not lost.
int new_queue(Function* fn, PyObject* self, PyObject* attr) noexcept {
    Ref mp = Ref::steal(lookup_global(fn, names.mp));
    if (!mp) return -1;
    Ref q = Ref::steal(call_method(mp.get(), names.Queue));
    if (!q || (attr == names.qi && guard_jobs(q.get()) < 0)) return -1;
    return PyObject_SetAttr(self, attr, q.get());
}

PyObject* init_body(Function* fn, BoundArgs& a) noexcept {
    PyObject* self = a.v[0];
    PyObject* name = a.v[1];
    if (new_queue(fn, self, names.qi) < 0 || new_queue(fn, self, names.qo) < 0) return nullptr;

    Ref mp = Ref::steal(lookup_global(fn, names.mp));
    if (!mp) return nullptr;
    Ref process_class = Ref::steal(PyObject_GetAttr(mp.get(), names.Process));
    if (!process_class) return nullptr;
    Ref target = Ref::steal(lookup_global(fn, names.monorun_main));
    if (!target) return nullptr;
    Ref qi = Ref::steal(PyObject_GetAttr(self, names.qi));
    Ref qo = qi ? Ref::steal(PyObject_GetAttr(self, names.qo)) : Ref();
    if (!qo) return nullptr;
    Ref args = Ref::steal(PyTuple_Pack(3, name, qi.get(), qo.get()));
    Ref kwnames = Ref::steal(PyTuple_Pack(2, names.target, names.args));
    if (!args || !kwnames) return nullptr;
    PyObject* call[] = {target.get(), args.get()};
    Ref proc = Ref::steal(PyObject_Vectorcall(process_class.get(), call, 0, kwnames.get()));
    if (!proc || PyObject_SetAttr(self, names.proc, proc.get()) < 0) return nullptr;

    Ref started = Ref::steal(PyObject_GetAttr(self, names.proc));
    if (!started) return nullptr;
    Ref r = Ref::steal(call_method(started.get(), names.start));
    // Waits handed only the output queue (reduce) can then watch the worker.
    if (!r || attach_worker(qo.get(), started.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* blocked_put_body(Function*, BoundArgs& a) noexcept {
    PyObject* self = a.v[0];
    Ref qi = Ref::steal(PyObject_GetAttr(self, names.qi));
    if (!qi) return nullptr;
    // Answers an interrupted wait left behind must not pair with this job.
    if (settle_unread_of(self, nullptr) < 0) return nullptr;
    Ref sent = Ref::steal(call_method(qi.get(), names.put, a.v[1]));
    if (!sent) return nullptr;
    Ref qo = Ref::steal(PyObject_GetAttr(self, names.qo));
    if (!qo) return nullptr;
    Ref proc = Ref::steal(PyObject_GetAttr(self, names.proc));
    if (!proc) return nullptr;
    Ref answer = get_answer(qo.get(), proc.get(), -1);
    if (!answer) mark_unread(qo.get());
    return answer.release();
}

PyObject* kill_body(Function*, BoundArgs& a) noexcept {
    Ref proc = Ref::steal(PyObject_GetAttr(a.v[0], names.proc));
    if (!proc) return nullptr;
    Ref alive = Ref::steal(call_method(proc.get(), names.is_alive));
    if (!alive) return nullptr;
    const int truth = PyObject_IsTrue(alive.get());
    if (truth < 0) return nullptr;
    if (truth) {
        Ref r = Ref::steal(call_method(proc.get(), names.kill));
        if (!r) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* clear_output_body(Function* fn, BoundArgs& a) noexcept {
    Ref drain = Ref::steal(lookup_global(fn, names.clear_queue));
    if (!drain) return nullptr;
    Ref qo = Ref::steal(PyObject_GetAttr(a.v[0], names.qo));
    if (!qo || settle_unread_of(a.v[0], qo.get()) < 0) return nullptr;
    PyObject* arg = qo.get();
    Ref r = Ref::steal(PyObject_Vectorcall(drain.get(), &arg, 1, nullptr));
    return r ? Py_NewRef(Py_None) : nullptr;
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
