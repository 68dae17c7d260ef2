// The two maps of a string column.
#include "engine/text_maps.hpp"

#include <algorithm>
#include <stdexcept>

namespace quorix {

using text_maps_detail::kMaxUncoded;

// ---- text to code -----------------------------------------------------------

TextToCode::TextToCode(std::initializer_list<value_type> entries) {
    reserve(entries.size());
    for (const value_type& entry : entries) try_emplace(entry.first, entry.second);
}

TextToCode::TextToCode(const TextToCode& other) {
    reserve(other.size());
    for (const value_type entry : other) try_emplace(entry.first, entry.second);
}

TextToCode& TextToCode::operator=(const TextToCode& other) {
    if (this != &other) *this = TextToCode(other);
    return *this;
}

std::optional<Code> TextToCode::code(std::size_t number) const noexcept {
    if (explicit_) return has_code_[number] ? std::optional<Code>(codes_[number]) : std::nullopt;
    std::size_t before = 0;
    for (const std::size_t skipped : uncoded_) {
        if (skipped == number) return std::nullopt;
        if (skipped > number) break;
        ++before;
    }
    return number - before;
}

std::optional<Code> TextToCode::at(std::string_view text) const {
    const const_iterator found = find(text);
    if (found == end()) throw std::out_of_range("TextToCode::at: no such text");
    return found->second;
}

std::pair<TextToCode::const_iterator, bool> TextToCode::try_emplace_hashed(std::uint64_t hash,
                                                                           std::string_view text,
                                                                           std::optional<Code> code) {
    const std::size_t found = find_entry(text, hash);
    if (found < size()) return {{this, found}, false};
    add(hash, text, code);
    return {{this, size() - 1}, true};
}

std::pair<TextToCode::const_iterator, bool> TextToCode::insert_or_assign_hashed(std::uint64_t hash,
                                                                                std::string_view text,
                                                                                std::optional<Code> code) {
    const std::size_t found = find_entry(text, hash);
    if (found == size()) {
        add(hash, text, code);
        return {{this, found}, true};
    }
    if (this->code(found) != code) {
        if (!explicit_) make_explicit();
        codes_[found] = code.value_or(0);
        has_code_[found] = code.has_value();
    }
    return {{this, found}, false};
}

// Everything that can fail is done before the map changes.
// Room for one more element before anything changes, so that an insert
// that fails changes nothing; grown geometrically, as push_back would, since
// reserving exactly one more copies the whole vector on every insert.
namespace {
template <class Vector>
void reserve_one_more(Vector& vector) {
    if (vector.size() == vector.capacity()) vector.reserve(std::max<std::size_t>(16, vector.capacity() * 2));
}
}  // namespace

void TextToCode::add(std::uint64_t hash, std::string_view text, std::optional<Code> code) {
    const std::size_t number = size();
    if (number >= SlotIndex::max_entries()) throw std::length_error(kTooManyEntries);
    if (!store_) store_ = std::make_shared<TextStore>();
    index_.reserve(number + 1);
    if (!explicit_) {
        const bool follows = code ? *code == number - uncoded_.size() : uncoded_.size() < kMaxUncoded;
        if (!follows) make_explicit();
    }
    if (explicit_) {
        reserve_one_more(codes_);
        reserve_one_more(has_code_);
    } else if (!code) {
        reserve_one_more(uncoded_);
    }
    store_->append(text);
    index_.insert(hash);
    if (explicit_) {
        codes_.push_back(code.value_or(0));
        has_code_.push_back(code.has_value());
    } else if (!code) {
        uncoded_.push_back(number);
    }
}

void TextToCode::make_explicit() {
    const std::size_t n = size();
    std::vector<Code> codes(n, 0);
    std::vector<std::uint8_t> has_code(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (const std::optional<Code> c = code(i)) {
            codes[i] = *c;
            has_code[i] = 1;
        }
    }
    codes_ = std::move(codes);
    has_code_ = std::move(has_code);
    uncoded_.clear();
    explicit_ = true;
}

bool operator==(const TextToCode& a, const TextToCode& b) {
    if (a.size() != b.size()) return false;
    for (const TextToCode::value_type entry : a) {
        const TextToCode::const_iterator other = b.find(entry.first);
        if (other == b.end() || other->second != entry.second) return false;
    }
    return true;
}

// ---- code to text -----------------------------------------------------------

CodeToText::CodeToText(std::initializer_list<value_type> entries) {
    for (const value_type& entry : entries) try_emplace(entry.first, entry.second);
}

CodeToText::CodeToText(const CodeToText& other) {
    for (const value_type entry : other) try_emplace(entry.first, entry.second);
}

CodeToText& CodeToText::operator=(const CodeToText& other) {
    if (this != &other) *this = CodeToText(other);
    return *this;
}

CodeToText CodeToText::sharing_texts_of(const TextToCode& text_to_code) {
    if (!text_to_code.codes_follow_entries()) {
        throw std::logic_error("CodeToText::sharing_texts_of: the codes do not follow the entries");
    }
    CodeToText map;
    map.store_ = text_to_code.store();
    map.shares_store_ = true;
    map.uncoded_ = text_to_code.uncoded();
    map.size_ = text_to_code.size() - text_to_code.uncoded().size();
    return map;
}

std::string_view CodeToText::at(Code code) const {
    const const_iterator found = find(code);
    if (found == end()) throw std::out_of_range("CodeToText::at: no such code");
    return found->second;
}

std::pair<CodeToText::const_iterator, bool> CodeToText::try_emplace_hashed(std::uint64_t hash, Code code,
                                                                           std::string_view text) {
    const std::size_t found = find_entry(code, hash);
    if (found < size_) return {{this, found}, false};
    add(hash, code, text);
    return {{this, size_ - 1}, true};
}

std::pair<CodeToText::const_iterator, bool> CodeToText::insert_or_assign_hashed(std::uint64_t hash, Code code,
                                                                                std::string_view text) {
    const std::size_t found = find_entry(code, hash);
    if (found == size_) {
        add(hash, code, text);
        return {{this, found}, true};
    }
    if (entry(found).second != text) {
        // The store only grows: the new text is added and the entry moved to it.
        if (!explicit_) make_explicit();
        text_of_[found] = store_->append(text);
    }
    return {{this, found}, false};
}

// Everything that can fail is done before the map changes.
void CodeToText::add(std::uint64_t hash, Code code, std::string_view text) {
    if (size_ >= SlotIndex::max_entries()) throw std::length_error(kTooManyEntries);
    if (!explicit_ && (code != size_ || shares_store_ || !uncoded_.empty())) make_explicit();
    if (!store_) store_ = std::make_shared<TextStore>();
    if (explicit_) {
        index_.reserve(size_ + 1);
        reserve_one_more(codes_);
        reserve_one_more(text_of_);
    }
    const std::size_t number = store_->append(text);
    if (explicit_) {
        index_.insert(hash);
        codes_.push_back(code);
        text_of_.push_back(number);
    }
    ++size_;
}

void CodeToText::make_explicit() {
    std::vector<Code> codes(size_);
    std::vector<std::size_t> text_of(size_);
    SlotIndex index;
    index.reserve(size_);
    // A store of its own keeps its texts where they are; a shared one, or one
    // with texts that no code names, is copied, so that this map may add to it.
    const bool keep_store = !shares_store_ && uncoded_.empty();
    std::shared_ptr<TextStore> store = keep_store ? store_ : std::make_shared<TextStore>();
    for (std::size_t i = 0; i < size_; ++i) {
        codes[i] = i;
        text_of[i] = keep_store ? i : store->append((*store_)[position_of(i)]);
        index.insert(hash_key(i));
    }
    codes_ = std::move(codes);
    text_of_ = std::move(text_of);
    index_ = std::move(index);
    store_ = std::move(store);
    shares_store_ = false;
    uncoded_.clear();
    explicit_ = true;
}

bool operator==(const CodeToText& a, const CodeToText& b) {
    if (a.size() != b.size()) return false;
    for (const CodeToText::value_type entry : a) {
        const CodeToText::const_iterator other = b.find(entry.first);
        if (other == b.end() || other->second != entry.second) return false;
    }
    return true;
}

}  // namespace quorix
