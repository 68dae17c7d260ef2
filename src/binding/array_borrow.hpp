// Shared borrows of NumPy arrays through the process-wide registry that
// extension modules keep on NumPy's multiarray module, so that a module
// writing into an array and this one reading it do not overlap.
#pragma once

#include <Python.h>

namespace quorix::numpy {

// A shared (read) borrow of an array, released on destruction. Construction
// stops with an internal error when the array is borrowed for writing, or
// when the registry cannot be found or created.
class SharedArrayBorrow {
public:
    explicit SharedArrayBorrow(PyObject* array);
    ~SharedArrayBorrow();
    SharedArrayBorrow(const SharedArrayBorrow&) = delete;
    SharedArrayBorrow& operator=(const SharedArrayBorrow&) = delete;

private:
    PyObject* array_;  // kept alive by the caller for the borrow's lifetime
};

}  // namespace quorix::numpy
