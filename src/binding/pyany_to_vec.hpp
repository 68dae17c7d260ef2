// Input extraction: recognising the table, reading its labels and its values
// into a matrix of doubles, string columns label-encoded on the way.
#pragma once

#include <Python.h>

#include <optional>

#include "engine/encoding_info.hpp"
#include "binding/frame_columns.hpp"
#include "engine/gathered_columns.hpp"
#include "binding/matrix.hpp"
#include "binding/out.hpp"
#include "binding/py_error.hpp"

namespace quorix {

struct Extraction {
    OUT out;
    Matrix matrix;
    // Absent when a float64 array was copied without reading its cells.
    std::optional<EncodingInfo> encoding_info;
};

// A table read but not yet encoded: a zeroed matrix of its shape and its
// cells gathered per column, with what those cells point into; or, for a
// float64 array, the matrix alone, already holding the copied values.
struct GatheredTable {
    OUT out;
    Matrix matrix;
    bool copied = false;  // a float64 array: `matrix` holds it, `gathered` is empty
    GatheredColumns gathered{0, 0};
    FrameStorage storage;
    PyRef source;  // the cells read when not the input itself (a frame's `values`)
    // A NumPy text array encoded where it lies (with `encode_text_arrays`):
    // `matrix` holds its codes, `gathered` is empty.
    std::optional<EncodingInfo> encoded;
};

// What pyany_to_vec reads, up to the encoding: the caller decides what to
// do with the cells. NumPy's own text arrays are encoded in their buffers
// when `encode_text_arrays` is set, else read cell by cell.
Result<GatheredTable> gather_table(PyObject* obj, bool encode_text_arrays);

// The encoding step that follows gather_table: the maps of the table's
// string columns, or none for a float64 array copied as is. The codes go into
// table.matrix unless `write_codes` is false (a fit that keeps the maps alone).
std::optional<EncodingInfo> encode_gathered(GatheredTable& table, bool write_codes);

// Reads a NumPy array ("ndarray", "memmap") or a pandas DataFrame, told apart
// by their type's name; any other type is refused with a TypeError after its
// name is written to standard output.
Result<Extraction> pyany_to_vec(PyObject* obj);

}  // namespace quorix
