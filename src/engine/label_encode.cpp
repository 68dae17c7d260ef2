// Label encoding of one string column, by two strategies with the same result.
#include "engine/label_encode.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>

#include "engine/internal_error.hpp"
#include "engine/large_blocks.hpp"
#include "engine/parallel_loops.hpp"
#include "engine/parallel_sort.hpp"
#include "engine/uninitialized.hpp"

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
        [&](std::size_t, std::string_view text) { return map.hash_key(text); });
    return map;
}

namespace label_encode_strategies {

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
            if (entry == map.end()) panic(kNoEntryForKey);
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

// One row as the passes move it, and later one distinct text: its head, its
// hash (replaced by the text's number once the rows are deduplicated, when
// the hash is no longer needed), its row (for a distinct text, the first
// row that holds it) and its length.
struct Record {
    Head head;
    union {
        std::uint64_t hash;
        std::uint64_t id;
    };
    std::uint32_t row;
    std::uint32_t length;
};

// The distinct texts of one partition, numbered in order of first
// appearance. Their records are written over the partition's own row
// records, which are read in order, so a text's record never lands on a row
// not yet read. Their bytes beyond the head are kept in a local arena, which
// stays in cache while the partition's rows stream past. It probes slots of
// its own rather than SlotIndex's: on SlotIndex, encode took 3 to 25% more
// CPU on one worker, this being the innermost loop of every encode.
class DistinctRecords {
public:
    DistinctRecords(Record* out, std::size_t skip) noexcept : out_(out), skip_(skip) {}

    std::uint32_t find_or_add(const Record& row, const TextColumn& texts) {
        if ((size_ + 1) * 2 > slots_.size()) grow();
        const std::size_t mask = slots_.size() - 1;
        const std::uint64_t tag = row.hash & ~std::uint64_t{0xFFFFFFFF};
        for (std::size_t i = static_cast<std::size_t>(row.hash) & mask;; i = (i + 1) & mask) {
            const std::uint64_t slot = slots_[i];
            if (slot == 0) return add(row, texts, i, tag);
            // The high half of a slot holds the high half of the hash, which
            // rejects nearly every mismatch before anything else is read.
            if ((slot & ~std::uint64_t{0xFFFFFFFF}) == tag) {
                const auto id = static_cast<std::uint32_t>(slot - 1);
                if (same_text(id, row, texts)) return id;
            }
        }
    }

    std::size_t size() const noexcept { return size_; }

private:
    std::uint32_t add(const Record& row, const TextColumn& texts, std::size_t slot, std::uint64_t tag) {
        const auto id = static_cast<std::uint32_t>(size_);
        const Record copy = row;  // out_[id] may be this very row
        if (copy.length > skip_ + head_bytes || !tail_of_.empty()) {
            tail_of_.resize(id + 1, 0);
            tail_of_[id] = arena_.size();
            if (copy.length > skip_ + head_bytes) arena_.append(texts[copy.row].substr(skip_ + head_bytes));
        }
        slots_[slot] = tag | (id + 1);
        out_[id] = copy;
        ++size_;
        return id;
    }

    bool same_text(std::uint32_t id, const Record& row, const TextColumn& texts) const noexcept {
        const Record& seen = out_[id];
        if (seen.length != row.length || seen.head != row.head) return false;
        if (row.length <= skip_ + head_bytes) return true;
        return std::memcmp(texts[row.row].data() + skip_ + head_bytes, arena_.data() + tail_of_[id],
                           row.length - skip_ - head_bytes) == 0;
    }

    // Linear probing at load at most 1/2; a slot is (hash high half, id + 1), 0 empty.
    void grow() {
        std::vector<std::uint64_t> slots(std::max<std::size_t>(64, slots_.size() * 2), 0);
        const std::size_t mask = slots.size() - 1;
        for (std::size_t id = 0; id < size_; ++id) {
            const std::uint64_t hash = out_[id].hash;
            std::size_t i = static_cast<std::size_t>(hash) & mask;
            while (slots[i] != 0) i = (i + 1) & mask;
            slots[i] = (hash & ~std::uint64_t{0xFFFFFFFF}) | (id + 1);
        }
        slots_ = std::move(slots);
    }

