// MultiProcessPool.map deals jobs over the workers in rotation; reduce reads
// one answer per output queue, in job order.
#include "core/transport/futures_guard.hpp"
#include "core/transport/mp_queue.hpp"
#include "core/transport/pairing.hpp"
#include "polyrun.hpp"

#include <algorithm>
#include <vector>

namespace vantrel::polyrun {
namespace {

// The handle that job `position` goes to: worker `position % n`;
// ZeroDivisionError for a pool without workers, as the modulo does.
PyObject* dealt_to(PyObject* handles, Py_ssize_t position) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(handles);
    if (n == 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "integer modulo by zero");
        return nullptr;
    }
    return PyList_GET_ITEM(handles, position % n);
}

// One pass over `jobs`: visit(handle, job) with the handle each job is dealt to.
template <typename Visit> int deal(PyObject* jobs, PyObject* handles, Visit visit) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(jobs));
    if (!it) return -1;
    Py_ssize_t position = 0;
    while (Ref job = Ref::steal(PyIter_Next(it.get()))) {
        // No Python code runs here for a list of str jobs: interrupts are
        // taken between jobs.
        if (PyErr_CheckSignals() < 0) return -1;
        PyObject* handle = dealt_to(handles, position++);
        if (!handle || visit(handle, job.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// After an interrupted gather, the queues from `from` on still owe answers.
void abandon_rest(PyObject* queues, Py_ssize_t from) noexcept {
    if (!PyList_Check(queues) && !PyTuple_Check(queues)) return;
    for (Py_ssize_t i = from; i < PySequence_Fast_GET_SIZE(queues); ++i)
        abandon(PySequence_Fast_GET_ITEM(queues, i));
}

// Reads answers from any iterable of queues as it comes, each queue's worker
// watched; appends them to `answers`.
int gather_iterated(PyObject* queues, PyObject* answers, mp_queue::Outbox* outbox,
                    bool guarded) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(queues));
    if (!it) return -1;
    Py_ssize_t position = 0;
    while (Ref queue = Ref::steal(PyIter_Next(it.get()))) {
        Ref answer = guarded && futures_guard::check(queue.get()) < 0
                         ? Ref()
                         : next_answer(queue.get(), position, outbox);
        if (!answer || PyList_Append(answers, answer.get()) < 0) {
            abandon_rest(queues, position);
            return -1;
        }
        ++position;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Reads answers from a list of queues as it is now (the watch borrows the
// copy), watching every worker that still owes answers.
int gather_listed(PyObject* queues, PyObject* answers, mp_queue::Outbox* outbox,
                  bool guarded) noexcept {
    Ref listed = Ref::steal(PyList_GetSlice(queues, 0, PyList_GET_SIZE(queues)));
    if (!listed) return -1;
    const Py_ssize_t count = PyList_GET_SIZE(listed.get());
    for (Py_ssize_t i = 0; guarded && i < count; ++i)
        if (futures_guard::check(PyList_GET_ITEM(listed.get(), i)) < 0) return -1;
    OwedAnswers owed;
    if (owed.start(listed.get()) < 0) return -1;
    for (Py_ssize_t position = 0; position < count; ++position) {
        Ref answer = owed.next(position, outbox);
        if (!answer || PyList_Append(answers, answer.get()) < 0) {
            abandon_rest(queues, position);
            return -1;
        }
    }
    return 0;
}

// red[i].get() for each i, in order. A queue of one of our workers is read
// while watching every worker that still owes answers, and while the jobs
// `outbox` holds back go out. `guarded`: each queue is first checked for
// futures that own it (map's own queues were checked by its clear_output).
PyObject* gather(PyObject* queues, mp_queue::Outbox* outbox, bool guarded) noexcept {
    Ref answers = Ref::steal(PyList_New(0));
    if (!answers) return nullptr;
    const int read = PyList_CheckExact(queues)
                         ? gather_listed(queues, answers.get(), outbox, guarded)
                         : gather_iterated(queues, answers.get(), outbox, guarded);
    if (read < 0 || (outbox && outbox->send_all() < 0)) return nullptr;
    // An interrupt that came while the last message was read (it is read
    // whole) is raised here, with every answer taken: not at whichever later
    // line the interpreter next looks for signals.
    if (PyErr_CheckSignals() < 0) return nullptr;
    return answers.release();
}

PyObject* reduce_body(Function*, BoundArgs& a) noexcept {
    return gather(a.v[0], nullptr, true);
}

// Whether `reduce` is this module's own: then map may read its answers while
// jobs that found no room in a pipe are still on their way.
bool is_own_reduce(PyObject* reduce) noexcept {
    return is_function(reduce) && reinterpret_cast<Function*>(reduce)->spec->body == reduce_body;
}

// The workers that got jobs from one call of map, and the jobs held back for
// want of room in their pipes. A call that ends early once its first job was
// dealt sends every job it dealt (as `put` would have) and leaves the
// workers that got one owing answers that nobody will read in order.
class Dealt {
  public:
    explicit Dealt(PyObject* handles) noexcept
        : handles_(handles), got_jobs_(static_cast<size_t>(PyList_GET_SIZE(handles)), false),
          outbox(PyList_GET_SIZE(handles)) {}
    void got_job(Py_ssize_t position) noexcept {
        got_jobs_[static_cast<size_t>(position % PyList_GET_SIZE(handles_))] = true;
    }
    // Keeps the exception being raised.
    void abandon_all() noexcept {
        SavedError error;
        if (outbox.send_all() < 0) PyErr_Clear();
        for (size_t i = 0; i < got_jobs_.size(); ++i) {
            if (!got_jobs_[i]) continue;
            Ref qo = Ref::steal(
                PyObject_GetAttr(PyList_GET_ITEM(handles_, static_cast<Py_ssize_t>(i)), names.qo));
            PyErr_Clear();
            if (qo) abandon(qo.get());
        }
        error.restore();
    }

  private:
    PyObject* handles_;
    std::vector<bool> got_jobs_;

  public:
    mp_queue::Outbox outbox;
};

// The call under way, recorded on each worker's output queue for the pool's
// status: once per call, dropped when the call ends.
class CallRecord {
  public:
    CallRecord() noexcept = default;
    CallRecord(const CallRecord&) = delete;
    CallRecord& operator=(const CallRecord&) = delete;
    ~CallRecord() {
        for (mp_queue::QueueState* state : states_)
            mp_queue::end_call(*state);
    }
    // red: the output queue of each position; worker k has positions k, k + n, ...
    int begin(PyObject* red, PyObject* jobs, Py_ssize_t workers) noexcept {
        const Py_ssize_t first = std::min(workers, PyList_GET_SIZE(red));
        for (Py_ssize_t k = 0; k < first; ++k) {
            mp_queue::QueueState* state = nullptr;
            if (mp_queue::state_of(PyList_GET_ITEM(red, k), state) < 0) return -1;
            if (!state) continue;
            mp_queue::begin_call(*state, jobs, k, workers);
            states_.push_back(state);
        }
        return 0;
    }

  private:
    std::vector<mp_queue::QueueState*> states_;
};

// The answers of a blocking map, the call recorded meanwhile for the pool's
// status. Jobs held back for want of room go out while the answers are read,
// or through the queues' `put` when someone else reads them.
Ref read_answers(PyObject* reduce, PyObject* red, PyObject* jobs, Py_ssize_t workers,
                 mp_queue::Outbox& outbox) noexcept {
    CallRecord record;
    if (record.begin(red, jobs, workers) < 0) return {};
    if (is_own_reduce(reduce)) return Ref::steal(gather(red, &outbox, false));
    if (outbox.send_all() < 0) return {};
    return call(reduce, red);
}

PyObject* map_body(Function* fn, BoundArgs& a) noexcept {
    PyObject* self = a.v[0];
    PyObject* jobs = a.v[1];
    // Dead or worn workers are replaced first, when the pool was asked to.
    if (heal(self, names.before_map) < 0 || !call_method(self, names.clear_output)) return nullptr;
    Ref procs = Ref::steal(PyObject_GetAttr(self, names.procs));
    if (!procs) return nullptr;
    Ref values = call_method(procs.get(), names.values);
    if (!values) return nullptr;
    Ref handles = Ref::steal(PySequence_List(values.get()));
    if (!handles) return nullptr;

    // Scatter: every job is on a queue before any answer is read; a worker's
    // jobs leave in batches.
    Dealt dealt(handles.get());
    mp_queue::Outbox& outbox = dealt.outbox;
    Py_ssize_t sent = 0;
    int scattered = deal(jobs, handles.get(), [&](PyObject* handle, PyObject* job) noexcept {
        const Py_ssize_t position = sent++;
        dealt.got_job(position);
        Ref qi = Ref::steal(PyObject_GetAttr(handle, names.qi));
        mp_queue::QueueState* state = nullptr;
        if (!qi || mp_queue::state_of(qi.get(), state) < 0) return -1;
        return outbox.add(position, qi.get(), state, job, mp_queue::Kind::job);
    });

    // Second pass over the jobs: the output queue behind each position.
    Ref red = scattered == 0 ? Ref::steal(PyList_New(0)) : Ref();
    const int listed = red ? deal(jobs, handles.get(),
                                  [&red](PyObject* handle, PyObject*) noexcept {
                                      Ref qo = Ref::steal(PyObject_GetAttr(handle, names.qo));
                                      return qo ? PyList_Append(red.get(), qo.get()) : -1;
                                  })
                           : -1;
    const int truth = listed == 0 ? PyObject_IsTrue(a.v[2]) : -1;
    if (truth < 0) {
        dealt.abandon_all();
        return nullptr;
    }
    // A job list that changed between the passes leaves answers that no
    // position stands for: owed, for the next call to settle.
    if (PyList_GET_SIZE(red.get()) != sent) dealt.abandon_all();
    const bool block = truth != 0;
    Ref reduce = block ? lookup_global(fn, names.reduce) : Ref();
    if (block && !reduce) {
        dealt.abandon_all();
        return nullptr;
    }
    Ref answers;
    if (!block) {
        if (outbox.send_all() == 0)
            return red.release(); // the caller reads these answers from here on
    } else {
        answers =
            read_answers(reduce.get(), red.get(), jobs, PyList_GET_SIZE(handles.get()), outbox);
    }
    if (!answers) dealt.abandon_all();
    return answers.release();
}

} // namespace

const FunctionSpec reduce_spec = {"reduce", {{"red"}, 1, 0}, reduce_body};
const FunctionSpec pool_map_spec = {
    "MultiProcessPool.map", {{"self", "args", "block"}, 3, 0}, map_body};

} // namespace vantrel::polyrun
