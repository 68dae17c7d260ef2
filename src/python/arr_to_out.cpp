// Building the result of encode and decode.
#include "python/arr_to_out.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "runtime/internal_error.hpp"
#include "python/text_cells.hpp"
#include "runtime/numpy_api.hpp"

namespace quorix {
namespace {

constexpr int kCContiguous = 0x0001;  // NPY_ARRAY_C_CONTIGUOUS
// How many rows ahead the plain decoding loops prefetch table entries and objects.
constexpr std::size_t kEntryAhead = 32;
constexpr std::size_t kObjectAhead = 12;
// A column's strs are made in one walk over its map when the map has at most
// this many entries per row of the table.
constexpr std::size_t kTableLimit = 2;

Result<PyRef> new_str(std::string_view text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

const CodeToText& column_map(const EncodingInfo& learned, ColumnIndex c) {
    auto found = learned.code_to_text.find(c);
    if (found == learned.code_to_text.end()) panic("no entry found for key");
    return found->second;
}

// The Python str of each code of one column, shared by all the cells that
// hold the code; codes without a text give `missing`. When the map is not
// much larger than the table, one walk over it makes the strs of its codes
// below its size (every code, after encode, which numbers from 0) into a
// table indexed by code: the walk reads the map in memory order, where
// finding codes in cell order would miss the cache at every step. Other
// codes, and every code of a map much larger than the table, are looked up,
// their strs made on first use.
class ColumnTexts {
public:
    ColumnTexts(const CodeToText& map, PyObject* missing) : map_(map), missing_(missing) {}
    ColumnTexts(const ColumnTexts&) = delete;
    ColumnTexts& operator=(const ColumnTexts&) = delete;
    // The strs are let go in table order, each asked for a little ahead.
    ~ColumnTexts() {
        for (std::size_t code = 0; code < table_.size(); ++code) {
            if (code + kObjectAhead < table_.size()) __builtin_prefetch(table_[code + kObjectAhead].get(), 1);
            table_[code].reset();
        }
    }

    // Makes the table when the map has at most `limit` entries.
    Status make_table(std::size_t limit) {
        if (map_.size() > limit) return Ok{};
        table_.resize(map_.size());
        // The map's order is not the codes' order: the table slots are asked
        // for a few entries ahead.
        auto ahead = map_.begin();
        for (std::size_t k = 0; k < kObjectAhead && ahead != map_.end(); ++k) ++ahead;
        for (const auto& [code, text] : map_) {
            if (ahead != map_.end()) {
                if (ahead->first < table_.size()) __builtin_prefetch(&table_[ahead->first], 1);
                ++ahead;
            }
            if (code < table_.size()) {
                QUORIX_TRY(table_[code], new_text_str(text));
            }
        }
        return Ok{};
    }

    // A borrowed reference, valid while this object and `missing` live.
    Result<PyObject*> text(double value) {
        if (value != value) return missing_;
        const Code code = cell_code(value);
        if (code >= table_.size()) return looked_up(code);
        PyObject* str = table_[code].get();
        return str != nullptr ? str : missing_;
    }

    // With codes in random order, reading the table and the strs misses the
    // cache, so the loops ask for them some cells ahead: first the table
    // entry, then (once that has arrived) its str. Inlined by force: the
    // compiler sees no effect in a call that only prefetches and drops it.
    [[gnu::always_inline]] void prefetch_entry(double value) const noexcept {
        if (value != value) return;
        const Code code = cell_code(value);
        if (code < table_.size()) __builtin_prefetch(&table_[code]);
    }
    [[gnu::always_inline]] void prefetch_object(double value) const noexcept {
        if (value != value) return;
        const Code code = cell_code(value);
        if (code < table_.size()) __builtin_prefetch(table_[code].get(), 1);
    }

private:
    Result<PyObject*> looked_up(Code code) {
        PyRef& slot = sparse_[code];
        if (!slot) {
            auto found = map_.find(code);
            if (found == map_.end()) return missing_;
            QUORIX_TRY(slot, new_text_str(found->second));
        }
        return slot.get();
    }

    const CodeToText& map_;
    PyObject* missing_;
    std::vector<PyRef> table_;  // null: the code has no text
    std::unordered_map<Code, PyRef> sparse_;
};

// The result of NumPy decoding, built directly: an object array with the
// base array's layout (as numpy.array(base).astype("object") would have),
// Python floats in every cell, and the texts in the listed columns. Every
// slot is written once, in memory order.
Result<PyRef> decode_array(const Matrix& matrix, PyObject* base, const EncodingInfo& learned) {
    const std::size_t rows = matrix.rows(), cols = matrix.cols();
    const bool fortran = (numpy::as_array(base)->flags & kCContiguous) == 0;

    // The checks of the per-column road, in list order, before any writing.
    std::vector<const CodeToText*> maps(cols, nullptr);
    for (ColumnIndex c : learned.string_columns) {
        const CodeToText& map = column_map(learned, c);
        if (rows == 0) continue;
        if (c >= cols) panic("ndarray: index out of bounds");
        maps[c] = &map;
    }
    QUORIX_TRY(PyRef no_text, new_str("NaN"));
    std::vector<std::optional<ColumnTexts>> texts(cols);
    for (std::size_t c = 0; c < cols; ++c) {
        if (maps[c] == nullptr) continue;
        texts[c].emplace(*maps[c], no_text.get());
        QUORIX_CHECK(texts[c]->make_table(kTableLimit * rows));
    }

    // Its slots start out empty (null), which NumPy reads and frees as nothing.
    QUORIX_TRY(PyRef result, numpy::new_array(numpy::kObject, rows, cols, fortran));
    PyObject** slot = reinterpret_cast<PyObject**>(numpy::as_array(result.get())->data);
    auto fill = [&](std::size_t r, std::size_t c) -> Status {
        const double value = matrix.cell(r, c);
        if (texts[c]) {
            QUORIX_TRY(PyObject * text, texts[c]->text(value));
            *slot++ = PyRef::borrow(text).release();
        } else {
            QUORIX_TRY(PyRef number, checked(PyFloat_FromDouble(value)));
            *slot++ = number.release();
        }
        return Ok{};
    };
    auto prefetch = [&](std::size_t r, std::size_t c) __attribute__((always_inline)) {
        if (r + kEntryAhead < rows) texts[c]->prefetch_entry(matrix.cell(r + kEntryAhead, c));
        if (r + kObjectAhead < rows) texts[c]->prefetch_object(matrix.cell(r + kObjectAhead, c));
    };
    if (fortran) {
        for (std::size_t c = 0; c < cols; ++c) {
            for (std::size_t r = 0; r < rows; ++r) {
                if (texts[c]) prefetch(r, c);
                QUORIX_CHECK(fill(r, c));
            }
        }
    } else {
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < cols; ++c) {
                if (texts[c]) prefetch(r, c);
                QUORIX_CHECK(fill(r, c));
            }
        }
    }
    return result;
}

Result<PyRef> call_astype_object(PyObject* object) {
    return checked(PyObject_CallMethod(object, "astype", "s", "object"));
}

// The texts (None for no text) of each of `columns`, one list per column with
// one entry per row, made in one pass over the matrix's rows. Every column is
// below the matrix's cols (or the matrix has no rows).
Result<std::vector<PyRef>> column_text_lists(const Matrix& matrix,
                                             const std::vector<std::pair<ColumnIndex, const CodeToText*>>& columns) {
    const std::size_t rows = matrix.rows();
    std::vector<PyRef> lists;
    std::vector<std::optional<ColumnTexts>> texts(columns.size());
    for (std::size_t k = 0; k < columns.size(); ++k) {
        QUORIX_TRY(PyRef list, checked(PyList_New(static_cast<Py_ssize_t>(rows))));
        lists.push_back(std::move(list));
        texts[k].emplace(*columns[k].second, Py_None);
        QUORIX_CHECK(texts[k]->make_table(kTableLimit * rows));
    }
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t k = 0; k < columns.size(); ++k) {
            const ColumnIndex c = columns[k].first;
            if (r + kEntryAhead < rows) texts[k]->prefetch_entry(matrix.cell(r + kEntryAhead, c));
            if (r + kObjectAhead < rows) texts[k]->prefetch_object(matrix.cell(r + kObjectAhead, c));
            QUORIX_TRY(PyObject * text, texts[k]->text(matrix.cell(r, c)));
            PyList_SET_ITEM(lists[k].get(), static_cast<Py_ssize_t>(r), PyRef::borrow(text).release());
        }
    }
    return lists;
}

