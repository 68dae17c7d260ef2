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

// An entry point made from its body: `entry<body>` takes the body's own
// parameters (those the interpreter passes: self or the module, the
// arguments, ...) and runs it inside guard_object, or guard_status for a body
// giving a Status. Bodies then hold only their meaning.
template <auto Body>
struct Entry;

template <class... Parameters, Result<PyRef> (*Body)(Parameters...)>
struct Entry<Body> {
    static PyObject* call(Parameters... parameters) noexcept {
        return guard_object([&] { return Body(parameters...); });
    }
};

template <class... Parameters, Status (*Body)(Parameters...)>
struct Entry<Body> {
    static int call(Parameters... parameters) noexcept {
        return guard_status([&] { return Body(parameters...); });
    }
};

template <auto Body>
inline constexpr auto entry = &Entry<Body>::call;

// The same as a PyMethodDef holds it: the table's field is typed for
// METH_VARARGS, and its flags say which signature the function really has.
template <auto Body>
PyCFunction method_entry() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<Body>));
}

// For hooks whose failure nobody receives (deallocation): the error goes to
// the interpreter's unraisable-exception hook.
template <class Body>
void guard_unraisable(PyObject* context, Body&& body) noexcept {
    if (guard_status(std::forward<Body>(body)) < 0) PyErr_WriteUnraisable(context);
}

}  // namespace quorix
