// Hash maps whose hash is seeded at random: one random key per process, and a
// fresh seed per map drawn from it, so a flood of colliding keys cannot be
// prepared in advance. HashMap is stored flat: entries in a few large arrays
// in insertion order, found through an index of 64-bit slots.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

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

// An insert-only hash map of std::string or unsigned integer keys.
//
// Entries are std::pair<const K, V>, constructed in place in chunks that are
// never moved: references to entries stay valid until the map is cleared or
// destroyed, and iteration walks the chunks in insertion order. (Iteration
// order is still unspecified to callers.) A new chunk doubles the capacity,
// or brings it to exactly what reserve asked for.
//
// The index is a power-of-two array of slots probed linearly, at most 3/4
// full. A slot holds the high half of the key's hash above the entry number
// plus one; 0 is empty. The high half also gives the home slot (its top
// bits), so the index grows without touching an entry or hashing again, and
// a slot whose hash half differs rejects a key without reading its entry.
// Nothing is ever erased, so there are no tombstones.
//
// Inserts invalidate iterators (not references); a failed insert, including
// a refused allocation (std::bad_alloc), leaves the map as it was.
template <class K, class V>
class HashMap {
    static_assert(std::is_same_v<K, std::string> || (std::is_unsigned_v<K> && sizeof(K) <= 8),
                  "keys are texts or unsigned integers");

public:
    using key_type = K;
    using mapped_type = V;
    using value_type = std::pair<const K, V>;
    using size_type = std::size_t;
    // Texts are looked up by view, so no std::string is made for a lookup.
    using lookup_type = std::conditional_t<std::is_same_v<K, std::string>, std::string_view, K>;

private:
    struct Chunk {
        value_type* data;
        std::size_t begin;  // number of the first entry
        std::size_t capacity;
        std::size_t used;
    };

    template <bool Const>
    class Iter {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = HashMap::value_type;
        using difference_type = std::ptrdiff_t;
        using pointer = std::conditional_t<Const, const value_type*, value_type*>;
        using reference = std::conditional_t<Const, const value_type&, value_type&>;

        Iter() noexcept = default;
        operator Iter<true>() const noexcept
            requires(!Const)
        {
            return Iter<true>(entry_, stop_, chunk_, last_);
        }

        reference operator*() const noexcept { return *entry_; }
        pointer operator->() const noexcept { return entry_; }
        Iter& operator++() noexcept {
            if (++entry_ == stop_) {
                if (chunk_ == last_) {
                    entry_ = nullptr;  // end
                } else {
                    ++chunk_;
                    entry_ = chunk_->data;
                    stop_ = entry_ + chunk_->used;
                }
            }
            return *this;
        }
        Iter operator++(int) noexcept {
            Iter before = *this;
            ++*this;
            return before;
        }
        friend bool operator==(const Iter& a, const Iter& b) noexcept { return a.entry_ == b.entry_; }

    private:
        friend class HashMap;
        friend class Iter<!Const>;
        Iter(value_type* entry, value_type* stop, const Chunk* chunk, const Chunk* last) noexcept
            : entry_(entry), stop_(stop), chunk_(chunk), last_(last) {}

        value_type* entry_ = nullptr;  // nullptr at the end
        value_type* stop_ = nullptr;   // past the used part of the chunk
        const Chunk* chunk_ = nullptr;
        const Chunk* last_ = nullptr;  // the chunk of the last entry
    };

public:
    using iterator = Iter<false>;
    using const_iterator = Iter<true>;

    HashMap() noexcept = default;
    HashMap(std::initializer_list<value_type> entries) {
        reserve(entries.size());
        for (const value_type& entry : entries) try_emplace(entry.first, entry.second);
    }
    // A copy has a seed of its own.
    HashMap(const HashMap& other) {
        reserve(other.size());
        for (const value_type& entry : other) try_emplace(entry.first, entry.second);
    }
    HashMap(HashMap&& other) noexcept { swap(other); }
    HashMap& operator=(const HashMap& other) {
        if (this != &other) HashMap(other).swap(*this);
        return *this;
    }
    HashMap& operator=(HashMap&& other) noexcept {
        if (this != &other) HashMap(std::move(other)).swap(*this);
        return *this;
    }
    HashMap& operator=(std::initializer_list<value_type> entries) {
        HashMap(entries).swap(*this);
        return *this;
    }
    ~HashMap() { release(); }

