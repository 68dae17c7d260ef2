// Writing and reading the state bytes of an Encoder record.
//
// Layout, all integers little-endian, no header:
//   u8 presence of encoding_info (0/1), then when present
//     u64 N, N × u64 column index                           string_columns
//     u64 M, M × (u64 column, u64 K, K × (text, optional code))   text_to_code
//     u64 M, M × (u64 column, u64 K, K × (u64 code, text))        code_to_text
//   u32 encoding_strat (0 = Label)
// A text is a u64 byte length and that many UTF-8 bytes; an optional code is
// a tag byte 0, or a tag byte 1 and a u64.
#include "engine/state_bytes.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <string_view>
#include <utility>

#include "engine/internal_error.hpp"
#include "engine/parallel_loops.hpp"
#include "engine/unaligned.hpp"

namespace quorix {

static_assert(sizeof(ColumnIndex) == 8 && sizeof(Code) == 8,
              "column indices and codes are stored as 64-bit integers");

namespace {

constexpr std::size_t kTagSize = 1;
constexpr std::size_t kStrategySize = 4;
constexpr std::size_t kWordSize = 8;

// ---- sizing ---------------------------------------------------------------

std::size_t text_size(std::string_view text) noexcept { return kWordSize + text.size(); }

std::size_t text_to_code_size(const TextToCode& map) noexcept {
    std::size_t size = kWordSize;
    for (const auto& [text, code] : map) {
        size += text_size(text) + kTagSize + (code ? kWordSize : 0);
    }
    return size;
}

std::size_t code_to_text_size(const CodeToText& map) noexcept {
    std::size_t size = kWordSize;
    for (const auto& [code, text] : map) size += kWordSize + text_size(text);
    return size;
}

std::size_t encoding_info_size(const EncodingInfo& info) noexcept {
    std::size_t size = kWordSize + kWordSize * info.string_columns.size();
    size += kWordSize;
    for (const auto& [column, map] : info.text_to_code) size += kWordSize + text_to_code_size(map);
    size += kWordSize;
    for (const auto& [column, map] : info.code_to_text) size += kWordSize + code_to_text_size(map);
    return size;
}

// ---- writing --------------------------------------------------------------

std::uint8_t* put_u8(std::uint8_t* out, std::uint8_t value) noexcept {
    *out = value;
    return out + 1;
}

// Spelled out byte by byte so the compiler merges them into one store.
std::uint8_t* put_u32(std::uint8_t* out, std::uint32_t value) noexcept {
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
    out[2] = static_cast<std::uint8_t>(value >> 16);
    out[3] = static_cast<std::uint8_t>(value >> 24);
    return out + 4;
}

std::uint8_t* put_u64(std::uint8_t* out, std::uint64_t value) noexcept {
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
    out[2] = static_cast<std::uint8_t>(value >> 16);
    out[3] = static_cast<std::uint8_t>(value >> 24);
    out[4] = static_cast<std::uint8_t>(value >> 32);
    out[5] = static_cast<std::uint8_t>(value >> 40);
    out[6] = static_cast<std::uint8_t>(value >> 48);
    out[7] = static_cast<std::uint8_t>(value >> 56);
    return out + 8;
}

std::uint8_t* put_text(std::uint8_t* out, std::string_view text) noexcept {
    out = put_u64(out, text.size());
    if (!text.empty()) std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

std::uint8_t* put_encoding_info(std::uint8_t* out, const EncodingInfo& info) noexcept {
    out = put_u64(out, info.string_columns.size());
    for (ColumnIndex column : info.string_columns) out = put_u64(out, column);

    out = put_u64(out, info.text_to_code.size());
    for (const auto& [column, map] : info.text_to_code) {
        out = put_u64(out, column);
        out = put_u64(out, map.size());
        for (const auto& [text, code] : map) {
            out = put_text(out, text);
            out = put_u8(out, code ? 1 : 0);
            if (code) out = put_u64(out, *code);
        }
    }

    out = put_u64(out, info.code_to_text.size());
    for (const auto& [column, map] : info.code_to_text) {
        out = put_u64(out, column);
        out = put_u64(out, map.size());
        for (const auto& [code, text] : map) {
            out = put_u64(out, code);
            out = put_text(out, text);
        }
    }
    return out;
}

std::uint8_t* put_encoder(std::uint8_t* out, const Encoder& encoder) noexcept {
    out = put_u8(out, encoder.encoding_info ? 1 : 0);
    if (encoder.encoding_info) out = put_encoding_info(out, *encoder.encoding_info);
    return put_u32(out, static_cast<std::uint32_t>(encoder.encoding_strat));
}

// ---- reading --------------------------------------------------------------
//
// In two passes. The scan walks the structure alone and checks every
// fixed-width item, text length and tag against the input, so the build can
// read each map's entries without bounds checks, and knows every map's real
// entry count before reserving for it: counts are trusted only as far as the
// input actually holds that many entries. Each map is built apart from the
// others and checks its own texts' UTF-8. Whatever fails, the input is
// scanned again with every text checked on the way, which names the first
// fault in input order: the error that reading item by item meets first.

// No container reserves room for more entries than fit in this many bytes.
constexpr std::size_t kReservationCap = 1 << 20;

// Room for `count` entries of a container whose entries the scan has seen,
// still within the cap: beyond it the container grows as entries arrive.
template <class Entry>
std::size_t capped_reservation(std::uint64_t count) noexcept {
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, kReservationCap / sizeof(Entry)));
}

// One per-column map: its column and its entries, checked by the scan.
struct MapRange {
    ColumnIndex column;
    std::uint64_t count;
    const std::uint8_t* entries;
};

struct Layout {
    bool has_info = false;
    std::uint64_t column_count = 0;
    const std::uint8_t* columns = nullptr;
    std::vector<MapRange> text_to_code;
    std::vector<MapRange> code_to_text;
    std::uint64_t entries = 0;  // in all per-column maps
};

// Walks the structure; false at the first item that does not read, which
// failure() then describes. Texts' UTF-8 is checked only with `check_texts`.
// Memory grows with the input only: a map range is noted after its column
// and count were read, 16 bytes at least.
class Scanner {
public:
    Scanner(std::span<const std::uint8_t> bytes, bool check_texts) noexcept
        : next_(bytes.data()), end_(bytes.data() + bytes.size()), check_texts_(check_texts) {}

