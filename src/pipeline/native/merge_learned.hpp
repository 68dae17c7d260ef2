// The union of what several TextEncoders learned apart, in the order given:
// per string column every text any of them holds, renumbered in byte order.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <variant>

#include "pipeline/native/learned.hpp"

namespace quorix::pipeline {

// A column that holds texts in one part and numbers read as numbers in a
// part that is not the first one with texts: a single fit of the parts put
// together would have read those numbers as texts, which no part kept.
struct MergeFault {
    ColumnIndex column;
    std::size_t text_part;    // the first part with texts in that column
    std::size_t number_part;  // the part whose numbers were read as numbers
};

// The first column whose parts cannot be merged, if any: what merging
// would refuse, found from the parts' column kinds alone.
std::optional<MergeFault> merge_fault(std::span<const Learned* const> parts);

// `parts` are not empty; each lists its string columns ascending. The work
// is sized by the columns the parts hold, not by their largest index.
std::variant<Learned, MergeFault> merge_learned(std::span<const Learned* const> parts);

}  // namespace quorix::pipeline
