// The one owning handle for Python references: every PyObject* the module
// keeps goes through it, so every path releases what it took.
#pragma once

#include <Python.h>

#include <utility>

namespace quorix {

class PyRef {
public:
    PyRef() noexcept = default;

    // Takes over a new reference (may be null, e.g. after a failed host call).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Takes a new share of a borrowed reference.
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(const PyRef& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller (for returning to the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset() noexcept { PyRef().swap(*this); }
    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace quorix
