// NumPy's own text arrays ('U', 'S' and NumPy 2's StringDType) read from
// their buffers, column by column on the pool, with no object per cell.
#pragma once

#include <Python.h>

#include <optional>

#include "engine/encoding_info.hpp"
#include "binding/matrix.hpp"
#include "binding/py_error.hpp"

namespace quorix {

// When `obj` is exactly a numpy.ndarray or numpy.memmap of two dimensions
// and a text dtype, encodes it into `matrix` (its rows x cols, row-major,
// zeroed) and returns the maps: the very codes and maps that reading it cell
// by cell with obj[r, c] gives. Nothing for any other input, and for an
// array holding a cell this reader cannot give exactly as reading cell by cell does (a
// code unit beyond U+10FFFF, a missing StringDType cell whose na_object is
// not NaN, None, pandas' NA or a str); the matrix is then left zeroed.
Result<std::optional<EncodingInfo>> encode_numpy_text_array(PyObject* obj, Matrix& matrix);

}  // namespace quorix
