// What a Learned record answers: its maps, their lookup indexes, and what
// learning reads of a gathered table's numbers.
#include "pipeline/native/learned.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>

namespace quorix::pipeline {

const TextToCode* Learned::text_to_code(ColumnIndex column) const {
    if (!record.encoding_info) return nullptr;
    const EncodingInfo& info = *record.encoding_info;
    if (!std::binary_search(info.string_columns.begin(), info.string_columns.end(), column)) return nullptr;
    static const TextToCode kEmpty;
    const auto found = info.text_to_code.find(column);
    return found == info.text_to_code.end() ? &kEmpty : &found->second;
}

const LookupIndex& Learned::lookup_index(ColumnIndex column, std::span<const double> recode) const {
    std::size_t key = 0;
    if (!recode.empty()) {
        key = std::hash<std::string_view>()(
                  std::string_view(reinterpret_cast<const char*>(recode.data()), recode.size_bytes())) |
              1;
    }
    const std::lock_guard lock(indexes->mutex);
    auto [at, end] = indexes->built.equal_range({column, key});
    for (; at != end; ++at) {
        const std::vector<double>& kept = at->second.recode;
        if (kept.size() == recode.size() &&
            (recode.empty() || std::memcmp(kept.data(), recode.data(), recode.size_bytes()) == 0)) {
            return *at->second.index;
        }
    }
    Built made{std::vector<double>(recode.begin(), recode.end()), nullptr};
    made.index = std::make_unique<LookupIndex>(*text_to_code(column), recode);
    return *indexes->built.emplace_hint(end, std::pair{column, key}, std::move(made))->second.index;
}

std::vector<std::uint8_t> numbers_read_of(const GatheredColumns& gathered) {
    std::vector<std::uint8_t> flags(gathered.cols, 0);
    for (ColumnIndex c = 0; c < gathered.cols; ++c) {
        const GatheredColumn& column = gathered.columns[c];
        const bool read = column.is_string ? column.promoted_numbers : column.holds_a_number(gathered.rows);
        flags[c] = read ? 1 : 0;
    }
    return flags;
}

}  // namespace quorix::pipeline
