// The per-column driver: one pool job per column.
#include "python/encode_object_array.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "lib/label_encode.hpp"
#include "lib/send_ptr.hpp"
#include "runtime/bucket_order.hpp"
#include "runtime/parallel_loops.hpp"
#include "runtime/uninitialized.hpp"

namespace quorix {
namespace {

constexpr std::size_t row_grain = 4096;

struct ColumnMaps {
    ColumnIndex column;
    TextToCode text_to_code;
    CodeToText code_to_text;
};

// The entries that have a code, inverted, with copies of the texts. The
// entries with a code are found, hashed and put in index order (see
// bucket_order.hpp) in parallel, so that the one thread filling the map
// reads them in a line, asking for each entry and its slot a few ahead.
CodeToText invert(const TextToCode& text_to_code) {
    using Entry = TextToCode::value_type;
    const std::vector<const Entry*> coded = parallel_collect<const Entry*>(
        text_to_code.size(),
        [&](std::size_t begin, std::size_t end, std::vector<const Entry*>& out) {
            if (begin == end) return;
            auto entry = text_to_code.nth(begin);
            for (std::size_t i = begin; i < end; ++i, ++entry) {
                if (entry->second) out.push_back(&*entry);
            }
        },
        row_grain);
    const std::size_t n = coded.size();
    CodeToText map;
    map.reserve(n);
    UninitializedVector<std::uint64_t> hashes(n);
    parallel_for_each_index(n, [&](std::size_t i) { hashes[i] = map.hash_key(*coded[i]->second); }, row_grain);
    const std::vector<std::size_t> order = bucket_order_of_hashes(n, [&](std::size_t i) { return hashes[i]; });
    struct Pending {
        const Entry* entry;
        std::uint64_t hash;
    };
    UninitializedVector<Pending> pending(n);
    parallel_for_each_index(
        n, [&](std::size_t j) { pending[j] = {coded[order[j]], hashes[order[j]]}; }, row_grain);
    constexpr std::size_t ahead = 8;
    for (std::size_t j = 0; j < n; ++j) {
        if (j + ahead < n) {
            __builtin_prefetch(pending[j + ahead].entry);
            map.prefetch(pending[j + ahead].hash);
        }
        map.try_emplace_hashed(pending[j].hash, *pending[j].entry->second, pending[j].entry->first);
    }
    return map;
}

// Writes column c through the handle; cell (r, c) belongs to this job alone.
void fill_column(const SendPtr& matrix, std::size_t cols, ColumnIndex c,
                 std::span<const double> values) {
    double* const start = matrix.get();
    parallel_for_each_index(
        values.size(), [&](std::size_t r) { start[r * cols + c] = values[r]; }, row_grain);
}

std::optional<ColumnMaps> encode_column(const GatheredColumns& columns, const SendPtr& matrix,
                                        ColumnIndex c) {
    const GatheredColumn& column = columns.columns[c];
    if (!column.is_string) {
        // Plain double copies keep NaN payloads, infinities and -0.0 as they are.
        fill_column(matrix, columns.cols, c, column.numbers);
        return std::nullopt;
    }
    LabelEncoding encoded = label_encode(column.texts);
    ColumnMaps maps{c, std::move(encoded.text_to_code), {}};
    join([&] { fill_column(matrix, columns.cols, c, encoded.codes); },
         [&] { maps.code_to_text = invert(maps.text_to_code); });
    return maps;
}

}  // namespace

EncodingInfo encode_object_array(const GatheredColumns& columns, double* matrix) {
    EncodingInfo info;
    info.text_to_code.reserve(columns.cols);
    info.code_to_text.reserve(columns.cols);
    {
        const SendPtr shared(matrix);
        std::vector<ColumnMaps> collected = parallel_filter_map(
            columns.cols, [&](std::size_t c) { return encode_column(columns, shared, c); });
        // In column order; every index occurs once, so nothing is replaced.
        for (ColumnMaps& maps : collected) {
            info.text_to_code.emplace(maps.column, std::move(maps.text_to_code));
            info.code_to_text.emplace(maps.column, std::move(maps.code_to_text));
        }
    }
    for (ColumnIndex c = 0; c < columns.cols; ++c) {
        if (columns.columns[c].is_string) info.string_columns.push_back(c);
    }
    return info;
}

}  // namespace quorix
