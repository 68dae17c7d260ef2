// The per-column driver: one pool job per column.
#include "engine/encode_object_array.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/label_encode.hpp"
#include "engine/parallel_loops.hpp"
#include "engine/uninitialized.hpp"

namespace quorix {
namespace {

constexpr std::size_t row_grain = 4096;

}  // namespace

namespace inverse_strategies {

CodeToText by_copying(const TextToCode& text_to_code) {
    using Entry = TextToCode::value_type;
    const std::vector<Entry> coded = parallel_collect<Entry>(
        text_to_code.size(),
        [&](std::size_t begin, std::size_t end, std::vector<Entry>& out) {
            for (std::size_t i = begin; i < end; ++i) {
                if (Entry entry = text_to_code.entry(i); entry.second) out.push_back(entry);
            }
        },
        row_grain);
    CodeToText map;
    map.reserve(coded.size());
    for (const Entry& entry : coded) map.try_emplace(*entry.second, entry.first);
    return map;
}

CodeToText by_sharing(const TextToCode& text_to_code) { return CodeToText::sharing_texts_of(text_to_code); }

}  // namespace inverse_strategies

ColumnMaps ColumnMaps::inverting(ColumnIndex column, TextToCode text_to_code) {
    CodeToText code_to_text = inverse_of(text_to_code);
    return ColumnMaps{column, std::move(text_to_code), std::move(code_to_text)};
}

EncodingInfo encoding_info_of(std::vector<ColumnMaps> columns) {
    EncodingInfo info;
    info.string_columns.reserve(columns.size());
    info.text_to_code.reserve(columns.size());
    info.code_to_text.reserve(columns.size());
    // Every index occurs once, so nothing is replaced.
    for (ColumnMaps& maps : columns) {
        info.string_columns.push_back(maps.column);
        info.text_to_code.emplace(maps.column, std::move(maps.text_to_code));
        info.code_to_text.emplace(maps.column, std::move(maps.code_to_text));
    }
    return info;
}

CodeToText inverse_of(const TextToCode& text_to_code) {
    // Encode's maps number their texts in order: the inverse reads their store.
    if (text_to_code.codes_follow_entries()) return inverse_strategies::by_sharing(text_to_code);
    return inverse_strategies::by_copying(text_to_code);
}

namespace {

// Where the cells go: cell (r, c) at r * row_step + c * col_step, or
// nowhere (a fit that keeps only the maps). Every column job writes its own
// column and nothing else of it, so the jobs share the address without a lock.
struct CellLayout {
    double* matrix;
    std::size_t row_step, col_step;

    bool writes() const noexcept { return matrix != nullptr; }
    double* column(ColumnIndex c) const noexcept { return matrix + c * col_step; }
};

// Writes column c; cell (r, c) belongs to this job alone.
template <class ValueAt>
void fill_column(const CellLayout& layout, std::size_t rows, ColumnIndex c, const ValueAt& value_at) {
    if (!layout.writes()) return;
    double* const start = layout.column(c);
    const std::size_t step = layout.row_step;
    parallel_for_each_index(rows, [&](std::size_t r) { start[r * step] = value_at(r); }, row_grain);
}

// What the rows of a dictionary column show: which categories occur, and
// whether a null row comes after the first valid one.
struct OccurringCategories {
    std::vector<std::uint8_t> occurs;  // one flag per category
    bool null_after = false;

    static OccurringCategories of(const TextColumn& texts) {
        OccurringCategories seen{std::vector<std::uint8_t>(texts.categories().size(), 0), false};
        for (std::size_t r = texts.first_valid(); r < texts.size(); ++r) {
            const std::int64_t category = texts.code(r);
            if (category >= 0) {
                seen.occurs[static_cast<std::size_t>(category)] = 1;
            } else {
                seen.null_after = true;
            }
        }
        return seen;
    }

    // True when the categories that occur are in ascending byte order, as
    // pandas keeps the texts it sorted.
    bool ascending(const std::vector<std::string_view>& categories) const {
        const std::string_view* previous = nullptr;
        for (std::size_t k = 0; k < categories.size(); ++k) {
            if (occurs[k] == 0) continue;
            if (previous != nullptr && !(*previous < categories[k])) return false;
            previous = &categories[k];
        }
        return true;
    }
};

// The learned map of a dictionary column and the code each row takes: by
// its category, or by which side of the first valid row a null row lies.
struct DictionaryCodes {
    TextToCode text_to_code;
    std::vector<double> category_code;
    double before_code = missing_code(), after_code = missing_code();

