// The lookup behind transform: one pool job per column, its rows in ranges.
#include "pipeline/native/look_up_codes.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

#include "engine/label_encode.hpp"
#include "engine/number_text.hpp"
#include "engine/parallel_loops.hpp"

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

namespace {

constexpr std::size_t kRowGrain = 4096;
constexpr std::size_t kNoRow = ~std::size_t{0};

// The lowest row offered, from any worker.
class FirstRow {
public:
    void offer(std::size_t row) noexcept {
        std::size_t seen = row_.load(std::memory_order_relaxed);
        while (row < seen && !row_.compare_exchange_weak(seen, row, std::memory_order_relaxed)) {
        }
    }
    std::size_t get() const noexcept { return row_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::size_t> row_{kNoRow};
};

// A text's code as the stored map gives it (NaN for an entry without one);
// a missing-value marker it does not hold is NaN too. False when unseen.
bool code_of_hashed(const LookupIndex& map, std::uint64_t hash, std::string_view text, double& code) {
    if (map.find(hash, text, code)) return true;
    if (is_missing_marker(text)) {
        code = missing_code();
        return true;
    }
    return false;
}

bool code_of(const LookupIndex& map, std::string_view text, double& code) {
    return code_of_hashed(map, map.hash(text), text, code);
}

// Rows are looked up in blocks: every hash of a block first, its slot
// prefetched, then the lookups, so that a map larger than the caches is
// read with its misses overlapped rather than one after another.
constexpr std::size_t kLookupBlock = 16;

class ColumnLookup {
public:
    ColumnLookup(GatheredTable& table, ColumnIndex column, UnknownRule unknown)
        : matrix_(table.matrix), column_(column), rows_(table.matrix.rows()), unknown_(unknown) {}

    // A learned string column whose cells are numbers: each by its text.
    template <class NumberAt>
    std::optional<LookupFault> numbers(const LookupIndex& map, const NumberAt& number_at) {
        FirstRow unseen;
        for_rows([&](std::size_t r) {
            double code = 0.0;
            if (!code_of(map, number_text(number_at(r)), code)) code = unseen_code(unseen, r);
            matrix_.at(r, column_) = code;
        });
        return fault_at(unseen.get(), [&](std::size_t r) { return number_text(number_at(r)); });
    }

    std::optional<LookupFault> texts(const LookupIndex& map, const TextColumn& texts) {
        FirstRow unseen;
        if (texts.is_dictionary()) {
            // Each category once; null rows read as their marker.
            const auto& categories = texts.categories();
            std::vector<double> category_code(categories.size(), 0.0);
            std::vector<std::uint8_t> category_unseen(categories.size(), 0);
            for (std::size_t k = 0; k < categories.size(); ++k) {
                if (!code_of(map, categories[k], category_code[k])) category_unseen[k] = 1;
            }
            for_rows([&](std::size_t r) {
                const std::int64_t category = texts.code(r);
                double code = 0.0;
                if (category < 0) {
                    if (!code_of(map, texts.null_text(r), code)) code = unseen_code(unseen, r);
                } else if (category_unseen[static_cast<std::size_t>(category)] != 0) {
                    code = unseen_code(unseen, r);
                } else {
                    code = category_code[static_cast<std::size_t>(category)];
                }
                matrix_.at(r, column_) = code;
            });
        } else {
            for_row_ranges([&](std::size_t begin, std::size_t end) {
                std::uint64_t hashes[kLookupBlock];
                for (std::size_t block = begin; block < end; block += kLookupBlock) {
                    const std::size_t count = std::min(kLookupBlock, end - block);
                    for (std::size_t i = 0; i < count; ++i) {
                        hashes[i] = map.hash(texts[block + i]);
                        map.prefetch(hashes[i]);
                    }
                    for (std::size_t i = 0; i < count; ++i) {
                        const std::size_t r = block + i;
                        double code = 0.0;
                        if (!code_of_hashed(map, hashes[i], texts[r], code)) code = unseen_code(unseen, r);
                        matrix_.at(r, column_) = code;
                    }
                }
            });
        }
        return fault_at(unseen.get(), [&](std::size_t r) { return std::string(texts[r]); });
    }

