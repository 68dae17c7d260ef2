// Reading a pandas DataFrame column by column from each column's own
// storage, giving exactly what reading its `values` cell by cell gives.
#pragma once

#include <Python.h>

#include <memory>
#include <vector>

#include "binding/arrow_stream.hpp"
#include "engine/gathered_columns.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"

namespace quorix {

// What the numbers and texts read in place point into; kept until the
// engine is done with the gathered columns.
struct FrameStorage {
    std::vector<PyRef> objects;
    std::vector<std::unique_ptr<ArrowTextChunks>> arrow;
};

// True when `obj` is exactly a pandas.DataFrame (pandas already imported).
Result<bool> is_exact_pandas_frame(PyObject* obj);

// Reads every column of the frame into `gathered` (whose rows and cols are
// the frame's shape) from the column's own buffers: NumPy numbers, objects,
// pandas strings of either storage, categoricals and masked numbers. No cell
// runs code when read so. False, with nothing kept, when some column has a
// dtype or storage with no reader here: the caller then reads `values`.
// Malformed Arrow data is a ValueError.
Result<bool> gather_frame_columns(PyObject* frame, GatheredColumns& gathered, FrameStorage& storage);

}  // namespace quorix
