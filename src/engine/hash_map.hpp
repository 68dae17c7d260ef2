// Hash maps whose hash is seeded at random: one random key per process, and a
// fresh seed per map drawn from it, so a flood of colliding keys cannot be
// prepared in advance. HashMap keeps its entries in insertion order, found
// through a SlotIndex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "engine/slot_index.hpp"

namespace quorix {

// A new seed on every call: a process-wide random start plus a counter.
std::uint64_t next_hash_seed() noexcept;

class SeededHash {
public:
    SeededHash() noexcept : seed_(next_hash_seed()) {}

    std::size_t operator()(std::string_view text) const noexcept {
        return static_cast<std::size_t>(XXH3_64bits_withSeed(text.data(), text.size(), seed_));
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

private:
    std::uint64_t seed_;
};

// An insert-only map of unsigned integer keys, for the few per-column maps of
// a record. Each entry is allocated apart and never moves: references to it
// stay valid for the map's life, moving the map moves no entry, and the
// entries are walked in insertion order. (That order is still unspecified to
// callers.) A failed insert, including a refused allocation, leaves the map
// as it was.
template <class K, class V>
class HashMap {
    static_assert(std::is_unsigned_v<K> && sizeof(K) <= 8, "keys are unsigned integers");

public:
    using key_type = K;
    using mapped_type = V;
    using value_type = std::pair<const K, V>;

    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = HashMap::value_type;
        using difference_type = std::ptrdiff_t;
        using pointer = const value_type*;
        using reference = const value_type&;

        const_iterator() noexcept = default;
        reference operator*() const noexcept { return **at_; }
        pointer operator->() const noexcept { return at_->get(); }
        const_iterator& operator++() noexcept {
            ++at_;
            return *this;
        }
        const_iterator operator++(int) noexcept {
            const_iterator before = *this;
            ++at_;
            return before;
        }
        friend bool operator==(const const_iterator&, const const_iterator&) noexcept = default;

    private:
        friend class HashMap;
        explicit const_iterator(const std::unique_ptr<value_type>* at) noexcept : at_(at) {}
        const std::unique_ptr<value_type>* at_ = nullptr;
    };
    using iterator = const_iterator;

    HashMap() noexcept = default;
    // A copy has a seed of its own.
    HashMap(const HashMap& other) {
        reserve(other.size());
        for (const value_type& entry : other) emplace(entry.first, entry.second);
    }
    HashMap(HashMap&&) noexcept = default;
    HashMap& operator=(const HashMap& other) {
        if (this != &other) *this = HashMap(other);
        return *this;
    }
    HashMap& operator=(HashMap&&) noexcept = default;

    std::size_t size() const noexcept { return index_.size(); }
    const_iterator begin() const noexcept { return const_iterator(entries_.data()); }
    const_iterator end() const noexcept { return const_iterator(entries_.data() + entries_.size()); }

    // Room for n entries in all: the next inserts up to that size grow neither
    // the index nor the list of entries.
    void reserve(std::size_t n) {
        if (n > SlotIndex::max_entries()) throw std::length_error("HashMap::reserve: too many entries");
        index_.reserve(n);
        entries_.reserve(n);
    }

    const_iterator find(K key) const {
        const std::size_t found = find_entry(key, hash_(std::uint64_t{key}));
        return found == SlotIndex::npos ? end() : const_iterator(entries_.data() + found);
    }
    bool contains(K key) const { return find(key) != end(); }

    // Inserts (key, V(args...)) unless the key is present.
    template <class... Args>
    std::pair<const_iterator, bool> emplace(K key, Args&&... args) {
        const std::uint64_t hash = hash_(std::uint64_t{key});
        if (const std::size_t found = find_entry(key, hash); found != SlotIndex::npos) {
            return {const_iterator(entries_.data() + found), false};
        }
        if (size() == SlotIndex::max_entries()) throw std::length_error("HashMap: too many entries");
        // Whatever can fail comes first; the index then takes the entry without allocating.
        index_.reserve(size() + 1);
        entries_.push_back(std::make_unique<value_type>(std::piecewise_construct, std::forward_as_tuple(key),
                                                        std::forward_as_tuple(std::forward<Args>(args)...)));
        index_.insert(hash);
        return {const_iterator(entries_.data() + size() - 1), true};
    }

    template <class M>
    std::pair<const_iterator, bool> insert_or_assign(K key, M&& value) {
        auto result = emplace(key, std::forward<M>(value));
        if (!result.second) (*result.first.at_)->second = std::forward<M>(value);
        return result;
    }

private:
    std::size_t find_entry(K key, std::uint64_t hash) const {
        return index_.find(hash, [&](std::size_t number) { return entries_[number]->first == key; });
    }

    SeededHash hash_;
    SlotIndex index_;  // entry numbers are positions in entries_
    std::vector<std::unique_ptr<value_type>> entries_;
};

}  // namespace quorix
