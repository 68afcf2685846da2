#include "core/transport/futures_guard.hpp"
#include "core/transport/owner.hpp"
#include "core/transport/queue_state.hpp"

namespace vantrel::futures_guard {

int check(PyObject* qo) noexcept {
    mp_queue::QueueState* state = nullptr;
    const int found = mp_queue::state_of(qo, state);
    if (found <= 0) return found;
    return owner::check_unowned(*state);
}

} // namespace vantrel::futures_guard