// The column under `label` becomes an object column holding `texts`.
Status assign_by_label(PyObject* frame, PyObject* label, PyObject* texts) {
    QUORIX_TRY(PyRef column, checked(PyObject_GetItem(frame, label)));
    QUORIX_TRY(PyRef converted, call_astype_object(column.get()));
    QUORIX_CHECK(checked_status(PyObject_SetItem(frame, label, converted.get())));
    QUORIX_TRY(PyRef loc, checked(PyObject_GetAttrString(frame, "loc")));
    QUORIX_TRY(PyRef all_rows, checked(PySlice_New(nullptr, nullptr, nullptr)));
    QUORIX_TRY(PyRef key, checked(PyTuple_Pack(2, all_rows.get(), label)));
    return checked_status(PyObject_SetItem(loc.get(), key.get(), texts));
}

// The same by position, for a label that names several columns (where the
// label would address all of them at once).
Status assign_by_position(PyObject* frame, ColumnIndex c, PyObject* texts) {
    QUORIX_TRY(PyRef position, checked(PyLong_FromSize_t(c)));
    QUORIX_TRY(PyRef iloc, checked(PyObject_GetAttrString(frame, "iloc")));
    QUORIX_TRY(PyRef all_rows, checked(PySlice_New(nullptr, nullptr, nullptr)));
    QUORIX_TRY(PyRef key, checked(PyTuple_Pack(2, all_rows.get(), position.get())));
    QUORIX_TRY(PyRef column, checked(PyObject_GetItem(iloc.get(), key.get())));
    QUORIX_TRY(PyRef converted, call_astype_object(column.get()));
    QUORIX_TRY(PyRef stored,
               checked(PyObject_CallMethod(frame, "isetitem", "OO", position.get(), converted.get())));
    return checked_status(PyObject_SetItem(iloc.get(), key.get(), texts));
}

