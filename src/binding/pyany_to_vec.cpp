// Input extraction: recognition, the float64 fast path and the cell path.
#include "binding/pyany_to_vec.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "engine/encode_object_array.hpp"
#include "binding/frame_columns.hpp"
#include "binding/frame_labels.hpp"
#include "binding/gather_cells.hpp"
#include "engine/gathered_columns.hpp"
#include "binding/numpy_text_array.hpp"
#include "binding/array_borrow.hpp"
#include "engine/internal_error.hpp"
#include "binding/numpy_api.hpp"
#include "binding/object_text.hpp"
#include "binding/py_ref.hpp"

namespace quorix {
namespace {

constexpr int kCContiguous = 0x0001;  // NPY_ARRAY_C_CONTIGUOUS
constexpr int kFContiguous = 0x0002;  // NPY_ARRAY_F_CONTIGUOUS

Result<std::string> type_name(PyObject* obj) {
    QUORIX_TRY(PyRef name, checked(PyType_GetName(Py_TYPE(obj))));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (data == nullptr) return PyError::fetch();
    return std::string(data, static_cast<std::size_t>(size));
}

// The name goes to file descriptor 1 itself, not through sys.stdout; a
// closed descriptor counts as written.
void print_to_stdout(std::string line) {
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, line.data() + written, line.size() - written);
        if (n >= 0) {
            written += static_cast<std::size_t>(n);
        } else if (errno == EBADF) {
            return;
        } else if (errno != EINTR) {
            panic(std::string("failed printing to stdout: ") + std::strerror(errno));
        }
    }
}

PyError refuse(const std::string& name) {
    print_to_stdout(name + "\n");
    return PyError::pending(PyExc_TypeError, "Unsupported type: '" + name +
                                                 "'. Supported types are: numpy.ndarray, pandas.DataFrame");
}

bool is_float64_matrix(PyObject* obj) {
    const numpy::ArrayApi& numpy_api = numpy::array_api();
    if (!numpy_api.is_array(obj)) return false;
    const numpy::ArrayObject* array = numpy::as_array(obj);
    if (array->nd != 2) return false;
    numpy::Descr* float64 = numpy_api.descr_from_type(numpy::kDouble);
    if (float64 == nullptr) return false;
    // Held only for the comparison.
    PyRef held = PyRef::steal(reinterpret_cast<PyObject*>(float64));
    return numpy_api.equiv_types(array->descr, float64) != 0;
}

// Copies a 2-D float64 array under a shared borrow. A C- or Fortran-ordered
// input keeps its order and is copied in one block; any other is read
// element by element into row-major order.
Result<Matrix> copy_float64(PyObject* obj) {
    numpy::SharedArrayBorrow borrow(obj);
    const numpy::ArrayObject* array = numpy::as_array(obj);
    const auto rows = static_cast<std::size_t>(array->dimensions[0]);
    const auto cols = static_cast<std::size_t>(array->dimensions[1]);
    const bool c_order = (array->flags & kCContiguous) != 0;
    const bool fortran = !c_order && (array->flags & kFContiguous) != 0;
    QUORIX_TRY(Matrix matrix, Matrix::uninitialised(rows, cols, fortran));
    if (c_order || fortran) {
        if (rows * cols != 0) std::memcpy(matrix.data(), array->data, rows * cols * sizeof(double));
        return matrix;
    }
    const Py_ssize_t row_step = array->strides[0], col_step = array->strides[1];
    double* out = matrix.data();
    for (std::size_t r = 0; r < rows; ++r) {
        const char* row = array->data + static_cast<Py_ssize_t>(r) * row_step;
        for (std::size_t c = 0; c < cols; ++c) {
            std::memcpy(out++, row + static_cast<Py_ssize_t>(c) * col_step, sizeof(double));
        }
    }
    return matrix;
}

// A required read whose failure is an internal error.
PyRef required_attribute(PyObject* obj, const char* name) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(obj, name));
    if (!value) panic(kUnwrap, PyError::fetch().describe());
    return value;
}

std::size_t shape_item(PyObject* item) {
    PyRef index = PyRef::steal(PyNumber_Index(item));
    const std::size_t value = index ? PyLong_AsSize_t(index.get()) : static_cast<std::size_t>(-1);
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) panic(kUnwrap, PyError::fetch().describe());
    return value;
}

// `shape` as a pair of non-negative integers.
std::pair<std::size_t, std::size_t> read_shape(PyObject* obj) {
    PyRef shape = required_attribute(obj, "shape");
    if (!PyTuple_Check(shape.get())) panic(kUnwrap, PyError::type_mismatch(shape.get(), "tuple").describe());
    const Py_ssize_t length = PyTuple_GET_SIZE(shape.get());
    if (length != 2) {
        panic(kUnwrap, PyError::pending(PyExc_ValueError, "expected tuple of length 2, but got tuple of length " +
                                                              std::to_string(length))
                           .describe());
    }
    const std::size_t rows = shape_item(PyTuple_GET_ITEM(shape.get(), 0));
    const std::size_t cols = shape_item(PyTuple_GET_ITEM(shape.get(), 1));
    return {rows, cols};
}

Status read_cells(PyObject* obj, GatheredTable& table, bool encode_text_arrays) {
    const auto [rows, cols] = read_shape(obj);
    QUORIX_TRY(table.matrix, Matrix::zeros(rows, cols));
    table.gathered = GatheredColumns(rows, cols);
    QUORIX_TRY(const bool exact_frame, table.out.columns ? is_exact_pandas_frame(obj) : Result<bool>(false));
    if (exact_frame) {
        // Each column from its own storage, when every column has a reader.
        QUORIX_TRY(const bool read, gather_frame_columns(obj, table.gathered, table.storage));
        if (read) return Ok{};
    }
    if (!table.out.columns && encode_text_arrays) {
        // NumPy's own text arrays, read from their buffers and encoded there.
        QUORIX_TRY(table.encoded, encode_numpy_text_array(obj, table.matrix));
        if (table.encoded) return Ok{};
    }
    // A frame's cells are read from its `values`; its index is not read.
    table.source = table.out.columns ? required_attribute(obj, "values") : PyRef::borrow(obj);
    QUORIX_TRY(const PyRef na, pandas_na());
    gather_cells(table.source.get(), table.gathered, na.get());
    return Ok{};
}

}  // namespace

Result<GatheredTable> gather_table(PyObject* obj, bool encode_text_arrays) {
    QUORIX_TRY(std::string name, type_name(obj));
    GatheredTable table;
    if (name == "memmap" || name == "ndarray") {
        // An array: no labels.
    } else if (name == "DataFrame") {
        QUORIX_TRY(table.out.columns, frame_labels(obj));
    } else {
        return refuse(name);
    }
    if (is_float64_matrix(obj)) {
        QUORIX_TRY(table.matrix, copy_float64(obj));
        table.copied = true;
        return table;
    }
    QUORIX_CHECK(read_cells(obj, table, encode_text_arrays));
    return table;
}

std::optional<EncodingInfo> encode_gathered(GatheredTable& table, bool write_codes) {
    if (table.copied) return std::nullopt;
    if (table.encoded) return std::move(table.encoded);
    return encode_object_array(table.gathered, write_codes ? table.matrix.data() : nullptr, table.gathered.cols, 1);
}

Result<Extraction> pyany_to_vec(PyObject* obj) {
    QUORIX_TRY(GatheredTable table, gather_table(obj, true));
    std::optional<EncodingInfo> encoding_info = encode_gathered(table, true);
    return Extraction{std::move(table.out), std::move(table.matrix), std::move(encoding_info)};
}

}  // namespace quorix
