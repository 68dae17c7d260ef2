// Checks of an Arrow text array before any of its texts is read.
#include "engine/arrow_text_reader.hpp"

#include <bit>
#include <limits>

#include "engine/utf8.hpp"

namespace quorix::arrow {
namespace {

constexpr std::size_t kViewBytes = 16;
constexpr std::int32_t kInlineBytes = 12;

OpenedTextArray failure(OpenStatus status, std::string error) {
    OpenedTextArray opened;
    opened.status = status;
    opened.error = std::move(error);
    return opened;
}

OpenedTextArray malformed(std::string error) { return failure(OpenStatus::kMalformed, "malformed Arrow array: " + error); }

// Clear bits among bits [first, first + count) of `bits`.
std::uint64_t count_clear_bits(const std::uint8_t* bits, std::uint64_t first, std::uint64_t count) {
    std::uint64_t clear = 0;
    std::uint64_t bit = first;
    const std::uint64_t end = first + count;
    while (bit < end && (bit & 7) != 0) {
        clear += ((bits[bit >> 3] >> (bit & 7)) & 1) == 0;
        ++bit;
    }
    while (bit + 64 <= end) {
        clear += 64 - static_cast<std::uint64_t>(std::popcount(load<std::uint64_t>(bits + (bit >> 3))));
        bit += 64;
    }
    while (bit < end) {
        clear += ((bits[bit >> 3] >> (bit & 7)) & 1) == 0;
        ++bit;
    }
    return clear;
}

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

bool is_ascii(std::string_view text) noexcept {
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) high |= load<std::uint64_t>(text.data() + i);
    for (; i < text.size(); ++i) high |= static_cast<std::uint8_t>(text[i]);
    return (high & kHighBits) == 0;
}

}  // namespace

struct TextArrayOpener {
    static OpenedTextArray open(const ArrowSchema& schema, const ArrowArray& array,
                                std::span<const std::int64_t> buffer_sizes) {
        if (schema.format == nullptr) return malformed("the schema has no format");
        const std::string_view format(schema.format);
        TextLayout layout;
        if (format == "u") {
            layout = TextLayout::kString;
        } else if (format == "U") {
            layout = TextLayout::kLargeString;
        } else if (format == "vu") {
            layout = TextLayout::kStringView;
        } else {
            return failure(OpenStatus::kUnsupported, "unsupported Arrow format '" + std::string(format) + "'");
        }
        if (schema.dictionary != nullptr) return failure(OpenStatus::kUnsupported, "dictionary-encoded Arrow array");
        if (schema.n_children != 0) return malformed("a text schema has no children");
        if (array.release == nullptr) return malformed("the array was released");
        if (array.dictionary != nullptr) return malformed("a text array has no dictionary");
        if (array.n_children != 0) return malformed("a text array has no children");
        if (array.length < 0) return malformed("negative length");
        if (array.offset < 0) return malformed("negative offset");
        if (array.length > std::numeric_limits<std::int64_t>::max() - array.offset - 1) {
            return malformed("offset and length out of range");
        }
        if (array.null_count < -1 || array.null_count > array.length) return malformed("null count out of range");
        const std::int64_t fixed_buffers = 3;  // validity, offsets or views, data or buffer sizes
        if (layout == TextLayout::kStringView ? array.n_buffers < fixed_buffers : array.n_buffers != fixed_buffers) {
            return malformed("wrong number of buffers for format '" + std::string(format) + "'");
        }
        if (array.buffers == nullptr) return malformed("no buffer list");
        if (!buffer_sizes.empty() && static_cast<std::int64_t>(buffer_sizes.size()) != array.n_buffers) {
            return malformed("buffer sizes do not match the buffers");
        }
        auto known_size = [&](std::int64_t buffer) -> std::int64_t {
            return buffer_sizes.empty() ? -1 : buffer_sizes[static_cast<std::size_t>(buffer)];
        };

        TextArray text_array;
        text_array.layout_ = layout;
        text_array.length_ = array.length;
        text_array.offset_ = array.offset;
        const auto first = static_cast<std::uint64_t>(array.offset);
        const auto rows = static_cast<std::uint64_t>(array.length);
        const std::uint64_t end = first + rows;

        // Validity.
        const auto* validity = static_cast<const std::uint8_t*>(array.buffers[0]);
        std::uint64_t nulls = 0;
        if (validity != nullptr && rows > 0) {
            const std::int64_t size = known_size(0);
            if (size >= 0 && static_cast<std::uint64_t>(size) < (end + 7) / 8) {
                return malformed("validity buffer too short");
            }
            nulls = count_clear_bits(validity, first, rows);
            if (array.null_count >= 0 && nulls != static_cast<std::uint64_t>(array.null_count)) {
                return malformed("null count " + std::to_string(array.null_count) + " but " + std::to_string(nulls) +
                                 " rows are null");
            }
            text_array.validity_ = validity;
        } else if (array.null_count > 0 && rows > 0) {
            return malformed("null rows without a validity buffer");
        }
        text_array.null_count_ = static_cast<std::size_t>(nulls);

        const auto* offsets = static_cast<const std::uint8_t*>(array.buffers[1]);
        if (rows == 0) {
            text_array.offsets_ = offsets;
            return ok(std::move(text_array));
        }
        if (offsets == nullptr) return malformed(layout == TextLayout::kStringView ? "no views buffer" : "no offsets buffer");
        text_array.offsets_ = offsets;

        if (layout == TextLayout::kStringView) {
            return open_views(array, std::move(text_array), known_size);
        }

        const std::uint64_t width = layout == TextLayout::kString ? 4 : 8;
        const std::int64_t offsets_size = known_size(1);
        if (offsets_size >= 0 && static_cast<std::uint64_t>(offsets_size) / width < end + 1) {
            return malformed("offsets buffer too short");
        }
        auto offset_at = [&](std::uint64_t i) -> std::int64_t {
            return width == 4 ? load<std::int32_t>(offsets + i * 4) : load<std::int64_t>(offsets + i * 8);
        };
        std::int64_t previous = offset_at(first);
        if (previous < 0) return malformed("negative offset at row 0");
        for (std::uint64_t i = first + 1; i <= end; ++i) {
            const std::int64_t next = offset_at(i);
            if (next < previous) {
                return malformed("offsets decrease at row " + std::to_string(i - first - 1));
            }
            previous = next;
        }
        const std::int64_t data_end = previous;
        const auto* data = static_cast<const char*>(array.buffers[2]);
        // An absent data buffer holds no bytes, so every offset must be 0:
        // a text at offset 3 of a null buffer is no text at all.
        if (data == nullptr && data_end > 0) return malformed("no data buffer");
        const std::int64_t data_size = known_size(2);
        if (data_size >= 0 && data_end > data_size) return malformed("offsets run past the data");
        text_array.data_ = data;
        return ok(std::move(text_array));
    }

private:
    static OpenedTextArray ok(TextArray array) {
        OpenedTextArray opened;
        opened.status = OpenStatus::kOk;
        opened.array = std::move(array);
        return opened;
    }

