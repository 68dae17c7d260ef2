// Python errors as values: created where a host call fails or a check is
// refused, carried back unchanged, and raised exactly once at the boundary.
#pragma once

#include <Python.h>

#include <string>
#include <utility>
#include <variant>

#include "binding/py_ref.hpp"

namespace quorix {

class PyError {
public:
    // An exception class and a message; nothing is created in the interpreter
    // until it is raised.
    static PyError pending(PyObject* type, std::string message);
    // The exception the interpreter holds after a failed host call. With none
    // set this is a SystemError; a PanicException coming back from Python code
    // is resumed as an internal error instead (this throws InternalError).
    static PyError fetch();

    // "'{}' object is not an instance of '{}'" ("'None' is not ..." for None).
    static PyError type_mismatch(PyObject* object, const char* expected);

    // Sets the interpreter's current exception from this error.
    void restore() &&;
    // Attaches a note through the exception's add_note; a failure there is dropped.
    PyError with_note(const std::string& note) &&;
    // Sets `cause` as this exception's __cause__.
    PyError with_cause(PyError cause) &&;
    // "TypeName: message" with the traceback, for internal-error descriptions.
    std::string describe() const;

    bool is_instance_of(PyObject* type) const;

private:
    struct Pending {
        PyRef type;
        std::string message;
    };
    // A normalised exception, its traceback on it.
    struct Taken {
        PyRef exception;
    };
    explicit PyError(Pending p) : state_(std::move(p)) {}
    explicit PyError(Taken t) : state_(std::move(t)) {}
    // Makes the exception object now, turning a pending error into a taken one.
    Taken& materialize();

    std::variant<Pending, Taken> state_;
};

// Either a value or the Python error that stopped the operation.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(PyError error) : state_(std::in_place_index<1>, std::move(error)) {}

    explicit operator bool() const noexcept { return state_.index() == 0; }
    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    PyError&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, PyError> state_;
};

struct Ok {};
using Status = Result<Ok>;

// After a failed host call whose failure the caller can go on from: the
// pending error is dropped when it is an instance of `expected` (a class or
// a tuple of them) and not a MemoryError, and returned otherwise, so that an
// interrupt or a refused allocation is never taken for the expected failure.
Status drop_error_if(PyObject* expected);

// Drops the pending error, for a caller that goes on without it for a reason
// written beside the call. A MemoryError is never dropped: it unwinds as
// std::bad_alloc, which the boundary raises as MemoryError again.
void drop_error();

// A new reference from a host call, or the error it set.
inline Result<PyRef> checked(PyObject* new_reference) {
    if (new_reference == nullptr) return PyError::fetch();
    return PyRef::steal(new_reference);
}
// A host call returning -1 on failure.
inline Status checked_status(int rc) {
    if (rc < 0) return PyError::fetch();
    return Ok{};
}

}  // namespace quorix

#define QUORIX_CONCAT_INNER(a, b) a##b
#define QUORIX_CONCAT(a, b) QUORIX_CONCAT_INNER(a, b)
#define QUORIX_TRY_IMPL(tmp, lhs, expr)          \
    auto tmp = (expr);                           \
    if (!tmp) return std::move(tmp).error();     \
    lhs = std::move(tmp).value()
// Declares or assigns `lhs` from a Result, returning the error early.
#define QUORIX_TRY(lhs, expr) QUORIX_TRY_IMPL(QUORIX_CONCAT(quorix_try_, __LINE__), lhs, expr)
// Evaluates a Status, returning the error early.
#define QUORIX_CHECK(expr)                                                   \
    do {                                                                     \
        auto quorix_status = (expr);                                         \
        if (!quorix_status) return std::move(quorix_status).error();         \
    } while (0)
