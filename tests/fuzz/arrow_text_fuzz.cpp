// Fuzzes the Arrow text-array reader: the fuzzer's bytes describe a schema
// and one to four chunks (length, offset, null count, buffer count, and each
// buffer absent, raw bytes, 32- or 64-bit offsets, string views or 64-bit
// sizes), laid out in heap blocks of exactly their size so that any read
// outside them is caught. Told the buffer sizes, the reader must refuse
// exactly the chunks that a plain row-by-row reader, which checks every read
// it makes, refuses (with an error of the same kind), and otherwise read the
// same nulls and texts. Not told them, as in the module, it must do the same
// wherever the buffers that are present hold every byte the rows need. The
// chunks read that way then make one text column, which must read every row
// in order.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_target.hpp"
#include "engine/gathered_columns.hpp"
#include "engine/arrow_text_reader.hpp"
#include "engine/unaligned.hpp"
#include "engine/utf8.hpp"

namespace {

using quorix::load;
using quorix::arrow::OpenedTextArray;
using quorix::arrow::OpenStatus;
using quorix::arrow::TextArray;
using quorix::arrow::TextLayout;
using Cell = std::optional<std::string>;

[[noreturn]] void fail(const std::string& what) { quorix::fuzz::fail("arrow_text", what); }

// Reads the fuzzer's bytes from the front; past the end every byte is 0.
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> input) : input_(input) {}

    std::uint8_t byte() { return at_ < input_.size() ? input_[at_++] : 0; }

    // A little-endian integer of T's width.
    template <class T>
    T fixed() {
        std::uint64_t bits = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) bits |= std::uint64_t{byte()} << (8 * i);
        return static_cast<T>(bits);
    }

    // One tag byte: 0..127 stand for themselves, 0x80 for -1, 0x81..0x83 are
    // followed by a 16-bit unsigned, a 32-bit or a 64-bit signed value, and
    // 0x84..0xFF stand for -2 down to -125.
    std::int64_t integer() {
        const std::uint8_t tag = byte();
        if (tag < 0x80) return tag;
        switch (tag) {
            case 0x80: return -1;
            case 0x81: return fixed<std::uint16_t>();
            case 0x82: return fixed<std::int32_t>();
            case 0x83: return fixed<std::int64_t>();
            default: return -static_cast<std::int64_t>(tag - 0x82);
        }
    }

    std::size_t remaining() const { return input_.size() - at_; }

private:
    std::span<const std::uint8_t> input_;
    std::size_t at_ = 0;
};

// A buffer in a heap block of exactly its size; new[0] is a block of its own
// too, so a present empty buffer is not a null pointer.
struct Buffer {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size = 0;

    bool present() const { return bytes != nullptr; }
};

template <class T>
void append(std::vector<std::uint8_t>& to, T value) {
    const std::size_t at = to.size();
    to.resize(at + sizeof value);
    std::memcpy(to.data() + at, &value, sizeof value);
}

