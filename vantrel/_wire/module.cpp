// vantrel._wire: the message path offered to a scheduler written in Python
// (vantrel.futures), one owner's traffic with a worker handle at a time
// (core/transport/owner.hpp). Positional arguments only: nothing here is
// public API.
#include "core/capi/module.hpp"
#include "core/capi/state.hpp"
#include "core/transport/owner.hpp"

namespace vantrel::wire {
namespace {

bool arity(const char* name, Py_ssize_t given, Py_ssize_t wanted) noexcept {
    if (given == wanted) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, wanted, given);
    return false;
}

// claim(handle, owner) -> True when newly claimed (stale answers dropped).
PyObject* claim(PyObject*, PyObject* const* args, Py_ssize_t n) noexcept {
    owner::Queues q;
    if (!arity("claim", n, 2) || owner::queues_of(args[0], q) < 0) return nullptr;
    const int made = owner::claim(q, args[1]);
    return made < 0 ? nullptr : PyBool_FromLong(made);
}

// release(handle, owner): gives the handle's answers back if `owner` holds them.
PyObject* release(PyObject*, PyObject* const* args, Py_ssize_t n) noexcept {
    owner::Queues q;
    if (!arity("release", n, 2) || owner::queues_of(args[0], q) < 0) return nullptr;
    owner::release(q, args[1]);
    Py_RETURN_NONE;
}

// hold(handle, held): whether the owner holds jobs back for this worker.
PyObject* hold(PyObject*, PyObject* const* args, Py_ssize_t n) noexcept {
    owner::Queues q;
    if (!arity("hold", n, 2) || owner::queues_of(args[0], q) < 0) return nullptr;
    const int held = PyObject_IsTrue(args[1]);
    if (held < 0) return nullptr;
    owner::hold(q, held != 0);
    Py_RETURN_NONE;
}

// An optional last argument `live`: its truth, false when absent.
int live_argument(const char* name, PyObject* const* args, Py_ssize_t n,
                  Py_ssize_t wanted) noexcept {
    if (n == wanted + 1) return PyObject_IsTrue(args[wanted]);
    return arity(name, n, wanted) ? 0 : -1;
}

// send(handle, tag, job, live=False): one tagged job, never waited for; with
// `live`, its printed text comes while it runs.
PyObject* send(PyObject*, PyObject* const* args, Py_ssize_t n) noexcept {
    owner::Queues q;
    const int live = live_argument("send", args, n, 3);
    if (live < 0 || owner::queues_of(args[0], q) < 0 ||
        owner::send(q, args[1], args[2], live != 0) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// send_many(handle, first, jobs, live=False) -> (how many went, the
// exception that stopped the rest or None).
PyObject* send_many(PyObject*, PyObject* const* args, Py_ssize_t n) noexcept {
    owner::Queues q;
    const int live = live_argument("send_many", args, n, 3);
    if (live < 0 || owner::queues_of(args[0], q) < 0) return nullptr;
    const Py_ssize_t first = PyLong_AsSsize_t(args[1]);
    if (first == -1 && PyErr_Occurred()) return nullptr;
    Ref error;
    const Py_ssize_t went = owner::send_many(q, first, args[2], error, live != 0);
    if (went < 0) return nullptr;
    if (went == 0 && error) {
        compat::restore_exception(error.release());
        return nullptr;
    }
    return Py_BuildValue("(nO)", went, error ? error.get() : Py_None);
}

// take(handle, owner, into) -> True, with (tag, kind, payload) appended to
// the list `into` for what has arrived, without waiting; False when `owner`
// does not hold the handle's answers.
PyObject* take(PyObject*, PyObject* const* args, Py_ssize_t n) noexcept {
    owner::Queues q;
    if (!arity("take", n, 3) || owner::queues_of(args[0], q) < 0) return nullptr;
    if (!PyList_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError, "take() appends to a list");
        return nullptr;
    }
    const int taken = owner::take(q, args[1], args[2]);
    if (taken < 0) return nullptr;
    return PyBool_FromLong(taken == 0 ? 1 : 0);
}

// last_sent(handle) -> the tag of the last job that went, or None.
PyObject* last_sent(PyObject*, PyObject* const* args, Py_ssize_t n) noexcept {
    owner::Queues q;
    if (!arity("last_sent", n, 1) || owner::queues_of(args[0], q) < 0) return nullptr;
    return owner::last_sent(q).release();
}

// descriptors(handle) -> (readable when something arrived, readable when
// the worker ended); -1 for one that cannot be had.
PyObject* descriptors(PyObject*, PyObject* const* args, Py_ssize_t n) noexcept {
    owner::Queues q;
    if (!arity("descriptors", n, 1) || owner::queues_of(args[0], q) < 0) return nullptr;
    int answers = -1;
    int ended = -1;
    owner::descriptors(q, answers, ended);
    if (PyErr_Occurred()) return nullptr;
    return Py_BuildValue("(ii)", answers, ended);
}

#define VANTREL_FASTCALL(f, doc)                                                                   \
    {#f, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL, doc}

PyMethodDef functions[] = {
    VANTREL_FASTCALL(
        claim,
        "claim($module, handle, owner, /)\n--\n\nTrue when newly claimed (stale answers dropped)."),
    VANTREL_FASTCALL(
        release,
        "release($module, handle, owner, /)\n--\n\nGives the answers back if owner holds them."),
    VANTREL_FASTCALL(
        hold,
        "hold($module, handle, held, /)\n--\n\nWhether the owner holds jobs back for this worker."),
    VANTREL_FASTCALL(
        send,
        "send($module, handle, tag, job, live=False, /)\n--\n\nOne tagged job, never waited for."),
    VANTREL_FASTCALL(send_many, "send_many($module, handle, first, jobs, live=False, "
                                "/)\n--\n\n(how many went, what stopped the rest or None)."),
    VANTREL_FASTCALL(take, "take($module, handle, owner, into, /)\n--\n\nAppends (tag, kind, "
                           "payload) of what arrived; False when not owner's."),
    VANTREL_FASTCALL(
        last_sent,
        "last_sent($module, handle, /)\n--\n\nThe tag of the last job that went, or None."),
    VANTREL_FASTCALL(
        descriptors,
        "descriptors($module, handle, /)\n--\n\n(answers fd, worker-ended fd); -1 for none."),
    {nullptr, nullptr, 0, nullptr},
};

#undef VANTREL_FASTCALL

constexpr const char* module_doc =
    "One owner's traffic with a worker: tagged jobs sent without waiting, what has arrived "
    "taken without waiting, the descriptors to wait on.";

int fill_namespace(PyObject* m) noexcept {
    return PyModule_AddFunctions(m, functions);
}

} // namespace
} // namespace vantrel::wire

PyMODINIT_FUNC PyInit__wire() { // NOLINT(bugprone-reserved-identifier): fixed by CPython
    return vantrel::define_module(vantrel::wire::module_doc, vantrel::wire::fill_namespace);
}
