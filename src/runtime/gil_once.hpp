// One-time initialisation of things that need the interpreter. A thread that
// finds another one inside waits with the interpreter lock released: the one
// inside may drop and retake the lock (imports do), and must not find the
// waiter sitting on it.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

namespace quorix {

class GilOnce {
public:
    bool done() const noexcept { return done_.load(std::memory_order_acquire); }

    // Runs `init` with the interpreter lock held, unless an earlier call
    // completed it. `init` returns normally on success; an exception leaves
    // the flag unset, so the next call tries again.
    template <class Init>
    void call(Init&& init) {
        if (done()) return;
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            Py_BEGIN_ALLOW_THREADS
            lock.lock();
            Py_END_ALLOW_THREADS
        }
        if (done()) return;
        init();
        done_.store(true, std::memory_order_release);
    }

private:
    std::mutex mutex_;
    std::atomic<bool> done_{false};
};

}  // namespace quorix