    Record* out_;
    std::size_t skip_;
    std::size_t size_ = 0;
    std::vector<std::uint64_t> slots_;
    std::string arena_;
    std::vector<std::size_t> tail_of_;  // arena offsets, once a text beyond the head was seen
};

// Byte `depth` of a head: the head's words are big-endian, so these are the
// text's sixteen bytes after the shared prefix, zero-padded.
unsigned head_byte(const Record& record, unsigned depth) noexcept {
    const std::uint64_t word = depth < 8 ? record.head.high : record.head.low;
    return static_cast<unsigned>(word >> (56 - 8 * (depth % 8))) & 0xFF;
}

// The length of the prefix that `text` shares with `first`, at most `limit`.
std::size_t shared_prefix(std::string_view first, std::string_view text, std::size_t limit) noexcept {
    limit = std::min({limit, first.size(), text.size()});
    std::size_t i = 0;
    while (i < limit && first[i] == text[i]) ++i;
    return i;
}

// A block of records that serve one pass after another.
template <class T>
class Scratch {
public:
    explicit Scratch(std::size_t count)
        : block_(static_cast<T*>(allocate_block(count * sizeof(T)))), count_(count) {}
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { reset(); }
    T* get() const noexcept { return block_; }
    T& operator[](std::size_t i) const noexcept { return block_[i]; }
    // Gives the block back early, for what comes next to reuse.
    void reset() noexcept {
        release_block(block_, count_ * sizeof(T));
        block_ = nullptr;
        count_ = 0;
    }

private:
    T* block_;
    std::size_t count_;
};

// ---- the hashing strategy, step by step ------------------------------------
//
// Two blocks of n records carry the rows through every step: `rows` in row
// order, then `records` by partition, deduplicated in place; `rows` is then
// the sort's second buffer and, last, each distinct text's code.

std::string_view text_of(const TextColumn& texts, const Record& record) noexcept { return texts[record.row]; }

// What the first pass learns of the rows: how many fall in each (block,
// partition), and how many bytes all of them share from the start, which
// the heads then leave out.
struct RowCensus {
    std::size_t blocks = 0;
    std::vector<std::uint32_t> counts;  // counts[b * partition_count + p]
    std::size_t skip = 0;
};

// 1. Hashes every row, takes its head while the text is at hand (the rows'
// texts lie anywhere in memory), counts the rows per (block, partition),
// and finds how many bytes all rows share from the start. Nothing for a
// column with a text too long for the records' 32-bit lengths.
std::optional<RowCensus> take_rows(const TextColumn& texts, const SeededHash& hasher, Record* rows) {
    const std::size_t n = texts.size();
    RowCensus census;
    const std::size_t blocks = census.blocks = (n + block_rows - 1) / block_rows;
    census.counts.assign(blocks * partition_count, 0);
    std::vector<std::size_t> longest(blocks, 0);
    const std::string_view first_text = texts[0];
    std::vector<std::size_t> shared(blocks, 0);
    parallel_for_each_index(blocks, [&](std::size_t b) {
        std::uint32_t* count = &census.counts[b * partition_count];
        std::size_t block_shared = first_text.size();
        constexpr std::size_t ahead = 8;
        for (std::size_t r = b * block_rows, end = std::min(n, r + block_rows); r < end; ++r) {
            if (r + ahead < end) __builtin_prefetch(texts[r + ahead].data());
            const std::string_view text = texts[r];
            const std::uint64_t hash = hasher(text);
            Record& record = rows[r];
            record.head = head_of(text);
            record.hash = hash;
            record.row = static_cast<std::uint32_t>(r);
            record.length = static_cast<std::uint32_t>(std::min<std::size_t>(text.size(), 0xFFFFFFFF));
            ++count[partition_of(hash)];
            longest[b] = std::max(longest[b], text.size());
            if (block_shared != 0) block_shared = shared_prefix(first_text, text, block_shared);
        }
        shared[b] = block_shared;
    });
    if (*std::max_element(longest.begin(), longest.end()) >= std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    // Texts that all begin alike are told apart by the bytes after that
    // beginning: the heads are taken again from there.
    const std::size_t skip = *std::min_element(shared.begin(), shared.end());
    if (skip >= head_bytes / 2) {
        census.skip = skip;
        parallel_for_each_index(
            n, [&](std::size_t r) { rows[r].head = head_of(texts[r].substr(skip)); }, row_grain);
    }
    return census;
}

// Where the records of each partition go: together, and in row order.
struct PartitionPlan {
    std::vector<std::size_t> cursors;  // per (block, partition): where its next record goes
    std::vector<std::size_t> begin;    // per partition, and the end of the last
};

PartitionPlan plan_partitions(RowCensus& census) {
    const std::size_t blocks = census.blocks;
    PartitionPlan plan{std::vector<std::size_t>(blocks * partition_count), std::vector<std::size_t>(partition_count + 1)};
    std::size_t position = 0;
    for (std::size_t p = 0; p < partition_count; ++p) {
        plan.begin[p] = position;
        for (std::size_t b = 0; b < blocks; ++b) {
            plan.cursors[b * partition_count + p] = position;
            position += census.counts[b * partition_count + p];
        }
    }
    plan.begin[partition_count] = position;
    census.counts = {};
    return plan;
}

// 2. Scatters the records so that each partition's rows are contiguous
// (and ascending within it).
void scatter(PartitionPlan& plan, std::size_t blocks, std::size_t n, const Record* rows, Record* records) {
    parallel_for_each_index(blocks, [&](std::size_t b) {
        std::size_t* cursor = &plan.cursors[b * partition_count];
        for (std::size_t r = b * block_rows, end = std::min(n, r + block_rows); r < end; ++r) {
            records[cursor[partition_of(rows[r].hash)]++] = rows[r];
        }
    });
    plan.cursors = {};
}

// The distinct texts, numbered: the number of each row's text, and how many
// there are. Their records lie first in the records' block, text i's at i.
struct NumberedTexts {
    UninitializedVector<std::uint32_t> ids;  // per row
    std::size_t count = 0;
};

// 3. Deduplicates each partition in place; row r gets the number of its
// text within its partition, then, once the partitions are counted, the
// number of its text among all.
NumberedTexts deduplicate(const TextColumn& texts, const std::vector<std::size_t>& partition_begin,
                           std::size_t skip, const Record* rows, Record* records) {
    const std::size_t n = texts.size();
    NumberedTexts distinct{UninitializedVector<std::uint32_t>(n), 0};
    UninitializedVector<std::uint32_t>& ids = distinct.ids;
    std::vector<std::size_t> id_base(partition_count + 1, 0);
    parallel_for_each_index(partition_count, [&](std::size_t p) {
        DistinctRecords table(records + partition_begin[p], skip);
        for (std::size_t i = partition_begin[p]; i < partition_begin[p + 1]; ++i) {
            ids[records[i].row] = table.find_or_add(records[i], texts);
        }
        id_base[p + 1] = table.size();
    });
    for (std::size_t p = 0; p < partition_count; ++p) id_base[p + 1] += id_base[p];
    const std::size_t k = distinct.count = id_base[partition_count];
    parallel_for_each_index(
        n, [&](std::size_t r) { ids[r] += static_cast<std::uint32_t>(id_base[partition_of(rows[r].hash)]); },
        row_grain);
    // The partitions' texts, moved together (each block moves down, never
    // past one still to move), get their numbers.
    for (std::size_t p = 0; p < partition_count; ++p) {
        const std::size_t count = id_base[p + 1] - id_base[p];
        if (count != 0 && id_base[p] != partition_begin[p]) {
            std::memmove(records + id_base[p], records + partition_begin[p], count * sizeof(Record));
        }
    }
    parallel_for_each_index(k, [&](std::size_t id) { records[id].id = id; }, row_grain);
    return distinct;
}

// 4. Sorts the k distinct texts, with `spare` as the second buffer:
// byte-wise on the heads, in full where their heads tie.
std::span<const Record> sort_distinct(const TextColumn& texts, std::size_t skip, Record* records, Record* spare,
                                      std::size_t k) {
    parallel_radix_sort(std::span<Record>(records, k), std::span<Record>(spare, k), head_bytes, head_byte,
                        [&](const Record& a, const Record& b) {
                            if (!(a.head == b.head)) return a.head < b.head;
                            return text_of(texts, a).substr(skip) < text_of(texts, b).substr(skip);
                        });
    return {records, k};
}

// 5. A text's code is its position minus the markers before it, noted in
// `code_of` by text number; the rows take their texts' codes.
void write_codes(std::span<const Record> sorted, const std::vector<std::size_t>& markers, double* code_of,
                 const UninitializedVector<std::uint32_t>& ids, double* codes, std::size_t stride) {
    parallel_for_ranges(sorted.size(), row_grain, [&](std::size_t begin, std::size_t end) {
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
    parallel_for_each_index(ids.size(), [&](std::size_t r) { codes[r * stride] = code_of[ids[r]]; }, row_grain);
}

// 6. The map: the texts in byte order, each copied once into its store.
// A text that ends within its head is the shared beginning and the head,
// which the sorted records hold in order: only longer texts are read from
// the rows, out of order. The index hashes the stored texts afresh.
void fill_map(TextToCode& map, const TextColumn& texts, std::size_t skip, std::span<const Record> sorted,
              const std::vector<std::size_t>& markers) {
    const std::string_view first_text = texts[0];
    map.assign_ascending(
        sorted.size(), markers, [&](std::size_t i) { return sorted[i].length; },
        [&](std::size_t i, char* destination) {
            const Record& entry = sorted[i];
            if (entry.length <= skip + head_bytes) {
                if (skip != 0) std::memcpy(destination, first_text.data(), skip);
                write_head(entry.head, entry.length - skip, destination + skip);
            } else {
                std::memcpy(destination, text_of(texts, entry).data(), entry.length);
            }
        },
        [&](std::size_t, std::string_view text) { return map.hash_key(text); });
}

}  // namespace

LabelEncoding by_hashing(const TextColumn& texts) {
    LabelEncoding result;
    if (texts.size() == 0) return result;
    UninitializedVector<double> codes(texts.size());
    if (!into_by_hashing(texts, result.text_to_code, codes.data(), 1)) return by_sorting(texts);
    result.codes = std::move(codes);
    return result;
}

bool into_by_hashing(const TextColumn& texts, TextToCode& map, double* codes, std::size_t stride) {
    const std::size_t n = texts.size();
    if (n >= std::numeric_limits<std::uint32_t>::max()) return false;  // 32-bit row ids
    if (n == 0) return true;
    Scratch<Record> rows(n);
    // Rows are hashed once, with the map's own seeded hash (random per map:
    // partitions are not predictable from outside).
    std::optional<RowCensus> census = take_rows(texts, map.hash_function(), rows.get());
    if (!census) return false;
    const std::size_t skip = census->skip;
    PartitionPlan plan = plan_partitions(*census);
    Scratch<Record> records(n);
    scatter(plan, census->blocks, n, rows.get(), records.get());
    NumberedTexts distinct = deduplicate(texts, plan.begin, skip, rows.get(), records.get());
    const std::span<const Record> sorted = sort_distinct(texts, skip, records.get(), rows.get(), distinct.count);
    const std::vector<std::size_t> markers =
        marker_positions(sorted.size(), [&](std::size_t i) { return text_of(texts, sorted[i]); });
    if (codes != nullptr) write_codes(sorted, markers, reinterpret_cast<double*>(rows.get()), distinct.ids, codes, stride);
    // What the map is built in next may reuse these blocks.
    distinct.ids = {};
    rows.reset();
    fill_map(map, texts, skip, sorted, markers);
    return true;
}

}  // namespace label_encode_strategies

namespace {
// Hashing pays off once there are enough rows to share out; both strategies
// give the same result.
constexpr std::size_t hashing_from_rows = 2048;
}  // namespace

LabelEncoding label_encode(const TextColumn& texts) {
    if (texts.size() < hashing_from_rows) return label_encode_strategies::by_sorting(texts);
    return label_encode_strategies::by_hashing(texts);
}

TextToCode label_encode_into(const TextColumn& texts, double* codes, std::size_t stride) {
    if (texts.size() >= hashing_from_rows) {
        TextToCode map;
        if (label_encode_strategies::into_by_hashing(texts, map, codes, stride)) return map;
    }
    LabelEncoding encoded = label_encode_strategies::by_sorting(texts);
    if (codes == nullptr) return std::move(encoded.text_to_code);
    parallel_for_each_index(
        encoded.codes.size(), [&](std::size_t r) { codes[r * stride] = encoded.codes[r]; }, row_grain);
    return std::move(encoded.text_to_code);
}

}  // namespace quorix
