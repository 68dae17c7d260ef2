// The Learned type: a learned record held by a Python object, never changed
// once made, so any number of threads may transform with it at once; only the
// strs kept for inverse_transform grow, under the interpreter lock.
#pragma once

#include <Python.h>

#include "pipeline/native/learned.hpp"
#include "binding/decoded_texts.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"

namespace quorix::pipeline {

struct LearnedObject {
    PyObject_HEAD
    Learned learned;
    // The strs inverse_transform made for the record's texts, kept for the
    // object's life (the record never changes).
    DecodedTexts decoded;
};

// The Learned type object, created on first use and kept for the life of
// the process. Borrowed; null with an exception set if creation failed.
PyObject* learned_type();

// A new Learned object holding `learned`.
Result<PyRef> new_learned_object(Learned learned);

// The record of a Learned object; a TypeError naming `what` for anything else.
Result<const Learned*> learned_of(PyObject* object, const char* what);

// The type's methods, each run as an entry point through entry<>
// (binding/boundary.hpp).
Result<PyRef> learned_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
Result<PyRef> learned_inverse_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                        PyObject* kwnames);
Result<PyRef> learned_state(PyObject* self, PyObject* unused);
Result<PyRef> learned_numbers_read(PyObject* self, PyObject* unused);
Result<PyRef> learned_string_columns(PyObject* self, PyObject* unused);
Result<PyRef> learned_runs(PyObject* self, PyObject* unused);
Result<PyRef> learned_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
Result<PyRef> learned_categories(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace quorix::pipeline
