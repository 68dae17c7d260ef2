// The process-wide random start of the hash seeds.
#include "engine/hash_map.hpp"

#include <atomic>
#include <chrono>
#include <random>

namespace quorix {
namespace {

std::uint64_t process_random_key() {
    std::random_device device;
    std::uint64_t key = (static_cast<std::uint64_t>(device()) << 32) ^ device();
    // Mixed with the clock in case the device is deterministic on this platform.
    key ^= static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    return key;
}

}  // namespace

std::uint64_t next_hash_seed() noexcept {
    static const std::uint64_t process_key = process_random_key();
    static std::atomic<std::uint64_t> counter{0};
    return process_key + 0x9e3779b97f4a7c15ULL * counter.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace quorix
