// The cell reading of input extraction, with one shortcut: a plain ndarray
// (exactly numpy.ndarray) of objects, booleans, integers or floats is read
// straight from its buffer, giving the same objects and the same values that
// item access would give. Everything else, subclasses included, goes through
// item access.
#include "python/gather_cells.hpp"

#include <cstdint>
#include <cstring>
#include <vector>

#include "python/number_text.hpp"
#include "python/object_text.hpp"
#include "runtime/internal_error.hpp"
#include "runtime/numpy_api.hpp"
#include "runtime/py_error.hpp"
#include "runtime/py_ref.hpp"

namespace quorix {
namespace {

constexpr const char* kUnwrap = "called `Result::unwrap()` on an `Err` value";

// The numbers gathered so far become texts; the column holds texts from now on.
void promote(GatheredColumn& column, std::size_t rows) {
    column.is_string = true;
    column.texts.clear();
    column.texts.reserve(rows, 0);
    for (double value : column.numbers) column.texts.push_back(number_text(value));
    std::vector<double>().swap(column.numbers);
}

// One cell as the host gives it.
void accept_object(GatheredColumn& column, std::size_t rows, PyObject* item) {
    if (column.is_string) {
        push_object_text(item, column.texts);
        return;
    }
    // Reads an exact float directly, else __float__ or __index__; never parses.
    const double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) {
        PyError dropped = PyError::fetch();
        promote(column, rows);
        push_object_text(item, column.texts);
        return;
    }
    column.numbers.push_back(value);
}

// Reads columns first_column .. cols - 1 with source[r, c].
void gather_columns_by_item_access(PyObject* source, GatheredColumns& gathered, std::size_t first_column) {
    for (std::size_t c = first_column; c < gathered.cols; ++c) {
        GatheredColumn& column = gathered.columns[c];
        column.numbers.reserve(gathered.rows);
        PyRef col = PyRef::steal(PyLong_FromSize_t(c));
        if (!col) panic(kUnwrap, PyError::fetch().describe());
        for (std::size_t r = 0; r < gathered.rows; ++r) {
            PyRef row = PyRef::steal(PyLong_FromSize_t(r));
            PyRef key = row ? PyRef::steal(PyTuple_Pack(2, row.get(), col.get())) : PyRef();
            PyRef item = key ? PyRef::steal(PyObject_GetItem(source, key.get())) : PyRef();
            if (!item) panic(kUnwrap, PyError::fetch().describe());
            accept_object(column, gathered.rows, item.get());
        }
    }
}

// The buffer of a plain 2-D ndarray in native byte order.
struct ArrayView {
    const char* data;
    Py_ssize_t row_step, col_step;  // in bytes
    int type_num;

