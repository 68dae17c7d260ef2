// Transforming a gathered table with learned maps: every text looked up in
// its column's map, numbers copied, and the first fault found reported.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "pipeline/native/learned.hpp"
#include "binding/pyany_to_vec.hpp"

namespace quorix::pipeline {

// What stops a transform: a text its column never learned (when unseen texts
// are errors), or a text in a column learned as numeric. The first in column
// order, then row order.
struct LookupFault {
    enum class Kind { kUnknownText, kTextInNumericColumn };
    Kind kind;
    ColumnIndex column;
    std::size_t row;
    std::string text;
};

// How unseen texts are coded: as `value`, or as a fault.
struct UnknownRule {
    bool is_error = true;
    double value = 0.0;
};

// Writes every cell's code (learned string columns) or number (others) into
// table.matrix, one pool job per column. A number in a learned string
// column is looked up by its promoted text, as encode would read it once the
// column turns to texts. Runs no Python code; every learned string column
// is below the table's column count. A column with a table in `recode`
// (indexed by column; empty for none) writes recode[code] for each learned
// code found; unseen texts and missing values are not recoded.
std::optional<LookupFault> look_up_codes(const Learned& learned, GatheredTable& table, UnknownRule unknown,
                                         std::span<const std::span<const double>> recode = {});

}  // namespace quorix::pipeline