Buffer read_buffer(ByteReader& in) {
    std::vector<std::uint8_t> content;
    switch (in.byte() % 6) {
        case 0:
            return {};  // absent
        case 1: {  // raw bytes
            const std::int64_t wanted = in.integer();
            const std::size_t count = wanted < 0 ? 0 : std::min<std::size_t>(wanted, in.remaining());
            for (std::size_t i = 0; i < count; ++i) content.push_back(in.byte());
            break;
        }
        case 2: {  // 32-bit offsets: a start, then `count` steps of -128..127
            auto offset = static_cast<std::int32_t>(in.integer());
            const std::size_t count = in.byte();
            append(content, offset);
            for (std::size_t i = 0; i < count; ++i) {
                offset = static_cast<std::int32_t>(static_cast<std::uint32_t>(offset) +
                                                   static_cast<std::uint32_t>(static_cast<std::int8_t>(in.byte())));
                append(content, offset);
            }
            break;
        }
        case 3: {  // 64-bit offsets
            auto offset = in.integer();
            const std::size_t count = in.byte();
            append(content, offset);
            for (std::size_t i = 0; i < count; ++i) {
                offset = static_cast<std::int64_t>(static_cast<std::uint64_t>(offset) +
                                                   static_cast<std::uint64_t>(static_cast<std::int8_t>(in.byte())));
                append(content, offset);
            }
            break;
        }
        case 4: {  // string views: a length, then inline bytes or prefix, buffer index, offset
            const std::size_t count = in.byte();
            for (std::size_t i = 0; i < count; ++i) {
                const auto length = static_cast<std::int32_t>(in.integer());
                append(content, length);
                if (length >= 0 && length <= 12) {
                    for (int b = 0; b < 12; ++b) content.push_back(b < length ? in.byte() : 0);
                } else {
                    for (int b = 0; b < 4; ++b) content.push_back(in.byte());
                    append(content, static_cast<std::int32_t>(in.integer()));
                    append(content, static_cast<std::int32_t>(in.integer()));
                }
            }
            break;
        }
        default: {  // 64-bit values, such as the sizes of the variadic buffers
            const std::size_t count = in.byte() % 16;
            for (std::size_t i = 0; i < count; ++i) append(content, in.integer());
            break;
        }
    }
    Buffer buffer;
    buffer.size = content.size();
    buffer.bytes.reset(new std::uint8_t[content.size()]);
    if (!content.empty()) std::memcpy(buffer.bytes.get(), content.data(), content.size());
    return buffer;
}

// What the schema and every chunk share: the format and the damage done to
// the structs around the buffers.
struct Shape {
    std::string format;
    bool no_format = false;
    bool schema_dictionary = false;
    bool schema_child = false;
    bool array_dictionary = false;
    bool array_child = false;
    bool released = false;
    bool no_buffer_list = false;
    bool sizes_miscounted = false;
};

struct Chunk {
    std::int64_t length = 0;
    std::int64_t offset = 0;
    std::int64_t null_count = 0;
    std::vector<Buffer> buffers;
};

// ---- the plain reader -----------------------------------------------------

enum class Refusal { kNone, kUnsupported, kMalformed };

struct Expected {
    Refusal refusal = Refusal::kNone;
    std::vector<Cell> cells;
    // Some read the rows need falls past the end of a present buffer: only a
    // reader told the buffer sizes can see that, so a reader that is not
    // told them is not held to this verdict.
    bool sizes_matter = false;
};

Expected refused(Refusal kind) { return {kind, {}, false}; }

// Reads `width` bytes at byte `at` of a buffer as a signed integer, if they
// are inside it.
std::optional<std::int64_t> read_at(const Buffer& buffer, std::uint64_t at, std::size_t width) {
    if (!buffer.present() || at > buffer.size || buffer.size - at < width) return std::nullopt;
    const std::uint8_t* where = buffer.bytes.get() + at;
    return width == 4 ? std::int64_t{load<std::int32_t>(where)} : load<std::int64_t>(where);
}

// A byte range [begin, begin + length) of a buffer as text, if it is inside.
std::optional<std::string> text_at(const Buffer& buffer, std::int64_t begin, std::int64_t length) {
    if (begin < 0 || length < 0) return std::nullopt;
    if (length == 0) return std::string();
    if (!buffer.present() || static_cast<std::uint64_t>(begin) > buffer.size ||
        buffer.size - static_cast<std::uint64_t>(begin) < static_cast<std::uint64_t>(length)) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(buffer.bytes.get()) + begin, static_cast<std::size_t>(length));
}