    // Categories in ascending order need no sorting: each text's code is
    // its rank. The texts are entered in byte order, as the sorting strategy
    // enters them, so that the maps (and the state bytes written from them)
    // come out the same.
    static DictionaryCodes by_rank(const TextColumn& texts, const OccurringCategories& seen) {
        const std::vector<std::string_view>& categories = texts.categories();
        std::vector<std::string_view> entries;
        entries.reserve(categories.size() + 2);
        for (std::size_t k = 0; k < categories.size(); ++k) {
            if (seen.occurs[k] != 0) entries.push_back(categories[k]);
        }
        auto enter_null_text = [&](std::string_view text) {
            const auto at = std::lower_bound(entries.begin(), entries.end(), text);
            if (at == entries.end() || *at != text) entries.insert(at, text);
        };
        if (texts.first_valid() > 0) enter_null_text(texts.null_text(0));
        if (seen.null_after) enter_null_text(texts.null_text(texts.first_valid()));
        DictionaryCodes coded{text_to_code_of_ascending(entries), std::vector<double>(categories.size(), 0.0)};
        Code next = 0;
        std::size_t k = 0;  // the occurring categories, walked beside the entries
        for (std::string_view text : entries) {
            const double code = is_missing_marker(text) ? missing_code() : static_cast<double>(next++);
            while (k < categories.size() && seen.occurs[k] == 0) ++k;
            if (k < categories.size() && categories[k] == text) coded.category_code[k++] = code;
        }
        return coded;
    }

    // Any other order: the occurring categories and null texts are label
    // encoded as a column of their own.
    static DictionaryCodes by_encoding(const TextColumn& texts, const OccurringCategories& seen) {
        const std::vector<std::string_view>& categories = texts.categories();
        TextColumn distinct;
        std::vector<std::size_t> entry_of(categories.size(), 0);
        for (std::size_t k = 0; k < categories.size(); ++k) {
            if (seen.occurs[k] == 0) continue;
            entry_of[k] = distinct.size();
            distinct.push_view(categories[k]);
        }
        const std::size_t before_entry = distinct.size();
        if (texts.first_valid() > 0) distinct.push_view(texts.null_text(0));
        const std::size_t after_entry = distinct.size();
        if (seen.null_after) distinct.push_view(texts.null_text(texts.first_valid()));
        LabelEncoding encoded = label_encode(distinct);
        DictionaryCodes coded{std::move(encoded.text_to_code), std::vector<double>(categories.size(), 0.0)};
        for (std::size_t k = 0; k < categories.size(); ++k) {
            if (seen.occurs[k] != 0) coded.category_code[k] = encoded.codes[entry_of[k]];
        }
        if (texts.first_valid() > 0) coded.before_code = encoded.codes[before_entry];
        if (seen.null_after) coded.after_code = encoded.codes[after_entry];
        return coded;
    }

    double row_code(const TextColumn& texts, std::size_t r) const noexcept {
        const std::int64_t category = texts.code(r);
        if (category >= 0) return category_code[static_cast<std::size_t>(category)];
        return r < texts.first_valid() ? before_code : after_code;
    }
};

// A column given as category codes: the categories that occur, and the
// null texts that occur, are encoded once, and every row takes the code of
// its category. The distinct texts are those of the rows, so the maps and
// codes are those of encoding the rows one by one.
ColumnMaps encode_dictionary_column(const GatheredColumns& columns, const CellLayout& layout, ColumnIndex c) {
    const TextColumn& texts = columns.columns[c].texts;
    const OccurringCategories seen = OccurringCategories::of(texts);
    DictionaryCodes coded = seen.ascending(texts.categories()) ? DictionaryCodes::by_rank(texts, seen)
                                                               : DictionaryCodes::by_encoding(texts, seen);
    ColumnMaps maps{c, std::move(coded.text_to_code), {}};
    join([&] { fill_column(layout, texts.size(), c, [&](std::size_t r) { return coded.row_code(texts, r); }); },
         [&] { maps.code_to_text = inverse_of(maps.text_to_code); });
    return maps;
}

std::optional<ColumnMaps> encode_column(const GatheredColumns& columns, const CellLayout& layout, ColumnIndex c) {
    const GatheredColumn& column = columns.columns[c];
    if (!column.is_string) {
        if (column.number_source) {
            // Read where the numbers lie, each converted once into its cell.
            const NumberSource& source = column.number_source;
            fill_column(layout, columns.rows, c, [&](std::size_t r) { return source[r]; });
            return std::nullopt;
        }
        // Plain double copies keep NaN payloads, infinities and -0.0 as they are.
        fill_column(layout, column.numbers.size(), c, [&](std::size_t r) { return column.numbers[r]; });
        return std::nullopt;
    }
    if (column.texts.is_dictionary()) return encode_dictionary_column(columns, layout, c);
    // The codes go straight into their cells: cell (r, c) belongs to this job alone.
    double* const codes = layout.writes() ? layout.column(c) : nullptr;
    return ColumnMaps::inverting(c, label_encode_into(column.texts, codes, layout.row_step));
}

}  // namespace

EncodingInfo encode_object_array(const GatheredColumns& columns, double* matrix) {
    return encode_object_array(columns, matrix, columns.cols, 1);
}

EncodingInfo encode_object_array(const GatheredColumns& columns, double* matrix, std::size_t row_step,
                                 std::size_t col_step) {
    const CellLayout layout{matrix, row_step, col_step};
    // In column order, one entry per string column.
    return encoding_info_of(
        parallel_filter_map(columns.cols, [&](std::size_t c) { return encode_column(columns, layout, c); }));
}

}  // namespace quorix
