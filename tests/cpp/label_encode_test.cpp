// label_encode against a plain std::map model, on worked examples, byte-order
// corners, markers, edge sizes and random columns, for both strategies and
// several worker counts.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "engine_test_support.hpp"
#include "engine/label_encode.hpp"

namespace quorix {
namespace {

using testing::column_of;
using testing::matches_reference;
using testing::run_on;

using Strategy = LabelEncoding (*)(const TextColumn&);

struct NamedStrategy {
    const char* name;
    Strategy strategy;
};

const NamedStrategy strategies[] = {{"chosen", &label_encode},
                           {"sorting", &label_encode_strategies::by_sorting},
                           {"hashing", &label_encode_strategies::by_hashing}};

// (strategy, workers)
class LabelEncode : public ::testing::TestWithParam<std::tuple<NamedStrategy, std::size_t>> {
protected:
    LabelEncoding encode(const std::vector<std::string>& texts) const {
        const TextColumn column = column_of(texts);
        const Strategy strategy = std::get<0>(GetParam()).strategy;
        return run_on(std::get<1>(GetParam()), [&] { return strategy(column); });
    }
};

std::optional<Code> code(const LabelEncoding& encoding, std::string_view text) {
    return encoding.text_to_code.at(std::string(text));
}

TEST_P(LabelEncode, WorkedExample) {
    const auto encoded = encode({"b", "a", "nan", "c", "a", "", "<NA>"});
    EXPECT_EQ(encoded.text_to_code.size(), 6u);
    EXPECT_EQ(code(encoded, ""), 0u);
    EXPECT_EQ(code(encoded, "<NA>"), std::nullopt);
    EXPECT_EQ(code(encoded, "a"), 1u);
    EXPECT_EQ(code(encoded, "b"), 2u);
    EXPECT_EQ(code(encoded, "c"), 3u);
    EXPECT_EQ(code(encoded, "nan"), std::nullopt);
    const double nan = missing_code();
    EXPECT_TRUE(testing::same_codes(encoded.codes, std::vector<double>{2, 1, nan, 3, 1, 0, nan}));
}

TEST_P(LabelEncode, ByteWiseOrderCorners) {
    const std::vector<std::vector<std::string>> columns{
        {"9", "10"},                           // '1' < '9'
        {"apple", "Zebra"},                    // upper case before lower case
        {"a", "NaN", "b"},                     // markers sort among texts, use no code
        {"m", "nan", "o"},                     // 'm' 0, 'o' 1
        {"\xc3\xa9", "z", "\x7f"},             // non-ASCII after all ASCII
        {"", " ", "a"},                        // the empty text first
        {std::string("a\0b", 3), "a", std::string("a\0", 2), "a\x01"},  // NUL inside texts
        {"\xf0\x9f\x98\x80", "\xe2\x82\xac", "\xc3\xa9"},  // code-point order among non-ASCII
        {"NAN", "None", "NA", "null", "nan ", " nan", "Nan", "<na>"},  // not markers
        {"abc", "ab", "abcd", "abcdefghij", "abcdefgh", "abcdefghi"},  // prefixes, eight-byte border
    };
    for (const auto& texts : columns) EXPECT_TRUE(matches_reference(encode(texts), texts));
    EXPECT_LT(*code(encode({"9", "10"}), "10"), *code(encode({"9", "10"}), "9"));
    EXPECT_EQ(code(encode({"m", "nan", "o"}), "o"), 1u);
}

TEST_P(LabelEncode, EdgeSizes) {
    const auto empty = encode({});
    EXPECT_TRUE(empty.codes.empty());
    EXPECT_TRUE(empty.text_to_code.empty());

    const std::vector<std::string> repeated(5000, "x");
    const auto same = encode(repeated);
    EXPECT_EQ(same.text_to_code.size(), 1u);
    EXPECT_EQ(code(same, "x"), 0u);
    EXPECT_TRUE(testing::same_codes(same.codes, std::vector<double>(5000, 0.0)));

    std::vector<std::string> markers;
    for (std::size_t r = 0; r < 9000; ++r) markers.push_back(r % 2 ? "nan" : "<NA>");
    const auto only_markers = encode(markers);
    EXPECT_TRUE(matches_reference(only_markers, markers));
    EXPECT_EQ(only_markers.text_to_code.size(), 2u);  // "NaN" did not occur
    for (const double c : only_markers.codes) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(c), 0x7FF8000000000000u);
    }
}

