// Merging learned parts: each column's texts in byte order, merged run by
// run, then numbered as encode numbers them.
#include "pipeline/native/merge_learned.hpp"

#include <algorithm>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "engine/label_encode.hpp"
#include "engine/encode_object_array.hpp"
#include "engine/parallel_loops.hpp"
#include "engine/internal_error.hpp"
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

// The count of each text of `texts` (a map's texts as ascending_texts gives
// them) that is not a missing-value marker, read from `by_code` (one count
// per code): 0 for a text the map leaves uncoded.
std::vector<std::int64_t> counts_in_run_order(const TextToCode& map, const std::vector<std::string_view>& texts,
                                              const std::vector<std::int64_t>& by_code) {
    // Encode's maps hold their texts in this order: text i is entry i, whose code the map knows without a lookup.
    bool entry_order = texts.size() == map.size();
    for (std::size_t i = 0; entry_order && i < texts.size(); ++i) entry_order = texts[i].data() == map.text(i).data();
    std::vector<std::int64_t> counts;
    counts.reserve(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (is_missing_marker(texts[i])) continue;
        const std::optional<Code> code = entry_order ? map.code(i) : map.find(texts[i])->second;
        if (code && *code >= by_code.size()) panic("a learned code beyond its column's counts");
        counts.push_back(code ? by_code[static_cast<std::size_t>(*code)] : 0);
    }
    return counts;
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
std::vector<std::string_view> union_of(std::vector<const std::vector<std::string_view>*> runs) {
    if (runs.empty()) return {};
    if (runs.size() == 1) return *runs.front();
    std::vector<std::vector<std::string_view>> level((runs.size() + 1) / 2);
    parallel_for_each_index(level.size(), [&](std::size_t i) {
        level[i] = 2 * i + 1 < runs.size() ? union_of(*runs[2 * i], *runs[2 * i + 1]) : *runs[2 * i];
    });
    while (level.size() > 1) {
        std::vector<std::vector<std::string_view>> next((level.size() + 1) / 2);
        parallel_for_each_index(next.size(), [&](std::size_t i) {
            next[i] = 2 * i + 1 < level.size() ? union_of(level[2 * i], level[2 * i + 1]) : std::move(level[2 * i]);
        });
        level = std::move(next);
    }
    return std::move(level.front());
}

// Each text of `run` added to the count of its place in `merged`, which
// holds all of them: one walk of both, as both ascend.
void add_counts(const std::vector<std::string_view>& merged, const TextRun& run, std::vector<std::int64_t>& by_place) {
    std::size_t place = 0;
    std::size_t coded = 0;
    for (const std::string_view text : run.texts) {
        while (place < merged.size() && merged[place] != text) ++place;
        if (place == merged.size()) throw std::logic_error("a run's text is missing from the union of the runs");
        if (!is_missing_marker(text)) by_place[place] += (*run.counts)[coded++];
        ++place;
    }
}

// The columns a merge looks at, ascending: every column of the widest table
// a part read numbers from, and every column a part learned as text. What
// the parts hold bounds the work, however large the column indexes they name.
std::vector<ColumnIndex> columns_held(std::span<const RunsPart* const> parts, std::size_t flagged) {
    std::vector<ColumnIndex> columns(flagged);
    for (ColumnIndex c = 0; c < flagged; ++c) columns[c] = c;
    for (const RunsPart* part : parts) {
        for (const TextRun& run : part->runs) {
            if (run.column >= flagged) columns.push_back(run.column);
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

std::variant<MergedColumns, MergeFault> plan_columns(std::span<const RunsPart* const> parts) {
    std::size_t flagged = 0;
    for (const RunsPart* part : parts) flagged = std::max(flagged, part->numbers_read.size());
    MergedColumns plan;
    plan.numbers_read.assign(flagged, 0);
    for (const ColumnIndex c : columns_held(parts, flagged)) {
        std::optional<std::size_t> first_text;
        for (std::size_t p = 0; p < parts.size() && !first_text; ++p) {
            if (parts[p]->run(c) != nullptr) first_text = p;
        }
        if (!first_text) {
            // Only columns below `flagged` are numeric in every part.
            for (const RunsPart* part : parts) plan.numbers_read[c] |= part->read_numbers(c) ? 1 : 0;
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

std::vector<RunsPart> runs_of_all(std::span<const Learned* const> parts, RunsHold hold) {
    std::vector<RunsPart> runs;
    runs.reserve(parts.size());
    for (const Learned* part : parts) runs.push_back(runs_of(*part, hold));
    return runs;
}

std::vector<const RunsPart*> pointers_to(const std::vector<RunsPart>& parts) {
    std::vector<const RunsPart*> pointers;
    for (const RunsPart& part : parts) pointers.push_back(&part);
    return pointers;
}

}  // namespace

const TextRun* RunsPart::run(ColumnIndex column) const noexcept {
    const auto found = std::lower_bound(runs.begin(), runs.end(), column,
                                        [](const TextRun& run, ColumnIndex c) { return run.column < c; });
    return found != runs.end() && found->column == column ? &*found : nullptr;
}

RunsPart runs_of(const Learned& learned, RunsHold hold) {
    RunsPart part;
    part.numbers_read = learned.numbers_read;
    part.has_state = learned.record.encoding_info.has_value();
    if (!part.has_state) return part;
    for (const ColumnIndex c : learned.record.encoding_info->string_columns) {
        const TextToCode* map = learned.text_to_code(c);
        if (map == nullptr) continue;
        if (hold == RunsHold::columns) {
            part.runs.push_back({c, {}, {}});
            continue;
        }
        TextRun run{c, ascending_texts(*map), {}};
        if (learned.counts) run.counts = counts_in_run_order(*map, run.texts, learned.counts->at(c));
        part.runs.push_back(std::move(run));
    }
    return part;
}

bool rebuilt_by_runs(const Learned& learned) {
    if (!learned.record.encoding_info) return true;
    const EncodingInfo& info = *learned.record.encoding_info;
    if (info.text_to_code.size() != info.string_columns.size() ||
        info.code_to_text.size() != info.string_columns.size()) {
        return false;
    }
    for (const ColumnIndex c : info.string_columns) {
        const auto text_to_code = info.text_to_code.find(c);
        const auto code_to_text = info.code_to_text.find(c);
        if (text_to_code == info.text_to_code.end() || code_to_text == info.code_to_text.end()) return false;
        const TextToCode& map = text_to_code->second;
        if (!map.codes_follow_entries()) return false;
        std::vector<std::size_t> markers;
        for (std::size_t i = 0; i < map.size(); ++i) {
            if (i > 0 && !(map.text(i - 1) < map.text(i))) return false;
            if (is_missing_marker(map.text(i))) markers.push_back(i);
        }
        if (markers != map.uncoded()) return false;
        if (!(code_to_text->second == inverse_of(map))) return false;
    }
    return true;
}

std::optional<MergeFault> merge_fault(std::span<const RunsPart* const> parts) {
    std::variant<MergedColumns, MergeFault> plan = plan_columns(parts);
    if (auto* fault = std::get_if<MergeFault>(&plan)) return *fault;
    return std::nullopt;
}

std::optional<MergeFault> merge_fault(std::span<const Learned* const> parts) {
    const std::vector<RunsPart> runs = runs_of_all(parts, RunsHold::columns);
    return merge_fault(pointers_to(runs));
}

std::variant<RunsPart, MergeFault> merge_runs(std::span<const RunsPart* const> parts) {
    std::variant<MergedColumns, MergeFault> planned = plan_columns(parts);
    if (auto* fault = std::get_if<MergeFault>(&planned)) return *fault;
    MergedColumns& plan = std::get<MergedColumns>(planned);
    RunsPart merged;
    merged.numbers_read = std::move(plan.numbers_read);
    for (const RunsPart* part : parts) merged.has_state = merged.has_state || part->has_state;
    if (!merged.has_state) return merged;
    for (const ColumnIndex c : plan.string_columns) {
        std::vector<const TextRun*> held;
        for (const RunsPart* part : parts) {
            if (const TextRun* run = part->run(c)) held.push_back(run);
        }
        std::vector<const std::vector<std::string_view>*> texts;
        bool counted = true;
        for (const TextRun* run : held) {
            texts.push_back(&run->texts);
            counted = counted && run->counts.has_value();
        }
        TextRun run{c, union_of(std::move(texts)), {}};
        if (counted) {
            std::vector<std::int64_t> by_place(run.texts.size(), 0);
            for (const TextRun* part_run : held) add_counts(run.texts, *part_run, by_place);
            std::vector<std::int64_t> counts;
            counts.reserve(run.texts.size());
            for (std::size_t i = 0; i < run.texts.size(); ++i) {
                if (!is_missing_marker(run.texts[i])) counts.push_back(by_place[i]);
            }
            run.counts = std::move(counts);
        }
        merged.runs.push_back(std::move(run));
    }
    return merged;
}

Learned learned_of_runs(const RunsPart& part) {
    Learned learned;
    learned.numbers_read = part.numbers_read;
    // The record is counted when every column is: codes number the coded
    // texts in byte order, so a run's counts are already in code order.
    if (std::all_of(part.runs.begin(), part.runs.end(), [](const TextRun& run) { return run.counts.has_value(); })) {
        learned.counts.emplace();
        for (const TextRun& run : part.runs) learned.counts->emplace(run.column, *run.counts);
    }
    if (!part.has_state) return learned;
    std::vector<ColumnMaps> columns;
    columns.reserve(part.runs.size());
    for (const TextRun& run : part.runs) {
        columns.push_back(ColumnMaps::inverting(run.column, text_to_code_of_ascending(run.texts)));
    }
    learned.record.encoding_info = encoding_info_of(std::move(columns));
    return learned;
}

std::variant<Learned, MergeFault> merge_learned(std::span<const Learned* const> parts) {
    const std::vector<RunsPart> runs = runs_of_all(parts, RunsHold::texts);
    std::variant<RunsPart, MergeFault> merged = merge_runs(pointers_to(runs));
    if (auto* fault = std::get_if<MergeFault>(&merged)) return *fault;
    return learned_of_runs(std::get<RunsPart>(merged));
}

}  // namespace quorix::pipeline
