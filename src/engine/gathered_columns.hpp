// The table as input extraction read it: per column either its numbers or
// its texts, ready for the encoding engine (which never touches Python).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/arrow_text_reader.hpp"
#include "engine/unaligned.hpp"

namespace quorix {

// Storage for texts made on the fly. Texts never move once copied in, so
// views of them stay valid for the arena's life.
class TextArena {
public:
    void reserve(std::size_t bytes) {
        if (bytes > left_) add_block(bytes);
    }
    std::string_view copy(std::string_view text) {
        if (text.empty()) return arrow::kEmptyText;  // never a null pointer
        if (text.size() > left_) add_block(std::max(text.size(), next_block_));
        char* at = cursor_;
        std::memcpy(at, text.data(), text.size());
        cursor_ += text.size();
        left_ -= text.size();
        return std::string_view(at, text.size());
    }
    void clear() {
        blocks_.clear();
        cursor_ = nullptr;
        left_ = 0;
        next_block_ = kFirstBlock;
    }

private:
    static constexpr std::size_t kFirstBlock = 4096;
    void add_block(std::size_t bytes) {
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(bytes));
        cursor_ = blocks_.back().get();
        left_ = bytes;
        next_block_ = std::min<std::size_t>(next_block_ * 2, std::size_t{1} << 26);
    }
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* cursor_ = nullptr;
    std::size_t left_ = 0;
    std::size_t next_block_ = kFirstBlock;
};

// Category codes of one column, each a signed integer of 1, 2, 4 or 8 bytes
// in a buffer of the column's own: codes are checked as they are copied in,
// and only the checked copy is read.
class CategoryCodes {
public:
    CategoryCodes() = default;
    CategoryCodes(std::size_t code_bytes, std::size_t rows)
        : bytes_(std::make_unique_for_overwrite<char[]>(code_bytes * rows)), code_bytes_(code_bytes), rows_(rows) {}

    std::size_t size() const noexcept { return rows_; }

    // The code of `code_bytes` bytes at `at`, which need not be aligned.
    static std::int64_t load(const char* at, std::size_t code_bytes) noexcept {
        switch (code_bytes) {
            case 1: return quorix::load<std::int8_t>(at);
            case 2: return quorix::load<std::int16_t>(at);
            case 4: return quorix::load<std::int32_t>(at);
            default: return quorix::load<std::int64_t>(at);
        }
    }
    std::int64_t get(std::size_t row) const noexcept { return load(bytes_.get() + row * code_bytes_, code_bytes_); }
    // `code` fits the width: it was read at that width.
    void set(std::size_t row, std::int64_t code) noexcept {
        char* at = bytes_.get() + row * code_bytes_;
        switch (code_bytes_) {
            case 1: store_as<std::int8_t>(at, code); break;
            case 2: store_as<std::int16_t>(at, code); break;
            case 4: store_as<std::int32_t>(at, code); break;
            default: store_as<std::int64_t>(at, code); break;
        }
    }

private:
    template <class T>
    static void store_as(char* at, std::int64_t code) noexcept {
        const auto value = static_cast<T>(code);
        std::memcpy(at, &value, sizeof value);
    }

    std::unique_ptr<char[]> bytes_;
    std::size_t code_bytes_ = 8;
    std::size_t rows_ = 0;
};

// The texts of one column, in row order. They are either views (of texts the
// column copied into its arena, or of texts whose owner outlives the column:
// str objects, Arrow buffers) or read on demand from Arrow arrays or from a
// dictionary of category texts and per-row codes. The texts need not be
// contiguous nor owned by the column.
class TextColumn {
public:
    void reserve(std::size_t count, std::size_t bytes) {
        views_.reserve(count);
        arena_.reserve(bytes);
    }
    // A copy of `text` becomes the next row.
    void push_back(std::string_view text) { views_.push_back(arena_.copy(text)); }
    // `text` itself becomes the next row: its owner must outlive the column.
    void push_view(std::string_view text) { views_.push_back(text); }
    // A text that the column keeps, for rows given as views later.
    std::string_view keep(std::string_view text) { return arena_.copy(text); }
    void clear() {
        *this = TextColumn();
    }

