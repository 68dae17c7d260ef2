// Reading a table cell by cell into numeric and string columns.
#pragma once

#include <Python.h>

#include "python/gathered_columns.hpp"

namespace quorix {

// Reads every cell of `source` (its item at the key (r, c)), column by column
// and row by row within a column, into `gathered`, whose rows and cols give
// the table's size. A column becomes a string column at its first cell that
// does not convert to a float. A cell that cannot be read, or whose str()
// fails in a string column, stops with an internal error.
void gather_cells(PyObject* source, GatheredColumns& gathered);

}  // namespace quorix
