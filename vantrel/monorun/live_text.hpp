// Live text: what a job prints with xprint, sent to its owner while the job
// runs, for the tagged jobs of kind "live" (vantrel._control.Tagged).
#pragma once

#include "core/capi/ref.hpp"
#include "core/transport/mp_queue.hpp"

#include <pthread.h>

namespace vantrel::monorun {

// A worker's sender of live text. A thread of its own, started at the first
// live job, wakes every `period` while such a job runs, takes the interpreter
// lock and sends what was printed since its last piece as one Tagged message
// of kind "text" whose payload is (start, text): `text` begins at character
// `start` of the job's printed text. It is sent only when the pipe takes it
// at once: an owner that does not read never makes the worker wait, and the
// text not sent goes with the next piece (the answer carries all of it), so
// the pieces of a job arrive in order and without gaps. Jobs that do not ask
// for live text cost nothing more.
class LiveText {
  public:
    LiveText() noexcept = default;
    LiveText(const LiveText&) = delete;
    LiveText& operator=(const LiveText&) = delete;
    ~LiveText() = default; // the thread lives as long as the process

    // The worker's collector and output queue, borrowed for the worker's life.
    void start(PyObject* collector, PyObject* qo, mp_queue::QueueState* qo_state) noexcept {
        collector_ = collector;
        qo_ = qo;
        qo_state_ = qo_state;
    }
    // Live text on for the job tagged `tag` until end(); false with the
    // error set (the thread could not be started).
    bool begin(PyObject* tag) noexcept;
    // Live text off, before the job's answer is sent: no piece follows it.
    void end() noexcept;

  private:
    static void* run(void* arg) noexcept;
    void flush() noexcept; // under the interpreter lock

    PyObject* collector_ = nullptr; // borrowed: the worker's, for its life
    PyObject* qo_ = nullptr;
    mp_queue::QueueState* qo_state_ = nullptr;
    // Under the interpreter lock: the job's tag and how much of its text was sent.
    Ref tag_;
    Py_ssize_t sent_ = 0;
    bool thread_started_ = false;
    // Shared with the thread under mutex_.
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t wake_ = PTHREAD_COND_INITIALIZER;
    bool active_ = false;
};

} // namespace vantrel::monorun
