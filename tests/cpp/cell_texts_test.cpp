// The texts of NumPy's fixed-width cells against what Python itself gives
// (str() of the cell, as UTF-8 with lone surrogates repaired; repr() of
// bytes), and the block-by-block label encoding against label_encode.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine_test_support.hpp"
#include "engine/label_encode.hpp"
#include "engine/label_encode_blocks.hpp"
#include "engine/ucs4_utf8.hpp"

namespace quorix {
namespace {

using namespace std::string_view_literals;

std::string utf8_of(const std::vector<std::uint32_t>& units, bool swapped) {
    std::vector<char> cell(units.size() * 4);
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::uint32_t unit = swapped ? __builtin_bswap32(units[i]) : units[i];
        std::memcpy(cell.data() + 4 * i, &unit, 4);
    }
    std::string out(units.size() * kUtf8PerUnit, '\0');
    const std::size_t written = ucs4_to_utf8(cell.data(), units.size(), swapped, out.data());
    if (written == kNotText) return "<not text>";
    out.resize(written);
    return out;
}

std::string repr_of(std::string_view bytes) {
    std::string out(bytes_repr_capacity(bytes.size()), '\0');
    out.resize(bytes_repr(bytes, out.data()));
    return out;
}

TEST(CellTexts, Ucs4AsPythonWritesIt) {
    // Expected: str.encode("utf-8", "surrogatepass").decode("utf-8", "replace").
    const std::vector<std::pair<std::vector<std::uint32_t>, std::string_view>> cases = {
        {{0x41, 0xe9, 0x20ac, 0x1f600}, "\x41\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"sv},
        {{0xd800}, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
        {{0x61, 0xdfff, 0x62}, "\x61\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\x62"sv},
        {{0x7f, 0x80, 0x7ff, 0x800, 0xffff, 0x10000, 0x10ffff}, "\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"sv},
        {{0x0, 0x41}, "\x00\x41"sv},
        {{}, ""sv},
    };
    for (const auto& [units, expected] : cases) {
        EXPECT_EQ(utf8_of(units, false), expected);
        EXPECT_EQ(utf8_of(units, true), expected);
    }
    EXPECT_EQ(utf8_of({0x41, 0x110000}, false), "<not text>");
    EXPECT_EQ(utf8_of({0xFFFFFFFF}, true), "<not text>");
}

TEST(CellTexts, BytesReprAsPythonWritesIt) {
    const std::vector<std::pair<std::string_view, std::string_view>> cases = {
        {""sv, "\x62\x27\x27"sv},
        {"\x69\x74\x27\x73"sv, "\x62\x22\x69\x74\x27\x73\x22"sv},
        {"\x73\x61\x79\x20\x22\x68\x69\x22"sv, "\x62\x27\x73\x61\x79\x20\x22\x68\x69\x22\x27"sv},
        {"\x27\x22"sv, "\x62\x27\x5c\x27\x22\x27"sv},
        {"\x61\x5c\x62\x00\x7f\x80\xff\x09\x0a\x0d"sv, "\x62\x27\x61\x5c\x5c\x62\x5c\x78\x30\x30\x5c\x78\x37\x66\x5c\x78\x38\x30\x5c\x78\x66\x66\x5c\x74\x5c\x6e\x5c\x72\x27"sv},
    };
    for (const auto& [bytes, expected] : cases) EXPECT_EQ(repr_of(bytes), expected);
    // repr(bytes([i])) for every byte, each followed by a NUL.
    const std::string_view every_byte =
        "b'\x5cx00'\x00\x62'\x5cx01'\x00\x62'\x5cx02'\x00\x62'\x5cx03'\x00\x62'\x5cx04'\x00\x62'\x5cx05'\x00\x62'"
        "\x5cx06'\x00\x62'\x5cx07'\x00\x62'\x5cx08'\x00\x62'\x5ct'\x00\x62'\x5cn'\x00\x62'\x5cx0b'\x00\x62'\x5cx"
        "0c'\x00\x62'\x5cr'\x00\x62'\x5cx0e'\x00\x62'\x5cx0f'\x00\x62'\x5cx10'\x00\x62'\x5cx11'\x00\x62'\x5cx"
        "12'\x00\x62'\x5cx13'\x00\x62'\x5cx14'\x00\x62'\x5cx15'\x00\x62'\x5cx16'\x00\x62'\x5cx17'\x00\x62'\x5cx"
        "18'\x00\x62'\x5cx19'\x00\x62'\x5cx1a'\x00\x62'\x5cx1b'\x00\x62'\x5cx1c'\x00\x62'\x5cx1d'\x00\x62'\x5cx"
        "1e'\x00\x62'\x5cx1f'\x00\x62' '\x00\x62'!'\x00\x62'\x22'\x00\x62'#'\x00\x62'$'\x00\x62'%'\x00\x62'&'"
        "\x00\x62\x22'\x22\x00\x62'('\x00\x62')'\x00\x62'*'\x00\x62'+'\x00\x62','\x00\x62'-'\x00\x62'.'\x00\x62'"
        "/'\x00\x62'0'\x00\x62'1'\x00\x62'2'\x00\x62'3'\x00\x62'4'\x00\x62'5'\x00\x62'6'\x00\x62'7'\x00\x62'8"
        "'\x00\x62'9'\x00\x62':'\x00\x62';'\x00\x62'<'\x00\x62'='\x00\x62'>'\x00\x62'\x3f'\x00\x62'@'\x00\x62'"
        "A'\x00\x62'B'\x00\x62'C'\x00\x62'D'\x00\x62'E'\x00\x62'F'\x00\x62'G'\x00\x62'H'\x00\x62'I'\x00\x62'J"
        "'\x00\x62'K'\x00\x62'L'\x00\x62'M'\x00\x62'N'\x00\x62'O'\x00\x62'P'\x00\x62'Q'\x00\x62'R'\x00\x62'S'"
        "\x00\x62'T'\x00\x62'U'\x00\x62'V'\x00\x62'W'\x00\x62'X'\x00\x62'Y'\x00\x62'Z'\x00\x62'['\x00\x62'\x5c\x5c"
        "'\x00\x62']'\x00\x62'^'\x00\x62'_'\x00\x62'`'\x00\x62'a'\x00\x62'b'\x00\x62'c'\x00\x62'd'\x00\x62'e'"
        "\x00\x62'f'\x00\x62'g'\x00\x62'h'\x00\x62'i'\x00\x62'j'\x00\x62'k'\x00\x62'l'\x00\x62'm'\x00\x62'n'\x00\x62"
        "'o'\x00\x62'p'\x00\x62'q'\x00\x62'r'\x00\x62's'\x00\x62't'\x00\x62'u'\x00\x62'v'\x00\x62'w'\x00\x62'"
        "x'\x00\x62'y'\x00\x62'z'\x00\x62'{'\x00\x62'|'\x00\x62'}'\x00\x62'~'\x00\x62'\x5cx7f'\x00\x62'\x5cx8"
        "0'\x00\x62'\x5cx81'\x00\x62'\x5cx82'\x00\x62'\x5cx83'\x00\x62'\x5cx84'\x00\x62'\x5cx85'\x00\x62'\x5cx"
        "86'\x00\x62'\x5cx87'\x00\x62'\x5cx88'\x00\x62'\x5cx89'\x00\x62'\x5cx8a'\x00\x62'\x5cx8b'\x00\x62'\x5cx"
        "8c'\x00\x62'\x5cx8d'\x00\x62'\x5cx8e'\x00\x62'\x5cx8f'\x00\x62'\x5cx90'\x00\x62'\x5cx91'\x00\x62'\x5cx"
        "92'\x00\x62'\x5cx93'\x00\x62'\x5cx94'\x00\x62'\x5cx95'\x00\x62'\x5cx96'\x00\x62'\x5cx97'\x00\x62'\x5cx"
        "98'\x00\x62'\x5cx99'\x00\x62'\x5cx9a'\x00\x62'\x5cx9b'\x00\x62'\x5cx9c'\x00\x62'\x5cx9d'\x00\x62'\x5cx"
        "9e'\x00\x62'\x5cx9f'\x00\x62'\x5cxa0'\x00\x62'\x5cxa1'\x00\x62'\x5cxa2'\x00\x62'\x5cxa3'\x00\x62'\x5cx"
        "a4'\x00\x62'\x5cxa5'\x00\x62'\x5cxa6'\x00\x62'\x5cxa7'\x00\x62'\x5cxa8'\x00\x62'\x5cxa9'\x00\x62'\x5cx"
        "aa'\x00\x62'\x5cxab'\x00\x62'\x5cxac'\x00\x62'\x5cxad'\x00\x62'\x5cxae'\x00\x62'\x5cxaf'\x00\x62'\x5cx"
        "b0'\x00\x62'\x5cxb1'\x00\x62'\x5cxb2'\x00\x62'\x5cxb3'\x00\x62'\x5cxb4'\x00\x62'\x5cxb5'\x00\x62'\x5cx"
        "b6'\x00\x62'\x5cxb7'\x00\x62'\x5cxb8'\x00\x62'\x5cxb9'\x00\x62'\x5cxba'\x00\x62'\x5cxbb'\x00\x62'\x5cx"
        "bc'\x00\x62'\x5cxbd'\x00\x62'\x5cxbe'\x00\x62'\x5cxbf'\x00\x62'\x5cxc0'\x00\x62'\x5cxc1'\x00\x62'\x5cx"
        "c2'\x00\x62'\x5cxc3'\x00\x62'\x5cxc4'\x00\x62'\x5cxc5'\x00\x62'\x5cxc6'\x00\x62'\x5cxc7'\x00\x62'\x5cx"
        "c8'\x00\x62'\x5cxc9'\x00\x62'\x5cxca'\x00\x62'\x5cxcb'\x00\x62'\x5cxcc'\x00\x62'\x5cxcd'\x00\x62'\x5cx"
        "ce'\x00\x62'\x5cxcf'\x00\x62'\x5cxd0'\x00\x62'\x5cxd1'\x00\x62'\x5cxd2'\x00\x62'\x5cxd3'\x00\x62'\x5cx"
        "d4'\x00\x62'\x5cxd5'\x00\x62'\x5cxd6'\x00\x62'\x5cxd7'\x00\x62'\x5cxd8'\x00\x62'\x5cxd9'\x00\x62'\x5cx"
        "da'\x00\x62'\x5cxdb'\x00\x62'\x5cxdc'\x00\x62'\x5cxdd'\x00\x62'\x5cxde'\x00\x62'\x5cxdf'\x00\x62'\x5cx"
        "e0'\x00\x62'\x5cxe1'\x00\x62'\x5cxe2'\x00\x62'\x5cxe3'\x00\x62'\x5cxe4'\x00\x62'\x5cxe5'\x00\x62'\x5cx"
        "e6'\x00\x62'\x5cxe7'\x00\x62'\x5cxe8'\x00\x62'\x5cxe9'\x00\x62'\x5cxea'\x00\x62'\x5cxeb'\x00\x62'\x5cx"
        "ec'\x00\x62'\x5cxed'\x00\x62'\x5cxee'\x00\x62'\x5cxef'\x00\x62'\x5cxf0'\x00\x62'\x5cxf1'\x00\x62'\x5cx"
        "f2'\x00\x62'\x5cxf3'\x00\x62'\x5cxf4'\x00\x62'\x5cxf5'\x00\x62'\x5cxf6'\x00\x62'\x5cxf7'\x00\x62'\x5cx"
        "f8'\x00\x62'\x5cxf9'\x00\x62'\x5cxfa'\x00\x62'\x5cxfb'\x00\x62'\x5cxfc'\x00\x62'\x5cxfd'\x00\x62'\x5cx"
        "fe'\x00\x62'\x5cxff'\x00"
        ""sv;
    std::size_t at = 0;
    for (int byte = 0; byte < 256; ++byte) {
        const std::size_t end = every_byte.find('\0', at);
        const char cell = static_cast<char>(byte);
        EXPECT_EQ(repr_of(std::string_view(&cell, 1)), every_byte.substr(at, end - at)) << byte;
        at = end + 1;
    }
}

// Texts handed out a block at a time from scratch that the next block
// overwrites, as the array readers do.
class ScratchBlocks final : public TextBlocks {
public:
    ScratchBlocks(const std::vector<std::string>& texts, std::size_t block) : texts_(texts), block_(block) {}
    std::size_t block_rows() const noexcept override { return block_; }
    bool read(std::size_t begin, std::size_t end, std::string_view* out) override {
        scratch_.assign(block_, std::string());
        for (std::size_t r = begin; r < end; ++r) {
            scratch_[r - begin] = texts_[r];
            out[r - begin] = scratch_[r - begin];
        }
        return refuse_at_ < begin || refuse_at_ >= end;
    }
    std::size_t refuse_at_ = ~std::size_t{0};

private:
    const std::vector<std::string>& texts_;
    std::size_t block_;
    std::vector<std::string> scratch_;
};

TEST(LabelEncodeBlocks, SameAsLabelEncode) {
    std::uint64_t seed = 7;
    for (const std::size_t rows : {0u, 1u, 7u, 3000u, 70000u}) {
        for (const std::size_t distinct : {1u, 13u, 5000u}) {
            std::vector<std::string> texts = testing::random_texts(rows, distinct, ++seed);
            for (std::size_t r = 0; r < rows; r += 97) texts[r] = (r / 97) % 3 == 0 ? "nan" : (r / 97) % 3 == 1 ? "" : "<NA>";
            const testing::ReferenceEncoding expected = testing::reference_label_encode(texts);
            // The state bytes are written in the map's entry order: it must be label_encode's.
            const LabelEncoding engine = label_encode(testing::column_of(texts));
            for (const std::size_t block : {1u, 5u, 4096u}) {
                for (const std::size_t workers : testing::worker_counts()) {
                    ScratchBlocks blocks(texts, block);
                    std::vector<double> codes(2 * rows, -1.0);
                    const std::optional<TextToCode> map =
                        testing::run_on(workers, [&] { return label_encode_blocks(blocks, rows, codes.data() + 1, 2); });
                    ASSERT_TRUE(map.has_value());
                    EXPECT_TRUE(testing::same_map(*map, expected.text_to_code));
                    ASSERT_EQ(map->size(), engine.text_to_code.size());
                    for (std::size_t i = 0; i < map->size(); ++i) {
                        ASSERT_EQ(map->entry(i), engine.text_to_code.entry(i));
                    }
                    std::vector<double> every_other(rows);
                    for (std::size_t r = 0; r < rows; ++r) {
                        every_other[r] = codes[2 * r + 1];
                        ASSERT_EQ(codes[2 * r], -1.0);
                    }
                    EXPECT_TRUE(testing::same_codes(every_other, expected.codes));
                }
            }
        }
    }
}

TEST(LabelEncodeBlocks, AFailedReadGivesNothing) {
    const std::vector<std::string> texts(100, "a");
    ScratchBlocks blocks(texts, 8);
    blocks.refuse_at_ = 50;
    std::vector<double> codes(100);
    EXPECT_FALSE(label_encode_blocks(blocks, texts.size(), codes.data(), 1).has_value());
}

}  // namespace
}  // namespace quorix
