// Columns read in place (category codes into a dictionary, Arrow chunks)
// encode exactly as the same texts copied row by row, for every worker count;
// numbers read from a buffer fill the matrix as copied numbers do.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine_test_support.hpp"
#include "engine/encode_object_array.hpp"

namespace quorix {
namespace {

using testing::Encoded;
using testing::same_bits;

void expect_same(const Encoded& actual, const Encoded& expected) {
    ASSERT_EQ(actual.matrix.size(), expected.matrix.size());
    for (std::size_t i = 0; i < actual.matrix.size(); ++i) {
        ASSERT_TRUE(same_bits(actual.matrix[i], expected.matrix[i])) << "cell " << i;
    }
    EXPECT_EQ(actual.info.string_columns, expected.info.string_columns);
    for (ColumnIndex c : expected.info.string_columns) {
        const TextToCode& want = testing::map_of(expected.info.text_to_code, c);
        const TextToCode& got = testing::map_of(actual.info.text_to_code, c);
        ASSERT_EQ(got.size(), want.size()) << "column " << c;
        for (const auto& [text, code] : want) {
            const auto entry = got.find(text);
            ASSERT_TRUE(entry != got.end()) << text;
            EXPECT_EQ(entry->second, code) << text;
        }
        EXPECT_EQ(testing::map_of(actual.info.code_to_text, c).size(), testing::map_of(expected.info.code_to_text, c).size());
    }
}

TEST(TextColumn, DictionaryColumnsEncodeAsTheirRows) {
    std::mt19937_64 random(8);
    const std::vector<std::string> pool = {"b", "a", "nan", "", "<NA>", "zz", "a longer category text", "c"};
    for (int trial = 0; trial < 60; ++trial) {
        const std::size_t rows = random() % 3 == 0 ? random() % 5 : 5000 + random() % 20000;
        std::vector<std::string_view> categories(pool.begin(), pool.begin() + 1 + random() % pool.size());
        if (random() % 2 == 0) std::sort(categories.begin(), categories.end());  // as pandas keeps them
        std::vector<std::int16_t> codes(rows);
        const bool all_missing = random() % 8 == 0;
        for (auto& code : codes) {
            code = all_missing || random() % 10 == 0 ? -1 : static_cast<std::int16_t>(random() % categories.size());
        }
        std::size_t first_valid = 0;
        while (first_valid < rows && codes[first_valid] < 0) ++first_valid;
        const bool na = random() % 2 == 0;
        const std::string before = na ? "<NA>" : "NaN", after = na ? "<NA>" : "nan";

        GatheredColumns in_place(rows, 2), copied(rows, 2);
        in_place.columns[0].is_string = copied.columns[0].is_string = true;
        CategoryCodes copied_codes(2, rows);
        for (std::size_t r = 0; r < rows; ++r) copied_codes.set(r, codes[r]);
        in_place.columns[0].texts.assign_dictionary(std::move(copied_codes), categories, before, after, first_valid);
        std::vector<double> numbers(rows);
        for (std::size_t r = 0; r < rows; ++r) {
            copied.columns[0].texts.push_back(codes[r] < 0 ? (r < first_valid ? before : after)
                                                           : std::string(categories[codes[r]]));
            numbers[r] = static_cast<double>(static_cast<std::int32_t>(random()));
        }
        in_place.columns[1].number_source = {NumberSource::Type::kInt32, nullptr, 0, nullptr, 0};
        std::vector<std::int32_t> ints(numbers.begin(), numbers.end());
        in_place.columns[1].number_source.data = reinterpret_cast<const char*>(ints.data());
        in_place.columns[1].number_source.stride = 4;
        copied.columns[1].numbers = numbers;
        const Encoded expected = testing::encode(1, copied);
        for (std::size_t workers : testing::worker_counts()) expect_same(testing::encode(workers, in_place), expected);
    }
}

TEST(TextColumn, ArrowChunksEncodeAsTheirRows) {
    // Two chunks of a large_string array, the second sliced, with nulls.
    const std::vector<std::string> texts = {"x", "", "y", "nan", "x", "w", "y", "q"};
    std::vector<std::int64_t> offsets = {0};
    std::string data;
    for (const auto& text : texts) {
        data += text;
        offsets.push_back(static_cast<std::int64_t>(data.size()));
    }
    const std::uint8_t validity = 0b11011010;  // rows 0, 2 and 5 null
    const void* buffers[3] = {&validity, offsets.data(), data.data()};
    ArrowSchema schema{};
    schema.format = "U";
    ArrowArray first{}, second{};
    first.length = 4, first.null_count = 2, first.n_buffers = 3, first.buffers = buffers;
    second = first;
    second.offset = 5, second.length = 3, second.null_count = 1;
    first.release = second.release = [](ArrowArray*) {};
    std::vector<arrow::TextArray> chunks;
    for (const ArrowArray* array : {&first, &second}) {
        const arrow::OpenedTextArray opened = arrow::open_text_array(schema, *array);
        ASSERT_EQ(opened.status, arrow::OpenStatus::kOk) << opened.error;
        chunks.push_back(opened.array);
    }
    GatheredColumns in_place(7, 1), copied(7, 1);
    in_place.columns[0].is_string = copied.columns[0].is_string = true;
    in_place.columns[0].texts.assign_arrow(chunks, "NaN", "nan", 1);
    for (const char* text : {"NaN", "", "nan", "nan", "nan", "y", "q"}) copied.columns[0].texts.push_back(text);
    for (std::size_t r = 0; r < 7; ++r) EXPECT_EQ(in_place.columns[0].texts[r], copied.columns[0].texts[r]) << r;
    const Encoded expected = testing::encode(1, copied);
    for (std::size_t workers : testing::worker_counts()) expect_same(testing::encode(workers, in_place), expected);
}

}  // namespace
}  // namespace quorix