// Whether every read that the rows imply lies inside the buffers that are
// present (absent ones are null pointers, which any reader sees): the
// validity bits, the offsets and the bytes up to the largest offset, or the
// views and the variadic sizes, each size no larger than its buffer.
bool inside_present_buffers(const Chunk& chunk, bool views, std::size_t width) {
    const auto first = static_cast<std::uint64_t>(chunk.offset);
    const std::uint64_t end = first + static_cast<std::uint64_t>(chunk.length);
    const Buffer& validity = chunk.buffers[0];
    const Buffer& second = chunk.buffers[1];
    if (validity.present() && validity.size < (end + 7) / 8) return false;
    if (!second.present()) return true;
    if (!views) {
        if (second.size / width < end + 1) return false;
        const Buffer& data = chunk.buffers[2];
        for (std::uint64_t i = first; data.present() && i <= end; ++i) {
            if (*read_at(second, i * width, width) > static_cast<std::int64_t>(data.size)) return false;
        }
        return true;
    }
    if (second.size / 16 < end) return false;
    const std::size_t data_buffers = chunk.buffers.size() - 3;
    const Buffer& sizes = chunk.buffers.back();
    if (data_buffers == 0 || !sizes.present()) return true;
    if (sizes.size / 8 < data_buffers) return false;
    for (std::size_t b = 0; b < data_buffers; ++b) {
        const Buffer& buffer = chunk.buffers[2 + b];
        if (buffer.present() && *read_at(sizes, b * 8, 8) > static_cast<std::int64_t>(buffer.size)) return false;
    }
    return true;
}

Expected read_rows(const Chunk& chunk, bool views, std::size_t width);

// The rules of the array as a whole first, then the rows read one by one.
Expected read_plainly(const Shape& shape, const Chunk& chunk) {
    if (shape.no_format) return refused(Refusal::kMalformed);
    const std::string_view format = shape.format.c_str();  // the format ends at its first NUL, as in C
    if (format != "u" && format != "U" && format != "vu") return refused(Refusal::kUnsupported);
    if (shape.schema_dictionary) return refused(Refusal::kUnsupported);
    if (shape.schema_child || shape.array_dictionary || shape.array_child || shape.released ||
        shape.no_buffer_list || shape.sizes_miscounted) {
        return refused(Refusal::kMalformed);
    }
    const bool views = format == "vu";
    const auto n_buffers = static_cast<std::int64_t>(chunk.buffers.size());
    if (views ? n_buffers < 3 : n_buffers != 3) return refused(Refusal::kMalformed);
    if (chunk.length < 0 || chunk.offset < 0) return refused(Refusal::kMalformed);
    // offset + length + 1 must be a 64-bit signed value.
    if (chunk.length > std::numeric_limits<std::int64_t>::max() - chunk.offset - 1) {
        return refused(Refusal::kMalformed);
    }
    if (chunk.null_count < -1 || chunk.null_count > chunk.length) return refused(Refusal::kMalformed);
    if (chunk.length == 0) return {};  // nothing to read

    const std::size_t width = format == "u" ? 4 : format == "U" ? 8 : 16;
    Expected expected = read_rows(chunk, views, width);
    expected.sizes_matter = !inside_present_buffers(chunk, views, width);
    return expected;
}

