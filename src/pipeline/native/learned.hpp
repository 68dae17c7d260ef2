// What a TextEncoder has learned, as plain C++: an Encoder record and what
// merging it with others needs to know about the numbers it read.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/encoder.hpp"
#include "pipeline/native/lookup_index.hpp"
#include "pipeline/native/text_counts.hpp"

namespace quorix::pipeline {

struct Learned {
    // Its string columns ascending and distinct, however a state listed them.
    Encoder record;
    // Per column of the table learned from: 1 when the column held a number
    // (not NaN) read as a number, i.e. a numeric column's numbers or a string
    // column's numbers before its first text. Empty for a state given from
    // outside, which is read as holding none.
    std::vector<std::uint8_t> numbers_read;
    // Per string column how many cells held each text, in code order, when
    // they were counted (a learn asked to count, a merge of counted parts,
    // or a state given with its counts).
    std::optional<TextCounts> counts;

    bool read_numbers(std::size_t column) const noexcept {
        return column < numbers_read.size() && numbers_read[column] != 0;
    }
    // The map of a learned string column, or null for a column learned as numeric.
    const TextToCode* text_to_code(ColumnIndex column) const;

    // The lookup index of a learned string column, its codes passed through
    // `recode` when it is not empty; built on first use and kept, so that a
    // transform pays for it once per fit (and per recode table).
    const LookupIndex& lookup_index(ColumnIndex column, std::span<const double> recode = {}) const;

    struct Built {
        std::vector<double> recode;  // what the index's codes went through
        std::unique_ptr<LookupIndex> index;
    };
    struct Indexes {
        std::mutex mutex;
        // By column and a hash of the recode table (0 for none); the table
        // itself is compared on a match.
        std::multimap<std::pair<ColumnIndex, std::size_t>, Built> built;
    };
    std::shared_ptr<Indexes> indexes = std::make_shared<Indexes>();
};

}  // namespace quorix::pipeline
