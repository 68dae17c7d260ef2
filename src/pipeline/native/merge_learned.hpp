// The union of what several TextEncoders learned apart, in the order given:
// per string column every text any of them holds, renumbered in byte order.
// Parts are read as sorted runs of texts, whether they come as learned
// records or as runs that travelled between processes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "pipeline/native/learned.hpp"

namespace quorix::pipeline {

// One string column of a part: its distinct texts in ascending byte order
// (missing-value markers among them, as the maps keep them) and, when
// counted, how many cells held each text that has a code.
struct TextRun {
    ColumnIndex column = 0;
    std::vector<std::string_view> texts;
    std::optional<std::vector<std::int64_t>> counts;
};

// What a merge reads of one part. The texts are views: whoever made the
// runs keeps what they point into alive.
struct RunsPart {
    bool has_state = false;                  // a record learned a state (not a float64 array's copy)
    std::vector<std::uint8_t> numbers_read;  // as Learned::numbers_read
    std::vector<TextRun> runs;               // ascending by column, one per string column

    bool read_numbers(ColumnIndex column) const noexcept {
        return column < numbers_read.size() && numbers_read[column] != 0;
    }
    const TextRun* run(ColumnIndex column) const noexcept;
};

// A column that holds texts in one part and numbers read as numbers in a
// part that is not the first one with texts: a single fit of the parts put
// together would have read those numbers as texts, which no part kept.
struct MergeFault {
    ColumnIndex column;
    std::size_t text_part;    // the first part with texts in that column
    std::size_t number_part;  // the part whose numbers were read as numbers
};

// What runs_of reads of a record: each string column's texts and counts, or
// only which columns are string columns (all that a check of the column
// kinds needs).
enum class RunsHold { texts, columns };

// A record's runs, viewing its maps; its counts, when it holds them, put in
// the runs' byte order.
RunsPart runs_of(const Learned& learned, RunsHold hold = RunsHold::texts);

// Whether learned_of_runs(runs_of(learned)) gives back the same maps: every
// string column's maps are as encode leaves them (texts ascending, codes
// their ranks, markers uncoded, code to text its inverse). A state read
// from elsewhere may hold any other maps, which only its state bytes keep.
bool rebuilt_by_runs(const Learned& learned);

// The first column whose parts cannot be merged, if any: what merging
// would refuse, found from the parts' column kinds alone.
std::optional<MergeFault> merge_fault(std::span<const RunsPart* const> parts);
std::optional<MergeFault> merge_fault(std::span<const Learned* const> parts);

// The union, viewing the parts' texts. A column's counts are the sums by
// text when every part holding the column counted it. No hash map is built.
std::variant<RunsPart, MergeFault> merge_runs(std::span<const RunsPart* const> parts);

// The record whose maps number the runs' texts in byte order, as encode does,
// counted when every run is.
Learned learned_of_runs(const RunsPart& part);

// `parts` are not empty; each lists its string columns ascending. The work
// is sized by the columns the parts hold, not by their largest index.
std::variant<Learned, MergeFault> merge_learned(std::span<const Learned* const> parts);

}  // namespace quorix::pipeline