// Row by row, every read checked: the validity bit, the two offsets around
// the row (which must not decrease, null rows included) or the row's view
// (skipped for a null row), then the text's bytes.
Expected read_rows(const Chunk& chunk, bool views, std::size_t width) {
    Expected expected;
    const auto first = static_cast<std::uint64_t>(chunk.offset);
    const auto rows = static_cast<std::uint64_t>(chunk.length);
    const Buffer& validity = chunk.buffers[0];

    // Without a validity buffer every row is valid; with one, each row's bit
    // must be inside it (so this loop ends within the buffer's bits).
    std::vector<bool> valid;
    std::int64_t nulls = 0;
    for (std::uint64_t row = 0; validity.present() && row < rows; ++row) {
        const std::uint64_t bit = first + row;
        if (bit / 8 >= validity.size) return refused(Refusal::kMalformed);
        valid.push_back(((validity.bytes[bit / 8] >> (bit % 8)) & 1) != 0);
        nulls += valid.back() ? 0 : 1;
    }
    auto is_valid = [&](std::uint64_t row) { return valid.empty() || valid[row]; };
    if (chunk.null_count != -1 && chunk.null_count != nulls) return refused(Refusal::kMalformed);

    const Buffer& second = chunk.buffers[1];
    if (!second.present()) return refused(Refusal::kMalformed);

    if (!views) {
        const Buffer& data = chunk.buffers[2];
        for (std::uint64_t row = 0; row < rows; ++row) {
            const std::uint64_t i = first + row;
            // i * width cannot wrap: the offsets buffer is small.
            const auto begin = i < second.size ? read_at(second, i * width, width) : std::nullopt;
            const auto end = i + 1 < second.size ? read_at(second, (i + 1) * width, width) : std::nullopt;
            if (!begin || !end || *begin < 0 || *end < *begin) return refused(Refusal::kMalformed);
            // Offsets point into the data buffer, empty texts too; an absent
            // buffer holds no bytes, so every offset is then 0.
            if (static_cast<std::uint64_t>(*end) > data.size) return refused(Refusal::kMalformed);
            const auto text = text_at(data, *begin, *end - *begin);
            if (!text) return refused(Refusal::kMalformed);
            expected.cells.push_back(is_valid(row) ? Cell(*text) : Cell());
        }
        return expected;
    }

    // The variadic buffers' sizes, each inside its buffer.
    const auto data_buffers = static_cast<std::int64_t>(chunk.buffers.size()) - 3;
    std::vector<std::int64_t> sizes;
    for (std::int64_t b = 0; b < data_buffers; ++b) {
        const auto size = read_at(chunk.buffers.back(), static_cast<std::uint64_t>(b) * 8, 8);
        const Buffer& buffer = chunk.buffers[static_cast<std::size_t>(2 + b)];
        if (!size || *size < 0 || static_cast<std::uint64_t>(*size) > buffer.size ||
            (!buffer.present() && *size > 0)) {
            return refused(Refusal::kMalformed);
        }
        sizes.push_back(*size);
    }
    for (std::uint64_t row = 0; row < rows; ++row) {
        if (first + row >= second.size / 16) return refused(Refusal::kMalformed);
        const std::uint64_t at = (first + row) * 16;
        if (!is_valid(row)) {
            expected.cells.emplace_back();
            continue;
        }
        const auto length = *read_at(second, at, 4);
        if (length < 0) return refused(Refusal::kMalformed);
        if (length <= 12) {
            expected.cells.emplace_back(std::string(reinterpret_cast<const char*>(second.bytes.get() + at + 4),
                                                    static_cast<std::size_t>(length)));
            continue;
        }
        const auto buffer = *read_at(second, at + 8, 4);
        const auto offset = *read_at(second, at + 12, 4);
        if (buffer < 0 || buffer >= data_buffers || offset < 0 ||
            offset + length > sizes[static_cast<std::size_t>(buffer)]) {
            return refused(Refusal::kMalformed);
        }
        // The four prefix bytes of the view are not compared with the text:
        // the text is read from the buffer.
        const auto text = text_at(chunk.buffers[static_cast<std::size_t>(2 + buffer)], offset, length);
        if (!text) return refused(Refusal::kMalformed);
        expected.cells.push_back(*text);
    }
    return expected;
}

// ---- the reader under test ------------------------------------------------

void no_release(ArrowArray*) {}