    bool scan(Layout& layout) {
        std::uint8_t presence;
        if (!tag(presence)) return false;
        layout.has_info = presence == 1;
        if (layout.has_info) {
            if (!u64(layout.column_count)) return false;
            if (layout.column_count > remaining() / kWordSize) return end_of_input();
            layout.columns = next_;
            next_ += layout.column_count * kWordSize;
            if (!maps(layout.text_to_code, layout.entries, [this] { return text_to_code_entry(); })) return false;
            if (!maps(layout.code_to_text, layout.entries, [this] { return code_to_text_entry(); })) return false;
        }
        if (remaining() < kStrategySize) return end_of_input();
        const std::uint32_t strategy = static_cast<std::uint32_t>(next_[0]) | static_cast<std::uint32_t>(next_[1]) << 8 |
                                       static_cast<std::uint32_t>(next_[2]) << 16 |
                                       static_cast<std::uint32_t>(next_[3]) << 24;
        if (strategy != static_cast<std::uint32_t>(EncodingStrategy::Label)) {
            return fail("invalid value: integer `" + std::to_string(strategy) + "`, expected variant index 0 <= i < 1");
        }
        return true;
    }

    std::string& failure() noexcept { return failure_; }

private:
    std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - next_); }

    bool fail(std::string message) {
        failure_ = std::move(message);
        return false;
    }
    bool end_of_input() { return fail("io error: unexpected end of file"); }

    bool u8(std::uint8_t& value) {
        if (next_ == end_) return end_of_input();
        value = *next_++;
        return true;
    }

    // An optional's tag or the presence tag of encoding_info.
    bool tag(std::uint8_t& value) {
        if (!u8(value)) return false;
        if (value > 1) return fail("tag for enum is not valid, found " + std::to_string(value));
        return true;
    }

    bool u64(std::uint64_t& value) {
        if (remaining() < kWordSize) return end_of_input();
        value = load_little_endian<std::uint64_t>(next_);
        next_ += kWordSize;
        return true;
    }

    bool text() {
        std::uint64_t length;
        if (!u64(length)) return false;
        if (length > remaining()) return fail("io error: ");
        if (check_texts_) {
            if (auto fault = find_utf8_fault({next_, static_cast<std::size_t>(length)})) {
                return fail("string is not valid utf8: " + describe(*fault));
            }
        }
        next_ += length;
        return true;
    }

    bool text_to_code_entry() {
        std::uint8_t has_code;
        if (!text() || !tag(has_code)) return false;
        if (has_code == 0) return true;
        std::uint64_t code;
        return u64(code);
    }

    bool code_to_text_entry() {
        std::uint64_t code;
        return u64(code) && text();
    }

    template <class Entry>
    bool maps(std::vector<MapRange>& ranges, std::uint64_t& entries, Entry entry) {
        std::uint64_t count;
        if (!u64(count)) return false;
        for (std::uint64_t i = 0; i < count; ++i) {
            MapRange range;
            if (!u64(range.column) || !u64(range.count)) return false;
            range.entries = next_;
            for (std::uint64_t k = 0; k < range.count; ++k) {
                if (!entry()) return false;
            }
            ranges.push_back(range);
            entries += range.count;
        }
        return true;
    }

    const std::uint8_t* next_;
    const std::uint8_t* end_;
    bool check_texts_;
    std::string failure_;
};

