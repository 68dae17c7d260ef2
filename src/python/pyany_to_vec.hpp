// Input extraction: recognising the table, reading its labels and its values
// into a matrix of doubles, string columns label-encoded on the way.
#pragma once

#include <Python.h>

#include <optional>

#include "python/encoding_info.hpp"
#include "python/matrix.hpp"
#include "python/out.hpp"
#include "runtime/py_error.hpp"

namespace quorix {

struct Extraction {
    OUT out;
    Matrix matrix;
    // Absent when a float64 array was copied without reading its cells.
    std::optional<EncodingInfo> encoding_info;
};

// Reads a NumPy array ("ndarray", "memmap") or a pandas DataFrame, told apart
// by their type's name; any other type is refused with a TypeError after its
// name is written to standard output.
Result<Extraction> pyany_to_vec(PyObject* obj);

}  // namespace quorix
