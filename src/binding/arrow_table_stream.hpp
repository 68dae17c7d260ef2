// A whole Arrow table taken through the PyCapsule stream interface
// (__arrow_c_stream__): its schema and every batch, kept for reading.
#pragma once

#include <Python.h>

#include <memory>

#include "engine/arrow_table_reader.hpp"
#include "binding/py_error.hpp"

namespace quorix {

// Calls exporter.__arrow_c_stream__() and takes the stream's schema and
// every batch. A stream that fails names the batch it failed at; one
// already released, or one whose capsule is not a stream, is a ValueError.
Result<std::unique_ptr<arrow::ExportedTable>> take_arrow_table(PyObject* exporter);

}  // namespace quorix
