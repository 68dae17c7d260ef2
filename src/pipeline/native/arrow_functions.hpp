// The module's functions on Arrow tables (anything with __arrow_c_stream__):
// learning, learning and encoding, and transforming, each column read from
// its Arrow buffers on the pool. The codes come back column-major, so that
// each column is one contiguous float64 run the caller can hand out as is.
#pragma once

#include <Python.h>

#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"

namespace quorix::pipeline {

// learn_arrow(table) -> (Learned, names): what one encode learns, no code written.
Result<PyRef> learn_arrow(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
// learn_and_encode_arrow(table) -> (Learned, names, codes).
Result<PyRef> learn_and_encode_arrow(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
// transform_arrow(learned, table, unknown) -> (names, codes).
Result<PyRef> transform_arrow(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace quorix::pipeline
