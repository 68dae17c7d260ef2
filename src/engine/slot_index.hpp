// Entry numbers found by hash: a power-of-two array of 64-bit slots probed
// linearly, at most 3/4 full. A slot holds the high half of the key's hash
// above the entry number plus one; 0 is empty. The high half also gives the
// home slot (its top bits), so the index grows without hashing again, and a
// slot whose hash half differs rejects a key without reading its entry.
// The index knows nothing of keys: its owner says which entry is a match.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "engine/large_blocks.hpp"
#include "engine/parallel_loops.hpp"

namespace quorix {

// More entries than one index numbers (see max_entries).
inline constexpr const char* kTooManyEntries = "too many entries for one map";

class SlotIndex {
public:
    static constexpr std::size_t npos = std::numeric_limits<std::size_t>::max();

    SlotIndex() noexcept = default;
    SlotIndex(SlotIndex&& other) noexcept { swap(other); }
    SlotIndex& operator=(SlotIndex other) noexcept {
        swap(other);
        return *this;
    }
    ~SlotIndex() { release_block(slots_, slot_count() * sizeof(std::uint64_t)); }

    void swap(SlotIndex& other) noexcept {
        std::swap(slots_, other.slots_);
        std::swap(bits_, other.bits_);
        std::swap(entries_, other.entries_);
    }

    // Entry numbers fit the low half of a slot, and the slot count the 32
    // hash bits that place a key.
    static constexpr std::size_t max_entries() noexcept {
        return std::min<std::size_t>(max_load(std::size_t{1} << kMaxBits),
                                     std::numeric_limits<std::uint32_t>::max() - 1);
    }

    std::size_t size() const noexcept { return entries_; }

    // Room for `entries` in all: the inserts up to that many allocate nothing.
    void reserve(std::size_t entries) {
        if (entries > max_entries()) throw std::length_error(kTooManyEntries);
        if (entries > max_load(slot_count())) rehash(bits_for(entries));
    }

    // The entry whose key `is_match(entry)` accepts among those of this hash,
    // or npos.
    template <class IsMatch>
    std::size_t find(std::uint64_t hash, const IsMatch& is_match) const {
        if (slots_ == nullptr) return npos;
        const std::size_t mask = slot_count() - 1;
        for (std::size_t i = home(hash);; i = (i + 1) & mask) {
            const std::uint64_t slot = slots_[i];
            if (slot == 0) return npos;
            if (((slot ^ hash) & kHashHalf) == 0) {
                const std::size_t entry = static_cast<std::uint32_t>(slot) - 1;
                if (is_match(entry)) return entry;
            }
        }
    }

    // Adds the next entry number under `hash`; its key must be absent.
    void insert(std::uint64_t hash) {
        reserve(entries_ + 1);
        slots_[free_slot(hash)] = (hash & kHashHalf) | (entries_ + 1);
        ++entries_;
    }

    // Starts loading the first slot a key of this hash is looked for in. A hint.
    void prefetch(std::uint64_t hash) const noexcept {
        if (slots_) __builtin_prefetch(slots_ + home(hash));
    }

    // Adds entries 0 .. count - 1 to an empty index at once, on the pool.
    // Their keys must all differ: a slot is claimed without reading any key.
    // Each piece hashes a few entries ahead and asks for their home slots,
    // so that the cache misses of a large index overlap.
    template <class HashOf>
    void insert_distinct(std::size_t count, const HashOf& hash_of) {
        if (count == 0) return;
        reserve(count);
        const std::size_t mask = slot_count() - 1;
        constexpr std::size_t ahead = 16;
        parallel_for_ranges(count, 4096, [&](std::size_t begin, std::size_t end) {
            std::uint64_t upcoming[ahead];
            for (std::size_t entry = begin; entry < std::min(end, begin + ahead); ++entry) {
                upcoming[entry % ahead] = hash_of(entry);
                prefetch(upcoming[entry % ahead]);
            }
            for (std::size_t entry = begin; entry < end; ++entry) {
                const std::uint64_t hash = upcoming[entry % ahead];
                if (entry + ahead < end) {
                    upcoming[entry % ahead] = hash_of(entry + ahead);
                    prefetch(upcoming[entry % ahead]);
                }
                const std::uint64_t value = (hash & kHashHalf) | (entry + 1);
                for (std::size_t i = home(hash);; i = (i + 1) & mask) {
                    std::atomic_ref<std::uint64_t> slot(slots_[i]);
                    std::uint64_t empty = 0;
                    if (slot.load(std::memory_order_relaxed) == 0 &&
                        slot.compare_exchange_strong(empty, value, std::memory_order_relaxed)) {
                        break;
                    }
                }
            }
        });
        entries_ = count;
    }

private:
    static constexpr unsigned kMaxBits = 32;
    static constexpr unsigned kMinBits = 3;
    static constexpr std::uint64_t kHashHalf = 0xFFFFFFFF00000000ULL;

    static constexpr std::size_t max_load(std::size_t slots) noexcept { return slots / 4 * 3; }

    static unsigned bits_for(std::size_t entries) {
        unsigned bits = kMinBits;
        while (max_load(std::size_t{1} << bits) < entries) ++bits;
        return bits;
    }

    static std::uint64_t* allocate(unsigned bits) {
        const std::size_t bytes = (std::size_t{1} << bits) * sizeof(std::uint64_t);
        auto* slots = static_cast<std::uint64_t*>(allocate_block(bytes));
        std::memset(slots, 0, bytes);
        return slots;
    }

    std::size_t slot_count() const noexcept { return slots_ ? std::size_t{1} << bits_ : 0; }

    std::size_t home(std::uint64_t hash) const noexcept {
        return static_cast<std::size_t>(hash >> (64 - bits_));
    }

    std::size_t free_slot(std::uint64_t hash) const noexcept {
        const std::size_t mask = slot_count() - 1;
        std::size_t i = home(hash);
        while (slots_[i] != 0) i = (i + 1) & mask;
        return i;
    }

    void rehash(unsigned bits) {
        std::uint64_t* slots = allocate(bits);
        const std::size_t mask = (std::size_t{1} << bits) - 1;
        for (std::size_t j = 0, old = slot_count(); j < old; ++j) {
            const std::uint64_t slot = slots_[j];
            if (slot == 0) continue;
            std::size_t i = static_cast<std::size_t>(slot >> (64 - bits));
            while (slots[i] != 0) i = (i + 1) & mask;
            slots[i] = slot;
        }
        release_block(slots_, slot_count() * sizeof(std::uint64_t));
        slots_ = slots;
        bits_ = bits;
    }

    std::uint64_t* slots_ = nullptr;
    unsigned bits_ = 0;
    std::size_t entries_ = 0;
};

}  // namespace quorix
