// Reading a table cell by cell into numeric and string columns.
#pragma once

#include <Python.h>

#include <cstddef>

#include "engine/gathered_columns.hpp"

namespace quorix {

// Reads every cell of `source` (its item at the key (r, c)), column by column
// and row by row within a column, into `gathered`, whose rows and cols give
// the table's size. A column becomes a string column at its first cell that
// does not convert to a float. A cell that cannot be read, or whose str()
// fails in a string column, stops with an internal error. `na`, when not
// null, is pandas' NA, whose text "<NA>" is known without calling it. Texts
// may be views of the cells' str objects: `source` must outlive `gathered`.
void gather_cells(PyObject* source, GatheredColumns& gathered, PyObject* na);

// Reads one column of `rows` object pointers `stride` bytes apart into
// `column`, as gather_cells would, when none of its cells can run code (exact
// str, float, bool, int of 64 bits, None, `na`); false, with `column`
// untouched, otherwise. The objects must outlive `column`.
bool gather_inert_object_column(const char* data, std::ptrdiff_t stride, std::size_t rows, PyObject* na,
                                GatheredColumn& column);

}  // namespace quorix
