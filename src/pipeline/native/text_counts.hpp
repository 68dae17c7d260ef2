// How many cells held each learned text: read off the codes of the pass that
// learned the texts (a merge adds them up by text: see merge_learned.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "engine/encoding_info.hpp"
#include "engine/gathered_columns.hpp"
#include "engine/internal_error.hpp"
#include "engine/parallel_loops.hpp"

namespace quorix::pipeline {

// Per string column, one count per code, in code order. Missing values hold
// no code and are never counted.
using TextCounts = std::map<ColumnIndex, std::vector<std::int64_t>>;

// How many codes a learned column hands out: its texts but the markers.
std::size_t code_count(const EncodingInfo& info, ColumnIndex column);

// The counts of one column whose row r has the code code_at(r) (NaN for a
// missing value). A code the column does not hand out is an internal error.
template <class Count, class CodeAt>
std::vector<std::int64_t> count_codes_as(std::size_t rows, std::size_t codes, const CodeAt& code_at) {
    std::vector<Count> counts(codes, 0);
    for (std::size_t r = 0; r < rows; ++r) {
        const double code = code_at(r);
        if (code != code) continue;
        if (!(code >= 0.0 && code < static_cast<double>(codes))) panic("a learned code beyond its column's texts");
        ++counts[static_cast<std::size_t>(code)];
    }
    return std::vector<std::int64_t>(counts.begin(), counts.end());
}

template <class CodeAt>
std::vector<std::int64_t> count_codes(std::size_t rows, std::size_t codes, const CodeAt& code_at) {
    // Half-width counters while no count can pass them: a column of many
    // texts keeps twice as many of them in the caches.
    if (rows <= UINT32_MAX) return count_codes_as<std::uint32_t>(rows, codes, code_at);
    return count_codes_as<std::int64_t>(rows, codes, code_at);
}

// What encode learns of `gathered`, and the counts of its string columns,
// with no codes asked for: the string columns are coded into a block that
// holds their codes until they are counted. `gathered` is left as given.
EncodingInfo learn_counting(GatheredColumns& gathered, TextCounts& counts);

// The counts of every string column of `info`, column c's row r coded as
// code_at(c, r); the columns counted side by side on the pool.
template <class CodeAt>
TextCounts count_columns(const EncodingInfo& info, std::size_t rows, const CodeAt& code_at) {
    const std::vector<ColumnIndex>& columns = info.string_columns;
    std::vector<std::vector<std::int64_t>> counted(columns.size());
    parallel_for_each_index(columns.size(), [&](std::size_t i) {
        const ColumnIndex c = columns[i];
        counted[i] = count_codes(rows, code_count(info, c), [&](std::size_t r) { return code_at(c, r); });
    });
    TextCounts counts;
    for (std::size_t i = 0; i < columns.size(); ++i) counts.emplace(columns[i], std::move(counted[i]));
    return counts;
}

}  // namespace quorix::pipeline
