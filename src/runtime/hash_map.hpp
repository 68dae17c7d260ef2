// Hash maps whose hash is seeded at random: one random key per process, and a
// fresh seed per map drawn from it, so iteration order differs between maps
// and between runs and nothing may depend on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace quorix {

// A new seed on every call: a process-wide random start plus a counter.
std::uint64_t next_hash_seed() noexcept;

class SeededHash {
public:
    using is_transparent = void;

    SeededHash() noexcept : seed_(next_hash_seed()) {}

    std::size_t operator()(std::string_view text) const noexcept {
        return static_cast<std::size_t>(XXH3_64bits_withSeed(text.data(), text.size(), seed_));
    }
    std::size_t operator()(const std::string& text) const noexcept {
        return (*this)(std::string_view(text));
    }
    std::size_t operator()(std::uint64_t key) const noexcept {
        // A 64-bit finalizer (splitmix64) over the seeded key: cheap and well mixed.
        std::uint64_t x = key ^ seed_;
        x ^= x >> 30;
        x *= 0xbf58476d1ce4e5b9ULL;
        x ^= x >> 27;
        x *= 0x94d049bb133111ebULL;
        x ^= x >> 31;
        return static_cast<std::size_t>(x);
    }

    std::uint64_t seed() const noexcept { return seed_; }

private:
    std::uint64_t seed_;
};

struct TransparentEqual {
    using is_transparent = void;
    template <class A, class B>
    bool operator()(const A& a, const B& b) const noexcept {
        return a == b;
    }
};

template <class Key, class Value>
using HashMap = std::unordered_map<Key, Value, SeededHash, TransparentEqual>;

}  // namespace quorix