Result<PyRef> build_frame(const Matrix& matrix, PyObject* base, const std::vector<std::string>& labels,
                          const EncodingInfo* learned) {
    QUORIX_TRY(PyRef pandas, checked(PyImport_ImportModule("pandas")));
    QUORIX_TRY(PyRef kwargs, checked(PyDict_New()));
    QUORIX_TRY(PyRef label_list, checked(PyList_New(static_cast<Py_ssize_t>(labels.size()))));
    for (std::size_t i = 0; i < labels.size(); ++i) {
        QUORIX_TRY(PyRef label, new_str(labels[i]));
        PyList_SET_ITEM(label_list.get(), static_cast<Py_ssize_t>(i), label.release());
    }
    QUORIX_CHECK(checked_status(PyDict_SetItemString(kwargs.get(), "columns", label_list.get())));
    QUORIX_TRY(PyRef frame_type, checked(PyObject_GetAttrString(pandas.get(), "DataFrame")));
    QUORIX_TRY(PyRef args, checked(PyTuple_Pack(1, base)));
    QUORIX_TRY(PyRef frame, checked(PyObject_Call(frame_type.get(), args.get(), kwargs.get())));
    if (learned == nullptr || learned->string_columns.empty()) return frame;

    std::unordered_map<std::string_view, std::size_t> label_counts;
    for (const std::string& label : labels) ++label_counts[label];

    // The lists of the listed columns are made together, in one pass over the
    // rows, for as long as the list passes the checks that the per-column
    // steps make; the calls for the columns before a failing one still come
    // before its failure.
    const std::vector<ColumnIndex>& listed = learned->string_columns;
    std::vector<std::pair<ColumnIndex, const CodeToText*>> ready;
    std::unordered_map<ColumnIndex, std::size_t> list_of;  // column -> index in `ready`
    std::size_t checked_count = 0;
    for (ColumnIndex c : listed) {
        auto found = learned->code_to_text.find(c);
        if (found == learned->code_to_text.end() || (matrix.rows() != 0 && c >= matrix.cols()) ||
            c >= labels.size()) {
            break;
        }
        if (list_of.emplace(c, ready.size()).second) ready.emplace_back(c, &found->second);
        ++checked_count;
    }
    QUORIX_TRY(std::vector<PyRef> lists, column_text_lists(matrix, ready));

    // pandas counts references to tell a temporary frame (chained assignment,
    // which it warns about) from one that is kept; called from here the
    // result has one fewer than a Python caller's frame would have.
    const PyRef kept_while_written = frame;
    for (std::size_t k = 0; k < listed.size(); ++k) {
        const ColumnIndex c = listed[k];
        PyRef texts;
        if (k < checked_count) {
            texts = lists[list_of.at(c)];
        } else {
            const CodeToText& map = column_map(*learned, c);
            if (matrix.rows() != 0 && c >= matrix.cols()) panic("ndarray: index out of bounds");
            QUORIX_TRY(std::vector<PyRef> one, column_text_lists(matrix, {{c, &map}}));
            texts = std::move(one.front());
        }
        if (c >= labels.size()) {
            panic("index out of bounds: the len is " + std::to_string(labels.size()) + " but the index is " +
                  std::to_string(c));
        }
        if (label_counts[labels[c]] > 1) {
            QUORIX_CHECK(assign_by_position(frame.get(), c, texts.get()));
        } else {
            QUORIX_TRY(PyRef label, new_str(labels[c]));
            QUORIX_CHECK(assign_by_label(frame.get(), label.get(), texts.get()));
        }
    }
    return frame;
}

