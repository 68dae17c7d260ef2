// The instance layout of the Encoder type and its entry points.
#pragma once

#include <Python.h>

#include "quorix/borrow_flag.hpp"
#include "engine/encoder.hpp"
#include "binding/decoded_texts.hpp"

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

// Entry points, each running inside the boundary guard.
PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
PyObject* encoder_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* encoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* encoder_getstate(PyObject* self, PyObject* unused);
PyObject* encoder_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace quorix
