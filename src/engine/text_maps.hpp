// The two maps of a string column: every distinct text to its optional code,
// and code to text. Each keeps its texts in a TextStore, where encode's two
// maps of a column share one: every distinct text is stored once.
//
// Both are insert-only and iterate in entry order (unspecified to callers).
// After encode the entries are the texts in byte order and the codes are
// their ranks, skipping the few texts without one (the missing-value
// markers): such maps hold no codes at all, only the texts and an index,
// and the code-to-text map is the text-to-code map's store read by
// position. Any other content (a state read from bytes may hold sparse
// codes, repeated texts, any code up to 2^64 - 1) turns a map explicit:
// one code (and, for code to text, one text number) per entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/hash_map.hpp"
#include "engine/parallel_loops.hpp"
#include "engine/slot_index.hpp"
#include "engine/text_store.hpp"

namespace quorix {

using ColumnIndex = std::size_t;
using Code = std::uint64_t;

namespace text_maps_detail {

// An entry read by value, reached through -> as well as *.
template <class Pair>
struct EntryArrow {
    Pair entry;
    const Pair* operator->() const noexcept { return &entry; }
};

// A forward iterator over entry numbers; Map::entry(number) reads one.
template <class Map>
class EntryIterator {
public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = typename Map::value_type;
    using difference_type = std::ptrdiff_t;
    using reference = value_type;
    using pointer = EntryArrow<value_type>;

    EntryIterator() noexcept = default;
    EntryIterator(const Map* map, std::size_t number) noexcept : map_(map), number_(number) {}

    value_type operator*() const { return map_->entry(number_); }
    pointer operator->() const { return {map_->entry(number_)}; }
    EntryIterator& operator++() noexcept {
        ++number_;
        return *this;
    }
    EntryIterator operator++(int) noexcept {
        EntryIterator before = *this;
        ++number_;
        return before;
    }
    friend bool operator==(const EntryIterator& a, const EntryIterator& b) noexcept {
        return a.number_ == b.number_;
    }

private:
    const Map* map_ = nullptr;
    std::size_t number_ = 0;
};

// At most this many entries without a code keep a map's codes implicit.
constexpr std::size_t kMaxUncoded = 16;

}  // namespace text_maps_detail

class TextToCode {
public:
    using value_type = std::pair<std::string_view, std::optional<Code>>;
    using const_iterator = text_maps_detail::EntryIterator<TextToCode>;
    using iterator = const_iterator;

    TextToCode() = default;
    TextToCode(std::initializer_list<value_type> entries);
    // A copy has a store and a seed of its own.
    TextToCode(const TextToCode& other);
    TextToCode& operator=(const TextToCode& other);
    TextToCode(TextToCode&&) noexcept = default;
    TextToCode& operator=(TextToCode&&) noexcept = default;

    std::size_t size() const noexcept { return store_ ? store_->size() : 0; }
    bool empty() const noexcept { return size() == 0; }
    const_iterator begin() const noexcept { return {this, 0}; }
    const_iterator end() const noexcept { return {this, size()}; }

    const_iterator find(std::string_view text) const { return {this, find_entry(text, hash_key(text))}; }
    bool contains(std::string_view text) const { return find(text) != end(); }
    std::size_t count(std::string_view text) const { return contains(text) ? 1 : 0; }
    std::optional<Code> at(std::string_view text) const;

    // Adds (text, code) unless the text is present.
    std::pair<const_iterator, bool> try_emplace(std::string_view text, std::optional<Code> code) {
        return try_emplace_hashed(hash_key(text), text, code);
    }
    std::pair<const_iterator, bool> emplace(std::string_view text, std::optional<Code> code) {
        return try_emplace(text, code);
    }
    std::pair<const_iterator, bool> insert_or_assign(std::string_view text, std::optional<Code> code) {
        return insert_or_assign_hashed(hash_key(text), text, code);
    }
    // The same, with the text's hash_key(text) computed by the caller.
    std::pair<const_iterator, bool> try_emplace_hashed(std::uint64_t hash, std::string_view text,
                                                       std::optional<Code> code);
    std::pair<const_iterator, bool> insert_or_assign_hashed(std::uint64_t hash, std::string_view text,
                                                            std::optional<Code> code);

