// Tables a transform passes its learned codes through: per string column one
// float64 per learned code, the code the options give that text. They let
// the learned maps serve every option without a map of their own.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <vector>

#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"
#include "pipeline/native/learned.hpp"

namespace quorix::pipeline {

struct RecodeTables {
    std::vector<PyRef> held;                        // the bytes read, held for the call
    std::vector<std::span<const double>> by_column;  // empty for a column looked up as learned
};

// `given` is None or a dict of string column -> bytes of float64 in the
// machine's order, one per code the column learned; the table spans `cols`
// columns.
Result<RecodeTables> recode_tables_of(PyObject* given, const Learned& learned, std::size_t cols);

}  // namespace quorix::pipeline
