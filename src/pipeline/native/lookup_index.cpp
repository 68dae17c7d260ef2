// Building the lookup index of a column, and comparing its out-of-line texts.
#include "pipeline/native/lookup_index.hpp"

#include <bit>
#include <cstring>
#include <limits>

#include "engine/internal_error.hpp"
#include "engine/label_encode.hpp"
#include "engine/unaligned.hpp"

namespace quorix::pipeline {

LookupIndex::LookupIndex(const TextToCode& map, std::span<const double> recode) : map_(&map) {
    // At most half full, so an unseen text meets an empty slot soon.
    const std::size_t slots = std::bit_ceil(std::max<std::size_t>(2 * map.size(), 8));
    slots_ = std::make_unique<Slot[]>(slots);
    mask_ = slots - 1;
    for (std::size_t i = 0; i < slots; ++i) slots_[i].length = kEmpty;
    for (std::size_t entry = 0; entry < map.size(); ++entry) {
        const std::string_view text = map.text(entry);
        const std::uint64_t hash = hash_(text);
        std::size_t i = hash & mask_;
        while (slots_[i].length != kEmpty) i = (i + 1) & mask_;
        Slot& slot = slots_[i];
        const std::optional<Code> code = map.code(entry);
        slot.hash = hash;
        if (!code) {
            slot.code = missing_code();
        } else if (recode.empty()) {
            slot.code = static_cast<double>(*code);
        } else {
            if (static_cast<std::size_t>(*code) >= recode.size()) panic("a learned code beyond its recode table");
            slot.code = recode[static_cast<std::size_t>(*code)];
        }
        if (text.size() <= kInline) {
            slot.length = static_cast<std::uint8_t>(text.size());
            if (!text.empty()) std::memcpy(slot.text, text.data(), text.size());
        } else {
            slot.length = kOutOfLine;
            const auto number = static_cast<std::uint64_t>(entry);
            std::memcpy(slot.text, &number, sizeof number);
        }
    }
}

bool LookupIndex::holds(const Slot& slot, std::string_view text) const noexcept {
    if (slot.length != kOutOfLine) {
        return slot.length == text.size() && (text.empty() || std::memcmp(slot.text, text.data(), text.size()) == 0);
    }
    return map_->text(static_cast<std::size_t>(load<std::uint64_t>(slot.text))) == text;
}

}  // namespace quorix::pipeline
