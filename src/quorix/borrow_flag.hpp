// The borrow flag of an Encoder object: the only lock on its record, and
// nothing ever waits on it. 0 free, n readers, all bits set one writer.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "binding/py_error.hpp"

namespace quorix {

class BorrowFlag {
public:
    static constexpr std::uint64_t kExclusive = ~std::uint64_t{0};

    bool try_share() noexcept {
        std::uint64_t seen = word_.load(std::memory_order_relaxed);
        while (seen != kExclusive) {
            if (word_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
                return true;
            }
        }
        return false;
    }
    bool try_take_exclusive() noexcept {
        std::uint64_t expected = 0;
        return word_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                             std::memory_order_relaxed);
    }
    void give_back_shared() noexcept { word_.fetch_sub(1, std::memory_order_release); }
    void give_back_exclusive() noexcept { word_.store(0, std::memory_order_release); }

    std::uint64_t value() const noexcept { return word_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> word_{0};
};

// A taken use of a record, given back when the guard goes out of scope, on
// every path.
template <bool Exclusive>
class RecordUse {
public:
    static Result<RecordUse> take(BorrowFlag& flag) {
        if (Exclusive ? flag.try_take_exclusive() : flag.try_share()) return RecordUse(&flag);
        return PyError::pending(PyExc_RuntimeError, Exclusive ? "Already borrowed" : "Already mutably borrowed");
    }
    RecordUse(RecordUse&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    RecordUse(const RecordUse&) = delete;
    RecordUse& operator=(const RecordUse&) = delete;
    RecordUse& operator=(RecordUse&&) = delete;
    ~RecordUse() {
        if (flag_ == nullptr) return;
        if (Exclusive) {
            flag_->give_back_exclusive();
        } else {
            flag_->give_back_shared();
        }
    }

private:
    explicit RecordUse(BorrowFlag* flag) : flag_(flag) {}
    BorrowFlag* flag_;
};

using SharedUse = RecordUse<false>;
using ExclusiveUse = RecordUse<true>;

}  // namespace quorix
