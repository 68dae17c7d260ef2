// Counts per learned text: sizing them, and taking them in the pass that learns the texts.
#include "pipeline/native/text_counts.hpp"

#include <utility>

#include "engine/encode_object_array.hpp"
#include "engine/uninitialized.hpp"

namespace quorix::pipeline {

std::size_t code_count(const EncodingInfo& info, ColumnIndex column) {
    const auto found = info.code_to_text.find(column);
    return found == info.code_to_text.end() ? 0 : found->second.size();
}

EncodingInfo learn_counting(GatheredColumns& gathered, TextCounts& counts) {
    // The numeric columns are set aside while the string ones are coded: a
    // column of no numbers writes no cell, so their part of the block is
    // never touched (nor faulted in).
    const std::size_t rows = gathered.rows;
    std::vector<std::pair<ColumnIndex, GatheredColumn>> numeric;
    for (ColumnIndex c = 0; c < gathered.cols; ++c) {
        if (!gathered.columns[c].is_string) numeric.emplace_back(c, std::exchange(gathered.columns[c], {}));
    }
    UninitializedVector<double> codes(rows * gathered.cols);
    EncodingInfo info = encode_object_array(gathered, codes.data(), 1, rows);
    for (auto& [c, column] : numeric) gathered.columns[c] = std::move(column);
    counts = count_columns(info, rows, [&](ColumnIndex c, std::size_t r) { return codes[c * rows + r]; });
    return info;
}

}  // namespace quorix::pipeline
