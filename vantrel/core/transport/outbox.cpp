// Outbox: jobs for several queues, written in as few writes as possible.
//
// A lane's messages are written only as pipe_write.cpp allows (a write that
// cannot wait); the rest are held until the pipe may take them. A held
// message of at most PIPE_BUF bytes may go as soon as the pipe has a free
// page, which poll reports; a larger one needs the pipe empty, which nothing
// reports, so that lane is looked at again after a pause that grows while
// nothing moves.
#include "core/transport/message_pickle.hpp"
#include "core/transport/pipe_read.hpp"
#include "core/transport/pipe_write.hpp"
#include "core/transport/shm_buffers.hpp"

#include <algorithm>
#include <cerrno>
#include <new>
#include <poll.h>

namespace vantrel::mp_queue {

struct Outbox::Lane {
    Ref queue;
    QueueState* state = nullptr;
    Ref pending;               // list of bytes, oldest first
    Py_ssize_t first = 0;      // the first message of `pending` not sent yet
    Py_ssize_t held_bytes = 0; // what the messages not sent yet weigh
    bool through_put = false;  // a message went to `put`: the later ones follow it
    bool stalled = false;      // the pipe had room for none of them at the last look
    Py_ssize_t added = 0;      // messages added since the last try to write
    Py_ssize_t added_bytes = 0;
    int pause_ms = 0; // before the next look at a pipe that must be empty