// ---------------------------------------------------------------------------
// The roads in bulk: the same results as the cell-by-cell roads above, built
// with the texts laid out on the pool (text_cells.hpp) and, for frames, in a
// handful of pandas calls.

// The listed columns, each once, in list order of first listing: decoding a
// column twice writes the same texts again.
std::vector<ColumnIndex> distinct_listed(const EncodingInfo& learned) {
    std::vector<ColumnIndex> distinct;
    std::unordered_set<ColumnIndex> seen;
    seen.reserve(learned.string_columns.size());
    for (ColumnIndex c : learned.string_columns) {
        if (seen.insert(c).second) distinct.push_back(c);
    }
    return distinct;
}

// NumPy decoding: the object array of the base array's layout, floats in the
// unlisted columns, texts (or "NaN") in the listed ones.
Result<PyRef> decode_array_in_bulk(const Matrix& matrix, PyObject* base, const EncodingInfo& learned) {
    const std::size_t rows = matrix.rows(), cols = matrix.cols();
    const bool fortran = (numpy::as_array(base)->flags & kCContiguous) == 0;
    // The checks of the cell-by-cell road, in list order, before anything is made.
    for (ColumnIndex c : learned.string_columns) {
        column_map(learned, c);
        if (rows != 0 && c >= cols) panic("ndarray: index out of bounds");
    }
    QUORIX_TRY(PyRef no_text, new_str("NaN"));
    // Its slots start out null, which NumPy reads and frees as nothing.
    QUORIX_TRY(PyRef result, numpy::new_array(numpy::kObject, rows, cols, fortran));
    if (rows == 0) return result;
    PyObject** slots = reinterpret_cast<PyObject**>(numpy::as_array(result.get())->data);
    const auto row_step = static_cast<std::ptrdiff_t>(fortran ? 1 : cols);
    const auto col_step = static_cast<std::ptrdiff_t>(fortran ? rows : 1);

    std::vector<bool> listed(cols, false);
    std::vector<TextColumnTarget> targets;
    for (ColumnIndex c : distinct_listed(learned)) {
        listed[c] = true;
        targets.push_back({c, &column_map(learned, c), slots + static_cast<std::ptrdiff_t>(c) * col_step, row_step});
    }
    for (std::size_t c = 0; c < cols; ++c) {
        if (listed[c]) continue;
        PyObject** column = slots + static_cast<std::ptrdiff_t>(c) * col_step;
        for (std::size_t r = 0; r < rows; ++r) {
            QUORIX_TRY(PyRef number, checked(PyFloat_FromDouble(matrix.cell(r, c))));
            column[static_cast<std::ptrdiff_t>(r) * row_step] = number.release();
        }
    }
    QUORIX_CHECK(write_text_cells(matrix, targets, no_text.get()));
    return result;
}

