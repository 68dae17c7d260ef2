// A value made once per process by code that needs the interpreter (imports,
// attribute lookups). No lock of our own is held while it is made: the
// making may drop and retake the interpreter lock (imports do), and a thread
// that forks meanwhile must leave its child a state it can make the value
// from again, not a mutex whose owner does not exist there.
#pragma once

#include <Python.h>

#include <atomic>
#include <utility>

namespace quorix {

template <class T>
class GilOnce {
public:
    // The value, made by `make` with the interpreter lock held unless an
    // earlier call made it. A thread that comes while another is making it
    // makes its own; the first to finish is kept, which is harmless because
    // every `make` here finds the same things. Publishing runs with the lock
    // held and without dropping it, so exactly one thread publishes. An
    // exception from `make` leaves nothing made; the next call tries again.
    template <class Make>
    const T& get(Make&& make) {
        if (done_.load(std::memory_order_acquire)) return value_;
        T made = make();
        if (!done_.load(std::memory_order_relaxed)) {
            value_ = std::move(made);
            done_.store(true, std::memory_order_release);
        }
        return value_;
    }

private:
    T value_{};
    std::atomic<bool> done_{false};
};

}  // namespace quorix
