// Label encoding of a column read block by block: the distinct texts are
// gathered in one pass (each row's code cell holds its text's number in the
// meantime), sorted, and every cell's number becomes its text's code.
#include "engine/label_encode_blocks.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/label_encode.hpp"
#include "engine/hash_map.hpp"
#include "engine/parallel_loops.hpp"
#include "engine/parallel_sort.hpp"

namespace quorix {
namespace {

constexpr std::size_t row_grain = 4096;
constexpr std::uint64_t kHighHalf = ~std::uint64_t{0xFFFFFFFF};

// The distinct texts in order of first appearance, each copied once into
// one growing block; found by linear probing at load at most 1/2, a slot
// holding (hash high half, number + 1), 0 when empty. Its own slots, as
// DistinctRecords' in label_encode.cpp, for the same measured reason.
class TextNumbering {
public:
    std::uint64_t hash(std::string_view text) const noexcept { return hash_(text); }
    // Asks for the slot where a text of this hash is looked for first.
    void prefetch(std::uint64_t hash) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[static_cast<std::size_t>(hash) & (slots_.size() - 1)]);
    }

    // The number of `text`, whose hash is `hash`, added when new; nothing
    // once the numbers run out.
    std::optional<std::uint32_t> number_of(std::string_view text, std::uint64_t hash) {
        if ((size() + 1) * 2 > slots_.size()) grow();
        const std::size_t mask = slots_.size() - 1;
        const std::uint64_t tag = hash & kHighHalf;
        for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
            const std::uint64_t slot = slots_[i];
            if (slot == 0) {
                if (size() >= std::numeric_limits<std::uint32_t>::max() - 1) return std::nullopt;
                const auto number = static_cast<std::uint32_t>(size());
                slots_[i] = tag | (std::uint64_t{number} + 1);
                hashes_.push_back(hash);
                bytes_.insert(bytes_.end(), text.begin(), text.end());
                ends_.push_back(bytes_.size());
                return number;
            }
            if ((slot & kHighHalf) == tag) {
                const auto number = static_cast<std::uint32_t>(slot - 1);
                if (this->text(number) == text) return number;
            }
        }
    }

    std::size_t size() const noexcept { return hashes_.size(); }
    std::string_view text(std::size_t number) const noexcept {
        const std::size_t begin = number == 0 ? 0 : ends_[number - 1];
        return std::string_view(bytes_.data() + begin, ends_[number] - begin);
    }

private:
    void grow() {
        std::vector<std::uint64_t> slots(std::max<std::size_t>(1024, slots_.size() * 2), 0);
        const std::size_t mask = slots.size() - 1;
        for (std::size_t number = 0; number < size(); ++number) {
            std::size_t i = static_cast<std::size_t>(hashes_[number]) & mask;
            while (slots[i] != 0) i = (i + 1) & mask;
            slots[i] = (hashes_[number] & kHighHalf) | (number + 1);
        }
        slots_ = std::move(slots);
    }

    SeededHash hash_;
    std::vector<std::uint64_t> slots_;
    std::vector<std::uint64_t> hashes_;  // per number, to grow without reading the texts
    std::vector<char> bytes_;
    std::vector<std::size_t> ends_;      // per number, where its text ends in bytes_
};

}  // namespace

std::optional<TextToCode> label_encode_blocks(TextBlocks& rows, std::size_t count, double* codes,
                                              std::size_t stride) {
    TextNumbering distinct;
    const std::size_t block = std::max<std::size_t>(1, rows.block_rows());
    std::vector<std::string_view> texts(std::min(block, count));
    std::vector<std::uint64_t> hashes(texts.size());
    // How many rows ahead a row's slot is asked for: the slots lie anywhere.
    constexpr std::size_t ahead = 16;
    for (std::size_t begin = 0; begin < count; begin += block) {
        const std::size_t end = std::min(count, begin + block), n = end - begin;
        if (!rows.read(begin, end, texts.data())) return std::nullopt;
        for (std::size_t i = 0; i < n; ++i) hashes[i] = distinct.hash(texts[i]);
        for (std::size_t i = 0; i < n; ++i) {
            if (i + ahead < n) distinct.prefetch(hashes[i + ahead]);
            const std::optional<std::uint32_t> number = distinct.number_of(texts[i], hashes[i]);
            if (!number) return std::nullopt;
            codes[(begin + i) * stride] = static_cast<double>(*number);
        }
    }
    std::vector<std::string_view>().swap(texts);
    std::vector<std::uint64_t>().swap(hashes);

    // The distinct texts in byte order, and each number's code.
    struct Entry {
        std::string_view text;
        std::uint32_t number;
    };
    std::vector<Entry> entries(distinct.size());
    for (std::size_t number = 0; number < entries.size(); ++number) {
        entries[number] = Entry{distinct.text(number), static_cast<std::uint32_t>(number)};
    }
    parallel_sort(std::span<Entry>(entries), [](const Entry& a, const Entry& b) { return a.text < b.text; });
    std::vector<double> code_of(entries.size());
    std::vector<std::string_view> sorted(entries.size());
    Code next = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        sorted[i] = entries[i].text;
        code_of[entries[i].number] = is_missing_marker(sorted[i]) ? missing_code() : static_cast<double>(next++);
    }
    std::vector<Entry>().swap(entries);
    TextToCode map = text_to_code_of_ascending(sorted);
    parallel_for_each_index(
        count,
        [&](std::size_t r) { codes[r * stride] = code_of[static_cast<std::size_t>(codes[r * stride])]; },
        row_grain);
    return map;
}

}  // namespace quorix