    // A column learned as numeric that holds texts: only missing-value
    // markers may stand there.
    std::optional<LookupFault> texts_in_numeric(const TextColumn& texts) {
        FirstRow text;
        for_rows([&](std::size_t r) {
            if (is_missing_marker(texts[r])) {
                matrix_.at(r, column_) = missing_code();
            } else {
                text.offer(r);
            }
        });
        if (text.get() == kNoRow) return std::nullopt;
        return LookupFault{LookupFault::Kind::kTextInNumericColumn, column_, text.get(),
                           std::string(texts[text.get()])};
    }

    template <class NumberAt>
    void copy_numbers(const NumberAt& number_at) {
        for_rows([&](std::size_t r) { matrix_.at(r, column_) = number_at(r); });
    }

private:
    template <class Body>
    void for_row_ranges(const Body& body) {
        parallel_for_ranges(rows_, kRowGrain, body);
    }
    template <class Body>
    void for_rows(const Body& body) {
        for_row_ranges([&](std::size_t begin, std::size_t end) {
            for (std::size_t r = begin; r < end; ++r) body(r);
        });
    }

    double unseen_code(FirstRow& unseen, std::size_t r) const {
        if (unknown_.is_error) {
            unseen.offer(r);
            return missing_code();
        }
        return unknown_.value;
    }

    template <class TextAt>
    std::optional<LookupFault> fault_at(std::size_t row, const TextAt& text_at) const {
        if (row == kNoRow) return std::nullopt;
        return LookupFault{LookupFault::Kind::kUnknownText, column_, row, text_at(row)};
    }

    Matrix& matrix_;
    ColumnIndex column_;
    std::size_t rows_;
    UnknownRule unknown_;
};

std::optional<LookupFault> look_up_column(const std::vector<const LookupIndex*>& indexes, GatheredTable& table,
                                          ColumnIndex c, UnknownRule unknown) {
    ColumnLookup lookup(table, c, unknown);
    const LookupIndex* map = indexes[c];
    if (table.copied) {
        // The float64 array's values are in the matrix already.
        if (map == nullptr) return std::nullopt;
        const Matrix& values = table.matrix;
        std::vector<double> column(values.rows());
        for (std::size_t r = 0; r < column.size(); ++r) column[r] = values.cell(r, c);
        return lookup.numbers(*map, [&](std::size_t r) { return column[r]; });
    }
    const GatheredColumn& column = table.gathered.columns[c];
    if (column.is_string) {
        return map != nullptr ? lookup.texts(*map, column.texts) : lookup.texts_in_numeric(column.texts);
    }
    if (column.number_source) {
        const NumberSource& source = column.number_source;
        if (map != nullptr) return lookup.numbers(*map, [&](std::size_t r) { return source[r]; });
        lookup.copy_numbers([&](std::size_t r) { return source[r]; });
        return std::nullopt;
    }
    const std::vector<double>& numbers = column.numbers;
    if (map != nullptr) return lookup.numbers(*map, [&](std::size_t r) { return numbers[r]; });
    lookup.copy_numbers([&](std::size_t r) { return numbers[r]; });
    return std::nullopt;
}

}  // namespace

std::optional<LookupFault> look_up_codes(const Learned& learned, GatheredTable& table, UnknownRule unknown,
                                         std::span<const std::span<const double>> recode) {
    const std::size_t cols = table.matrix.cols();
    std::vector<const LookupIndex*> indexes(cols, nullptr);
    for (ColumnIndex c = 0; c < cols; ++c) {
        if (learned.text_to_code(c) == nullptr) continue;
        indexes[c] = &learned.lookup_index(c, c < recode.size() ? recode[c] : std::span<const double>());
    }
    std::vector<std::optional<LookupFault>> faults(cols);
    parallel_for_each_index(cols, [&](std::size_t c) {
        faults[c] = look_up_column(indexes, table, c, unknown);
    });
    for (std::optional<LookupFault>& fault : faults) {
        if (fault) return std::move(fault);
    }
    return std::nullopt;
}

}  // namespace quorix::pipeline
