// Reading the texts of one Arrow array handed over through the Arrow C data
// interface, with no Arrow library and no interpreter.
//
// The one entry point is `open_text_array(schema, array, buffer_sizes)`. It
// checks everything the reads depend on before any text is read:
//   - the schema's format: "u" (string, 32-bit offsets), "U" (large_string,
//     64-bit offsets) or "vu" (string_view); any other format, or a
//     dictionary-encoded array, is reported as unsupported;
//   - the array: length, offset and null_count in range, no children, no
//     dictionary, the number of buffers the format has and the buffers the
//     rows need present;
//   - validity: when null_count is known it must equal the number of clear
//     bits in rows [offset, offset + length);
//   - offsets: offsets[offset .. offset + length] non-negative and never
//     decreasing; string views: lengths non-negative, buffer index and
//     offset inside the variadic buffer whose size the last buffer gives;
//   - when the caller knows the byte size of each buffer (`buffer_sizes`, one
//     entry per buffer, as a fuzzer or a test does), that every read falls
//     inside it: validity bits, offsets, data bytes, views.
// Arrow producers need not check that texts are UTF-8 (pyarrow builds arrays
// from raw buffers without looking); `TextArray::holds_utf8` checks every
// text of an opened array in one pass over its data.
// It returns either an error message (and whether the format was merely
// unsupported) or a `TextArray` whose `is_null(row)` and `text(row)` read only
// memory that was checked. The texts are views into the array's own buffers:
// they stay valid while the producer keeps the array (until its release).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "engine/arrow_c_data.hpp"
#include "engine/unaligned.hpp"

namespace quorix::arrow {

enum class TextLayout : std::uint8_t { kString, kLargeString, kStringView };

// The empty text, never with a null data pointer (callers may memcpy from it).
inline constexpr std::string_view kEmptyText{"", 0};

// A checked text array: every read stays inside what open_text_array checked.
class TextArray {
public:
    std::size_t size() const noexcept { return static_cast<std::size_t>(length_); }
    std::size_t null_count() const noexcept { return null_count_; }
    TextLayout layout() const noexcept { return layout_; }

    bool is_null(std::size_t row) const noexcept {
        if (validity_ == nullptr) return false;
        const auto bit = static_cast<std::uint64_t>(offset_) + row;
        return ((validity_[bit >> 3] >> (bit & 7)) & 1) == 0;
    }

    // True when every text that is not null is UTF-8. For string and
    // large_string arrays the data the rows span is checked at once, and
    // every row must begin on a character (null rows' bytes are checked
    // too: an array whose null rows hold broken bytes is refused).
    bool holds_utf8() const noexcept;

    // The text of a row that is not null (a null row gives some text of its
    // slot, possibly empty; never read outside the buffers for a string or
    // large_string array, and the empty text for a string_view array).
    std::string_view text(std::size_t row) const noexcept {
        const auto i = static_cast<std::uint64_t>(offset_) + row;
        switch (layout_) {
            case TextLayout::kString: {
                const auto begin = load<std::int32_t>(offsets_ + i * 4);
                const auto end = load<std::int32_t>(offsets_ + i * 4 + 4);
                if (end == begin) return kEmptyText;
                return std::string_view(data_ + begin, static_cast<std::size_t>(end - begin));
            }
            case TextLayout::kLargeString: {
                const auto begin = load<std::int64_t>(offsets_ + i * 8);
                const auto end = load<std::int64_t>(offsets_ + i * 8 + 8);
                if (end == begin) return kEmptyText;
                return std::string_view(data_ + begin, static_cast<std::size_t>(end - begin));
            }
            case TextLayout::kStringView: return view_text(row, i);
        }
        return kEmptyText;
    }

private:
    friend struct TextArrayOpener;

    // A view's text: inline for at most 12 bytes, else in a variadic buffer.
    std::string_view view_text(std::size_t row, std::uint64_t i) const noexcept {
        if (is_null(row)) return kEmptyText;
        const std::uint8_t* view = offsets_ + i * 16;
        const auto length = load<std::int32_t>(view);
        if (length <= 12) {
            return std::string_view(reinterpret_cast<const char*>(view + 4), static_cast<std::size_t>(length));
        }
        const auto buffer = load<std::int32_t>(view + 8);
        const auto offset = load<std::int32_t>(view + 12);
        return std::string_view(static_cast<const char*>(variadic_[buffer]) + offset, static_cast<std::size_t>(length));
    }

    TextLayout layout_ = TextLayout::kString;
    std::int64_t length_ = 0;
    std::int64_t offset_ = 0;
    std::size_t null_count_ = 0;
    const std::uint8_t* validity_ = nullptr;
    const std::uint8_t* offsets_ = nullptr;  // 4- or 8-byte offsets, or 16-byte views
    const char* data_ = nullptr;
    const void* const* variadic_ = nullptr;  // the data buffers of a string_view array
};

enum class OpenStatus : std::uint8_t {
    kOk,
    kUnsupported,  // a format (or a dictionary) this reader does not read
    kMalformed,    // data that breaks the format's rules
};

struct OpenedTextArray {
    OpenStatus status = OpenStatus::kMalformed;
    std::string error;  // what is wrong, when status is not kOk
    TextArray array;    // usable only when status is kOk
};

// Checks (schema, array) and opens it for reading; see the top of this file.
// `buffer_sizes`, when not empty, gives the byte size of every buffer of the
// array (array.n_buffers entries), and reads are checked against it too.
OpenedTextArray open_text_array(const ArrowSchema& schema, const ArrowArray& array,
                                std::span<const std::int64_t> buffer_sizes = {});

}  // namespace quorix::arrow