// Entries are parsed and hashed a batch ahead of their inserts, and the
// slots they will probe first are prefetched, so the cache misses of a
// large index overlap instead of coming one after another.
constexpr std::size_t kInsertBatch = 16;

std::string_view take_text(const std::uint8_t*& p) noexcept {
    const std::size_t length = static_cast<std::size_t>(load_little_endian<std::uint64_t>(p));
    const char* content = reinterpret_cast<const char*>(p + kWordSize);
    p += kWordSize + length;
    return {content, length};
}

// Fills an empty map from entries the scan checked; false on a UTF-8 fault.
// `read_entry` takes one entry's key and value from the front of the bytes.
// Entries are parsed and hashed a batch at a time, so that the index slots
// they go to are fetched while the rest of the batch is read.
template <class Map, class Key, class Value, class ReadEntry>
bool build_map(const MapRange& range, Map& map, ReadEntry read_entry) {
    struct Pending {
        Key key;
        Value value;
        std::uint64_t hash;
    };
    map.reserve(capped_reservation<typename Map::value_type>(range.count));
    const std::uint8_t* p = range.entries;
    Pending batch[kInsertBatch];
    for (std::uint64_t done = 0; done < range.count;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kInsertBatch, range.count - done));
        for (std::size_t i = 0; i < n; ++i) {
            Pending& entry = batch[i];
            if (!read_entry(p, entry.key, entry.value)) return false;
            entry.hash = map.hash_key(entry.key);
            map.prefetch(entry.hash);
        }
        for (std::size_t i = 0; i < n; ++i) {
            map.insert_or_assign_hashed(batch[i].hash, batch[i].key, batch[i].value);
        }
        done += n;
    }
    return true;
}

bool build_text_to_code(const MapRange& range, TextToCode& map) {
    return build_map<TextToCode, std::string_view, std::optional<Code>>(
        range, map, [](const std::uint8_t*& p, std::string_view& text, std::optional<Code>& code) {
            text = take_text(p);
            if (!is_utf8(text)) return false;
            const bool has_code = *p++ == 1;
            code = has_code ? std::optional<Code>(load_little_endian<std::uint64_t>(p)) : std::nullopt;
            if (has_code) p += kWordSize;
            return true;
        });
}

