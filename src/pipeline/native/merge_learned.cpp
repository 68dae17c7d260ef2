// Merging learned parts: each column's texts in byte order, merged run by
// run, then numbered as encode numbers them.
#include "pipeline/native/merge_learned.hpp"

#include <algorithm>
#include <iterator>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/label_encode.hpp"
#include "engine/encode_object_array.hpp"
#include "engine/parallel_loops.hpp"
#include "engine/parallel_sort.hpp"

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

// Runs merged pairwise, as a tree: every text is compared about log2(runs)
// times rather than once per run after it.
std::vector<std::string_view> union_of(std::vector<std::vector<std::string_view>> runs) {
    if (runs.empty()) return {};
    while (runs.size() > 1) {
        std::vector<std::vector<std::string_view>> next((runs.size() + 1) / 2);
        parallel_for_each_index(next.size(), [&](std::size_t i) {
            next[i] = 2 * i + 1 < runs.size() ? union_of(runs[2 * i], runs[2 * i + 1]) : std::move(runs[2 * i]);
        });
        runs = std::move(next);
    }
    return std::move(runs.front());
}

// The columns a merge looks at, ascending: every column of the widest table
// a part read numbers from, and every column a part learned as text. What
// the parts hold bounds the work, however large the column indexes they name.
std::vector<ColumnIndex> columns_held(std::span<const Learned* const> parts, std::size_t flagged) {
    std::vector<ColumnIndex> columns(flagged);
    for (ColumnIndex c = 0; c < flagged; ++c) columns[c] = c;
    for (const Learned* part : parts) {
        if (!part->record.encoding_info) continue;
        for (const ColumnIndex c : part->record.encoding_info->string_columns) {
            if (c >= flagged) columns.push_back(c);
        }
    }
    const auto beyond = columns.begin() + static_cast<std::ptrdiff_t>(flagged);
    std::sort(beyond, columns.end());
    columns.erase(std::unique(beyond, columns.end()), columns.end());
    return columns;
}

// Column kinds: text in the union when text in any part; the flag of the
// union is that of its first part with texts, or of any part for a numeric one.
struct MergedColumns {
    std::vector<ColumnIndex> string_columns;
    std::vector<std::uint8_t> numbers_read;
};

std::variant<MergedColumns, MergeFault> plan_columns(std::span<const Learned* const> parts) {
    std::size_t flagged = 0;
    for (const Learned* part : parts) flagged = std::max(flagged, part->numbers_read.size());
    MergedColumns plan;
    plan.numbers_read.assign(flagged, 0);
    for (const ColumnIndex c : columns_held(parts, flagged)) {
        std::optional<std::size_t> first_text;
        for (std::size_t p = 0; p < parts.size() && !first_text; ++p) {
            if (parts[p]->text_to_code(c) != nullptr) first_text = p;
        }
        if (!first_text) {
            // Only columns below `flagged` are numeric in every part.
            for (const Learned* part : parts) plan.numbers_read[c] |= part->read_numbers(c) ? 1 : 0;
            continue;
        }
        for (std::size_t p = 0; p < parts.size(); ++p) {
            if (p != *first_text && parts[p]->read_numbers(c)) return MergeFault{c, *first_text, p};
        }
        if (c < flagged) plan.numbers_read[c] = parts[*first_text]->read_numbers(c) ? 1 : 0;
        plan.string_columns.push_back(c);
    }
    return plan;
}

}  // namespace

std::optional<MergeFault> merge_fault(std::span<const Learned* const> parts) {
    std::variant<MergedColumns, MergeFault> plan = plan_columns(parts);
    if (auto* fault = std::get_if<MergeFault>(&plan)) return *fault;
    return std::nullopt;
}

std::variant<Learned, MergeFault> merge_learned(std::span<const Learned* const> parts) {
    std::variant<MergedColumns, MergeFault> planned = plan_columns(parts);
    if (auto* fault = std::get_if<MergeFault>(&planned)) return *fault;
    MergedColumns& plan = std::get<MergedColumns>(planned);
    Learned merged;
    merged.numbers_read = std::move(plan.numbers_read);
    bool any_state = false;
    for (const Learned* part : parts) any_state = any_state || part->record.encoding_info.has_value();
    if (!any_state) {
        if (std::all_of(parts.begin(), parts.end(), [](const Learned* part) { return part->counts.has_value(); })) {
            merged.counts.emplace();
        }
        return merged;
    }

    std::vector<ColumnMaps> columns;
    columns.reserve(plan.string_columns.size());
    for (const ColumnIndex c : plan.string_columns) {
        std::vector<std::vector<std::string_view>> runs;
        for (const Learned* part : parts) {
            if (const TextToCode* map = part->text_to_code(c)) runs.push_back(ascending_texts(*map));
        }
        columns.push_back(ColumnMaps::inverting(c, text_to_code_of_ascending(union_of(std::move(runs)))));
    }
    EncodingInfo info = encoding_info_of(std::move(columns));
    // Counts add up by text when every part counted its own.
    if (std::all_of(parts.begin(), parts.end(), [](const Learned* part) { return part->counts.has_value(); })) {
        merged.counts = merged_counts(parts, info);
    }
    merged.record.encoding_info = std::move(info);
    return merged;
}

}  // namespace quorix::pipeline
