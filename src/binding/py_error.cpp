// Python errors as values, and the fetch that follows a failed host call.
#include "binding/py_error.hpp"

#include <new>

#include <cstdio>
#include <optional>
#include <string>

#include "binding/boundary.hpp"
#include "engine/internal_error.hpp"

namespace quorix {
namespace {

// str(object) as UTF-8, or nothing when that fails (the failure is cleared).
std::optional<std::string> text_of(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Str(object));
    if (!text) {
        PyErr_Clear();
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

std::string repr_of(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Repr(object));
    const char* data = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (data == nullptr) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return data;
}

// The interpreter's current exception, normalised and with its traceback
// attached, taken out of the interpreter (null when none is set). 3.12
// deprecates the type/value/traceback triple for the exception object alone.
PyRef take_current_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != nullptr) PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type), exception = PyRef::steal(value), owned_traceback = PyRef::steal(traceback);
    if (!owned_type) return PyRef();
    if (exception && owned_traceback) PyException_SetTraceback(exception.get(), owned_traceback.get());
    return exception;
#endif
}

// Makes `exception` the interpreter's current one.
void raise_exception(PyRef exception) {
    if (!exception) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        return;
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
    PyRef traceback = PyRef::steal(PyException_GetTraceback(exception.get()));
    PyErr_Restore(type.release(), exception.release(), traceback.release());
#endif
}

// A PanicException that travelled through Python code and came back: it is
// not a Python error but the same internal failure, which goes on unwinding.
[[noreturn]] void resume_panic(PyRef exception) {
    std::fputs("An internal failure is being resumed: a PanicException came back from Python code.\n"
               "Python stack trace below:\n",
               stderr);
    std::fflush(stderr);
    std::optional<std::string> message = text_of(exception.get());
    raise_exception(std::move(exception));
    PyErr_PrintEx(0);
    // Resumed without a second report: the first was written where it arose.
    throw InternalError(message.value_or("Unwrapped panic from Python code"));
}

}  // namespace

PyError PyError::pending(PyObject* type, std::string message) {
    return PyError(Pending{PyRef::borrow(type), std::move(message)});
}

PyError PyError::fetch() {
    PyRef exception = take_current_exception();
    if (!exception) return pending(PyExc_SystemError, "attempted to fetch exception but none was set");
    PyObject* panic_type = panic_exception_type();
    if (panic_type == nullptr) {
        PyErr_Clear();
    } else if (reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) == panic_type) {
        resume_panic(std::move(exception));
    }
    return PyError(Taken{std::move(exception)});
}

PyError PyError::type_mismatch(PyObject* object, const char* expected) {
    if (object == Py_None) {
        return pending(PyExc_TypeError, std::string("'None' is not an instance of '") + expected + "'");
    }
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    std::string name = qualname ? text_of(qualname.get()).value_or("?") : (PyErr_Clear(), "?");
    return pending(PyExc_TypeError, "'" + name + "' object is not an instance of '" + expected + "'");
}

PyError::Taken& PyError::materialize() {
    if (auto* pending_error = std::get_if<Pending>(&state_)) {
        PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(
            pending_error->message.data(), static_cast<Py_ssize_t>(pending_error->message.size())));
        // A message that cannot be made leaves its own error (MemoryError) set instead.
        if (message) PyErr_SetObject(pending_error->type.get(), message.get());
        state_ = Taken{take_current_exception()};
    }
    return std::get<Taken>(state_);
}

void PyError::restore() && {
    Taken& taken = materialize();
    raise_exception(std::move(taken.exception));
}

PyError PyError::with_note(const std::string& note) && {
    Taken& taken = materialize();
    if (taken.exception) {
        PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
        PyRef name = PyRef::steal(PyUnicode_FromString("add_note"));
        if (text && name) {
            PyObject* call_args[] = {taken.exception.get(), text.get()};
            PyRef added = PyRef::steal(PyObject_VectorcallMethod(
                name.get(), call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            if (!added) PyErr_Clear();
        } else {
            PyErr_Clear();
        }
    }
    return std::move(*this);
}

PyError PyError::with_cause(PyError cause) && {
    Taken& taken = materialize();
    Taken& cause_taken = cause.materialize();
    // PyException_SetCause takes over the reference it is given.
    if (taken.exception && cause_taken.exception) {
        PyException_SetCause(taken.exception.get(), cause_taken.exception.release());
    }
    return std::move(*this);
}

bool PyError::is_instance_of(PyObject* type) const {
    if (const auto* pending_error = std::get_if<Pending>(&state_)) {
        return PyErr_GivenExceptionMatches(pending_error->type.get(), type) != 0;
    }
    const Taken& taken = std::get<Taken>(state_);
    return taken.exception && PyErr_GivenExceptionMatches(taken.exception.get(), type) != 0;
}

std::string PyError::describe() const {
    if (const auto* pending_error = std::get_if<Pending>(&state_)) {
        const char* name = reinterpret_cast<PyTypeObject*>(pending_error->type.get())->tp_name;
        return std::string(name) + ": " + pending_error->message;
    }
    const Taken& taken = std::get<Taken>(state_);
    if (!taken.exception) return "<no exception>";
    std::string text = repr_of(taken.exception.get());
    PyRef traceback = PyRef::steal(PyException_GetTraceback(taken.exception.get()));
    if (!traceback) return text;
    // The traceback lines as the traceback module renders them.
    PyRef module = PyRef::steal(PyImport_ImportModule("traceback"));
    PyRef lines = module ? PyRef::steal(PyObject_CallMethod(module.get(), "format_tb", "O", traceback.get()))
                         : PyRef();
    PyRef empty = PyRef::steal(PyUnicode_FromString(""));
    PyRef joined = lines && empty ? PyRef::steal(PyUnicode_Join(empty.get(), lines.get())) : PyRef();
    std::optional<std::string> rendered = joined ? text_of(joined.get()) : std::nullopt;
    if (!rendered) {
        PyErr_Clear();
        return text;
    }
    return text + "\nTraceback (most recent call last):\n" + *rendered;
}

void drop_error() {
    const bool refused = PyErr_ExceptionMatches(PyExc_MemoryError);
    PyErr_Clear();
    if (refused) throw std::bad_alloc();
}

Status drop_error_if(PyObject* expected) {
    if (PyErr_ExceptionMatches(expected) && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        return Ok{};
    }
    return PyError::fetch();
}

}  // namespace quorix
