// The process a worker works for, and whether it is still there.
//
// A worker whose caller has ended can never be reached again. The caller is
// multiprocessing.parent_process(), held as a pidfd: the process, not the
// thread that started the worker (a handle made in a short-lived thread
// keeps its workers), and whatever process adopts an orphan (a subreaper, or
// init) does not matter. Without pidfds (kernels before 5.3, some seccomp
// profiles), a change of the parent process id says the same for the fork
// and spawn start methods.
#pragma once

#include "core/capi/ref.hpp"

#include <sys/types.h>

namespace vantrel {

class Caller {
  public:
    Caller() noexcept = default;
    Caller(const Caller&) = delete;
    Caller& operator=(const Caller&) = delete;
    ~Caller();

    // Finds the caller of this process; false with the error set on failure.
    // A process that multiprocessing did not start has no caller to watch.
    bool find() noexcept;
    // Whether the caller has ended (asks the kernel only).
    bool gone() const noexcept;
    // A descriptor that becomes readable when the caller ends, or -1.
    int fd() const noexcept { return pidfd_; }
    // The caller's process id (the parent's for a process that
    // multiprocessing did not start): with forkserver it is not the parent.
    pid_t pid() const noexcept { return pid_; }

  private:
    bool known_ = false;
    int pidfd_ = -1;
    pid_t pid_ = 0;
    pid_t parent_ = 0; // getppid() at start, for the fallback
};

} // namespace vantrel
