// encode_object_array: matrix cells, string-column list and maps, against a
// model built from the label-encoding model, for several worker counts.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "engine_test_support.hpp"
#include "engine/encode_object_array.hpp"

namespace quorix {
namespace {

using testing::encode;
using testing::Encoded;
using testing::same_bits;

// A column given either as numbers or as texts.
struct ColumnInput {
    bool is_string;
    std::vector<double> numbers;
    std::vector<std::string> texts;
};

GatheredColumns gather(std::size_t rows, const std::vector<ColumnInput>& inputs) {
    GatheredColumns gathered(rows, inputs.size());
    for (std::size_t c = 0; c < inputs.size(); ++c) {
        gathered.columns[c].is_string = inputs[c].is_string;
        gathered.columns[c].numbers = inputs[c].numbers;
        gathered.columns[c].texts = testing::column_of(inputs[c].texts);
    }
    return gathered;
}

// Checks everything the driver promises against the label-encoding model.
::testing::AssertionResult matches_model(const Encoded& actual, std::size_t rows,
                                         const std::vector<ColumnInput>& inputs) {
    const std::size_t cols = inputs.size();
    std::vector<ColumnIndex> string_columns;
    for (std::size_t c = 0; c < cols; ++c) {
        std::vector<double> expected = inputs[c].numbers;
        if (inputs[c].is_string) {
            string_columns.push_back(c);
            const auto ref = testing::reference_label_encode(inputs[c].texts);
            expected = ref.codes;
            if (!actual.info.text_to_code.contains(c) || !actual.info.code_to_text.contains(c)) {
                return ::testing::AssertionFailure() << "no maps for column " << c;
            }
            if (auto same = testing::same_map(testing::map_of(actual.info.text_to_code, c), ref.text_to_code); !same) {
                return same << " (column " << c << ")";
            }
            const CodeToText& inverse = testing::map_of(actual.info.code_to_text, c);
            std::size_t coded = 0;
            for (const auto& [text, code] : ref.text_to_code) {
                if (!code) continue;
                ++coded;
                const auto entry = inverse.find(*code);
                if (entry == inverse.end() || entry->second != text) {
                    return ::testing::AssertionFailure() << "code " << *code << " of column " << c;
                }
            }
            if (inverse.size() != coded) return ::testing::AssertionFailure() << "inverse size, column " << c;
        }
        for (std::size_t r = 0; r < rows; ++r) {
            if (!same_bits(actual.matrix[r * cols + c], expected[r])) {
                return ::testing::AssertionFailure() << "cell (" << r << ", " << c << ")";
            }
        }
    }
    if (actual.info.string_columns != string_columns) return ::testing::AssertionFailure() << "string_columns";
    if (actual.info.text_to_code.size() != string_columns.size() ||
        actual.info.code_to_text.size() != string_columns.size()) {
        return ::testing::AssertionFailure() << "outer map sizes";
    }
    return ::testing::AssertionSuccess();
}

class EncodeObjectArray : public ::testing::TestWithParam<std::size_t> {};

TEST_P(EncodeObjectArray, WorkedExample) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<ColumnInput> inputs{{false, {1.5, nan, 2}, {}}, {true, {}, {"b", "a", "nan"}}};
    const Encoded out = encode(GetParam(), gather(3, inputs));
    const double missing = missing_code();
    const std::vector<double> expected{1.5, 1, nan, 0, 2, missing};
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_TRUE(same_bits(out.matrix[i], expected[i])) << i;
    EXPECT_EQ(out.info.string_columns, std::vector<ColumnIndex>{1});
    EXPECT_EQ(testing::map_of(out.info.text_to_code, 1).at("a"), 0u);
    EXPECT_EQ(testing::map_of(out.info.text_to_code, 1).at("b"), 1u);
    EXPECT_EQ(testing::map_of(out.info.text_to_code, 1).at("nan"), std::nullopt);
    EXPECT_EQ(testing::map_of(out.info.text_to_code, 1).size(), 3u);
    EXPECT_EQ(testing::map_of(out.info.code_to_text, 1).at(0), "a");
    EXPECT_EQ(testing::map_of(out.info.code_to_text, 1).at(1), "b");
    EXPECT_EQ(testing::map_of(out.info.code_to_text, 1).size(), 2u);
}

TEST_P(EncodeObjectArray, NumbersAreCopiedBitForBit) {
    const std::vector<double> odd{-0.0, std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity(),
                                  std::bit_cast<double>(std::uint64_t{0x7FF0000000000123}),  // signalling payload
                                  std::bit_cast<double>(std::uint64_t{0xFFF8000000000000}),  // negative NaN
                                  std::numeric_limits<double>::denorm_min(), 0.0};
    const std::vector<ColumnInput> inputs{{false, odd, {}}, {false, std::vector<double>(odd.rbegin(), odd.rend()), {}}};
    const Encoded out = encode(GetParam(), gather(odd.size(), inputs));
    EXPECT_TRUE(matches_model(out, odd.size(), inputs));
    EXPECT_TRUE(out.info.string_columns.empty());
    EXPECT_EQ(out.info.text_to_code.size(), 0u);
}

TEST_P(EncodeObjectArray, EmptyTablesGiveAnEmptyInfo) {
    for (const auto& [rows, inputs] : std::vector<std::pair<std::size_t, std::vector<ColumnInput>>>{
             {0, {}}, {5, {}}, {0, {{false, {}, {}}, {false, {}, {}}}}}) {
        const Encoded out = encode(GetParam(), gather(rows, inputs));
        EXPECT_TRUE(matches_model(out, rows, inputs));
        EXPECT_TRUE(out.info.string_columns.empty());
        EXPECT_EQ(out.info.code_to_text.size(), 0u);
    }
}

TEST_P(EncodeObjectArray, AllMarkerColumnHasAnEmptyInverseButIsListed) {
    const std::vector<ColumnInput> inputs{{true, {}, {"nan", "<NA>", "nan", "NaN"}}};
    const Encoded out = encode(GetParam(), gather(4, inputs));
    EXPECT_TRUE(matches_model(out, 4, inputs));
    EXPECT_EQ(out.info.string_columns, std::vector<ColumnIndex>{0});
    EXPECT_TRUE(testing::map_of(out.info.code_to_text, 0).empty());
    EXPECT_EQ(testing::map_of(out.info.text_to_code, 0).size(), 3u);
}

TEST_P(EncodeObjectArray, KeysArePositionsInTheWholeTable) {
    const std::vector<ColumnInput> inputs{{false, {1, 2}, {}}, {true, {}, {"x", "y"}},
                                        {false, {3, 4}, {}}, {true, {}, {"q", "q"}}};
    const Encoded out = encode(GetParam(), gather(2, inputs));
    EXPECT_TRUE(matches_model(out, 2, inputs));
    EXPECT_EQ(out.info.string_columns, (std::vector<ColumnIndex>{1, 3}));
}

TEST_P(EncodeObjectArray, RandomTablesMatchTheModel) {
    std::mt19937_64 random(99);
    for (const std::size_t rows : {1u, 17u, 2500u, 30000u}) {
        for (const std::size_t cols : {1u, 3u, 9u}) {
            std::vector<ColumnInput> inputs(cols);
            for (std::size_t c = 0; c < cols; ++c) {
                inputs[c].is_string = random() % 3 != 0;
                if (inputs[c].is_string) {
                    inputs[c].texts = testing::random_texts(rows, 1 + random() % 5000, random());
                } else {
                    for (std::size_t r = 0; r < rows; ++r) {
                        inputs[c].numbers.push_back(std::bit_cast<double>(random()));
                    }
                }
            }
            ASSERT_TRUE(matches_model(encode(GetParam(), gather(rows, inputs)), rows, inputs))
                << rows << " x " << cols;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Workers, EncodeObjectArray, ::testing::Values(1, 2, 8));

TEST(EncodeObjectArrayGlobalPool, RunsFromAThreadOutsideThePool) {
    const std::vector<ColumnInput> inputs{{true, {}, {"b", "a", "b"}}};
    const GatheredColumns gathered = gather(3, inputs);
    std::vector<double> matrix(3, 0.0);
    EncodingInfo info = encode_object_array(gathered, matrix.data());
    EXPECT_TRUE(matches_model(Encoded{matrix, std::move(info)}, 3, inputs));
}

}  // namespace
}  // namespace quorix