    void reserve(std::size_t entries) { index_.reserve(entries); }
    const SeededHash& hash_function() const noexcept { return hash_; }
    std::uint64_t hash_key(std::string_view text) const noexcept { return hash_(text); }
    void prefetch(std::uint64_t hash) const noexcept { index_.prefetch(hash); }

    // Entry `number` (below size()).
    value_type entry(std::size_t number) const { return {text(number), code(number)}; }
    std::string_view text(std::size_t number) const noexcept { return (*store_)[number]; }
    std::optional<Code> code(std::size_t number) const noexcept;

    // Fills an empty map with `count` different texts given in ascending byte
    // order, all in one go on the pool: text i, of length_of(i) bytes, which
    // write_text(i, destination) writes, gets the rank of i among the
    // positions not in `uncoded` (ascending); those get no code.
    // hash_of(i, text) must be hash_key(text), given text i as stored.
    template <class LengthOf, class WriteText, class HashOf>
    void assign_ascending(std::size_t count, std::span<const std::size_t> uncoded, const LengthOf& length_of,
                          const WriteText& write_text, const HashOf& hash_of);

    // Codes 0, 1, ... in entry order, skipping the entries listed by
    // uncoded(): as encode leaves them.
    bool codes_follow_entries() const noexcept { return !explicit_; }
    const std::vector<std::size_t>& uncoded() const noexcept { return uncoded_; }
    const std::shared_ptr<TextStore>& store() const noexcept { return store_; }

    // The same entries, whatever their order.
    friend bool operator==(const TextToCode& a, const TextToCode& b);

private:
    std::size_t find_entry(std::string_view text, std::uint64_t hash) const {
        if (!store_) return size();
        const std::size_t found =
            index_.find(hash, [&](std::size_t number) { return (*store_)[number] == text; });
        return found == SlotIndex::npos ? size() : found;
    }
    void add(std::uint64_t hash, std::string_view text, std::optional<Code> code);
    void make_explicit();

    SeededHash hash_;
    std::shared_ptr<TextStore> store_;  // entry i is text i; made on the first insert
    SlotIndex index_;
    bool explicit_ = false;
    std::vector<std::size_t> uncoded_;   // implicit codes: the entries without one, ascending
    std::vector<Code> codes_;            // explicit codes: one per entry,
    std::vector<std::uint8_t> has_code_;  // and whether it holds one
};

class CodeToText {
public:
    using value_type = std::pair<Code, std::string_view>;
    using const_iterator = text_maps_detail::EntryIterator<CodeToText>;
    using iterator = const_iterator;

    CodeToText() = default;
    CodeToText(std::initializer_list<value_type> entries);
    // A copy has a store and a seed of its own.
    CodeToText(const CodeToText& other);
    CodeToText& operator=(const CodeToText& other);
    CodeToText(CodeToText&&) noexcept = default;
    CodeToText& operator=(CodeToText&&) noexcept = default;

    // The inverse of a map whose codes follow its entries: code c is read
    // where that map keeps its c-th coded text. Nothing is copied.
    static CodeToText sharing_texts_of(const TextToCode& text_to_code);

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const_iterator begin() const noexcept { return {this, 0}; }
    const_iterator end() const noexcept { return {this, size_}; }

    const_iterator find(Code code) const { return {this, find_entry(code, hash_key(code))}; }
    // The number of the entry holding `code`, or size() when none does;
    // codes that are entries are not hashed.
    std::size_t entry_of(Code code) const { return find_entry(code, explicit_ ? hash_key(code) : 0); }
    bool contains(Code code) const { return find(code) != end(); }
    std::size_t count(Code code) const { return contains(code) ? 1 : 0; }
    std::string_view at(Code code) const;