void compare(const TextArray& array, const Expected& expected, const std::string& what) {
    if (array.size() != expected.cells.size()) fail(what + ": another length");
    std::size_t nulls = 0;
    for (std::size_t row = 0; row < array.size(); ++row) {
        const Cell& cell = expected.cells[row];
        nulls += cell ? 0 : 1;
        if (array.is_null(row) != !cell) fail(what + ": another null at row " + std::to_string(row));
        // A null row's text is read too: it must stay inside the buffers.
        const std::string_view text = array.text(row);
        if (cell && text != *cell) fail(what + ": another text at row " + std::to_string(row));
        if (!cell && array.layout() == TextLayout::kStringView && !text.empty()) {
            fail(what + ": a null view row has a text");
        }
    }
    if (array.null_count() != nulls) fail(what + ": another null count");

    // The one-pass UTF-8 check against each text checked alone: it may refuse
    // broken bytes under a null row, but nothing else.
    bool texts_utf8 = true;
    for (const Cell& cell : expected.cells) texts_utf8 = texts_utf8 && (!cell || quorix::is_utf8(*cell));
    if (array.holds_utf8() && !texts_utf8) fail(what + ": passed a text that is not UTF-8");
    if (!array.holds_utf8() && texts_utf8 && (nulls == 0 || array.layout() == TextLayout::kStringView)) {
        fail(what + ": refused texts that are all UTF-8");
    }
}

void check_error(const OpenedTextArray& opened, const Shape& shape) {
    const std::string& error = opened.error;
    if (opened.status == OpenStatus::kMalformed) {
        if (!error.starts_with("malformed Arrow array: ") || error.size() == 23) fail("malformed without a reason");
    } else if (error != "unsupported Arrow format '" + std::string(shape.format.c_str()) + "'" &&
               error != "dictionary-encoded Arrow array") {
        fail("unsupported with the message: " + error);
    }
}

// The reader's verdict against the plain reader's: read, or refused for the
// same kind of reason with a message of that kind.
void check_verdict(const OpenedTextArray& opened, Refusal expected, const Shape& shape, const std::string& what) {
    const bool ok = opened.status == OpenStatus::kOk;
    if (ok != (expected == Refusal::kNone)) {
        fail(what + (ok ? ": read an array the plain reader refuses"
                        : ": refused an array the plain reader reads: " + opened.error));
    }
    if (ok) return;
    if ((opened.status == OpenStatus::kUnsupported) != (expected == Refusal::kUnsupported)) {
        fail(what + ": another kind of refusal: " + opened.error);
    }
    check_error(opened, shape);
}

// The chunks as the module holds them, one column: every row in order, a
// null row read as the null text of its side of the first valid row.
void check_column(std::vector<TextArray> chunks, const std::vector<Cell>& cells) {
    std::size_t first_valid = 0;
    while (first_valid < cells.size() && !cells[first_valid]) ++first_valid;
    quorix::TextColumn column;
    column.assign_arrow(std::move(chunks), "null before", "null after", first_valid);
    if (column.size() != cells.size()) fail("the column has another length");
    for (std::size_t row = 0; row < cells.size(); ++row) {
        const std::string_view want = cells[row] ? std::string_view(*cells[row])
                                      : row < first_valid ? std::string_view("null before")
                                                          : std::string_view("null after");
        if (column[row] != want) fail("the column reads another text at row " + std::to_string(row));
    }
}


}  // namespace

