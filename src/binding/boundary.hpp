// The boundary guard: every entry from the interpreter runs inside one, which
// turns a result, a Python error or an internal error into what the
// interpreter expects. Nothing escapes into the interpreter unconverted.
#pragma once

#include <Python.h>

#include <exception>
#include <utility>

#include "engine/large_blocks.hpp"
#include "binding/py_error.hpp"

namespace quorix {

// The exception class of internal errors, created on first need and kept for
// the life of the process. Borrowed; null with an exception set if creation failed.
PyObject* panic_exception_type();

// Sets the interpreter's exception from the C++ exception being handled:
// InternalError and anything unknown become PanicException, a refused
// allocation MemoryError. Must be called inside a catch block.
void raise_current_exception() noexcept;

// Every entry point's large scratch blocks serve it again and again while it
// runs (see large_blocks.hpp), and go back to the kernel when it returns.

// For entry points returning a new reference (null on failure).
template <class Body>
PyObject* guard_object(Body&& body) noexcept {
    try {
        const BlockReuse reuse;
        Result<PyRef> result = std::forward<Body>(body)();
        if (result) return std::move(result).value().release();
        std::move(result).error().restore();
    } catch (...) {
        raise_current_exception();
    }
    return nullptr;
}

// For entry points returning 0 on success and -1 with an exception set.
template <class Body>
int guard_status(Body&& body) noexcept {
    try {
        const BlockReuse reuse;
        Status status = std::forward<Body>(body)();
        if (status) return 0;
        std::move(status).error().restore();
    } catch (...) {
        raise_current_exception();
    }
    return -1;
}

// For hooks whose failure nobody receives (deallocation): the error goes to
// the interpreter's unraisable-exception hook.
template <class Body>
void guard_unraisable(PyObject* context, Body&& body) noexcept {
    if (guard_status(std::forward<Body>(body)) < 0) PyErr_WriteUnraisable(context);
}

}  // namespace quorix
