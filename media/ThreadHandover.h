// Makes a hand-over of memory between threads through Qt visible to race
// detectors.
//
// Qt passes work between threads through its own queues and locks (a task
// given to the thread pool, an object released with deleteLater from a worker
// thread). The hand-over is sound, but Qt comes from the system, not built
// with ThreadSanitizer, so the detector sees the writes on one side and the
// reads on the other and nothing ordering them. The sender calls
// threadhandover::publish() after its last access and before it gives the
// object to Qt; the receiver calls threadhandover::receive() before its first
// access. The pair is a release and an acquire on one atomic: it costs next to
// nothing, and orders nothing that Qt's lock does not order already.
#pragma once

#include <atomic>

namespace threadhandover {

inline std::atomic<unsigned>& counter()
{
    static std::atomic<unsigned> c {0};
    return c;
}

inline void publish() { counter().fetch_add(1, std::memory_order_release); }

inline void receive() { (void)counter().load(std::memory_order_acquire); }

} // namespace threadhandover
