// The page a worker shares with its caller: how many jobs it has started and
// finished, its resident memory after the last one, and the job its caller
// asks to interrupt. The caller made the page (vantrel._figures) and reads it
// when it next looks; the worker writes it around each job, no message sent.
#include "core/job/job.hpp"
#include "monorun.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace vantrel::monorun {
namespace {

// Slots of the page, as vantrel._figures names them.
enum Slot : size_t {
    started = 0,
    finished = 1,
    resident = 2,
    interrupt_job = 3,
    interrupt_tag = 4
};

std::uint64_t* page = nullptr; // null: the caller gave no page
int statm_fd = -1;
long page_size = 0; // bytes, from sysconf at start
// The number of the job running now, 0 between jobs: what the interrupt
// handler compares with the job its caller asked for (a signal that comes
// after its job ended must not reach the next one).
std::uint64_t running = 0;
// The tag of the running job when its owner (vantrel.futures) tagged it with
// an int, else 0: the futures name the job to interrupt by its tag.
std::uint64_t running_tag = 0;
JobRunner* runner = nullptr;
// When the memory was last read, and whether jobs ended since then.
std::int64_t read_at_ns = 0;
bool unread = false;
// Reading /proc/self/statm costs a few microseconds, as much as a whole tiny
// job: it is read after a job only when this long has passed since the last
// read, and once the worker is idle. A job that grows the memory by much
// runs longer than this itself, so the figure after it is always fresh.
constexpr std::int64_t reread_ns = 1'000'000;

std::int64_t now_ns() noexcept {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    constexpr std::int64_t billion = 1'000'000'000;
    return (static_cast<std::int64_t>(t.tv_sec) * billion) + t.tv_nsec;
}

void store(Slot slot, std::uint64_t value) noexcept {
    std::atomic_ref<std::uint64_t>(page[slot]).store(value, std::memory_order_release);
}

std::uint64_t load(Slot slot) noexcept {
    return std::atomic_ref<std::uint64_t>(page[slot]).load(std::memory_order_acquire);
}

// Resident bytes now: the second field of /proc/self/statm, one pread.
std::uint64_t resident_now() noexcept {
    constexpr int decimal = 10;
    char text[128]; // NOLINT(readability-magic-numbers): seven numbers fit
    ssize_t got = -1;
    do {
        got = pread(statm_fd, text, sizeof text - 1, 0);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return 0;
    text[got] = '\0';
    char* at = nullptr;
    std::strtoull(text, &at, decimal);
    const unsigned long long pages = std::strtoull(at, nullptr, decimal);
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

// The handler of the interrupt signal: a KeyboardInterrupt in the job its
// caller asked for, and nothing at all when that job has already ended (the
// signal came late) or another one runs.
PyObject* interrupt_handler_body(Function*, BoundArgs&) noexcept {
    if (page == nullptr || running == 0 || !runner->in_items()) Py_RETURN_NONE;
    if (load(interrupt_job) != running && (running_tag == 0 || load(interrupt_tag) != running_tag))
        Py_RETURN_NONE;
    runner->answer_interrupt();
    PyErr_SetString(PyExc_KeyboardInterrupt, "interrupted by its caller");
    return nullptr;
}

const FunctionSpec interrupt_handler_spec = {
    "interrupt_handler", {{"signum", "frame"}, 2, 0}, interrupt_handler_body};

} // namespace

bool figures_start(PyObject* module, PyObject* address, JobRunner& job_runner) noexcept {
    if (address == Py_None) return true;
    void* at = PyLong_AsVoidPtr(address);
    if (at == nullptr) return PyErr_Occurred() == nullptr;
    statm_fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    page_size = sysconf(_SC_PAGESIZE);
    runner = &job_runner;
    page = static_cast<std::uint64_t*>(at);
    store(resident, resident_now());
    // signal.signal(vantrel._control.interrupt_signal, handler)
    Ref number = import_attribute("vantrel._figures", "interrupt_signal");
    Ref handler = number ? make_function(module, interrupt_handler_spec) : Ref();
    Ref signal_module = handler ? import_module("signal") : Ref();
    return signal_module &&
           call_method(signal_module.get(), names.signal, number.get(), handler.get());
}

void figures_job_started(PyObject* tag) noexcept {
    if (page == nullptr) return;
    running_tag = 0;
    if (tag != nullptr && PyLong_CheckExact(tag)) {
        const unsigned long long value = PyLong_AsUnsignedLongLong(tag);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr)
            PyErr_Clear(); // OverflowError: a tag no uint64 holds cannot be named
        else
            running_tag = value;
    }
    running = load(started) + 1;
    store(started, running);
}

void figures_job_finished() noexcept {
    if (page == nullptr) return;
    const std::int64_t now = now_ns();
    unread = now - read_at_ns < reread_ns;
    if (!unread) {
        store(resident, resident_now());
        read_at_ns = now;
    }
    store(finished, load(started));
}

void figures_idle() noexcept {
    if (page == nullptr || !unread) return;
    unread = false;
    store(resident, resident_now());
    read_at_ns = now_ns();
}

} // namespace vantrel::monorun
