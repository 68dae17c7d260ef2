// Building the result of encode and decode.
#include "binding/arr_to_out.hpp"

#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/internal_error.hpp"
#include "binding/text_cells.hpp"
#include "binding/numpy_api.hpp"

namespace quorix {
namespace {

constexpr int kCContiguous = 0x0001;  // NPY_ARRAY_C_CONTIGUOUS
// A listed column beyond the decoded table.
constexpr const char* kIndexOutOfBounds = "ndarray: index out of bounds";

const CodeToText& column_map(const EncodingInfo& learned, ColumnIndex c) {
    auto found = learned.code_to_text.find(c);
    if (found == learned.code_to_text.end()) panic(kNoEntryForKey);
    return found->second;
}

// The columns of `listed`, each once, in order of first listing: decoding a
// column twice writes the same texts again.
std::vector<ColumnIndex> distinct_columns(std::span<const ColumnIndex> listed) {
    std::vector<ColumnIndex> distinct;
    std::unordered_set<ColumnIndex> seen;
    seen.reserve(listed.size());
    for (ColumnIndex c : listed) {
        if (seen.insert(c).second) distinct.push_back(c);
    }
    return distinct;
}

// NumPy decoding: the object array of the base array's layout, floats in the
// unlisted columns, texts (or "NaN") in the listed ones, laid out on the
// pool (text_cells.hpp).
Result<PyRef> decode_array(const Matrix& matrix, const EncodingInfo& learned, DecodedTexts& kept) {
    const std::size_t rows = matrix.rows(), cols = matrix.cols();
    const bool fortran = (numpy::as_array(matrix.array())->flags & kCContiguous) == 0;
    // The checks, in list order, before anything is made.
    for (ColumnIndex c : learned.string_columns) {
        column_map(learned, c);
        if (rows != 0 && c >= cols) panic(kIndexOutOfBounds);
    }
    QUORIX_TRY(PyRef no_text, new_text_str("NaN"));
    // Its slots start out null, which NumPy reads and frees as nothing.
    QUORIX_TRY(PyRef result, numpy::new_array(numpy::kObject, rows, cols, fortran));
    if (rows == 0) return result;
    PyObject** slots = reinterpret_cast<PyObject**>(numpy::as_array(result.get())->data);
    const auto row_step = static_cast<std::ptrdiff_t>(fortran ? 1 : cols);
    const auto col_step = static_cast<std::ptrdiff_t>(fortran ? rows : 1);

    std::vector<bool> listed(cols, false);
    std::vector<TextColumnTarget> targets;
    for (ColumnIndex c : distinct_columns(learned.string_columns)) {
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
    QUORIX_CHECK(write_text_cells(matrix, targets, no_text.get(), kept));
    return result;
}

// ---------------------------------------------------------------------------
// Frames. Both ways start from pandas.DataFrame over a float64 array; they
// differ in how the decoded columns are put in.

Result<PyRef> pandas_attribute(const char* name) {
    QUORIX_TRY(PyRef pandas, checked(PyImport_ImportModule("pandas")));
    return checked(PyObject_GetAttrString(pandas.get(), name));
}

// pandas.DataFrame(array, columns=labels), with copy=False when `shared`.
Result<PyRef> new_frame(PyObject* frame_type, PyObject* array, const std::vector<std::string>& labels, bool shared) {
    QUORIX_TRY(PyRef label_list, checked(PyList_New(static_cast<Py_ssize_t>(labels.size()))));
    for (std::size_t i = 0; i < labels.size(); ++i) {
        QUORIX_TRY(PyRef label, new_text_str(labels[i]));
        PyList_SET_ITEM(label_list.get(), static_cast<Py_ssize_t>(i), label.release());
    }
    QUORIX_TRY(PyRef kwargs, checked(PyDict_New()));
    QUORIX_CHECK(checked_status(PyDict_SetItemString(kwargs.get(), "columns", label_list.get())));
    if (shared) QUORIX_CHECK(checked_status(PyDict_SetItemString(kwargs.get(), "copy", Py_False)));
    QUORIX_TRY(PyRef args, checked(PyTuple_Pack(1, array)));
    return checked(PyObject_Call(frame_type, args.get(), kwargs.get()));
}

// The texts of each of `columns` (distinct, each passing the checks), None
// where a cell has none: per column a list of the rows, for the pandas
// calls made column by column, or an object array, for the frame made in bulk.
Result<std::vector<PyRef>> frame_column_texts(const Matrix& matrix, const EncodingInfo& learned, DecodedTexts& kept,
                                              const std::vector<ColumnIndex>& columns, bool as_lists) {
    const std::size_t rows = matrix.rows();
    std::vector<PyRef> holders;
    std::vector<TextColumnTarget> targets;
    for (ColumnIndex c : columns) {
        QUORIX_TRY(PyRef holder, as_lists ? checked(PyList_New(static_cast<Py_ssize_t>(rows)))
                                          : numpy::new_vector(numpy::kObject, rows));
        PyObject** slots = as_lists ? reinterpret_cast<PyListObject*>(holder.get())->ob_item
                                    : reinterpret_cast<PyObject**>(numpy::as_array(holder.get())->data);
        targets.push_back({c, &column_map(learned, c), slots, 1});
        holders.push_back(std::move(holder));
    }
    QUORIX_CHECK(write_text_cells(matrix, targets, Py_None, kept));
    return holders;
}

// How many listed columns, from the first, pass the checks that decoding a
// column into a frame makes: a map, a place in the matrix (unless it has no
// rows) and a label.
std::size_t columns_passing_frame_checks(const Matrix& matrix, const std::vector<std::string>& labels,
                                         const EncodingInfo& learned) {
    std::size_t passing = 0;
    for (ColumnIndex c : learned.string_columns) {
        if (!learned.code_to_text.contains(c) || (matrix.rows() != 0 && c >= matrix.cols()) || c >= labels.size()) {
            break;
        }
        ++passing;
    }
    return passing;
}

// ---- column by column ---------------------------------------------------------
//
// Where a listed column fails a check: each listed column in turn is
// converted with astype and written through .loc (.iloc where its label
// names several columns), and the one that fails raises where it stands,
// after the calls for the columns before it.

Result<PyRef> call_astype_object(PyObject* object) {
    return checked(PyObject_CallMethod(object, "astype", "s", "object"));
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

// The same by position.
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

// Whether each column's label is shared with another column.
std::vector<bool> repeated_labels(const std::vector<std::string>& labels) {
    std::unordered_map<std::string_view, std::size_t> counts;
    for (const std::string& label : labels) ++counts[label];
    std::vector<bool> repeated(labels.size());
    for (std::size_t i = 0; i < labels.size(); ++i) repeated[i] = counts[labels[i]] > 1;
    return repeated;
}

// The lists of the first `passing` listed columns, made together in one
// layout, by column.
Result<std::unordered_map<ColumnIndex, PyRef>> passing_column_lists(const Matrix& matrix, const EncodingInfo& learned,
                                                                    DecodedTexts& kept, std::size_t passing) {
    const std::vector<ColumnIndex> columns =
        distinct_columns(std::span<const ColumnIndex>(learned.string_columns).first(passing));
    QUORIX_TRY(std::vector<PyRef> lists, frame_column_texts(matrix, learned, kept, columns, true));
    std::unordered_map<ColumnIndex, PyRef> list_of;
    for (std::size_t k = 0; k < columns.size(); ++k) list_of.emplace(columns[k], std::move(lists[k]));
    return list_of;
}

// The list of a listed column past the passing ones, made when its turn
// comes: its checks raise here, in the order the per-column steps make them.
Result<PyRef> lone_column_list(const Matrix& matrix, const EncodingInfo& learned, DecodedTexts& kept,
                               ColumnIndex c) {
    column_map(learned, c);
    if (matrix.rows() != 0 && c >= matrix.cols()) panic(kIndexOutOfBounds);
    QUORIX_TRY(std::vector<PyRef> lists, frame_column_texts(matrix, learned, kept, {c}, true));
    return std::move(lists.front());
}

// Column c of the frame becomes an object column holding `texts`: by label,
// or by position where the label would address several columns at once.
Status assign_column(PyObject* frame, const std::vector<std::string>& labels, const std::vector<bool>& repeated,
                     ColumnIndex c, PyObject* texts) {
    if (c >= labels.size()) {
        panic("index out of bounds: the len is " + std::to_string(labels.size()) + " but the index is " +
              std::to_string(c));
    }
    if (repeated[c]) return assign_by_position(frame, c, texts);
    QUORIX_TRY(PyRef label, new_text_str(labels[c]));
    return assign_by_label(frame, label.get(), texts);
}

Result<PyRef> build_frame(const Matrix& matrix, const std::vector<std::string>& labels, const EncodingInfo* learned,
                          DecodedTexts& kept, std::size_t passing) {
    QUORIX_TRY(PyRef frame_type, pandas_attribute("DataFrame"));
    QUORIX_TRY(PyRef frame, new_frame(frame_type.get(), matrix.array(), labels, false));
    if (learned == nullptr || learned->string_columns.empty()) return frame;
    QUORIX_TRY(auto list_of, passing_column_lists(matrix, *learned, kept, passing));
    const std::vector<bool> repeated = repeated_labels(labels);
    // pandas counts references to tell a temporary frame (chained assignment,
    // which it warns about) from one that is kept; called from here the
    // result has one fewer than a Python caller's frame would have.
    const PyRef kept_while_written = frame;
    const std::vector<ColumnIndex>& listed = learned->string_columns;
    for (std::size_t k = 0; k < listed.size(); ++k) {
        PyRef texts;
        if (k < passing) {
            texts = list_of.at(listed[k]);
        } else {
            QUORIX_TRY(texts, lone_column_list(matrix, *learned, kept, listed[k]));
        }
        QUORIX_CHECK(assign_column(frame.get(), labels, repeated, listed[k], texts.get()));
    }
    return frame;
}

// ---- in bulk --------------------------------------------------------------------
//
// For encode, and for decoding where every listed column passes the checks:
// the frame is made once over the matrix's own array (new, and referenced by
// nothing else), and each decoded column is put in its place by position as
// one object array wrapped in a Series, which pandas takes without copying.
Result<PyRef> build_frame_in_bulk(const Matrix& matrix, const std::vector<std::string>& labels,
                                  const EncodingInfo* learned, DecodedTexts& kept) {
    QUORIX_TRY(PyRef frame_type, pandas_attribute("DataFrame"));
    QUORIX_TRY(PyRef series_type, pandas_attribute("Series"));
    std::vector<ColumnIndex> columns;
    std::vector<PyRef> arrays;
    if (learned != nullptr) {
        columns = distinct_columns(learned->string_columns);
        QUORIX_TRY(arrays, frame_column_texts(matrix, *learned, kept, columns, false));
    }
    QUORIX_TRY(PyRef frame, new_frame(frame_type.get(), matrix.array(), labels, true));

    QUORIX_TRY(PyRef series_kwargs, checked(PyDict_New()));
    QUORIX_TRY(PyRef object_text, new_text_str("object"));
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

}  // namespace

Result<PyRef> arr_to_out(const Matrix& matrix, OUT out, const EncodingInfo* learned, DecodedTexts* kept) {
    // Without strs kept beside the state, this decode's own are dropped with it.
    DecodedTexts own;
    DecodedTexts& texts = kept != nullptr ? *kept : own;
    // The matrix's array is new, float64, and referenced by nothing else: it is
    // the base array as it stands.
    if (out.columns) {
        const std::vector<std::string>& labels = *out.columns;
        const std::size_t passing = learned != nullptr ? columns_passing_frame_checks(matrix, labels, *learned) : 0;
        const bool all_pass = learned == nullptr || passing == learned->string_columns.size();
        if (!all_pass) return build_frame(matrix, labels, learned, texts, passing);
        return build_frame_in_bulk(matrix, labels, learned, texts);
    }
    if (learned == nullptr) return PyRef::borrow(matrix.array());
    return decode_array(matrix, *learned, texts);
}

}  // namespace quorix
