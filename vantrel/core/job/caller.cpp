#include "core/job/caller.hpp"
#include "core/capi/call.hpp"
#include "core/capi/module.hpp"
#include "core/capi/state.hpp"

#include <cerrno>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vantrel {

Caller::~Caller() {
    if (pidfd_ >= 0) close(pidfd_);
}

bool Caller::find() noexcept {
    parent_ = getppid();
    pid_ = parent_;
    Ref parent_process = import_attribute("multiprocessing", "parent_process");
    Ref parent = parent_process ? Ref::steal(PyObject_CallNoArgs(parent_process.get())) : Ref();
    if (!parent) return false;
    if (parent.get() == Py_None) return true; // not started by multiprocessing
    Ref pid = Ref::steal(PyObject_GetAttr(parent.get(), names.pid));
    if (!pid) return false;
    const long caller = PyLong_AsLong(pid.get());
    if (caller == -1 && PyErr_Occurred()) return false;
    known_ = true;
    pid_ = static_cast<pid_t>(caller);
#ifdef SYS_pidfd_open
    const long fd = syscall(SYS_pidfd_open, static_cast<pid_t>(caller), 0);
    if (fd >= 0) {
        pidfd_ = static_cast<int>(fd);
        return true;
    }
    if (errno == ESRCH) { // ended before this worker got here
        pidfd_ = -1;
        parent_ = -1;
    }
#endif
    return true;
}

bool Caller::gone() const noexcept {
    if (!known_) return false;
    if (pidfd_ >= 0) {
        pollfd fd{pidfd_, POLLIN, 0};
        const int r = poll(&fd, 1, 0);
        // POLLNVAL: a job closed the descriptor; the parent id still tells.
        const bool closed = (static_cast<unsigned>(fd.revents) & unsigned{POLLNVAL}) != 0;
        if (r > 0 && !closed) return true;
        if (r >= 0 && !closed) return false;
    }
    return getppid() != parent_;
}

} // namespace vantrel
