// A bounded Chase-Lev work-stealing deque of job pointers: the owner pushes
// and pops at the bottom, thieves take from the top.
//
// The algorithm is the one of Lê, Pop, Cohen and Zappa Nardelli, "Correct
// and Efficient Work-Stealing for Weak Memory Models" (PPoPP 2013), which is
// also what Taskflow's queue follows. Deviations, each explained where it is
// made: the buffer never grows (a full deque refuses the push and the owner
// runs the job itself); the bottom index is published with a release store
// instead of a release fence plus a relaxed store; and the two seq_cst fences
// are folded into seq_cst accesses next to them.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace quorix::pool_detail {

template <class T, std::size_t Capacity>
class WorkStealingDeque {
    static_assert((Capacity & (Capacity - 1)) == 0, "capacity must be a power of two");

public:
    WorkStealingDeque() {
        for (auto& slot : buffer_) slot.store(nullptr, std::memory_order_relaxed);
    }
    WorkStealingDeque(const WorkStealingDeque&) = delete;
    WorkStealingDeque& operator=(const WorkStealingDeque&) = delete;

    // Owner only. A fixed buffer is enough: an owner only pushes inside a
    // fork and pops before the fork returns, so the occupancy is bounded by
    // the nesting depth of forks; a refused push just means no parallelism.
    bool push(T* item) noexcept {
        const std::int64_t b = bottom_.load(std::memory_order_relaxed);
        const std::int64_t t = top_.load(std::memory_order_acquire);
        if (b - t >= static_cast<std::int64_t>(Capacity)) return false;
        buffer_[static_cast<std::size_t>(b) & mask].store(item, std::memory_order_relaxed);
        // The paper writes a release fence followed by a relaxed store. A
        // release store orders the same (the slot and everything the job
        // refers to happen before a thief's acquire load of bottom) and is
        // what ThreadSanitizer understands; on x86 both are a plain store.
        bottom_.store(b + 1, std::memory_order_release);
        return true;
    }

    // Owner only: the most recently pushed item, or nullptr.
    T* pop() noexcept {
        const std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
        // The paper has a relaxed store, a seq_cst fence, then a relaxed load
        // of top: the decrement must be ordered before the top read, against
        // a thief's top read before its bottom read, or both could take the
        // last item. A seq_cst store and load give that order too (on x86 the
        // store is the same locked instruction as the fence), and unlike
        // fences ThreadSanitizer models them.
        bottom_.store(b, std::memory_order_seq_cst);
        std::int64_t t = top_.load(std::memory_order_seq_cst);
        if (t > b) {  // empty
            bottom_.store(b + 1, std::memory_order_relaxed);
            return nullptr;
        }
        T* item = buffer_[static_cast<std::size_t>(b) & mask].load(std::memory_order_relaxed);
        if (t == b) {
            // The last item: race the thieves for it through top.
            if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                              std::memory_order_relaxed)) {
                item = nullptr;
            }
            bottom_.store(b + 1, std::memory_order_relaxed);
        }
        return item;
    }

    // Any thread: the oldest item, or nullptr when empty or when the race for
    // it was lost (the caller simply looks elsewhere).
    T* steal() noexcept {
        // seq_cst in place of the paper's acquire loads around a seq_cst
        // fence; pairs with pop, see there. Plain loads on x86.
        std::int64_t t = top_.load(std::memory_order_seq_cst);
        const std::int64_t b = bottom_.load(std::memory_order_seq_cst);
        if (t >= b) return nullptr;
        // The paper reads the slot with consume; acquire on bottom above
        // already makes the pushed slot visible, so relaxed is enough here.
        T* item = buffer_[static_cast<std::size_t>(t) & mask].load(std::memory_order_relaxed);
        if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                          std::memory_order_relaxed)) {
            return nullptr;
        }
        return item;
    }

    bool looks_empty() const noexcept {
        return bottom_.load(std::memory_order_relaxed) <= top_.load(std::memory_order_relaxed);
    }

private:
    static constexpr std::size_t mask = Capacity - 1;

    // Thieves hammer top, the owner bottom: keep them on separate cache lines.
    alignas(64) std::atomic<std::int64_t> top_{0};
    alignas(64) std::atomic<std::int64_t> bottom_{0};
    alignas(64) std::array<std::atomic<T*>, Capacity> buffer_;
};

}  // namespace quorix::pool_detail
