// SendPtr: the handle through which the column jobs write into the matrix.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

namespace quorix {

// Carries the matrix start address to worker threads. Shared ownership of the
// handle (an atomic count starting at 1), none of the storage: releasing the
// last share frees only the handle. Jobs borrow it by reference and write
// distinct cells, so it needs no lock.
class SendPtr {
public:
    explicit SendPtr(double* start) : control_(new Control{start, {1}}) {}
    SendPtr(const SendPtr& other) noexcept : control_(other.control_) {
        if (control_ != nullptr) control_->count.fetch_add(1, std::memory_order_relaxed);
    }
    SendPtr(SendPtr&& other) noexcept : control_(std::exchange(other.control_, nullptr)) {}
    SendPtr& operator=(SendPtr other) noexcept {
        std::swap(control_, other.control_);
        return *this;
    }
    ~SendPtr() {
        // acq_rel: the last releaser sees every use by the others before it frees.
        if (control_ != nullptr && control_->count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete control_;
        }
    }

    double* get() const noexcept { return control_->start; }

private:
    struct Control {
        double* start;
        std::atomic<std::size_t> count;
    };
    Control* control_;
};

}  // namespace quorix
