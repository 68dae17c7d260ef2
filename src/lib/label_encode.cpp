// Label encoding of one string column, by two roads with the same result.
#include "lib/label_encode.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>

#include "runtime/internal_error.hpp"
#include "runtime/parallel_loops.hpp"
#include "runtime/parallel_sort.hpp"
#include "runtime/uninitialized.hpp"

namespace quorix {

bool is_missing_marker(std::string_view text) noexcept {
    return text == "nan" || text == "NaN" || text == "<NA>";
}

double missing_code() noexcept { return std::bit_cast<double>(std::uint64_t{0x7FF8000000000000}); }

namespace {

// Rows per piece of the row loops: enough to make a fork worth its cost.
constexpr std::size_t row_grain = 4096;

double code_cell(const std::optional<Code>& code) noexcept {
    return code ? static_cast<double>(*code) : missing_code();
}

// The positions of the markers among distinct texts in ascending order:
// at most three, each found by binary search.
template <class TextAt>
std::vector<std::size_t> marker_positions(std::size_t count, const TextAt& text_at) {
    std::vector<std::size_t> positions;
    for (const std::string_view marker : {"<NA>", "NaN", "nan"}) {
        std::size_t low = 0, high = count;
        while (low < high) {
            const std::size_t mid = low + (high - low) / 2;
            if (text_at(mid) < marker) {
                low = mid + 1;
            } else {
                high = mid;
            }
        }
        if (low < count && text_at(low) == marker) positions.push_back(low);
    }
    return positions;
}

}  // namespace

TextToCode text_to_code_of_ascending(std::span<const std::string_view> distinct) {
    TextToCode map;
    const std::vector<std::size_t> markers =
        marker_positions(distinct.size(), [&](std::size_t i) { return distinct[i]; });
    map.assign_ascending(
        distinct.size(), markers, [&](std::size_t i) { return distinct[i].size(); },
        [&](std::size_t i, char* destination) {
            if (!distinct[i].empty()) std::memcpy(destination, distinct[i].data(), distinct[i].size());
        },
        [&](std::size_t i) { return map.hash_key(distinct[i]); });
    return map;
}

namespace label_encode_roads {

LabelEncoding by_sorting(const TextColumn& texts) {
    const std::size_t n = texts.size();
    LabelEncoding result;

    UninitializedVector<std::string_view> distinct(n);
    parallel_for_each_index(n, [&](std::size_t r) { distinct[r] = texts[r]; }, row_grain);
    parallel_sort(std::span<std::string_view>(distinct));
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    result.text_to_code = text_to_code_of_ascending(distinct);
    distinct = {};

    result.codes.resize(n);
    const TextToCode& map = result.text_to_code;
    parallel_for_each_index(
        n,
        [&](std::size_t r) {
            const auto entry = map.find(texts[r]);
            if (entry == map.end()) panic("no entry found for key");
            result.codes[r] = code_cell(entry->second);
        },
        row_grain);
    return result;
}

namespace {

// Rows are spread over this many partitions by the top bits of their hash;
// equal texts land in the same one, so partitions deduplicate independently.
constexpr unsigned partition_bits = 6;
constexpr std::size_t partition_count = std::size_t{1} << partition_bits;
constexpr std::size_t block_rows = std::size_t{1} << 14;

std::size_t partition_of(std::uint64_t hash) noexcept {
    return static_cast<std::size_t>(hash >> (64 - partition_bits));
}

// The first sixteen bytes as two big-endian words, zero-padded. Equal texts
// have equal heads, and comparing two heads gives the byte-wise order of
// the texts whenever they differ, so most comparisons stay on integers.
struct Head {
    std::uint64_t high;
    std::uint64_t low;
    friend bool operator==(const Head&, const Head&) = default;
    friend auto operator<=>(const Head&, const Head&) = default;
};

Head head_of(std::string_view text) noexcept {
    unsigned char bytes[16] = {};
    // An empty view may have no data at all, which memcpy must not be given.
    if (!text.empty()) std::memcpy(bytes, text.data(), std::min<std::size_t>(text.size(), 16));
    std::uint64_t high, low;
    std::memcpy(&high, bytes, 8);
    std::memcpy(&low, bytes + 8, 8);
    if constexpr (std::endian::native == std::endian::little) {
        high = __builtin_bswap64(high);
        low = __builtin_bswap64(low);
    }
    return {high, low};
}

constexpr std::size_t head_bytes = 16;

// The first `length` bytes of a head, back in text order.
void write_head(const Head& head, std::size_t length, char* destination) noexcept {
    std::uint64_t words[2] = {head.high, head.low};
    if constexpr (std::endian::native == std::endian::little) {
        words[0] = __builtin_bswap64(words[0]);
        words[1] = __builtin_bswap64(words[1]);
    }
    if (length != 0) std::memcpy(destination, words, length);
}

// One row as the partition pass reads it: streamed in order, so that
// deduplicating touches the row's own bytes only for texts beyond the head.
struct RowRecord {
    std::uint64_t hash;
    Head head;
    std::uint32_t row;
    std::uint32_t length;
};

// The distinct texts of one partition, numbered in order of first
// appearance. Their bytes beyond the head are kept in a local arena, which
// stays in cache while the partition's rows stream past.
class DistinctTexts {
public:
    std::uint32_t find_or_add(const RowRecord& record, const TextColumn& texts) {
        if ((seen_.size() + 1) * 2 > slots_.size()) grow();
        const std::size_t mask = slots_.size() - 1;
        const std::uint64_t tag = record.hash & ~std::uint64_t{0xFFFFFFFF};
        for (std::size_t i = static_cast<std::size_t>(record.hash) & mask;; i = (i + 1) & mask) {
            const std::uint64_t slot = slots_[i];
            if (slot == 0) {
                const auto id = static_cast<std::uint32_t>(seen_.size());
                slots_[i] = tag | (id + 1);
                seen_.push_back({record.hash, record.head, arena_.size(), record.length, record.row});
                if (record.length > head_bytes) arena_.append(texts[record.row].substr(head_bytes));
                return id;
            }
            // The high half of a slot holds the high half of the hash, which
            // rejects nearly every mismatch before anything else is read.
            if ((slot & ~std::uint64_t{0xFFFFFFFF}) == tag) {
                const auto id = static_cast<std::uint32_t>(slot - 1);
                if (same_text(seen_[id], record, texts)) return id;
            }
        }
    }