    // A string_view array: views, then the variadic data buffers, then one
    // buffer with the byte size of each of them.
    template <class KnownSize>
    static OpenedTextArray open_views(const ArrowArray& array, TextArray text_array, KnownSize known_size) {
        const std::int64_t data_buffers = array.n_buffers - 3;
        const auto first = static_cast<std::uint64_t>(array.offset);
        const auto end = first + static_cast<std::uint64_t>(array.length);
        const std::int64_t views_size = known_size(1);
        if (views_size >= 0 && static_cast<std::uint64_t>(views_size) / kViewBytes < end) {
            return malformed("views buffer too short");
        }
        const auto* sizes = static_cast<const std::uint8_t*>(array.buffers[array.n_buffers - 1]);
        if (data_buffers > 0) {
            if (sizes == nullptr) return malformed("no variadic buffer sizes");
            const std::int64_t sizes_size = known_size(array.n_buffers - 1);
            if (sizes_size >= 0 && sizes_size / 8 < data_buffers) return malformed("variadic buffer sizes too short");
        }
        const void* const* variadic = array.buffers + 2;
        for (std::int64_t b = 0; b < data_buffers; ++b) {
            const std::int64_t size = load<std::int64_t>(sizes + b * 8);
            if (size < 0) return malformed("negative variadic buffer size");
            const std::int64_t known = known_size(2 + b);
            if (known >= 0 && size > known) return malformed("variadic buffer size past its buffer");
            if (variadic[b] == nullptr && size > 0) return malformed("missing variadic buffer");
        }
        const std::uint8_t* views = text_array.offsets_;
        for (std::uint64_t i = first; i < end; ++i) {
            if (text_array.is_null(i - first)) continue;  // a null row's view is never read
            const std::uint8_t* view = views + i * kViewBytes;
            const auto length = load<std::int32_t>(view);
            if (length < 0) return malformed("negative view length at row " + std::to_string(i - first));
            if (length <= kInlineBytes) continue;
            const auto buffer = load<std::int32_t>(view + 8);
            const auto offset = load<std::int32_t>(view + 12);
            if (buffer < 0 || buffer >= data_buffers) {
                return malformed("view buffer index out of range at row " + std::to_string(i - first));
            }
            const std::int64_t size = load<std::int64_t>(sizes + static_cast<std::int64_t>(buffer) * 8);
            if (offset < 0 || static_cast<std::int64_t>(offset) + length > size) {
                return malformed("view runs past its buffer at row " + std::to_string(i - first));
            }
        }
        text_array.variadic_ = variadic;
        return ok(std::move(text_array));
    }
};

bool TextArray::holds_utf8() const noexcept {
    if (length_ == 0) return true;
    if (layout_ == TextLayout::kStringView) {
        // Row by row (the texts lie anywhere in the buffers), ASCII texts
        // (most of them) told apart a word at a time.
        for (std::size_t row = 0; row < size(); ++row) {
            if (is_null(row)) continue;
            const std::string_view text = view_text(row, static_cast<std::uint64_t>(offset_) + row);
            if (!is_ascii(text) && !is_utf8(text)) return false;
        }
        return true;
    }
    const auto first = static_cast<std::uint64_t>(offset_);
    const std::uint64_t end = first + static_cast<std::uint64_t>(length_);
    const std::uint64_t width = layout_ == TextLayout::kString ? 4 : 8;
    auto offset_at = [&](std::uint64_t i) -> std::int64_t {
        return width == 4 ? load<std::int32_t>(offsets_ + i * 4) : load<std::int64_t>(offsets_ + i * 8);
    };
    const std::int64_t begin = offset_at(first), stop = offset_at(end);
    if (stop == begin) return true;
    // A row boundary inside a character would split it into two broken texts.
    for (std::uint64_t i = first + 1; i < end; ++i) {
        const std::int64_t at = offset_at(i);
        if (at < stop && (static_cast<std::uint8_t>(data_[at]) & 0xC0) == 0x80) return false;
    }
    return is_utf8(std::string_view(data_ + begin, static_cast<std::size_t>(stop - begin)));
}

OpenedTextArray open_text_array(const ArrowSchema& schema, const ArrowArray& array,
                                std::span<const std::int64_t> buffer_sizes) {
    return TextArrayOpener::open(schema, array, buffer_sizes);
}

}  // namespace quorix::arrow
