// Whether multiprocessing queues of this Python are laid out as the direct
// path expects (queue_facts.cpp lists the facts), checked once per process.
#pragma once

namespace vantrel::mp_queue {

// Whether queues of the checked layout take the direct path in this process;
// what sending and receiving need is loaded on the way. -1 on error.
int direct_path_known() noexcept;

} // namespace vantrel::mp_queue