    // Rows read from Arrow text chunks, in order. A null row reads as
    // `null_before` when it lies before `first_valid`, else as `null_after`.
    void assign_arrow(std::vector<arrow::TextArray> chunks, std::string_view null_before, std::string_view null_after,
                      std::size_t first_valid) {
        clear();
        kind_ = Kind::kArrow;
        chunk_starts_.reserve(chunks.size() + 1);
        std::size_t rows = 0;
        for (const arrow::TextArray& chunk : chunks) {
            chunk_starts_.push_back(rows);
            rows += chunk.size();
        }
        chunk_starts_.push_back(rows);
        chunks_ = std::move(chunks);
        set_nulls(rows, null_before, null_after, first_valid);
    }

    // Rows given by codes into `categories`; a negative code is a null row.
    void assign_dictionary(CategoryCodes codes, std::vector<std::string_view> categories, std::string_view null_before,
                           std::string_view null_after, std::size_t first_valid) {
        std::vector<std::string_view>().swap(views_);
        kind_ = Kind::kDictionary;
        const std::size_t rows = codes.size();
        codes_ = std::move(codes);
        categories_ = std::move(categories);
        set_nulls(rows, null_before, null_after, first_valid);
    }

    std::size_t size() const noexcept { return kind_ == Kind::kViews ? views_.size() : rows_; }
    bool empty() const noexcept { return size() == 0; }

    std::string_view operator[](std::size_t row) const noexcept {
        if (kind_ == Kind::kViews) [[likely]] return views_[row];
        return kind_ == Kind::kArrow ? arrow_text(row) : dictionary_text(row);
    }

    // The categories of a dictionary column and each row's category (-1 for a
    // null row); empty for other columns.
    const std::vector<std::string_view>& categories() const noexcept { return categories_; }
    bool is_dictionary() const noexcept { return kind_ == Kind::kDictionary; }
    std::int64_t code(std::size_t row) const noexcept { return codes_.get(row); }
    std::string_view null_text(std::size_t row) const noexcept { return row < first_valid_ ? null_before_ : null_after_; }
    // The first row that is not null (every row before it is).
    std::size_t first_valid() const noexcept { return first_valid_; }

private:
    enum class Kind : std::uint8_t { kViews, kArrow, kDictionary };

    void set_nulls(std::size_t rows, std::string_view before, std::string_view after, std::size_t first_valid) {
        rows_ = rows;
        null_before_ = arena_.copy(before);
        null_after_ = arena_.copy(after);
        first_valid_ = first_valid;
    }

    std::string_view arrow_text(std::size_t row) const noexcept {
        std::size_t chunk = 0;
        if (chunks_.size() > 1) {
            chunk = static_cast<std::size_t>(std::upper_bound(chunk_starts_.begin(), chunk_starts_.end(), row) -
                                             chunk_starts_.begin()) - 1;
        }
        const std::size_t at = row - chunk_starts_[chunk];
        const arrow::TextArray& array = chunks_[chunk];
        return array.is_null(at) ? null_text(row) : array.text(at);
    }

    std::string_view dictionary_text(std::size_t row) const noexcept {
        const std::int64_t category = code(row);
        return category < 0 ? null_text(row) : categories_[static_cast<std::size_t>(category)];
    }

    Kind kind_ = Kind::kViews;
    std::vector<std::string_view> views_;
    TextArena arena_;
    std::size_t rows_ = 0;
    std::string_view null_before_, null_after_;
    std::size_t first_valid_ = 0;
    std::vector<arrow::TextArray> chunks_;
    std::vector<std::size_t> chunk_starts_;
    CategoryCodes codes_;
    std::vector<std::string_view> categories_;
};

// An IEEE half-precision number as a double (exact: every half is a double).
inline double half_to_double(std::uint16_t bits) noexcept {
    const int exponent = (bits >> 10) & 0x1F;
    const int fraction = bits & 0x3FF;
    double value;
    if (exponent == 0) {
        value = std::ldexp(static_cast<double>(fraction), -24);
    } else if (exponent == 0x1F) {
        value = fraction == 0 ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
    } else {
        value = std::ldexp(static_cast<double>(fraction | 0x400), exponent - 25);
    }
    return (bits & 0x8000) != 0 ? -value : value;
}