    Py_ssize_t held() const noexcept {
        return pending ? PyList_GET_SIZE(pending.get()) - first : 0;
    }
    void sent(Py_ssize_t count) noexcept {
        for (Py_ssize_t i = 0; i < count; ++i)
            held_bytes -= PyBytes_GET_SIZE(PyList_GET_ITEM(pending.get(), first + i));
        first += count;
        if (held() == 0) {
            pending.reset();
            first = 0;
            held_bytes = 0;
        }
    }
};

Outbox::Outbox(Py_ssize_t lanes) noexcept
    : lanes_(new (std::nothrow) Lane[static_cast<size_t>(lanes > 0 ? lanes : 1)]),
      count_(lanes > 0 ? lanes : 1) {}

Outbox::~Outbox() {
    // What was never sent is never read: its shared memory goes now.
    for (Py_ssize_t i = 0; lanes_ && i < count_; ++i) {
        const Lane& l = lanes_[i];
        for (Py_ssize_t m = l.first; l.pending && m < PyList_GET_SIZE(l.pending.get()); ++m)
            shm_buffers::discard(PyList_GET_ITEM(l.pending.get(), m));
    }
    delete[] lanes_;
}

int Outbox::add(Py_ssize_t lane, PyObject* queue, QueueState* state, PyObject* message, Kind kind,
                Tag tag) noexcept {
    if (!lanes_) {
        PyErr_NoMemory();
        return -1;
    }
    Lane& l = lanes_[lane % count_];
    if (l.held() > 0 && l.queue.get() != queue && send_all(l) < 0) return -1;
    if (!state || !state->direct) return send(queue, state, message, kind, tag);
    Ref data = pickle_or_stand_in(message, kind, reader_of(*state), tag);
    if (!data) return -1;
    if (l.queue.get() != queue) {
        l.queue = Ref::borrow(queue);
        l.state = state;
        l.through_put = false;
    }
    if (l.through_put) return put_pickled(queue, *state, data.get());
    if (!l.pending) {
        l.pending = Ref::steal(PyList_New(0));
        if (!l.pending) return -1;
    }
    if (PyList_Append(l.pending.get(), data.get()) < 0) return -1;
    l.held_bytes += PyBytes_GET_SIZE(data.get());
    l.added += 1;
    l.added_bytes += PyBytes_GET_SIZE(data.get());
    // A batch's worth at a time: a stalled lane is not tried at every message.
    return l.added >= batch_messages || l.added_bytes >= batch_bytes ? pump(l) : 0;
}

// Writes as many of a lane's messages as the pipe takes now, in their
// order. Once one must go through `put` (the feeder holds messages, or it
// could never fit), all the lane's messages go that way.
int Outbox::pump(Lane& l) noexcept {
    l.stalled = false;
    l.added = 0;
    l.added_bytes = 0;
    while (l.held() > 0 && !l.through_put) {
        PyObject** next = &PySequence_Fast_ITEMS(l.pending.get())[l.first];
        Py_ssize_t written = 0;
        switch (write_direct(l.queue.get(), *l.state, next, l.held(), written)) {
        case Wrote::all:
            l.sent(written);
            l.pause_ms = 0;
            break;
        case Wrote::no_room:
            l.stalled = true;
            return 0;
        case Wrote::feeder:
            l.through_put = true;
            break;
        case Wrote::error:
            return -1;
        }
    }
    return put_rest(l);
}

// Hands the lane's messages to `put` once it goes that way.
int Outbox::put_rest(Lane& l) noexcept {
    while (l.through_put && l.held() > 0) {
        if (put_pickled(l.queue.get(), *l.state, PyList_GET_ITEM(l.pending.get(), l.first)) < 0)
            return -1;
        l.sent(1);
    }
    return 0;
}

// A lane's messages, all of them now: directly while they fit, then through
// `put`.
int Outbox::send_all(Lane& l) noexcept {
    if (pump(l) < 0) return -1;
    l.through_put = l.through_put || l.held() > 0;
    return put_rest(l);
}

int Outbox::pump() noexcept {
    // A stalled lane is tried again once wait() says it may have room.
    for (Py_ssize_t i = 0; lanes_ && i < count_; ++i)
        if (!lanes_[i].stalled && pump(lanes_[i]) < 0) return -1;
    return 0;
}

int Outbox::send_all() noexcept {
    for (Py_ssize_t i = 0; lanes_ && i < count_; ++i)
        if (send_all(lanes_[i]) < 0) return -1;
    return 0;
}

bool Outbox::holding() const noexcept {
    for (Py_ssize_t i = 0; lanes_ && i < count_; ++i)
        if (lanes_[i].held() > 0) return true;
    return false;
}

// Waits until `reader_fd` (or `sentinel`) is readable or a stalled lane's
// pipe may have room, at most `timeout_ms`; 1 readable, 2 sentinel, 0
// otherwise.
int Outbox::wait(int reader_fd, int sentinel, int timeout_ms) noexcept {
    constexpr size_t most_fds = 64;
    constexpr int soon_ms = 1;
    constexpr int longest_pause_ms = 16;
    pollfd fds[most_fds];
    nfds_t count = 0;
    fds[count++] = {reader_fd, POLLIN, 0};
    if (sentinel >= 0) fds[count++] = {sentinel, POLLIN, 0};
    const nfds_t first_lane = count;
    const bool nowait = layout().nowait_writes != 0;
    for (Py_ssize_t i = 0; i < count_; ++i) {
        Lane& l = lanes_[i];
        if (l.held() == 0) continue;
        const Py_ssize_t next = PyBytes_GET_SIZE(PyList_GET_ITEM(l.pending.get(), l.first));
        if (!l.stalled || count == most_fds) {
            timeout_ms = std::min(timeout_ms, soon_ms);
        } else if (nowait && static_cast<size_t>(next + long_header) <= atomic_write) {
            fds[count++] = {l.state->writer_fd, POLLOUT, 0};
        } else {
            l.pause_ms = std::min(std::max(2 * l.pause_ms, soon_ms), longest_pause_ms);
            timeout_ms = std::min(timeout_ms, l.pause_ms);
            l.stalled = false; // looked at again after the pause
        }
    }
    int r = 0;
    Py_BEGIN_ALLOW_THREADS
        r = poll(fds, count, timeout_ms);
    Py_END_ALLOW_THREADS
    if (r < 0) {
        if (errno == EINTR) return 0; // the caller takes the signal
        fail_with_errno(errno);
        return -1;
    }
    for (nfds_t i = first_lane; i < count; ++i)
        if (fds[i].revents != 0)
            for (Py_ssize_t j = 0; j < count_; ++j)
                if (lanes_[j].held() > 0 && lanes_[j].state->writer_fd == fds[i].fd)
                    lanes_[j].stalled = false;
    if (r > 0 && fds[0].revents != 0) return 1;
    if (r > 0 && sentinel >= 0 && fds[1].revents != 0) return 2;
    return 0;
}

} // namespace vantrel::mp_queue