    std::size_t size() const noexcept { return seen_.size(); }
    Head head(std::size_t id) const noexcept { return seen_[id].head; }
    std::uint32_t first_row(std::size_t id) const noexcept { return seen_[id].first_row; }
    std::uint64_t hash(std::size_t id) const noexcept { return seen_[id].hash; }
    std::uint32_t length(std::size_t id) const noexcept { return seen_[id].length; }

private:
    struct Seen {
        std::uint64_t hash;
        Head head;
        std::size_t tail;  // arena offset of the bytes after the head
        std::uint32_t length;
        std::uint32_t first_row;
    };

    bool same_text(const Seen& seen, const RowRecord& record, const TextColumn& texts) const noexcept {
        if (seen.length != record.length || seen.head != record.head) return false;
        if (record.length <= head_bytes) return true;
        return std::memcmp(texts[record.row].data() + head_bytes, arena_.data() + seen.tail,
                           record.length - head_bytes) == 0;
    }

    // Linear probing at load at most 1/2; a slot is (hash high half, id + 1), 0 empty.
    void grow() {
        std::vector<std::uint64_t> slots(std::max<std::size_t>(64, slots_.size() * 2), 0);
        const std::size_t mask = slots.size() - 1;
        for (std::size_t id = 0; id < seen_.size(); ++id) {
            std::size_t i = static_cast<std::size_t>(seen_[id].hash) & mask;
            while (slots[i] != 0) i = (i + 1) & mask;
            slots[i] = (seen_[id].hash & ~std::uint64_t{0xFFFFFFFF}) | (id + 1);
        }
        slots_ = std::move(slots);
    }

