// Learned runs as plain Python objects, the form in which they travel
// between processes: (numbers_read, has_state, columns), each column
// (position, texts, ends, counts): its texts' UTF-8 bytes one after the
// other, each text's end as a little-endian uint64, and None or each coded
// text's count as a little-endian int64. Every text is held once.
#pragma once

#include <Python.h>

#include <vector>

#include "pipeline/native/merge_learned.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"

namespace quorix::pipeline {

Result<PyRef> runs_object(const RunsPart& part);

// The runs an object holds, checked (texts ascending and distinct, counts
// one per coded text, string columns ascending below `cols`); a ValueError
// naming what is wrong otherwise. The texts view buffers held in `held`.
Result<RunsPart> runs_from_object(PyObject* object, std::size_t cols, std::vector<PyRef>& held);

}  // namespace quorix::pipeline
