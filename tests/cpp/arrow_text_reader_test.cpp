// The Arrow text reader against hand-built arrays: every layout, sliced and
// with nulls, read back as built; broken arrays refused with a message.
#include "engine/arrow_text_reader.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace quorix::arrow {
namespace {

using Cell = std::optional<std::string>;

// An array owning its buffers, built the way a producer would lay it out.
struct BuiltArray {
    std::string format;
    std::vector<std::uint8_t> validity, offsets, data, sizes;
    std::vector<std::vector<std::uint8_t>> variadic;
    std::vector<const void*> buffers;
    std::vector<std::int64_t> buffer_sizes;
    ArrowSchema schema{};
    ArrowArray array{};

    static void no_release(ArrowArray*) {}

    BuiltArray(const std::vector<Cell>& cells, TextLayout layout, std::int64_t offset) {
        format = layout == TextLayout::kString ? "u" : layout == TextLayout::kLargeString ? "U" : "vu";
        const std::size_t total = cells.size() + static_cast<std::size_t>(offset);
        validity.assign((total + 7) / 8, 0);
        std::int64_t nulls = 0;
        auto append = [](std::vector<std::uint8_t>& to, auto value) {
            const auto at = to.size();
            to.resize(at + sizeof value);
            std::memcpy(to.data() + at, &value, sizeof value);
        };
        if (layout != TextLayout::kStringView) {
            for (std::size_t i = 0; i <= total; ++i) {
                const std::size_t row = i < static_cast<std::size_t>(offset) ? 0 : i - offset;
                if (i > static_cast<std::size_t>(offset) && cells[row - 1]) {
                    data.insert(data.end(), cells[row - 1]->begin(), cells[row - 1]->end());
                }
                if (layout == TextLayout::kString) {
                    append(offsets, static_cast<std::int32_t>(data.size()));
                } else {
                    append(offsets, static_cast<std::int64_t>(data.size()));
                }
            }
        } else {
            variadic.emplace_back();
            for (std::size_t i = 0; i < total; ++i) {
                const Cell cell = i < static_cast<std::size_t>(offset) ? Cell("") : cells[i - offset];
                const std::string text = cell.value_or("");
                std::uint8_t view[16] = {};
                const auto length = static_cast<std::int32_t>(text.size());
                std::memcpy(view, &length, 4);
                if (text.size() <= 12) {
                    std::memcpy(view + 4, text.data(), text.size());
                } else {
                    std::memcpy(view + 4, text.data(), 4);
                    const std::int32_t buffer = 0, at = static_cast<std::int32_t>(variadic[0].size());
                    std::memcpy(view + 8, &buffer, 4);
                    std::memcpy(view + 12, &at, 4);
                    variadic[0].insert(variadic[0].end(), text.begin(), text.end());
                }
                offsets.insert(offsets.end(), view, view + 16);
            }
            append(sizes, static_cast<std::int64_t>(variadic[0].size()));
        }
        for (std::size_t i = 0; i < total; ++i) {
            const bool valid = i < static_cast<std::size_t>(offset) || cells[i - offset].has_value();
            if (valid) validity[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
            if (!valid) ++nulls;
        }
        if (layout != TextLayout::kStringView) {
            buffers = {validity.data(), offsets.data(), data.data()};
            buffer_sizes = {static_cast<std::int64_t>(validity.size()), static_cast<std::int64_t>(offsets.size()),
                            static_cast<std::int64_t>(data.size())};
        } else {
            buffers = {validity.data(), offsets.data(), variadic[0].data(), sizes.data()};
            buffer_sizes = {static_cast<std::int64_t>(validity.size()), static_cast<std::int64_t>(offsets.size()),
                            static_cast<std::int64_t>(variadic[0].size()), static_cast<std::int64_t>(sizes.size())};
        }
        schema.format = format.c_str();
        array.length = static_cast<std::int64_t>(cells.size());
        array.null_count = nulls;
        array.offset = offset;
        array.n_buffers = static_cast<std::int64_t>(buffers.size());
        array.buffers = buffers.data();
        array.release = &no_release;
    }

    OpenedTextArray open(bool with_sizes = true) const {
        return open_text_array(schema, array, with_sizes ? std::span<const std::int64_t>(buffer_sizes)
                                                         : std::span<const std::int64_t>());
    }
};

std::vector<Cell> read_back(const TextArray& array) {
    std::vector<Cell> cells;
    for (std::size_t r = 0; r < array.size(); ++r) {
        cells.push_back(array.is_null(r) ? Cell() : Cell(std::string(array.text(r))));
    }
    return cells;
}

TEST(ArrowTextReader, ReadsEveryLayoutSlicedWithNulls) {
    std::mt19937_64 random(8);
    for (TextLayout layout : {TextLayout::kString, TextLayout::kLargeString, TextLayout::kStringView}) {
        for (int trial = 0; trial < 200; ++trial) {
            std::vector<Cell> cells(random() % 40);
            for (Cell& cell : cells) {
                if (random() % 5 == 0) continue;
                cell = std::string(random() % 20, static_cast<char>('a' + random() % 26));
            }
            const std::int64_t offset = static_cast<std::int64_t>(random() % 11);
            for (bool with_sizes : {true, false}) {
                BuiltArray built(cells, layout, offset);
                if (random() % 2 == 0) built.array.null_count = -1;
                const OpenedTextArray opened = built.open(with_sizes);
                ASSERT_EQ(opened.status, OpenStatus::kOk) << opened.error;
                EXPECT_EQ(read_back(opened.array), cells);
            }
        }
    }
}

void expect_refused(const BuiltArray& built, OpenStatus status, const std::string& error, bool with_sizes = true) {
    const OpenedTextArray opened = built.open(with_sizes);
    EXPECT_EQ(opened.status, status);
    EXPECT_NE(opened.error.find(error), std::string::npos) << opened.error;
}

TEST(ArrowTextReader, RefusesBrokenArrays) {
    const std::vector<Cell> cells = {Cell("alpha"), Cell(), Cell("a text longer than twelve"), Cell("")};
    for (TextLayout layout : {TextLayout::kString, TextLayout::kLargeString}) {
        BuiltArray decreasing(cells, layout, 1);
        const std::size_t width = layout == TextLayout::kString ? 4 : 8;
        std::memset(decreasing.offsets.data() + 3 * width, 0, width);
        expect_refused(decreasing, OpenStatus::kMalformed, "offsets decrease at row 1", false);

        BuiltArray past_data(cells, layout, 0);
        past_data.buffer_sizes[2] -= 1;
        expect_refused(past_data, OpenStatus::kMalformed, "offsets run past the data");

        BuiltArray short_offsets(cells, layout, 0);
        short_offsets.buffer_sizes[1] -= 1;
        expect_refused(short_offsets, OpenStatus::kMalformed, "offsets buffer too short");

        BuiltArray negative(cells, layout, 0);
        std::memset(negative.offsets.data(), 0xFF, width);
        expect_refused(negative, OpenStatus::kMalformed, "negative offset", false);
    }
    for (TextLayout layout : {TextLayout::kString, TextLayout::kStringView}) {
        BuiltArray short_validity(std::vector<Cell>(20, Cell("x")), layout, 0);
        short_validity.buffer_sizes[0] = 2;
        expect_refused(short_validity, OpenStatus::kMalformed, "validity buffer too short");

        BuiltArray wrong_count(cells, layout, 0);
        wrong_count.array.null_count = 2;
        expect_refused(wrong_count, OpenStatus::kMalformed, "null count 2 but 1 rows are null", false);

        BuiltArray no_validity(cells, layout, 0);
        no_validity.buffers[0] = nullptr;
        expect_refused(no_validity, OpenStatus::kMalformed, "null rows without a validity buffer", false);

        BuiltArray too_long(cells, layout, 0);
        too_long.array.length = 1LL << 62;
        too_long.array.offset = 1LL << 62;
        expect_refused(too_long, OpenStatus::kMalformed, "offset and length out of range", false);

        BuiltArray buffers(cells, layout, 0);
        buffers.array.n_buffers = 2;
        expect_refused(buffers, OpenStatus::kMalformed, "wrong number of buffers", false);
    }
    BuiltArray view_past(cells, TextLayout::kStringView, 0);
    std::int32_t at = 5;
    std::memcpy(view_past.offsets.data() + 2 * 16 + 12, &at, 4);
    expect_refused(view_past, OpenStatus::kMalformed, "view runs past its buffer at row 2", false);

    BuiltArray view_index(cells, TextLayout::kStringView, 0);
    std::int32_t buffer = 1;
    std::memcpy(view_index.offsets.data() + 2 * 16 + 8, &buffer, 4);
    expect_refused(view_index, OpenStatus::kMalformed, "view buffer index out of range at row 2", false);

    BuiltArray binary(cells, TextLayout::kString, 0);
    binary.schema.format = "z";
    expect_refused(binary, OpenStatus::kUnsupported, "unsupported Arrow format 'z'");
    ArrowSchema values{};
    binary.schema.dictionary = &values;
    binary.schema.format = "u";
    expect_refused(binary, OpenStatus::kUnsupported, "dictionary-encoded");
}

TEST(ArrowTextReader, EmptyArrayNeedsNoBuffers) {
    BuiltArray empty({}, TextLayout::kString, 0);
    empty.buffers = {nullptr, nullptr, nullptr};
    const OpenedTextArray opened = empty.open(false);
    ASSERT_EQ(opened.status, OpenStatus::kOk) << opened.error;
    EXPECT_EQ(opened.array.size(), 0u);
}

}  // namespace
}  // namespace quorix::arrow