QUORIX_FUZZ_TARGET(arrow_text) {
    ByteReader in(input);
    Shape shape;
    const std::size_t format_length = in.byte() % 9;
    for (std::size_t i = 0; i < format_length; ++i) shape.format.push_back(static_cast<char>(in.byte()));
    const std::uint8_t damage = in.byte();
    shape.no_format = damage & 1;
    shape.schema_dictionary = damage & 2;
    shape.schema_child = damage & 4;
    shape.array_dictionary = damage & 8;
    shape.array_child = damage & 16;
    shape.released = damage & 32;
    shape.no_buffer_list = damage & 64;
    shape.sizes_miscounted = damage & 128;
    // A reader that is not told the sizes cannot miscount them.
    Shape unsized_shape = shape;
    unsized_shape.sizes_miscounted = false;

    ArrowSchema other_schema{};
    ArrowSchema* schema_children[1] = {&other_schema};
    ArrowArray other_array{};
    ArrowArray* array_children[1] = {&other_array};
    ArrowSchema schema{};
    schema.format = shape.no_format ? nullptr : shape.format.c_str();
    schema.n_children = shape.schema_child ? 1 : 0;
    schema.children = shape.schema_child ? schema_children : nullptr;
    schema.dictionary = shape.schema_dictionary ? &other_schema : nullptr;

    // Every chunk stays alive to the end: the column built from the chunks
    // reads their buffers.
    struct BuiltChunk {
        Chunk chunk;
        std::unique_ptr<const void*[]> buffers;
        std::unique_ptr<std::int64_t[]> sizes;
        std::size_t size_count = 0;
        ArrowArray array{};
    };
    const std::size_t chunk_count = in.byte() % 4 + 1;
    std::vector<BuiltChunk> built(chunk_count);
    std::vector<TextArray> opened_chunks;
    std::vector<Cell> all_cells;
    for (std::size_t c = 0; c < chunk_count; ++c) {
        BuiltChunk& it = built[c];
        Chunk& chunk = it.chunk;
        chunk.length = in.integer();
        chunk.offset = in.integer();
        chunk.null_count = in.integer();
        const std::size_t n_buffers = in.byte() % 8;
        for (std::size_t b = 0; b < n_buffers; ++b) chunk.buffers.push_back(read_buffer(in));

        // The buffer list and the sizes in blocks of their own size too.
        it.buffers = std::make_unique<const void*[]>(n_buffers);
        for (std::size_t b = 0; b < n_buffers; ++b) it.buffers[b] = chunk.buffers[b].bytes.get();
        it.size_count = n_buffers + (shape.sizes_miscounted ? 1 : 0);
        it.sizes = std::make_unique<std::int64_t[]>(it.size_count);
        for (std::size_t b = 0; b < it.size_count; ++b) {
            it.sizes[b] = b < n_buffers ? static_cast<std::int64_t>(chunk.buffers[b].size) : 0;
        }

        ArrowArray& array = it.array;
        array.length = chunk.length;
        array.null_count = chunk.null_count;
        array.offset = chunk.offset;
        array.n_buffers = static_cast<std::int64_t>(n_buffers);
        array.n_children = shape.array_child ? 1 : 0;
        array.buffers = shape.no_buffer_list ? nullptr : it.buffers.get();
        array.children = shape.array_child ? array_children : nullptr;
        array.dictionary = shape.array_dictionary ? &other_array : nullptr;
        array.release = shape.released ? nullptr : &no_release;

        const std::string what = "chunk " + std::to_string(c);
        const Expected expected = read_plainly(unsized_shape, chunk);
        const Refusal sized_refusal =
            shape.sizes_miscounted && expected.refusal != Refusal::kUnsupported ? Refusal::kMalformed : expected.refusal;

        // Told the sizes, the reader must refuse exactly what the plain reader
        // refuses.
        const OpenedTextArray opened =
            quorix::arrow::open_text_array(schema, array, std::span<const std::int64_t>(it.sizes.get(), it.size_count));
        check_verdict(opened, sized_refusal, shape, what);
        if (opened.status == OpenStatus::kOk) compare(opened.array, expected, what);

        // Not told them, as in the module: the same, except where only the
        // sizes show the fault.
        if (expected.refusal != Refusal::kNone && expected.sizes_matter) continue;
        const OpenedTextArray unsized = quorix::arrow::open_text_array(schema, array);
        check_verdict(unsized, expected.refusal, shape, what + " without sizes");
        if (unsized.status != OpenStatus::kOk) continue;
        compare(unsized.array, expected, what + " without sizes");
        opened_chunks.push_back(unsized.array);
        all_cells.insert(all_cells.end(), expected.cells.begin(), expected.cells.end());
    }
    if (opened_chunks.size() == chunk_count) check_column(std::move(opened_chunks), all_cells);
}