// A numeric column read where it lies: a column's own buffer, each element
// converted as float() of it would be, and NaN where the mask (one byte per
// row, non-zero for missing) or an Arrow validity bitmap says so.
struct NumberSource {
    enum class Type : std::uint8_t {
        kNone, kBool, kInt8, kUInt8, kInt16, kUInt16, kInt32, kUInt32, kInt64, kUInt64, kFloat32, kFloat64, kNaN,
        kFloat16, kBoolBits  // Arrow's half floats, and its booleans packed eight to a byte from bit `bit_offset`
    };
    Type type = Type::kNone;
    const char* data = nullptr;
    std::ptrdiff_t stride = 0;
    const char* missing = nullptr;
    std::ptrdiff_t missing_stride = 0;
    const std::uint8_t* valid_bits = nullptr;  // bit (bit_offset + row) clear: missing
    std::size_t bit_offset = 0;

    explicit operator bool() const noexcept { return type != Type::kNone; }

    double operator[](std::size_t row) const noexcept {
        const auto r = static_cast<std::ptrdiff_t>(row);
        if (missing != nullptr && missing[r * missing_stride] != 0) return std::numeric_limits<double>::quiet_NaN();
        if (valid_bits != nullptr && !bit_set(valid_bits, bit_offset + row)) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        const char* at = data + r * stride;
        switch (type) {
            case Type::kBool: return *at != 0 ? 1.0 : 0.0;
            case Type::kBoolBits:
                return bit_set(reinterpret_cast<const std::uint8_t*>(data), bit_offset + row) ? 1.0 : 0.0;
            case Type::kFloat16: return half_to_double(load<std::uint16_t>(at));
            case Type::kInt8: return static_cast<double>(load<std::int8_t>(at));
            case Type::kUInt8: return static_cast<double>(load<std::uint8_t>(at));
            case Type::kInt16: return static_cast<double>(load<std::int16_t>(at));
            case Type::kUInt16: return static_cast<double>(load<std::uint16_t>(at));
            case Type::kInt32: return static_cast<double>(load<std::int32_t>(at));
            case Type::kUInt32: return static_cast<double>(load<std::uint32_t>(at));
            case Type::kInt64: return static_cast<double>(load<std::int64_t>(at));
            case Type::kUInt64: return static_cast<double>(load<std::uint64_t>(at));
            case Type::kFloat32: return static_cast<double>(load<float>(at));
            case Type::kFloat64: return load<double>(at);
            case Type::kNaN:
            case Type::kNone: break;
        }
        return std::numeric_limits<double>::quiet_NaN();
    }

    static bool bit_set(const std::uint8_t* bits, std::size_t bit) noexcept { return ((bits[bit >> 3] >> (bit & 7)) & 1) != 0; }
};

struct GatheredColumn {
    bool is_string = false;
    std::vector<double> numbers;  // rows values when !is_string and no number_source, else empty
    NumberSource number_source;   // where the numbers lie instead, when set
    TextColumn texts;             // rows texts when is_string, else empty
    // A string column some of whose texts were numbers (not NaN) read before
    // its first text, now in their promoted form.
    bool promoted_numbers = false;

    // A numeric column of `rows` rows holding a number that is not NaN.
    bool holds_a_number(std::size_t rows) const noexcept {
        if (number_source) {
            for (std::size_t r = 0; r < rows; ++r) {
                if (!std::isnan(number_source[r])) return true;
            }
            return false;
        }
        return std::any_of(numbers.begin(), numbers.end(), [](double value) { return !std::isnan(value); });
    }
};

struct GatheredColumns {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<GatheredColumn> columns;  // cols entries

    GatheredColumns(std::size_t rows_, std::size_t cols_) : rows(rows_), cols(cols_), columns(cols_) {}
};

}  // namespace quorix
