// Decoded cells written in bulk.
//
// Cells are read as entries of their column's code-to-text map, and each
// entry's str is kept (DecodedTexts) once made: a later decode of the same
// learned state only takes references. Per column, a count table covers the
// map's entries; a map much larger than the table's rows is looked up row by
// row instead. The work goes in five steps, only the second of which can
// fail:
//   1. count (workers): per column, how many cells hold each entry, or
//      which rows hold one when the map is too large to count on;
//   2. make (calling thread): the str of every entry that occurs and has
//      none kept yet, into the kept strs;
//   3. take (calling thread): each kept str that occurs is given at once the
//      references of all the cells that will hold it;
//   4. layout (workers, in blocks of rows): every slot gets its str's
//      pointer, without touching a reference count;
//   5. hand-over (calling thread): the rows looked up one by one, and the
//      references of the cells that hold the no-text object.
// From 3 to 5 no Python code runs and nothing fails, so no one sees a str
// whose count does not match its holders; a failure in 2 leaves the strs made
// so far kept, holding only the kept reference.
#include "binding/text_cells.hpp"

#include <algorithm>
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
          counted_(map_.size() <= kTableLimit * matrix.rows()), counts_(counted_ ? map_.size() : 0, 0) {}
    ColumnCells(const ColumnCells&) = delete;
    ColumnCells& operator=(const ColumnCells&) = delete;

    // Step 1, on a worker.
    void count() {
        const std::size_t rows = matrix_.rows();
        for (std::size_t r = 0; r < rows; ++r) {
            const std::size_t entry = entry_at(r);
            if (entry == kNoEntry) continue;
            if (counted_) {
                ++counts_[entry];
            } else {
                far_.push_back({r, entry});
            }
        }
    }

    // Step 2: the strs not kept yet of the entries that occur, made in entry
    // order, the order the map keeps its texts in.
    Status make_strs() {
        std::vector<PyRef>& strs = kept_.strs;
        if (kept_.made == strs.size()) return Ok{};
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

    // Step 3: the counted cells' references, all of an entry's at once.
    // Returns the cells that hold no text.
    std::size_t take_references() noexcept {
        const std::vector<PyRef>& strs = kept_.strs;
        std::size_t with_text = far_.size();
        for (std::size_t entry = 0; entry < counts_.size(); ++entry) {
            const std::size_t cells = counts_[entry];
            if (cells == 0) continue;
            count_cell_references(strs[entry].get(), static_cast<std::ptrdiff_t>(cells));
            with_text += cells;
        }
        return matrix_.rows() - with_text;
    }

    // Step 4 for rows [begin, end), on a worker.
    void lay_out(std::size_t begin, std::size_t end, PyObject* missing) const noexcept {
        const std::vector<PyRef>& strs = kept_.strs;
        for (std::size_t r = begin; r < end; ++r) {
            if (counted_ && r + kEntryAhead < end) {
                const std::size_t ahead = entry_at(r + kEntryAhead);
                if (ahead != kNoEntry) __builtin_prefetch(&strs[ahead]);
            }
            const std::size_t entry = entry_at(r);
            PyObject* str = missing;
            if (entry != kNoEntry) {
                if (!counted_) continue;  // written in step 5
                str = strs[entry].get();
            }
            target_.slots[static_cast<std::ptrdiff_t>(r) * target_.step] = str;
        }
    }

    // Step 5: the rows looked up one by one, each taking its own reference.
    void hand_over() noexcept {
        for (const FarCell& cell : far_) {
            target_.slots[static_cast<std::ptrdiff_t>(cell.row) * target_.step] =
                PyRef(kept_.strs[cell.entry]).release();
        }
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
    for (std::size_t k = 0; k < targets.size(); ++k) {
        columns[k].emplace(matrix, targets[k], kept.column(targets[k].column, targets[k].map->size()));
    }

    parallel_for_each_index(columns.size(), [&](std::size_t k) { columns[k]->count(); });
    for (auto& column : columns) QUORIX_CHECK(column->make_strs());

    // Nothing below fails or runs Python code.
    std::size_t missing_cells = 0;
    for (auto& column : columns) missing_cells += column->take_references();
    const std::size_t blocks = (rows + kRowBlock - 1) / kRowBlock;
    parallel_for_each_index(blocks, [&](std::size_t block) {
        const std::size_t begin = block * kRowBlock, end = std::min(rows, begin + kRowBlock);
        for (const auto& column : columns) column->lay_out(begin, end, missing);
    });
    for (auto& column : columns) column->hand_over();
    count_cell_references(missing, static_cast<std::ptrdiff_t>(missing_cells));
    return Ok{};
}

}  // namespace quorix
