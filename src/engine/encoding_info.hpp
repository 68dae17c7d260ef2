// What an Encoder learns: per string column, its text-to-code map and the
// inverse code-to-text map.
#pragma once

#include <vector>

#include "engine/text_maps.hpp"
#include "engine/hash_map.hpp"

namespace quorix {

struct EncodingInfo {
    // Ascending 0-based positions of the string columns, numeric columns counted.
    std::vector<ColumnIndex> string_columns;
    // Every distinct text of a column; the missing-value markers carry no code.
    HashMap<ColumnIndex, TextToCode> text_to_code;
    // The inverse of a column's TextToCode restricted to the texts that have a code.
    HashMap<ColumnIndex, CodeToText> code_to_text;
};

}  // namespace quorix
