// Decoded cells written in bulk.
//
// Cells are read as entries of their column's code-to-text map, and each
// entry's str is kept (DecodedTexts) once made: a later decode of the same
// learned state only takes references. Per column, a count table covers the
// map's entries; a map much larger than the rows is looked up row by row
// instead (its rows listed). The work goes in four steps, only the second of
// which can fail:
//   1. count (workers, in blocks of rows, sharing each column's counts): how
//      many cells hold each entry, for a column whose strs are not all kept
//      yet; the rows holding an entry, for a column looked up row by row;
//   2. make (calling thread): the str of every entry that occurs and has
//      none kept yet, into the kept strs;
//   3. layout (workers, in blocks of rows): every slot gets its str's
//      pointer, without touching a reference count; a column whose strs were
//      all kept already is counted in this pass, not in step 1;
//   4. take (calling thread): each kept str that occurs is given at once the
//      references of all the cells holding it; the listed rows, and the cells
//      holding the no-text object, take theirs.
// From 3 on no Python code runs and nothing fails, so no one sees a str whose
// count does not match its holders; a failure in 2 leaves the strs made so
// far kept, holding only the kept reference. A later decode of the same
// codes thus makes no str and reads the codes once.
#include "binding/text_cells.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <utility>

#include "engine/parallel_loops.hpp"