// A frame, for encode or for decoding where every listed column passes the
// checks of the cell-by-cell road: it is made once over the matrix's own
// array (new, and referenced by nothing else), and each decoded column is put in its
// place by position as one object array wrapped in a Series, which pandas
// takes without copying.
Result<PyRef> build_frame_in_bulk(const Matrix& matrix, const std::vector<std::string>& labels,
                                  const EncodingInfo* learned) {
    const std::size_t rows = matrix.rows();
    QUORIX_TRY(PyRef pandas, checked(PyImport_ImportModule("pandas")));
    QUORIX_TRY(PyRef frame_type, checked(PyObject_GetAttrString(pandas.get(), "DataFrame")));
    QUORIX_TRY(PyRef series_type, checked(PyObject_GetAttrString(pandas.get(), "Series")));
    QUORIX_TRY(PyRef label_list, checked(PyList_New(static_cast<Py_ssize_t>(labels.size()))));
    for (std::size_t i = 0; i < labels.size(); ++i) {
        QUORIX_TRY(PyRef label, new_str(labels[i]));
        PyList_SET_ITEM(label_list.get(), static_cast<Py_ssize_t>(i), label.release());
    }

    const std::vector<ColumnIndex> columns = learned != nullptr ? distinct_listed(*learned) : std::vector<ColumnIndex>{};
    std::vector<PyRef> arrays;
    std::vector<TextColumnTarget> targets;
    for (ColumnIndex c : columns) {
        QUORIX_TRY(PyRef array, numpy::new_vector(numpy::kObject, rows));
        targets.push_back({c, &column_map(*learned, c),
                           reinterpret_cast<PyObject**>(numpy::as_array(array.get())->data), 1});
        arrays.push_back(std::move(array));
    }
    QUORIX_CHECK(write_text_cells(matrix, targets, Py_None));

    QUORIX_TRY(PyRef frame_kwargs, checked(PyDict_New()));
    QUORIX_CHECK(checked_status(PyDict_SetItemString(frame_kwargs.get(), "columns", label_list.get())));
    QUORIX_CHECK(checked_status(PyDict_SetItemString(frame_kwargs.get(), "copy", Py_False)));
    QUORIX_TRY(PyRef frame_args, checked(PyTuple_Pack(1, matrix.array())));
    QUORIX_TRY(PyRef frame, checked(PyObject_Call(frame_type.get(), frame_args.get(), frame_kwargs.get())));

    QUORIX_TRY(PyRef series_kwargs, checked(PyDict_New()));
    QUORIX_TRY(PyRef object_text, new_str("object"));
    QUORIX_CHECK(checked_status(PyDict_SetItemString(series_kwargs.get(), "dtype", object_text.get())));
    QUORIX_CHECK(checked_status(PyDict_SetItemString(series_kwargs.get(), "copy", Py_False)));
    for (std::size_t k = 0; k < columns.size(); ++k) {
        QUORIX_TRY(PyRef series_args, checked(PyTuple_Pack(1, arrays[k].get())));
        // The Series is the column's only other holder, and goes right after.
        arrays[k].reset();
        QUORIX_TRY(PyRef series, checked(PyObject_Call(series_type.get(), series_args.get(), series_kwargs.get())));
        series_args.reset();
        QUORIX_TRY(PyRef position, checked(PyLong_FromSize_t(columns[k])));
        QUORIX_TRY(PyRef stored,
                   checked(PyObject_CallMethod(frame.get(), "isetitem", "OO", position.get(), series.get())));
    }
    return frame;
}

// Whether the bulk frame road gives what the cell-by-cell road gives: it
// does unless a listed column fails a check, where the order of the
// per-column calls before the failure matters.
bool frame_checks_pass(const Matrix& matrix, const std::vector<std::string>& labels, const EncodingInfo& learned) {
    for (ColumnIndex c : learned.string_columns) {
        if (!learned.code_to_text.contains(c)) return false;
        if (matrix.rows() != 0 && c >= matrix.cols()) return false;
        if (c >= labels.size()) return false;
    }
    return true;
}

// QUORIX_OUTPUT_ROAD=plain takes the cell-by-cell roads, which the bulk ones
// are tested against.
bool plain_road_chosen() {
    const char* road = std::getenv("QUORIX_OUTPUT_ROAD");
    return road != nullptr && std::strcmp(road, "plain") == 0;
}

}  // namespace

Result<PyRef> arr_to_out(const Matrix& matrix, OUT out, const EncodingInfo* learned) {
    // The matrix's array is new, float64, and referenced by nothing else: it is
    // the base array as it stands.
    PyRef base = PyRef::borrow(matrix.array());
    const bool plain = plain_road_chosen();
    if (out.columns) {
        const std::vector<std::string>& labels = *out.columns;
        if (plain || (learned != nullptr && !frame_checks_pass(matrix, labels, *learned))) {
            return build_frame(matrix, base.get(), labels, learned);
        }
        return build_frame_in_bulk(matrix, labels, learned);
    }
    if (learned == nullptr) return base;
    if (plain) return decode_array(matrix, base.get(), *learned);
    return decode_array_in_bulk(matrix, base.get(), *learned);
}

}  // namespace quorix
