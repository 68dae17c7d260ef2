// PanicException and the conversion of C++ exceptions at the boundary.
#include "binding/boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "engine/internal_error.hpp"

namespace quorix {
namespace {

constexpr const char* kPanicDoc =
    "The exception raised when quorix hits an internal error.\n\n"
    "Like SystemExit, this exception derives from BaseException, so that it "
    "typically propagates all the way up and ends the interpreter.";

constexpr const char* kGenericPanicMessage = "quorix hit an internal error without a message";

void raise_panic(const char* message, std::size_t size) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // its creation failure is the exception now
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(size), "replace"));
    if (text) PyErr_SetObject(type, text.get());
}

}  // namespace

PyObject* panic_exception_type() {
    // Guarded by the interpreter lock; should creation let another thread in
    // and both create one, the first stored is kept.
    static PyObject* created = nullptr;
    if (created != nullptr) return created;
    PyObject* type = PyErr_NewExceptionWithDoc("quorix.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    if (type == nullptr) return nullptr;
    if (created == nullptr) {
        created = type;  // kept for the life of the process
    } else {
        PyRef discarded = PyRef::steal(type);
    }
    return created;
}

void raise_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const InternalError& error) {
            const std::string message = error.what();
            if (message.empty()) {
                raise_panic(kGenericPanicMessage, std::char_traits<char>::length(kGenericPanicMessage));
            } else {
                raise_panic(message.data(), message.size());
            }
        } catch (const std::bad_alloc&) {
            // A refused allocation, here or on a worker thread, is a MemoryError.
            PyErr_NoMemory();
        } catch (const std::exception& error) {
            const std::string message = error.what();
            raise_panic(message.data(), message.size());
        } catch (...) {
            raise_panic(kGenericPanicMessage, std::char_traits<char>::length(kGenericPanicMessage));
        }
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

}  // namespace quorix
