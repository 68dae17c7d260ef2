// Merging learned parts: each column's texts in byte order, merged run by
// run, then numbered as encode numbers them.
#include "pipeline/native/merge_learned.hpp"

#include <algorithm>
#include <iterator>
#include <optional>
#include <string_view>
#include <vector>

#include "lib/label_encode.hpp"
#include "python/encode_object_array.hpp"
#include "runtime/parallel_sort.hpp"

namespace quorix::pipeline {
namespace {

// A map's texts in ascending byte order, each once. Encode's maps hold them
// so already; any other state is sorted.
std::vector<std::string_view> ascending_texts(const TextToCode& map) {
    std::vector<std::string_view> texts;
    texts.reserve(map.size());
    for (std::size_t i = 0; i < map.size(); ++i) texts.push_back(map.text(i));
    if (!std::is_sorted(texts.begin(), texts.end())) {
        parallel_sort(std::span<std::string_view>(texts));
        texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
    }
    return texts;
}

// Two ascending runs of distinct texts into one.
std::vector<std::string_view> union_of(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b) {
    std::vector<std::string_view> merged;
    merged.reserve(a.size() + b.size());
    std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(merged));
    return merged;
}

}  // namespace

std::variant<Learned, MergeFault> merge_learned(std::span<const Learned* const> parts, std::size_t cols) {
    Learned merged;
    merged.numbers_read.assign(cols, 0);
    bool any_state = false;
    for (const Learned* part : parts) any_state = any_state || part->record.encoding_info.has_value();

    // Which columns hold texts, and whether the numbers read stand where a
    // single fit would have read them too.
    std::vector<ColumnIndex> string_columns;
    for (ColumnIndex c = 0; c < cols; ++c) {
        std::optional<std::size_t> first_text;
        for (std::size_t p = 0; p < parts.size() && !first_text; ++p) {
            if (parts[p]->text_to_code(c) != nullptr) first_text = p;
        }
        if (!first_text) {
            for (const Learned* part : parts) merged.numbers_read[c] |= part->read_numbers(c) ? 1 : 0;
            continue;
        }
        for (std::size_t p = 0; p < parts.size(); ++p) {
            if (p != *first_text && parts[p]->read_numbers(c)) return MergeFault{c, *first_text, p};
        }
        merged.numbers_read[c] = parts[*first_text]->read_numbers(c) ? 1 : 0;
        string_columns.push_back(c);
    }
    if (!any_state) return merged;

    EncodingInfo info;
    info.string_columns = string_columns;
    info.text_to_code.reserve(string_columns.size());
    info.code_to_text.reserve(string_columns.size());
    for (const ColumnIndex c : string_columns) {
        std::vector<std::string_view> texts;
        for (const Learned* part : parts) {
            if (const TextToCode* map = part->text_to_code(c)) texts = union_of(texts, ascending_texts(*map));
        }
        TextToCode text_to_code = text_to_code_of_ascending(texts);
        CodeToText code_to_text = inverse_of(text_to_code);
        info.text_to_code.emplace(c, std::move(text_to_code));
        info.code_to_text.emplace(c, std::move(code_to_text));
    }
    merged.record.encoding_info = std::move(info);
    return merged;
}

}  // namespace quorix::pipeline
