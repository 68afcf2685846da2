// Live text: the worker's side (live_text.hpp).
#include "monorun/live_text.hpp"

#include "core/capi/call.hpp"
#include "core/capi/state.hpp"

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace vantrel::monorun {
namespace {

// Between two looks at what a live job printed: well inside the 0.2 s a
// caller may wait for a piece.
constexpr long period_ns = 100'000'000;

// A piece that could not be made or sent is not sent (the answer carries
// the text); anything but an Exception is reported, never dropped.
void drop_error() noexcept {
    if (PyErr_ExceptionMatches(PyExc_Exception) != 0)
        PyErr_Clear();
    else
        PyErr_WriteUnraisable(nullptr);
}

} // namespace

bool LiveText::begin(PyObject* tag) noexcept {
    if (!thread_started_) {
        pthread_t thread{};
        pthread_attr_t attr{};
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        const int failed = pthread_create(&thread, &attr, run, this);
        pthread_attr_destroy(&attr);
        if (failed != 0) {
            errno = failed;
            PyErr_SetFromErrno(PyExc_OSError);
            return false;
        }
        thread_started_ = true;
    }
    tag_ = Ref::borrow(tag);
    sent_ = 0;
    pthread_mutex_lock(&mutex_);
    active_ = true;
    pthread_cond_signal(&wake_);
    pthread_mutex_unlock(&mutex_);
    return true;
}

void LiveText::end() noexcept {
    pthread_mutex_lock(&mutex_);
    active_ = false;
    pthread_mutex_unlock(&mutex_);
    tag_.reset();
}

// The thread: asleep while no live job runs; the interpreter lock is taken
// only to send, so a job that prints nothing is not held up.
void* LiveText::run(void* arg) noexcept {
    auto* self = static_cast<LiveText*>(arg);
    for (;;) {
        pthread_mutex_lock(&self->mutex_);
        while (!self->active_)
            pthread_cond_wait(&self->wake_, &self->mutex_);
        pthread_mutex_unlock(&self->mutex_);
        timespec pause{0, period_ns};
        while (nanosleep(&pause, &pause) < 0 && errno == EINTR) {
        }
        const PyGILState_STATE gil = PyGILState_Ensure();
        // active_ changes under the interpreter lock too: read here, it
        // says whether the job that asked is still running.
        if (self->active_) self->flush();
        PyGILState_Release(gil);
    }
    return nullptr;
}

void LiveText::flush() noexcept {
    Ref text = Ref::steal(PyObject_GetAttr(collector_, names.print_content));
    if (!text) {
        drop_error();
        return;
    }
    if (!PyUnicode_CheckExact(text.get())) return;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
    if (length < sent_) sent_ = 0; // the collector was cleared by the job
    const Py_ssize_t most = mp_queue::offer_chars(qo_state_);
    while (sent_ < length) {
        const Py_ssize_t stop = length - sent_ > most ? sent_ + most : length;
        Ref piece = Ref::steal(PyUnicode_Substring(text.get(), sent_, stop));
        Ref message = piece ? Ref::steal(Py_BuildValue("(nO)", sent_, piece.get())) : Ref();
        const int sent = message
                             ? mp_queue::offer(qo_, qo_state_, message.get(),
                                               mp_queue::Kind::live_text, {tag_.get(), names.text})
                             : -1;
        if (sent < 0) drop_error();
        if (sent <= 0) return; // the rest goes with the next piece, or only with the answer
        sent_ = stop;
    }
}

} // namespace vantrel::monorun