namespace quorix {
namespace {

// A column's cells are counted per entry of its map when the map has at most
// this many entries per row; a larger map is looked up row by row.
constexpr std::size_t kTableLimit = 2;
// Rows per layout job: a block's slots stay in the cache while its columns
// are written.
constexpr std::size_t kRowBlock = 8192;
// How many cells ahead the layout asks for the kept strs' slots.
constexpr std::size_t kEntryAhead = 16;

// A cell value (not NaN) as a code: saturating at both ends, else truncated.
Code cell_code(double value) noexcept {
    if (value >= 18446744073709551616.0) return ~Code{0};  // 2^64, and +inf
    if (value < 0.0) return 0;                              // and -inf
    return static_cast<Code>(value);
}

Result<PyRef> new_str(std::string_view text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

bool is_ascii(std::string_view text) noexcept {
    unsigned char any = 0;
    for (const char byte : text) any |= static_cast<unsigned char>(byte);
    return any < 0x80;
}

#ifdef Py_GIL_DISABLED
#error "decoding sets reference counts in bulk, which the free-threaded interpreter's split counts do not allow"
#endif

#if PY_VERSION_HEX >= 0x030C0000
// From 3.12 (PEP 683) only the low 32 bits of a count are read: Py_INCREF
// stops at this value, and any count from 2^31 up marks the object immortal.
constexpr Py_ssize_t kPinnedCount = 0xFFFFFFFF;
#endif

// The cells now holding `object` by its bare pointer take their references:
// `cells` more, leaving the count where as many Py_INCREF calls would. An immortal object's count never moves
// (Py_SET_REFCNT leaves it alone: the empty str and those of one Latin-1
// character are immortal from 3.12), and a count that reaches 2^31 is pinned
// as Py_INCREF pins it, which makes the object immortal rather than letting
// the low 32 bits wrap.
void count_cell_references(PyObject* object, std::ptrdiff_t cells) noexcept {
    Py_ssize_t count = Py_REFCNT(object) + cells;
#if PY_VERSION_HEX >= 0x030C0000
    count = std::min(count, kPinnedCount);
#endif
    Py_SET_REFCNT(object, count);
}

class ColumnCells {
public:
    ColumnCells(const Matrix& matrix, const TextColumnTarget& target, DecodedTexts::Column& kept)
        : matrix_(matrix), target_(target), map_(*target.map), kept_(kept),
          counted_(map_.size() <= kTableLimit * matrix.rows()),
          complete_(kept.made == kept.strs.size()), counts_(counted_ ? map_.size() : 0, 0) {}
    ColumnCells(const ColumnCells&) = delete;
    ColumnCells& operator=(const ColumnCells&) = delete;

    // Whether step 1 must run: some str may be missing, or the rows are listed.
    bool counts_first() const noexcept { return !counted_ || !complete_; }
    bool counted() const noexcept { return counted_; }

    // Step 1 for rows [begin, end) of a counted column, on a worker; the
    // workers share the column's counts.
    void count(std::size_t begin, std::size_t end) noexcept {
        for (std::size_t r = begin; r < end; ++r) {
            const std::size_t entry = entry_at(r);
            if (entry != kNoEntry) std::atomic_ref(counts_[entry]).fetch_add(1, std::memory_order_relaxed);
        }
    }

    // Step 1 for a column whose rows are listed, on a worker.
    void list_rows() {
        const std::size_t rows = matrix_.rows();
        for (std::size_t r = 0; r < rows; ++r) {
            const std::size_t entry = entry_at(r);
            if (entry != kNoEntry) far_.push_back({r, entry});
        }
    }

    // Step 2: the strs not kept yet of the entries that occur, made in entry
    // order, the order the map keeps its texts in.
    Status make_strs() {
        std::vector<PyRef>& strs = kept_.strs;
        if (complete_) return Ok{};
        const auto make = [&](std::size_t entry) -> Status {
            if (strs[entry]) return Ok{};
            QUORIX_TRY(strs[entry], new_text_str(map_.entry(entry).second));
            ++kept_.made;
            return Ok{};
        };
        for (std::size_t entry = 0; entry < counts_.size(); ++entry) {
            if (counts_[entry] != 0) QUORIX_CHECK(make(entry));
        }
        for (const FarCell& cell : far_) QUORIX_CHECK(make(cell.entry));
        return Ok{};
    }

    // Step 3 for rows [begin, end), on a worker; a column whose strs were
    // all kept before this decode is counted here, in the same pass.
    void lay_out(std::size_t begin, std::size_t end, PyObject* missing) noexcept {
        const std::vector<PyRef>& strs = kept_.strs;
        const bool count_here = !counts_first();
        for (std::size_t r = begin; r < end; ++r) {
            if (counted_ && r + kEntryAhead < end) {
                const std::size_t ahead = entry_at(r + kEntryAhead);
                if (ahead != kNoEntry) {
                    __builtin_prefetch(&strs[ahead]);
                    if (count_here) __builtin_prefetch(&counts_[ahead], 1);
                }
            }
            const std::size_t entry = entry_at(r);
            PyObject* str = missing;
            if (entry != kNoEntry) {
                if (!counted_) continue;  // written in step 4
                str = strs[entry].get();
                if (count_here) std::atomic_ref(counts_[entry]).fetch_add(1, std::memory_order_relaxed);
            }
            target_.slots[static_cast<std::ptrdiff_t>(r) * target_.step] = str;
        }
    }

    // Step 4: the counted cells' references, all of an entry's at once, in
    // entry order (the order the strs were made in, so mostly ascending
    // addresses); then the listed rows, each taking its own. Returns the
    // cells that hold no text.
    std::size_t take_references() noexcept {
        const std::vector<PyRef>& strs = kept_.strs;
        std::size_t with_text = far_.size();
        const std::size_t entries = counts_.size();
        for (std::size_t entry = 0; entry < entries; ++entry) {
            if (entry + kEntryAhead < entries && counts_[entry + kEntryAhead] != 0) {
                __builtin_prefetch(strs[entry + kEntryAhead].get(), 1);
            }
            const std::size_t cells = counts_[entry];
            if (cells == 0) continue;
            count_cell_references(strs[entry].get(), static_cast<std::ptrdiff_t>(cells));
            with_text += cells;
        }
        for (const FarCell& cell : far_) {
            target_.slots[static_cast<std::ptrdiff_t>(cell.row) * target_.step] = PyRef(strs[cell.entry]).release();
        }
        return matrix_.rows() - with_text;
    }

private:
    static constexpr std::size_t kNoEntry = ~std::size_t{0};
    struct FarCell {
        std::size_t row;
        std::size_t entry;
    };

    // The map entry of row r's code, or kNoEntry for NaN and codes without a text.
    std::size_t entry_at(std::size_t r) const {
        const double value = matrix_.cell(r, target_.column);
        if (value != value) return kNoEntry;
        const std::size_t entry = map_.entry_of(cell_code(value));
        return entry == map_.size() ? kNoEntry : entry;
    }

    const Matrix& matrix_;
    TextColumnTarget target_;
    const CodeToText& map_;
    DecodedTexts::Column& kept_;
    bool counted_;                     // cells counted per entry, else listed in far_
    bool complete_;                    // every entry's str kept before this decode
    std::vector<std::size_t> counts_;  // cells per entry
    std::vector<FarCell> far_;
};

}  // namespace

Result<PyRef> new_text_str(std::string_view text) {
    // Texts of one character or none go through new_str, which shares the
    // interpreter's single-character strs.
    if (text.size() < 2 || !is_ascii(text)) return new_str(text);
    QUORIX_TRY(PyRef str, checked(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127)));
    std::memcpy(PyUnicode_DATA(str.get()), text.data(), text.size());
    return str;
}

Status write_text_cells(const Matrix& matrix, const std::vector<TextColumnTarget>& targets, PyObject* missing,
                        DecodedTexts& kept) {
    const std::size_t rows = matrix.rows();
    if (rows == 0 || targets.empty()) return Ok{};
    std::vector<std::optional<ColumnCells>> columns(targets.size());
    std::vector<ColumnCells*> listed, counted_first;
    for (std::size_t k = 0; k < targets.size(); ++k) {
        ColumnCells& column =
            columns[k].emplace(matrix, targets[k], kept.column(targets[k].column, targets[k].map->size()));
        if (!column.counts_first()) continue;
        (column.counted() ? counted_first : listed).push_back(&column);
    }
    // Row blocks of every column to count, and a job per listed column.
    const std::size_t blocks = (rows + kRowBlock - 1) / kRowBlock;
    const std::size_t count_jobs = counted_first.empty() ? 0 : blocks;
    parallel_for_each_index(count_jobs + listed.size(), [&](std::size_t job) {
        if (job >= count_jobs) return listed[job - count_jobs]->list_rows();
        const std::size_t begin = job * kRowBlock, end = std::min(rows, begin + kRowBlock);
        for (ColumnCells* column : counted_first) column->count(begin, end);
    });
    for (auto& column : columns) QUORIX_CHECK(column->make_strs());

    // Nothing below fails or runs Python code.
    parallel_for_each_index(blocks, [&](std::size_t block) {
        const std::size_t begin = block * kRowBlock, end = std::min(rows, begin + kRowBlock);
        for (auto& column : columns) column->lay_out(begin, end, missing);
    });
    std::size_t missing_cells = 0;
    for (auto& column : columns) missing_cells += column->take_references();
    count_cell_references(missing, static_cast<std::ptrdiff_t>(missing_cells));
    return Ok{};
}

}  // namespace quorix