TEST_P(LabelEncode, RandomColumnsMatchTheModel) {
    for (const std::size_t rows : {1u, 50u, 3000u, 40000u}) {
        for (const std::size_t distinct : {1u, 12u, 1000u, 100000u}) {
            const auto texts = testing::random_texts(rows, distinct, rows * 7919 + distinct);
            ASSERT_TRUE(matches_reference(encode(texts), texts))
                << rows << " rows, " << distinct << " candidates";
        }
    }
}

// Columns large enough for the sort of the distinct texts to take several
// byte passes, in parallel blocks: long shared prefixes, texts that are
// prefixes of others (also only by trailing NULs, which the zero-padded
// heads cannot tell apart), NUL and non-ASCII bytes, all equal, all distinct.
TEST_P(LabelEncode, ManyDistinctTextsOfAwkwardShapes) {
    std::mt19937_64 random(11);
    const std::string alphabet = std::string("a\0\x01Nn<\x7f\x80\xc3\xa9\xff", 11);
    const auto tail = [&](std::size_t max_length) {
        std::string text(random() % (max_length + 1), ' ');
        for (char& c : text) c = alphabet[random() % alphabet.size()];
        return text;
    };
    const std::string prefix(100, 'p');
    std::vector<std::vector<std::string>> columns(7);
    for (std::size_t r = 0; r < 90000; ++r) {
        columns[0].push_back(prefix + tail(6));             // one shared 100-byte prefix
        columns[1].push_back(std::string(random() % 24, '\0') + tail(3));
        columns[2].push_back(tail(20));                      // awkward bytes, lengths across the heads
        columns[3].push_back(r % 3 ? std::string(18, '\xff') : std::string(17, '\xff'));  // two values
        char number[24];
        std::snprintf(number, sizeof number, "%zu", (r * 7919) % 90000);  // all distinct, prefixes of others
        columns[4].push_back(number);
        // Shared beginnings long enough to be skipped, with texts that end
        // inside, at and beyond the head after them, many repeated.
        columns[5].push_back(std::string(12, 'q') + tail(24));
        columns[6].push_back(prefix + std::to_string(r % 5000) + tail(r % 7 == 0 ? 30 : 0));
    }
    for (std::size_t r = 0; r < 3000; ++r) columns[1][r * 30] = r % 2 ? "nan" : "NaN";  // markers too
    for (const auto& texts : columns) EXPECT_TRUE(matches_reference(encode(texts), texts));
}

INSTANTIATE_TEST_SUITE_P(
    StrategiesAndWorkers, LabelEncode,
    ::testing::Combine(::testing::ValuesIn(strategies), ::testing::Values(1, 2, 8)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_W" +
               std::to_string(std::get<1>(info.param));
    });

TEST(LabelEncodeLarge, AMillionDistinctTextsGiveTheRowOrderOfTheirSortedPositions) {
    // Zero-padded numbers: byte order is numeric order, so row r gets code
    // (its number), and rows are shuffled to make the sort work.
    constexpr std::size_t n = 1'000'000;
    std::vector<std::size_t> numbers(n);
    std::iota(numbers.begin(), numbers.end(), 0);
    std::shuffle(numbers.begin(), numbers.end(), std::mt19937_64(42));
    TextColumn column;
    char text[16];
    for (const std::size_t number : numbers) {
        std::snprintf(text, sizeof text, "%07zu", number);
        column.push_back(text);
    }
    for (const NamedStrategy& strategy : strategies) {
        const auto encoded = run_on(2, [&] { return strategy.strategy(column); });
        ASSERT_EQ(encoded.text_to_code.size(), n) << strategy.name;
        for (std::size_t r = 0; r < n; ++r) {
            ASSERT_EQ(encoded.codes[r], static_cast<double>(numbers[r])) << strategy.name << " row " << r;
        }
        EXPECT_EQ(encoded.text_to_code.at("0000000"), 0u);
        EXPECT_EQ(encoded.text_to_code.at("0999999"), 999999u);
    }
}

TEST(LabelEncodeLarge, StrategiesAgreeOnABigColumnWithFewValues) {
    const auto texts = testing::random_texts(300000, 100, 5);
    const TextColumn column = column_of(texts);
    for (const std::size_t workers : testing::worker_counts()) {
        EXPECT_TRUE(matches_reference(run_on(workers, [&] { return label_encode(column); }), texts));
    }
}

}  // namespace
}  // namespace quorix
