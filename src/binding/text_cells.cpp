// Decoded cells written in bulk.
//
// Per column, a code table holds the str of each code below its size that
// occurs in the column; codes beyond it (a map much larger than the table, or
// codes far above its size) are looked up one by one. The work goes in four
// steps, only the first of which can fail:
//   1. count (workers): per column, how many cells hold each code of its
//      table, and which rows hold a code beyond it;
//   2. strs (calling thread): the str of every code that occurs, made once
//      and given at once the references of all the cells that will hold it;
//   3. layout (workers, in blocks of rows): every slot gets its str's
//      pointer, without touching a reference count;
//   4. hand-over (calling thread): the rows beyond the tables, and the
//      references of the cells that hold the no-text object.
// From 2 to 4 no Python code runs, and from 3 on nothing can fail, so no one
// sees a str whose count does not match its holders; a failure in 2 takes
// the early references back.
#include "binding/text_cells.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <utility>

#include "engine/parallel_loops.hpp"

namespace quorix {
namespace {

// A column's code table covers its map's codes when the map has at most this
// many entries per row of the table; a larger map is looked up cell by cell.
constexpr std::size_t kTableLimit = 2;
// Rows per layout job: a block's slots stay in the cache while its columns
// are written.
constexpr std::size_t kRowBlock = 8192;
// How many cells ahead the layout asks for the code table's entries.
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
// `cells` more (or fewer, when negative), leaving the count where as many
// Py_INCREF (Py_DECREF) calls would. An immortal object's count never moves
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
    ColumnCells(const Matrix& matrix, const TextColumnTarget& target)
        : matrix_(matrix), target_(target),
          table_size_(target.map->size() <= kTableLimit * matrix.rows() ? target.map->size() : 0),
          counts_(table_size_, 0), strs_(table_size_, nullptr) {}
    ColumnCells(const ColumnCells&) = delete;
    ColumnCells& operator=(const ColumnCells&) = delete;
    // Before the layout, the strs hold the references of cells not yet
    // written: they are taken back, so the strs go as they came.
    ~ColumnCells() {
        if (laid_out_) return;
        for (std::size_t code = 0; code < table_size_; ++code) {
            if (strs_[code] == nullptr) continue;
            count_cell_references(strs_[code], -static_cast<std::ptrdiff_t>(counts_[code]) + 1);
            PyRef::steal(strs_[code]).reset();
        }
    }

    // Step 1, on a worker.
    void count() {
        const std::size_t rows = matrix_.rows();
        for (std::size_t r = 0; r < rows; ++r) {
            const double value = matrix_.cell(r, target_.column);
            if (value != value) continue;
            const Code code = cell_code(value);
            if (code < table_size_) {
                ++counts_[code];
            } else {
                far_rows_.push_back(r);
            }
        }
    }

    // Step 2: the strs of the codes that occur, made in one walk over the
    // map (in its memory order: finding the codes in code order would miss
    // the cache at every step), each taking the references of all its cells
    // at once while it is at hand; then those of the rows beyond the table.
    Status make_strs(PyObject* missing) {
        const CodeToText& map = *target_.map;
        auto ahead = map.begin();
        for (std::size_t k = 0; k < kEntryAhead && ahead != map.end(); ++k) ++ahead;
        for (const auto& [code, text] : map) {
            if (ahead != map.end()) {
                if (ahead->first < table_size_) __builtin_prefetch(&counts_[ahead->first]);
                ++ahead;
            }
            if (code >= table_size_ || counts_[code] == 0) continue;
            QUORIX_TRY(PyRef str, new_text_str(text));
            count_cell_references(str.get(), static_cast<std::ptrdiff_t>(counts_[code]) - 1);
            strs_[code] = str.release();
        }
        far_strs_.reserve(far_rows_.size());
        std::unordered_map<Code, PyRef> made;
        for (const std::size_t r : far_rows_) {
            const Code code = cell_code(matrix_.cell(r, target_.column));
            PyRef& str = made[code];
            if (!str) {
                auto found = map.find(code);
                if (found == map.end()) {
                    far_strs_.push_back(missing);
                    continue;
                }
                QUORIX_TRY(str, new_text_str(found->second));
            }
            far_strs_.push_back(str.get());
        }
        far_made_.reserve(made.size());
        for (auto& entry : made) {
            if (entry.second) far_made_.push_back(std::move(entry.second));
        }
        return Ok{};
    }

    // Step 3 for rows [begin, end), on a worker.
    void lay_out(std::size_t begin, std::size_t end, PyObject* missing) const noexcept {
        const ColumnIndex c = target_.column;
        for (std::size_t r = begin; r < end; ++r) {
            if (r + kEntryAhead < end) {
                const double ahead = matrix_.cell(r + kEntryAhead, c);
                if (ahead == ahead) {
                    const Code code = cell_code(ahead);
                    if (code < table_size_) __builtin_prefetch(&strs_[code]);
                }
            }
            const double value = matrix_.cell(r, c);
            PyObject* str = missing;
            if (value == value) {
                const Code code = cell_code(value);
                if (code >= table_size_) continue;  // written in step 4
                if (strs_[code] != nullptr) str = strs_[code];
            }
            target_.slots[static_cast<std::ptrdiff_t>(r) * target_.step] = str;
        }
    }

    // Step 4: the rows beyond the table, each taking its own reference.
    // Returns the cells laid out with `missing` but not counted on it.
    std::size_t hand_over() noexcept {
        laid_out_ = true;
        for (std::size_t k = 0; k < far_rows_.size(); ++k) {
            target_.slots[static_cast<std::ptrdiff_t>(far_rows_[k]) * target_.step] =
                PyRef::borrow(far_strs_[k]).release();
        }
        std::size_t with_text = far_rows_.size();
        for (std::size_t code = 0; code < table_size_; ++code) {
            if (strs_[code] != nullptr) with_text += counts_[code];
        }
        return matrix_.rows() - with_text;
    }

private:
    const Matrix& matrix_;
    TextColumnTarget target_;
    std::size_t table_size_;
    std::vector<std::size_t> counts_;  // cells per code of the table
    // Null where the code has no text or does not occur; each holds one
    // reference per cell of its code.
    std::vector<PyObject*> strs_;
    bool laid_out_ = false;
    std::vector<std::size_t> far_rows_;
    std::vector<PyObject*> far_strs_;  // borrowed, per row of far_rows_
    std::vector<PyRef> far_made_;      // owns the strs of far_strs_
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

Status write_text_cells(const Matrix& matrix, const std::vector<TextColumnTarget>& targets, PyObject* missing) {
    const std::size_t rows = matrix.rows();
    if (rows == 0 || targets.empty()) return Ok{};
    std::vector<std::optional<ColumnCells>> columns(targets.size());
    for (std::size_t k = 0; k < targets.size(); ++k) columns[k].emplace(matrix, targets[k]);

    parallel_for_each_index(columns.size(), [&](std::size_t k) { columns[k]->count(); });
    for (auto& column : columns) QUORIX_CHECK(column->make_strs(missing));

    // Nothing below fails or runs Python code.
    const std::size_t blocks = (rows + kRowBlock - 1) / kRowBlock;
    parallel_for_each_index(blocks, [&](std::size_t block) {
        const std::size_t begin = block * kRowBlock, end = std::min(rows, begin + kRowBlock);
        for (const auto& column : columns) column->lay_out(begin, end, missing);
    });
    std::size_t missing_cells = 0;
    for (auto& column : columns) missing_cells += column->hand_over();
    count_cell_references(missing, static_cast<std::ptrdiff_t>(missing_cells));
    return Ok{};
}

}  // namespace quorix
