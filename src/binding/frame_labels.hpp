// The column labels of a DataFrame as texts.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "binding/py_error.hpp"

namespace quorix {

// The labels of `frame.columns`: the labels themselves when every one is a
// str, else the decimal texts of `columns.tolist()` when every item is an
// integer; otherwise the error of the failed integer conversion.
Result<std::vector<std::string>> frame_labels(PyObject* frame);

}  // namespace quorix
