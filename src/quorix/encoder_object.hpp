// The instance layout of the Encoder type and its entry points.
#pragma once

#include <Python.h>

#include "quorix/borrow_flag.hpp"
#include "engine/encoder.hpp"
#include "binding/decoded_texts.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"

namespace quorix {

struct EncoderObject {
    PyObject_HEAD
    Encoder record;
    BorrowFlag borrow_flag;
    // The strs decode made for the record's texts; under the same borrow
    // flag, and dropped wherever the record is replaced.
    DecodedTexts decoded;
};

// The Encoder type object, created on first use and kept for the life of the
// process. Borrowed; null with an exception set if creation failed.
PyObject* encoder_type();

// The type's methods, each run as an entry point through entry<>
// (binding/boundary.hpp).
Result<PyRef> encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
Result<PyRef> encoder_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
Result<PyRef> encoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
Result<PyRef> encoder_getstate(PyObject* self, PyObject* unused);
Result<PyRef> encoder_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace quorix