    const char* at(std::size_t r, std::size_t c) const noexcept {
        return data + static_cast<Py_ssize_t>(r) * row_step + static_cast<Py_ssize_t>(c) * col_step;
    }
};

template <class T>
T load(const char* where) noexcept {
    T value;
    std::memcpy(&value, where, sizeof value);  // the buffer need not be aligned
    return value;
}

// The element as float() of the scalar that item access would return.
template <class T>
void gather_numeric_column(const ArrayView& view, std::size_t c, GatheredColumn& column, std::size_t rows) {
    column.numbers.resize(rows);
    for (std::size_t r = 0; r < rows; ++r) column.numbers[r] = static_cast<double>(load<T>(view.at(r, c)));
}

void gather_object_column(const ArrayView& view, std::size_t c, GatheredColumn& column, std::size_t rows) {
    // float() or str() of a cell may run code that changes the array, even
    // frees its buffer (a resize): the column's objects are taken, with our own
    // references, before any of that code runs. An empty slot reads as None.
    std::vector<PyRef> cells;
    cells.reserve(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        PyObject* slot = load<PyObject*>(view.at(r, c));
        cells.push_back(PyRef::borrow(slot != nullptr ? slot : Py_None));
    }
    column.numbers.reserve(rows);
    for (const PyRef& cell : cells) accept_object(column, rows, cell.get());
}

bool gather_column_from_buffer(const ArrayView& view, std::size_t c, GatheredColumn& column, std::size_t rows) {
    switch (view.type_num) {
        case numpy::kObject: gather_object_column(view, c, column, rows); return true;
        case numpy::kBool:
            column.numbers.resize(rows);
            for (std::size_t r = 0; r < rows; ++r) column.numbers[r] = *view.at(r, c) != 0 ? 1.0 : 0.0;
            return true;
        case numpy::kByte: gather_numeric_column<std::int8_t>(view, c, column, rows); return true;
        case numpy::kUByte: gather_numeric_column<std::uint8_t>(view, c, column, rows); return true;
        case numpy::kShort: gather_numeric_column<std::int16_t>(view, c, column, rows); return true;
        case numpy::kUShort: gather_numeric_column<std::uint16_t>(view, c, column, rows); return true;
        case numpy::kInt: gather_numeric_column<std::int32_t>(view, c, column, rows); return true;
        case numpy::kUInt: gather_numeric_column<std::uint32_t>(view, c, column, rows); return true;
        case numpy::kLong:
        case numpy::kLongLong: gather_numeric_column<std::int64_t>(view, c, column, rows); return true;
        case numpy::kULong:
        case numpy::kULongLong: gather_numeric_column<std::uint64_t>(view, c, column, rows); return true;
        case numpy::kFloat: gather_numeric_column<float>(view, c, column, rows); return true;
        case numpy::kDouble: gather_numeric_column<double>(view, c, column, rows); return true;
        default: return false;
    }
}

bool readable_from_buffer(int type_num) {
    switch (type_num) {
        case numpy::kObject: case numpy::kBool: case numpy::kByte: case numpy::kUByte: case numpy::kShort:
        case numpy::kUShort: case numpy::kInt: case numpy::kUInt: case numpy::kLong: case numpy::kULong:
        case numpy::kLongLong: case numpy::kULongLong: case numpy::kFloat: case numpy::kDouble:
            return true;
        default:
            return false;
    }
}

// The buffer of `source` when it is exactly an ndarray of the expected size
// whose elements this file knows how to read; nothing otherwise.
bool buffer_view(PyObject* source, const GatheredColumns& gathered, ArrayView& view) {
    const numpy::ArrayApi& numpy_api = numpy::array_api();
    if (!numpy_api.is_exact_array(source)) return false;
    const numpy::ArrayObject* array = numpy::as_array(source);
    if (array->nd != 2 || static_cast<std::size_t>(array->dimensions[0]) != gathered.rows ||
        static_cast<std::size_t>(array->dimensions[1]) != gathered.cols) {
        return false;
    }
    const numpy::Descr* descr = array->descr;
    if (descr->byteorder == '>' || !readable_from_buffer(descr->type_num)) return false;
    view = ArrayView{array->data, array->strides[0], array->strides[1], descr->type_num};
    return true;
}

}  // namespace

void gather_cells(PyObject* source, GatheredColumns& gathered) {
    ArrayView view{};
    if (!buffer_view(source, gathered, view)) {
        gather_columns_by_item_access(source, gathered, 0);
        return;
    }
    // Kept alive even if a cell's __float__ or __str__ drops other references to it.
    PyRef keep = PyRef::borrow(source);
    for (std::size_t c = 0; c < gathered.cols; ++c) {
        // Code run for an earlier column may have reshaped or reallocated the
        // array; the buffer is looked at afresh, and item access takes over
        // should it no longer be the array it was.
        if (c > 0 && view.type_num == numpy::kObject && !buffer_view(source, gathered, view)) {
            gather_columns_by_item_access(source, gathered, c);
            return;
        }
        gather_column_from_buffer(view, c, gathered.columns[c], gathered.rows);
    }
}

}  // namespace quorix