    std::vector<std::uint64_t> slots_;
    std::vector<Seen> seen_;
    std::string arena_;
};

// A distinct text as the sort moves it: its head, and its number, through
// which its full text is found when two heads tie.
struct DistinctEntry {
    Head head;
    std::uint64_t hash;
    std::uint32_t id;  // dense over all partitions
    std::uint32_t length;
};

// Byte `depth` of a head: the head's words are big-endian, so these are the
// text's first sixteen bytes, zero-padded.
unsigned head_byte(const DistinctEntry& entry, unsigned depth) noexcept {
    const std::uint64_t word = depth < 8 ? entry.head.high : entry.head.low;
    return static_cast<unsigned>(word >> (56 - 8 * (depth % 8))) & 0xFF;
}

}  // namespace

LabelEncoding by_hashing(const TextColumn& texts) {
    const std::size_t n = texts.size();
    if (n >= std::numeric_limits<std::uint32_t>::max()) return by_sorting(texts);  // 32-bit row ids
    LabelEncoding result;
    if (n == 0) return result;
    // Rows are hashed once, with the map's own seeded hash (random per map:
    // partitions are not predictable from outside); the map's inserts and
    // their order reuse the hash.
    TextToCode& map = result.text_to_code;
    const SeededHash& hasher = map.hash_function();

    // 1. Hash every row and count the rows per (block, partition).
    const std::size_t blocks = (n + block_rows - 1) / block_rows;
    // The heads are taken while the text is at hand: the rows' texts lie
    // anywhere in memory, and are read once here.
    UninitializedVector<std::uint64_t> hashes(n);
    UninitializedVector<Head> heads(n);
    std::vector<std::uint32_t> counts(blocks * partition_count, 0);
    std::vector<std::size_t> longest(blocks, 0);
    parallel_for_each_index(blocks, [&](std::size_t b) {
        std::uint32_t* count = &counts[b * partition_count];
        constexpr std::size_t ahead = 8;
        for (std::size_t r = b * block_rows, end = std::min(n, r + block_rows); r < end; ++r) {
            if (r + ahead < end) __builtin_prefetch(texts[r + ahead].data());
            const std::string_view text = texts[r];
            const std::uint64_t hash = hasher(text);
            hashes[r] = hash;
            heads[r] = head_of(text);
            ++count[partition_of(hash)];
            longest[b] = std::max(longest[b], text.size());
        }
    });
    if (*std::max_element(longest.begin(), longest.end()) > std::numeric_limits<std::uint32_t>::max()) {
        return by_sorting(texts);  // the records below hold 32-bit lengths
    }

    // 2. Scatter the rows as records so that each partition's rows are
    // contiguous (and ascending within it).
    std::vector<std::size_t> cursors(blocks * partition_count);
    std::vector<std::size_t> partition_begin(partition_count + 1);
    std::size_t position = 0;
    for (std::size_t p = 0; p < partition_count; ++p) {
        partition_begin[p] = position;
        for (std::size_t b = 0; b < blocks; ++b) {
            cursors[b * partition_count + p] = position;
            position += counts[b * partition_count + p];
        }
    }
    partition_begin[partition_count] = position;
    counts = {};
    UninitializedVector<RowRecord> records(n);
    parallel_for_each_index(blocks, [&](std::size_t b) {
        std::size_t* cursor = &cursors[b * partition_count];
        for (std::size_t r = b * block_rows, end = std::min(n, r + block_rows); r < end; ++r) {
            const std::uint64_t hash = hashes[r];
            records[cursor[partition_of(hash)]++] = {hash, heads[r], static_cast<std::uint32_t>(r),
                                                     static_cast<std::uint32_t>(texts[r].size())};
        }
    });
    cursors = {};
    heads = {};

    // 3. Deduplicate each partition; row r gets the id of its text within it.
    UninitializedVector<std::uint32_t> local_ids(n);
    std::vector<DistinctTexts> tables(partition_count);
    parallel_for_each_index(partition_count, [&](std::size_t p) {
        for (std::size_t i = partition_begin[p]; i < partition_begin[p + 1]; ++i) {
            local_ids[records[i].row] = tables[p].find_or_add(records[i], texts);
        }
    });
    records = {};
    std::vector<std::size_t> id_base(partition_count + 1, 0);
    for (std::size_t p = 0; p < partition_count; ++p) id_base[p + 1] = id_base[p] + tables[p].size();
    const std::size_t k = id_base[partition_count];
    UninitializedVector<std::uint32_t> first_row(k);
    parallel_for_each_index(partition_count, [&](std::size_t p) {
        for (std::size_t j = 0; j < tables[p].size(); ++j) first_row[id_base[p] + j] = tables[p].first_row(j);
    });
    const auto text_of = [&](std::uint32_t id) { return texts[first_row[id]]; };

    // 4. Sort the distinct texts: byte-wise on the heads, in full where
    // they share their sixteen first bytes.
    UninitializedVector<DistinctEntry> sorted(k);
    parallel_for_each_index(partition_count, [&](std::size_t p) {
        for (std::size_t j = 0; j < tables[p].size(); ++j) {
            const auto id = static_cast<std::uint32_t>(id_base[p] + j);
            sorted[id] = {tables[p].head(j), tables[p].hash(j), id, tables[p].length(j)};
        }
    });
    tables = {};
    parallel_radix_sort(std::span<DistinctEntry>(sorted), head_bytes, head_byte,
                        [&](const DistinctEntry& a, const DistinctEntry& b) {
                            if (!(a.head == b.head)) return a.head < b.head;
                            return text_of(a.id) < text_of(b.id);
                        });

    // 5. The map: the texts in byte order, each copied once into its store;
    // a text's code is its position minus the markers before it. A text of
    // at most sixteen bytes is its head, which the sorted entries hold in
    // order: only longer texts are read from the rows, out of order.
    const std::vector<std::size_t> markers =
        marker_positions(k, [&](std::size_t i) { return text_of(sorted[i].id); });
    map.assign_ascending(
        k, markers, [&](std::size_t i) { return sorted[i].length; },
        [&](std::size_t i, char* destination) {
            const DistinctEntry& entry = sorted[i];
            if (entry.length <= head_bytes) {
                write_head(entry.head, entry.length, destination);
            } else {
                std::memcpy(destination, text_of(entry.id).data(), entry.length);
            }
        },
        [&](std::size_t i) { return sorted[i].hash; });

    // 6. Codes into the rows, through each distinct text's code.
    UninitializedVector<double> code_of(k);
    parallel_for_ranges(k, row_grain, [&](std::size_t begin, std::size_t end) {
        std::size_t next_marker = static_cast<std::size_t>(
            std::count_if(markers.begin(), markers.end(), [&](std::size_t m) { return m < begin; }));
        for (std::size_t i = begin; i < end; ++i) {
            if (next_marker < markers.size() && markers[next_marker] == i) {
                code_of[sorted[i].id] = missing_code();
                ++next_marker;
            } else {
                code_of[sorted[i].id] = static_cast<double>(i - next_marker);
            }
        }
    });
    sorted = {};
    result.codes.resize(n);
    parallel_for_each_index(
        n,
        [&](std::size_t r) { result.codes[r] = code_of[id_base[partition_of(hashes[r])] + local_ids[r]]; },
        row_grain);
    return result;
}

}  // namespace label_encode_roads

LabelEncoding label_encode(const TextColumn& texts) {
    // Hashing pays off once there are enough rows to share out; both roads
    // give the same result.
    constexpr std::size_t hashing_from_rows = 2048;
    if (texts.size() < hashing_from_rows) return label_encode_roads::by_sorting(texts);
    return label_encode_roads::by_hashing(texts);
}

}  // namespace quorix
