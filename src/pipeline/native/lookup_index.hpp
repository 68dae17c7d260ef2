// The index a transform looks texts up in: one per learned string column,
// built once from its text-to-code map. Each slot holds a text's full hash,
// its code and, for a text of at most 15 bytes, the text itself, so that
// most lookups read one cache line; longer texts are compared where the map
// keeps them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "engine/text_maps.hpp"
#include "engine/hash_map.hpp"

namespace quorix::pipeline {

class LookupIndex {
public:
    // `map` must outlive the index. With `recode`, a text's code is
    // recode[its code in the map] (one entry per code the map hands out).
    explicit LookupIndex(const TextToCode& map, std::span<const double> recode = {});

    std::uint64_t hash(std::string_view text) const noexcept { return hash_(text); }
    void prefetch(std::uint64_t hash) const noexcept { __builtin_prefetch(&slots_[hash & mask_]); }

    // The text's code (NaN for an entry without one); false when the map
    // does not hold the text.
    bool find(std::uint64_t hash, std::string_view text, double& code) const noexcept {
        for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (slot.length == kEmpty) return false;
            if (slot.hash == hash && holds(slot, text)) {
                code = slot.code;
                return true;
            }
        }
    }

private:
    static constexpr std::uint8_t kEmpty = 0xFE;
    static constexpr std::uint8_t kOutOfLine = 0xFF;
    static constexpr std::size_t kInline = 15;

    struct alignas(32) Slot {
        std::uint64_t hash;
        double code;
        std::uint8_t length;  // of the inline text, or kEmpty, or kOutOfLine
        char text[kInline];   // the text, or for kOutOfLine its entry number
    };
    static_assert(sizeof(Slot) == 32);

    bool holds(const Slot& slot, std::string_view text) const noexcept;

    const TextToCode* map_;
    SeededHash hash_;
    std::unique_ptr<Slot[]> slots_;
    std::size_t mask_ = 0;
};

}  // namespace quorix::pipeline