    void swap(HashMap& other) noexcept {
        std::swap(hash_, other.hash_);
        std::swap(slots_, other.slots_);
        std::swap(slot_bits_, other.slot_bits_);
        std::swap(grow_at_, other.grow_at_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        std::swap(tail_, other.tail_);
        chunks_.swap(other.chunks_);
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    // Entries that fit without another allocation of entries.
    std::size_t capacity() const noexcept { return capacity_; }
    std::size_t slot_count() const noexcept { return slots_ ? std::size_t{1} << slot_bits_ : 0; }
    const SeededHash& hash_function() const noexcept { return hash_; }

    // Entry numbers fit the low half of a slot, and the slot count the 32
    // hash bits that place a key.
    static constexpr std::size_t max_size() noexcept {
        return std::min<std::size_t>(max_load(std::size_t{1} << kMaxSlotBits),
                                     std::numeric_limits<std::uint32_t>::max() - 1);
    }

    iterator begin() noexcept { return size_ ? entry_iterator(0, chunks_.data()) : iterator(); }
    const_iterator begin() const noexcept { return const_cast<HashMap*>(this)->begin(); }
    iterator end() noexcept { return iterator(); }
    const_iterator end() const noexcept { return const_iterator(); }

    // The entry inserted n-th (from 0); n must be below size().
    iterator nth(std::size_t n) noexcept { return entry_iterator(n, chunk_of(n)); }
    const_iterator nth(std::size_t n) const noexcept { return const_cast<HashMap*>(this)->nth(n); }

    // Room for n entries in all: the next inserts up to that size allocate
    // nothing. Allocates little beyond n entries (at most half as many
    // again when the map already holds some).
    void reserve(std::size_t n) {
        if (n > max_size()) throw std::length_error("HashMap::reserve: too many entries");
        if (n > max_load(slot_count())) rehash(slot_bits_for(n));
        if (n > capacity_) add_chunk(std::max(n - capacity_, capacity_ / 2));
    }

    void clear() noexcept {
        release();
        slots_ = nullptr;
        slot_bits_ = 0;
        grow_at_ = 0;
        size_ = 0;
        capacity_ = 0;
        tail_ = 0;
        chunks_.clear();
    }

    iterator find(lookup_type key) noexcept {
        if (size_ == 0) return end();
        const Probe probe = find_slot(key, hash_of(key));
        return probe.entry ? entry_iterator(probe.number, probe.chunk, probe.entry) : end();
    }
    const_iterator find(lookup_type key) const noexcept { return const_cast<HashMap*>(this)->find(key); }
    bool contains(lookup_type key) const noexcept { return find(key) != end(); }
    std::size_t count(lookup_type key) const noexcept { return contains(key) ? 1 : 0; }

    V& at(lookup_type key) {
        const iterator found = find(key);
        if (found == end()) throw std::out_of_range("HashMap::at: no such key");
        return found->second;
    }
    const V& at(lookup_type key) const { return const_cast<HashMap*>(this)->at(key); }

    // Inserts (key, V(args...)) unless the key is present; the key is made
    // from `key` only when inserted.
    template <class KeyArg, class... Args>
    std::pair<iterator, bool> try_emplace(KeyArg&& key, Args&&... args) {
        const std::uint64_t hash = hash_of(lookup_type(key));
        return try_emplace_hashed(hash, std::forward<KeyArg>(key), std::forward<Args>(args)...);
    }

    // The hash under which this map places `key`.
    std::uint64_t hash_key(lookup_type key) const noexcept { return hash_of(key); }

    // Starts loading the slot where a key of this hash is looked for first,
    // so a batch of inserts can overlap their cache misses. A hint only.
    void prefetch(std::uint64_t hash) const noexcept {
        if (slots_) __builtin_prefetch(slots_ + home(hash));
    }

    // try_emplace with the key's hash_key(key) computed by the caller.
    template <class KeyArg, class... Args>
    std::pair<iterator, bool> try_emplace_hashed(std::uint64_t hash, KeyArg&& key, Args&&... args) {
        const lookup_type lookup(key);
        Probe probe{};
        if (slots_) {
            probe = find_slot(lookup, hash);
            if (probe.entry) return {entry_iterator(probe.number, probe.chunk, probe.entry), false};
        }
        if (size_ == max_size()) throw std::length_error("HashMap: too many entries");
        if (size_ == grow_at_) {
            rehash(slot_bits_for(size_ + 1));
            probe.slot = free_slot(hash);
        }
        if (size_ == capacity_) add_chunk(std::max(kMinChunk, capacity_));

        // Every allocation is done; only constructing the entry can still fail.
        const std::size_t t = size_ == 0 || chunks_[tail_].used < chunks_[tail_].capacity ? tail_ : tail_ + 1;
        Chunk& chunk = chunks_[t];
        value_type* entry = chunk.data + chunk.used;
        ::new (static_cast<void*>(entry)) value_type(std::piecewise_construct,
                                                     std::forward_as_tuple(std::forward<KeyArg>(key)),
                                                     std::forward_as_tuple(std::forward<Args>(args)...));
        tail_ = t;
        ++chunk.used;
        slots_[probe.slot] = (hash & kHashHalf) | (size_ + 1);
        return {entry_iterator(size_++, &chunk, entry), true};
    }

    template <class KeyArg, class... Args>
    std::pair<iterator, bool> emplace(KeyArg&& key, Args&&... args) {
        return try_emplace(std::forward<KeyArg>(key), std::forward<Args>(args)...);
    }

    template <class KeyArg, class M>
    std::pair<iterator, bool> insert_or_assign(KeyArg&& key, M&& value) {
        auto result = try_emplace(std::forward<KeyArg>(key), std::forward<M>(value));
        if (!result.second) result.first->second = std::forward<M>(value);
        return result;
    }

    // insert_or_assign with the key's hash_key(key) computed by the caller.
    template <class KeyArg, class M>
    std::pair<iterator, bool> insert_or_assign_hashed(std::uint64_t hash, KeyArg&& key, M&& value) {
        auto result = try_emplace_hashed(hash, std::forward<KeyArg>(key), std::forward<M>(value));
        if (!result.second) result.first->second = std::forward<M>(value);
        return result;
    }

    template <class KeyArg>
    V& operator[](KeyArg&& key) {
        return try_emplace(std::forward<KeyArg>(key)).first->second;
    }

    // The same entries, whatever the order they were inserted in.
    friend bool operator==(const HashMap& a, const HashMap& b)
        requires requires(const V& v) { v == v; }
    {
        if (a.size() != b.size()) return false;
        for (const value_type& entry : a) {
            const const_iterator other = b.find(entry.first);
            if (other == b.end() || !(other->second == entry.second)) return false;
        }
        return true;
    }

private:
    static constexpr unsigned kMaxSlotBits = 32;
    static constexpr unsigned kMinSlotBits = 3;
    static constexpr std::size_t kMinChunk = 8;
    static constexpr std::uint64_t kHashHalf = 0xFFFFFFFF00000000ULL;

    // Linear probing stays short up to this load; a slot is 8 bytes, so the
    // spare ones cost far less than the entries.
    static constexpr std::size_t max_load(std::size_t slots) noexcept { return slots / 4 * 3; }

    struct Probe {
        std::size_t slot;    // where the key is, or the empty slot that ends its probe
        std::size_t number;  // the entry's number when found
        const Chunk* chunk;
        value_type* entry;   // nullptr when absent
    };

    std::uint64_t hash_of(lookup_type key) const noexcept {
        if constexpr (std::is_same_v<K, std::string>) {
            return hash_(key);
        } else {
            return hash_(static_cast<std::uint64_t>(key));
        }
    }

    std::size_t home(std::uint64_t hash) const noexcept {
        return static_cast<std::size_t>(hash >> (64 - slot_bits_));
    }

    // Needs a non-empty index.
    Probe find_slot(lookup_type key, std::uint64_t hash) const noexcept {
        const std::size_t mask = slot_count() - 1;
        for (std::size_t i = home(hash);; i = (i + 1) & mask) {
            const std::uint64_t slot = slots_[i];
            if (slot == 0) return {i, 0, nullptr, nullptr};
            if (((slot ^ hash) & kHashHalf) == 0) {
                const std::size_t number = static_cast<std::uint32_t>(slot) - 1;
                const Chunk* chunk = chunk_of(number);
                value_type* entry = chunk->data + (number - chunk->begin);
                if (entry->first == key) return {i, number, chunk, entry};
            }
        }
    }

    std::size_t free_slot(std::uint64_t hash) const noexcept {
        const std::size_t mask = slot_count() - 1;
        std::size_t i = home(hash);
        while (slots_[i] != 0) i = (i + 1) & mask;
        return i;
    }

    // Mostly the last chunk or one just before it: they hold most entries.
    const Chunk* chunk_of(std::size_t number) const noexcept {
        const Chunk* chunk = chunks_.data() + tail_;
        while (number < chunk->begin) --chunk;
        return chunk;
    }

    iterator entry_iterator(std::size_t number, const Chunk* chunk) noexcept {
        return entry_iterator(number, chunk, chunk->data + (number - chunk->begin));
    }
    iterator entry_iterator(std::size_t, const Chunk* chunk, value_type* entry) noexcept {
        return iterator(entry, chunk->data + chunk->used, chunk, chunks_.data() + tail_);
    }

    static unsigned slot_bits_for(std::size_t n) {
        unsigned bits = kMinSlotBits;
        while (max_load(std::size_t{1} << bits) < n) {
            if (++bits > kMaxSlotBits) throw std::length_error("HashMap: too many entries");
        }
        return bits;
    }

    // A fresh index of 2^bits slots; an entry's home follows from its slot.
    void rehash(unsigned bits) {
        const std::size_t count = std::size_t{1} << bits;
        auto* slots = static_cast<std::uint64_t*>(std::calloc(count, sizeof(std::uint64_t)));
        if (slots == nullptr) throw std::bad_alloc();
        const std::size_t mask = count - 1;
        for (std::size_t j = 0, old = slot_count(); j < old; ++j) {
            const std::uint64_t slot = slots_[j];
            if (slot == 0) continue;
            std::size_t i = static_cast<std::size_t>(slot >> (64 - bits));
            while (slots[i] != 0) i = (i + 1) & mask;
            slots[i] = slot;
        }
        std::free(slots_);
        slots_ = slots;
        slot_bits_ = bits;
        grow_at_ = max_load(count);
    }

    void add_chunk(std::size_t count) {
        chunks_.reserve(chunks_.size() + 1);
        value_type* data = std::allocator<value_type>().allocate(count);
        chunks_.push_back({data, capacity_, count, 0});
        capacity_ += count;
    }

    void release() noexcept {
        for (Chunk& chunk : chunks_) {
            std::destroy(chunk.data, chunk.data + chunk.used);
            std::allocator<value_type>().deallocate(chunk.data, chunk.capacity);
        }
        std::free(slots_);
    }

    SeededHash hash_;
    std::uint64_t* slots_ = nullptr;
    unsigned slot_bits_ = 0;
    std::size_t grow_at_ = 0;  // the size at which the index grows
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t tail_ = 0;  // the chunk of the last entry; the ones before it are full
    std::vector<Chunk> chunks_;
};

}  // namespace quorix
