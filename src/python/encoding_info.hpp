// What an Encoder learns: per string column, its text-to-code map and the
// inverse code-to-text map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "runtime/hash_map.hpp"

namespace quorix {

using ColumnIndex = std::size_t;
using Code = std::uint64_t;

// Every distinct text of a column; the missing-value markers carry no code.
using TextToCode = HashMap<std::string, std::optional<Code>>;
// The inverse of TextToCode restricted to the texts that have a code.
using CodeToText = HashMap<Code, std::string>;

struct EncodingInfo {
    // Ascending 0-based positions of the string columns, numeric columns counted.
    std::vector<ColumnIndex> string_columns;
    HashMap<ColumnIndex, TextToCode> text_to_code;
    HashMap<ColumnIndex, CodeToText> code_to_text;
};

}  // namespace quorix
