// Counts per learned text: sizing them, and adding parts' counts up by text.
#include "pipeline/native/text_counts.hpp"

#include <utility>

#include "engine/encode_object_array.hpp"
#include "engine/uninitialized.hpp"
#include "pipeline/native/learned.hpp"

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

TextCounts merged_counts(std::span<const Learned* const> parts, const EncodingInfo& merged) {
    const std::vector<ColumnIndex>& columns = merged.string_columns;
    std::vector<std::vector<std::int64_t>> summed(columns.size());
    parallel_for_each_index(columns.size(), [&](std::size_t i) {
        const ColumnIndex c = columns[i];
        const TextToCode& to = merged.text_to_code.find(c)->second;
        std::vector<std::int64_t>& total = summed[i];
        total.assign(code_count(merged, c), 0);
        for (const Learned* part : parts) {
            const TextToCode* from = part->text_to_code(c);
            if (from == nullptr) continue;
            const std::vector<std::int64_t>& counts = part->counts->at(c);
            for (std::size_t e = 0; e < from->size(); ++e) {
                const std::optional<Code> code = from->code(e);
                if (!code) continue;
                const auto entry = to.find(from->text(e));
                if (entry == to.end() || !entry->second) panic(kNoEntryForKey);
                total[static_cast<std::size_t>(*entry->second)] += counts[static_cast<std::size_t>(*code)];
            }
        }
    });
    TextCounts counts;
    for (std::size_t i = 0; i < columns.size(); ++i) counts.emplace(columns[i], std::move(summed[i]));
    return counts;
}

}  // namespace quorix::pipeline