bool build_code_to_text(const MapRange& range, CodeToText& map) {
    return build_map<CodeToText, Code, std::string_view>(
        range, map, [](const std::uint8_t*& p, Code& code, std::string_view& text) {
            code = load_little_endian<std::uint64_t>(p);
            p += kWordSize;
            text = take_text(p);
            return is_utf8(text);
        });
}

// The record of a scanned layout, or nothing when a text is not UTF-8.
std::optional<Encoder> build(const Layout& layout, std::size_t parallel_min_entries) {
    Encoder encoder;
    if (!layout.has_info) return encoder;

    const std::size_t to_code_count = layout.text_to_code.size();
    const std::size_t total = to_code_count + layout.code_to_text.size();
    std::vector<TextToCode> to_code(to_code_count);
    std::vector<CodeToText> to_text(layout.code_to_text.size());
    // One flag per map, written by whichever worker builds it.
    std::vector<unsigned char> valid(total, 0);
    auto build_one = [&](std::size_t i) {
        valid[i] = i < to_code_count ? build_text_to_code(layout.text_to_code[i], to_code[i])
                                     : build_code_to_text(layout.code_to_text[i - to_code_count],
                                                          to_text[i - to_code_count]);
    };
    if (total > 1 && layout.entries >= parallel_min_entries && pool_worker_count() > 1) {
        parallel_for_each_index(total, build_one);
    } else {
        for (std::size_t i = 0; i < total; ++i) {
            build_one(i);
            if (!valid[i]) return std::nullopt;
        }
    }
    if (std::find(valid.begin(), valid.end(), 0) != valid.end()) return std::nullopt;

    // Assembled in input order, so a repeated column replaces the earlier
    // map exactly as in the plain reader.
    EncodingInfo& info = encoder.encoding_info.emplace();
    info.string_columns.reserve(capped_reservation<ColumnIndex>(layout.column_count));
    for (std::size_t i = 0; i < layout.column_count; ++i) {
        info.string_columns.push_back(load_little_endian<std::uint64_t>(layout.columns + i * kWordSize));
    }
    info.text_to_code.reserve(capped_reservation<decltype(info.text_to_code)::value_type>(to_code_count));
    for (std::size_t i = 0; i < to_code_count; ++i) {
        info.text_to_code.insert_or_assign(layout.text_to_code[i].column, std::move(to_code[i]));
    }
    info.code_to_text.reserve(capped_reservation<decltype(info.code_to_text)::value_type>(to_text.size()));
    for (std::size_t i = 0; i < to_text.size(); ++i) {
        info.code_to_text.insert_or_assign(layout.code_to_text[i].column, std::move(to_text[i]));
    }
    return encoder;
}

}  // namespace

std::size_t state_size(const Encoder& encoder) noexcept {
    std::size_t size = kTagSize + kStrategySize;
    if (encoder.encoding_info) size += encoding_info_size(*encoder.encoding_info);
    return size;
}

void write_state(const Encoder& encoder, std::uint8_t* out) noexcept {
    [[maybe_unused]] std::uint8_t* end = put_encoder(out, encoder);
    assert(static_cast<std::size_t>(end - out) == state_size(encoder));
}

std::vector<std::uint8_t> encode_state(const Encoder& encoder) {
    std::vector<std::uint8_t> bytes(state_size(encoder));
    write_state(encoder, bytes.data());
    return bytes;
}

StateReadResult read_state_two_pass(std::span<const std::uint8_t> bytes,
                                    std::size_t parallel_min_entries) {
    Layout layout;
    if (Scanner(bytes, false).scan(layout)) {
        if (std::optional<Encoder> encoder = build(layout, parallel_min_entries)) return std::move(*encoder);
    }
    Scanner checking(bytes, true);
    Layout unused;
    if (checking.scan(unused)) panic("state bytes fail to read but scan clean");
    return StateReadError{std::move(checking.failure())};
}

StateReadResult read_state(std::span<const std::uint8_t> bytes) { return read_state_two_pass(bytes); }

}  // namespace quorix