    std::pair<const_iterator, bool> try_emplace(Code code, std::string_view text) {
        return try_emplace_hashed(hash_key(code), code, text);
    }
    std::pair<const_iterator, bool> emplace(Code code, std::string_view text) { return try_emplace(code, text); }
    std::pair<const_iterator, bool> insert_or_assign(Code code, std::string_view text) {
        return insert_or_assign_hashed(hash_key(code), code, text);
    }
    std::pair<const_iterator, bool> try_emplace_hashed(std::uint64_t hash, Code code, std::string_view text);
    std::pair<const_iterator, bool> insert_or_assign_hashed(std::uint64_t hash, Code code,
                                                            std::string_view text);

    void reserve(std::size_t entries) {
        if (explicit_) index_.reserve(entries);
    }
    std::uint64_t hash_key(Code code) const noexcept { return hash_(code); }
    void prefetch(std::uint64_t hash) const noexcept { index_.prefetch(hash); }

    // Entry `number` (below size()).
    value_type entry(std::size_t number) const noexcept {
        if (explicit_) return {codes_[number], (*store_)[text_of_[number]]};
        return {number, (*store_)[position_of(number)]};
    }

    // Codes 0 .. size() - 1, entry i holding code i.
    bool codes_are_entries() const noexcept { return !explicit_; }

    friend bool operator==(const CodeToText& a, const CodeToText& b);

private:
    // Where the text of implicit code `code` lies in the store.
    std::size_t position_of(Code code) const noexcept {
        std::size_t position = static_cast<std::size_t>(code);
        for (const std::size_t skipped : uncoded_) {
            if (skipped > position) break;
            ++position;
        }
        return position;
    }
    std::size_t find_entry(Code code, std::uint64_t hash) const {
        if (!explicit_) return code < size_ ? static_cast<std::size_t>(code) : size_;
        const std::size_t found = index_.find(hash, [&](std::size_t number) { return codes_[number] == code; });
        return found == SlotIndex::npos ? size_ : found;
    }
    void add(std::uint64_t hash, Code code, std::string_view text);
    void make_explicit();

    SeededHash hash_;
    std::shared_ptr<TextStore> store_;  // made on the first insert, or shared
    bool shares_store_ = false;         // another map adds to the store: this one never does
    std::size_t size_ = 0;
    bool explicit_ = false;
    std::vector<std::size_t> uncoded_;  // implicit: store positions that are no code's text
    std::vector<Code> codes_;           // explicit: entry i has codes_[i]
    std::vector<std::size_t> text_of_;  // and the store's text text_of_[i]
    SlotIndex index_;                   // explicit: entries by code
};

template <class LengthOf, class WriteText, class HashOf>
void TextToCode::assign_ascending(std::size_t count, std::span<const std::size_t> uncoded,
                                  const LengthOf& length_of, const WriteText& write_text, const HashOf& hash_of) {
    if (!empty()) throw std::logic_error("assign_ascending: the map is not empty");
    if (count > SlotIndex::max_entries()) throw std::length_error(kTooManyEntries);
    auto store = std::make_shared<TextStore>();
    store->lay_out(count, length_of);
    // Each text is copied once, into its place in the store.
    parallel_for_each_index(count, [&](std::size_t i) { write_text(i, store->data(i)); }, 4096);
    SlotIndex index;
    const TextStore& stored = *store;
    index.insert_distinct(count, [&](std::size_t i) { return hash_of(i, stored[i]); });
    index_ = std::move(index);
    store_ = std::move(store);
    uncoded_.assign(uncoded.begin(), uncoded.end());
    if (uncoded_.size() > text_maps_detail::kMaxUncoded) make_explicit();
}

}  // namespace quorix
