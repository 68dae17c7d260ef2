// Label encoding of one string column: codes from 0 in byte-wise order of the
// distinct texts; the missing-value markers get no code and NaN cells.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "engine/encoding_info.hpp"
#include "engine/gathered_columns.hpp"
#include "engine/uninitialized.hpp"

namespace quorix {

struct LabelEncoding {
    UninitializedVector<double> codes;  // one per row: the code, or NaN for a marker
    TextToCode text_to_code;    // every distinct text; markers without a code
};

// "nan", "NaN" and "<NA>", byte for byte.
bool is_missing_marker(std::string_view text) noexcept;

// The quiet NaN with bit pattern 0x7FF8000000000000.
double missing_code() noexcept;

// The map of texts that are distinct and in ascending byte order: codes from
// 0 in that order, none for the markers.
TextToCode text_to_code_of_ascending(std::span<const std::string_view> distinct);

// Runs its loops on the pool of the calling thread (the global one outside).
LabelEncoding label_encode(const TextColumn& texts);

// label_encode with the codes written where they are wanted: row r's at
// codes[r * stride], or nowhere when `codes` is null. Returns the map.
TextToCode label_encode_into(const TextColumn& texts, double* codes, std::size_t stride);

// The two strategies label_encode may take; both give the same result, and the
// tests compare them.
namespace label_encode_strategies {
// Sorts views of all rows, removes duplicates, looks every row up.
LabelEncoding by_sorting(const TextColumn& texts);
// Deduplicates rows in hash partitions first and sorts only the distinct
// texts. Takes the sorting strategy for 2^32 - 1 rows or more, or texts of 4 GiB.
LabelEncoding by_hashing(const TextColumn& texts);
// The hashing strategy into a fresh `map`, the codes at codes[r * stride]; false,
// with nothing written, for a column it does not take.
bool into_by_hashing(const TextColumn& texts, TextToCode& map, double* codes, std::size_t stride);
}  // namespace label_encode_strategies

}  // namespace quorix
