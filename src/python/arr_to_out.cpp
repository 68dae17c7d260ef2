// Building the result of encode and decode.
#include "python/arr_to_out.hpp"

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "runtime/internal_error.hpp"
#include "runtime/numpy_api.hpp"

namespace quorix {
namespace {

constexpr int kCContiguous = 0x0001;  // NPY_ARRAY_C_CONTIGUOUS
constexpr Code kLargestCode = ~Code{0};

// A cell value (not NaN) as a code: saturating at both ends, else truncated.
Code cell_code(double value) {
    if (value >= 18446744073709551616.0) return kLargestCode;  // 2^64, and +inf
    if (value < 0.0) return 0;                                 // and -inf
    return static_cast<Code>(value);
}

Result<PyRef> new_str(std::string_view text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

const CodeToText& column_map(const EncodingInfo& learned, ColumnIndex c) {
    auto found = learned.code_to_text.find(c);
    if (found == learned.code_to_text.end()) panic("no entry found for key");
    return found->second;
}

// One Python str per distinct code of a column, made on first use; codes
// without a text give `missing`.
class ColumnTexts {
public:
    ColumnTexts(const CodeToText& map, PyRef missing) : map_(map), missing_(std::move(missing)) {
        dense_.resize(map.size());
    }

    // A borrowed reference, valid while this object lives.
    Result<PyObject*> text(double value) {
        if (value != value) return missing_.get();
        const Code code = cell_code(value);
        PyRef& slot = code < dense_.size() ? dense_[code] : sparse_[code];
        if (!slot) {
            auto found = map_.find(code);
            if (found == map_.end()) {
                slot = missing_;
            } else {
                QUORIX_TRY(slot, new_str(found->second));
            }
        }
        return slot.get();
    }

private:
    const CodeToText& map_;
    PyRef missing_;
    std::vector<PyRef> dense_;  // codes are dense from 0 after encode
    std::unordered_map<Code, PyRef> sparse_;
};

// The result of NumPy decoding, built directly: an object array with the
// base array's layout (as numpy.array(base).astype("object") would have),
// Python floats in every cell, and the texts in the listed columns.
Result<PyRef> decode_array(const Matrix& matrix, PyObject* base, const EncodingInfo& learned) {
    const std::size_t rows = matrix.rows(), cols = matrix.cols();
    const bool fortran = (numpy::as_array(base)->flags & kCContiguous) == 0;
    // Its slots start out empty (null), which NumPy reads and frees as nothing.
    QUORIX_TRY(PyRef result, numpy::new_array(numpy::kObject, rows, cols, fortran));
    auto** slots = reinterpret_cast<PyObject**>(numpy::as_array(result.get())->data);
    auto slot = [&](std::size_t r, std::size_t c) -> PyObject*& {
        return fortran ? slots[c * rows + r] : slots[r * cols + c];
    };

    std::vector<bool> listed(cols, false);
    for (ColumnIndex c : learned.string_columns) {
        if (c < cols) listed[c] = true;
    }
    for (std::size_t c = 0; c < cols; ++c) {
        if (listed[c]) continue;
        for (std::size_t r = 0; r < rows; ++r) {
            QUORIX_TRY(PyRef number, checked(PyFloat_FromDouble(matrix.cell(r, c))));
            slot(r, c) = number.release();
        }
    }

    QUORIX_TRY(PyRef no_text, new_str("NaN"));
    for (ColumnIndex c : learned.string_columns) {
        ColumnTexts texts(column_map(learned, c), no_text);
        if (rows == 0) continue;
        if (c >= cols) panic("ndarray: index out of bounds");
        for (std::size_t r = 0; r < rows; ++r) {
            QUORIX_TRY(PyObject * text, texts.text(matrix.cell(r, c)));
            PyRef previous = PyRef::steal(std::exchange(slot(r, c), PyRef::borrow(text).release()));
        }
    }
    return result;
}

Result<PyRef> call_astype_object(PyObject* object) {
    return checked(PyObject_CallMethod(object, "astype", "s", "object"));
}

// The texts (None for no text) of column c, one per row.
Result<PyRef> column_text_list(const Matrix& matrix, ColumnIndex c, const CodeToText& map) {
    const std::size_t rows = matrix.rows();
    QUORIX_TRY(PyRef list, checked(PyList_New(static_cast<Py_ssize_t>(rows))));
    ColumnTexts texts(map, PyRef::borrow(Py_None));
    for (std::size_t r = 0; r < rows; ++r) {
        QUORIX_TRY(PyObject * text, texts.text(matrix.at(r, c)));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), PyRef::borrow(text).release());
    }
    return list;
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

    for (ColumnIndex c : learned->string_columns) {
        const CodeToText& map = column_map(*learned, c);
        QUORIX_TRY(PyRef texts, column_text_list(matrix, c, map));
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

}  // namespace

Result<PyRef> arr_to_out(const Matrix& matrix, OUT out, const EncodingInfo* learned) {
    // The matrix's array is new, float64, and referenced by nothing else: it is
    // the base array as it stands.
    PyRef base = PyRef::borrow(matrix.array());
    if (out.columns) return build_frame(matrix, base.get(), *out.columns, learned);
    if (learned == nullptr) return base;
    return decode_array(matrix, base.get(), *learned);
}

}  // namespace quorix
