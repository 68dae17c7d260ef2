// The cell reading of input extraction, with two shortcuts. A plain ndarray
// (exactly numpy.ndarray) of objects, booleans, integers or floats is read
// straight from its buffer, giving the same objects and the same values that
// item access would give. Everything else, subclasses included, goes through
// item access. And when every cell of such an object array is an exact str,
// float, bool, int of 64 bits or None, no cell can run Python code, so the
// order of reading is invisible: the cells are read in memory order, their
// values and texts computed here as float() and str() would give them.
#include "binding/gather_cells.hpp"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "engine/number_text.hpp"
#include "binding/object_text.hpp"
#include "engine/internal_error.hpp"
#include "binding/none_reading.hpp"
#include "binding/numpy_api.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"
#include "engine/unaligned.hpp"

namespace quorix {
namespace {

// The numbers gathered so far become texts; the column holds texts from now on.
void promote(GatheredColumn& column, std::size_t rows) {
    column.is_string = true;
    column.texts.clear();
    column.texts.reserve(rows, 0);
    for (double value : column.numbers) {
        column.texts.push_back(number_text(value));
        if (value == value) column.promoted_numbers = true;
    }
    std::vector<double>().swap(column.numbers);
}

// None read as a missing value: a NaN, or in a string column its text "nan".
void accept_missing_none(GatheredColumn& column) {
    if (column.is_string) {
        column.texts.push_view("nan");
    } else {
        column.numbers.push_back(std::numeric_limits<double>::quiet_NaN());
    }
}

// One cell as the host gives it.
void accept_object(GatheredColumn& column, std::size_t rows, PyObject* item) {
    if (item == Py_None && NoneIsMissing::active()) {
        accept_missing_none(column);
        return;
    }
    if (column.is_string) {
        push_object_text(item, column.texts);
        return;
    }
    // Reads an exact float directly, else __float__ or __index__; never parses.
    const double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) {
        drop_error();  // a cell that converts to no float is a text
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

// All columns at once, row by row: a row-major buffer is then read once in
// memory order, not once per column.
template <class T>
void gather_numeric_rows(const ArrayView& view, GatheredColumns& gathered) {
    for (GatheredColumn& column : gathered.columns) column.numbers.resize(gathered.rows);
    for (std::size_t r = 0; r < gathered.rows; ++r) {
        for (std::size_t c = 0; c < gathered.cols; ++c) {
            gathered.columns[c].numbers[r] = static_cast<double>(load<T>(view.at(r, c)));
        }
    }
}

bool gather_rows_from_buffer(const ArrayView& view, GatheredColumns& gathered) {
    switch (view.type_num) {
        case numpy::kLong:
        case numpy::kLongLong: gather_numeric_rows<std::int64_t>(view, gathered); return true;
        case numpy::kFloat: gather_numeric_rows<float>(view, gathered); return true;
        case numpy::kDouble: gather_numeric_rows<double>(view, gathered); return true;
        default: return false;
    }
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

// ---------------------------------------------------------------------------
// Object arrays whose cells run no code.

// How many rows ahead the cells' objects are asked for: they lie anywhere in
// memory, and each is read once.
constexpr std::size_t kCellsAhead = 16;

// A text made here: the column keeps a copy.
void push_text(GatheredColumn& column, std::string_view text) { column.texts.push_back(text); }

// A text that outlives the column (a str object's characters, a literal).
void push_view(GatheredColumn& column, std::string_view text) { column.texts.push_view(text); }

// Takes one cell as accept_object would, for the cells that run no code
// (exact str, float, bool, int of at most 64 bits, None, pandas' NA when
// `na` is it, an empty slot); false, with nothing taken, for any other.
bool accept_inert(GatheredColumn& column, std::size_t rows, PyObject* cell, NumberStr& str, PyObject* na) {
    if (cell == nullptr) cell = Py_None;
    const PyTypeObject* type = Py_TYPE(cell);
    if (type == &PyUnicode_Type) {
        std::string_view text;
        if (!exact_str_text(cell, text)) return false;
        if (!column.is_string) promote(column, rows);
        push_view(column, text);
    } else if (type == &PyFloat_Type) {
        const double value = PyFloat_AS_DOUBLE(cell);
        if (!column.is_string) {
            column.numbers.push_back(value);
        } else {
            const std::string_view text = str.of(value);
            if (text.data() == nullptr) return false;
            push_text(column, text);
        }
    } else if (type == &PyLong_Type) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(cell, &overflow);
        if (overflow != 0) return false;  // beyond 64 bits: left to reading by conversion
        if (!column.is_string) {
            // Rounded to nearest, ties to even, as the host converts ints.
            column.numbers.push_back(static_cast<double>(value));
        } else {
            push_text(column, str.of(static_cast<std::int64_t>(value)));
        }
    } else if (type == &PyBool_Type) {
        const bool value = cell == Py_True;
        if (!column.is_string) {
            column.numbers.push_back(value ? 1.0 : 0.0);
        } else {
            push_view(column, NumberStr::of(value));
        }
    } else if (cell == Py_None) {
        if (NoneIsMissing::active()) {
            accept_missing_none(column);
            return true;
        }
        if (!column.is_string) promote(column, rows);
        push_view(column, "None");
    } else if (cell == na && na != nullptr) {
        // str() of pandas' NA; it converts to no float.
        if (!column.is_string) promote(column, rows);
        push_view(column, "<NA>");
    } else {
        return false;
    }
    return true;
}

// Reads an object array whose cells all run no code, in the order of its
// memory. At the first cell that might run code it stops and returns false,
// having changed nothing visible: `gathered` is then cleared for reading by conversion.
bool gather_inert_objects(const ArrayView& view, GatheredColumns& gathered, PyObject* na) {
    const std::size_t rows = gathered.rows, cols = gathered.cols;
    for (GatheredColumn& column : gathered.columns) column.numbers.reserve(rows);
    NumberStr str;
    auto cell_at = [&](std::size_t r, std::size_t c) { return load<PyObject*>(view.at(r, c)); };
    auto prefetch = [&](std::size_t r, std::size_t c) __attribute__((always_inline)) {
        // The header, and the characters of a short str after it.
        if (PyObject* ahead = cell_at(r, c)) {
            __builtin_prefetch(ahead);
            __builtin_prefetch(reinterpret_cast<const char*>(ahead) + 64);
        }
    };
    bool inert = true;
    const bool by_rows = std::abs(view.col_step) <= std::abs(view.row_step);
    if (by_rows) {
        for (std::size_t r = 0; r < rows && inert; ++r) {
            for (std::size_t c = 0; c < cols; ++c) {
                if (r + kCellsAhead < rows) prefetch(r + kCellsAhead, c);
                if (!accept_inert(gathered.columns[c], rows, cell_at(r, c), str, na)) {
                    inert = false;
                    break;
                }
            }
        }
    } else {
        for (std::size_t c = 0; c < cols && inert; ++c) {
            for (std::size_t r = 0; r < rows; ++r) {
                if (r + kCellsAhead < rows) prefetch(r + kCellsAhead, c);
                if (!accept_inert(gathered.columns[c], rows, cell_at(r, c), str, na)) {
                    inert = false;
                    break;
                }
            }
        }
    }
    if (!inert) {
        for (GatheredColumn& column : gathered.columns) column = GatheredColumn{};
    }
    return inert;
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

bool gather_inert_object_column(const char* data, std::ptrdiff_t stride, std::size_t rows, PyObject* na,
                                GatheredColumn& column) {
    GatheredColumns one(rows, 1);
    if (!gather_inert_objects(ArrayView{data, stride, 0, numpy::kObject}, one, na)) return false;
    column = std::move(one.columns[0]);
    return true;
}

void gather_cells(PyObject* source, GatheredColumns& gathered, PyObject* na) {
    ArrayView view{};
    if (!buffer_view(source, gathered, view)) {
        gather_columns_by_item_access(source, gathered, 0);
        return;
    }
    if (view.type_num == numpy::kObject) {
        if (gather_inert_objects(view, gathered, na)) return;
    } else if (std::abs(view.col_step) < std::abs(view.row_step)) {
        if (gather_rows_from_buffer(view, gathered)) return;
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
