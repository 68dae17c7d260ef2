// Shared by the engine tests: pools of chosen sizes, a plain model of label
// encoding, random columns, and bit-exact comparisons.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/encode_object_array.hpp"
#include "engine/label_encode.hpp"
#include "engine/gathered_columns.hpp"
#include "engine/pool.hpp"

namespace quorix::testing {

// One pool per size for the whole test process (pools are never destroyed).
inline Pool& test_pool(std::size_t workers) {
    static std::map<std::size_t, Pool*> pools;
    static std::mutex guard;
    std::lock_guard<std::mutex> lock(guard);
    Pool*& pool = pools[workers];
    if (pool == nullptr) pool = &Pool::create(workers);
    return *pool;
}

inline const std::vector<std::size_t>& worker_counts() {
    static const std::vector<std::size_t> counts{1, 2, 8};
    return counts;
}

template <class F>
auto run_on(std::size_t workers, F&& f) {
    std::optional<std::invoke_result_t<F&>> result;
    test_pool(workers).install([&] { result.emplace(f()); });
    return std::move(*result);
}

// The map an EncodingInfo holds for `column`; throws when it holds none.
template <class Maps>
const typename Maps::mapped_type& map_of(const Maps& maps, ColumnIndex column) {
    const auto found = maps.find(column);
    if (found == maps.end()) throw std::out_of_range("no map for column " + std::to_string(column));
    return found->second;
}

inline TextColumn column_of(const std::vector<std::string>& texts) {
    TextColumn column;
    for (const auto& text : texts) column.push_back(text);
    return column;
}

// The model: distinct texts in a std::map (byte-wise ordered through
// std::string's compare), markers skipped when counting.
struct ReferenceEncoding {
    std::vector<double> codes;
    std::map<std::string, std::optional<Code>> text_to_code;
};

inline ReferenceEncoding reference_label_encode(const std::vector<std::string>& texts) {
    ReferenceEncoding ref;
    for (const auto& text : texts) ref.text_to_code[text];
    Code next = 0;
    for (auto& [text, code] : ref.text_to_code) {
        if (text != "nan" && text != "NaN" && text != "<NA>") code = next++;
    }
    for (const auto& text : texts) {
        const auto& code = ref.text_to_code.at(text);
        ref.codes.push_back(code ? static_cast<double>(*code)
                                 : std::bit_cast<double>(std::uint64_t{0x7FF8000000000000}));
    }
    return ref;
}

inline bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

inline ::testing::AssertionResult same_codes(std::span<const double> actual,
                                             std::span<const double> expected) {
    if (actual.size() != expected.size()) {
        return ::testing::AssertionFailure() << "sizes " << actual.size() << " vs " << expected.size();
    }
    for (std::size_t r = 0; r < actual.size(); ++r) {
        if (!same_bits(actual[r], expected[r])) {
            return ::testing::AssertionFailure()
                   << "row " << r << ": " << actual[r] << " vs " << expected[r];
        }
    }
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult same_map(const TextToCode& actual,
                                           const std::map<std::string, std::optional<Code>>& expected) {
    if (actual.size() != expected.size()) {
        return ::testing::AssertionFailure() << "map sizes " << actual.size() << " vs " << expected.size();
    }
    for (const auto& [text, code] : expected) {
        const auto entry = actual.find(std::string_view(text));
        if (entry == actual.end()) return ::testing::AssertionFailure() << "missing key '" << text << "'";
        if (entry->second != code) return ::testing::AssertionFailure() << "wrong code for '" << text << "'";
    }
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult matches_reference(const LabelEncoding& actual,
                                                    const std::vector<std::string>& texts) {
    const ReferenceEncoding ref = reference_label_encode(texts);
    if (auto codes = same_codes(actual.codes, ref.codes); !codes) return codes;
    return same_map(actual.text_to_code, ref.text_to_code);
}

// Random texts drawn from `distinct` candidates that share prefixes, hold NUL
// and high bytes, and include the markers, their look-alikes and the empty text.
inline std::vector<std::string> random_texts(std::size_t rows, std::size_t distinct,
                                             std::uint64_t seed) {
    std::mt19937_64 random(seed);
    static const std::vector<std::string> specials{
        "nan", "NaN", "<NA>", "NAN", "None", "", "na", "nan ", std::string("a\0b", 3), "\xff", "\xc3\xa9"};
    std::vector<std::string> candidates;
    const std::string alphabet = std::string("ab9Z<~ ", 7) + std::string(1, '\0') + "\x80\xff";
    for (std::size_t i = 0; i < distinct; ++i) {
        if (i < specials.size() && random() % 2 == 0) {
            candidates.push_back(specials[i]);
            continue;
        }
        std::string text(random() % 13, ' ');
        for (char& c : text) c = alphabet[random() % alphabet.size()];
        candidates.push_back(text);
    }
    std::vector<std::string> texts(rows);
    for (auto& text : texts) text = candidates[random() % candidates.size()];
    return texts;
}

// A table encoded on a pool of `workers`: the row-major codes and the maps.
struct Encoded {
    std::vector<double> matrix;
    EncodingInfo info;
};

inline Encoded encode(std::size_t workers, const GatheredColumns& gathered) {
    return run_on(workers, [&] {
        Encoded out;
        out.matrix.assign(gathered.rows * gathered.cols, 0.0);
        out.info = encode_object_array(gathered, out.matrix.data());
        return out;
    });
}

}  // namespace quorix::testing
