// The module-level functions of the companion's native part, each run as an
// entry point through entry<> (binding/boundary.hpp).
#pragma once

#include <Python.h>

#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"

namespace quorix::pipeline {

// learn(table, count=False) -> Learned: what Encoder().encode(table) learns.
Result<PyRef> learn(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
// learn_and_encode(table, count=False) -> (Learned, codes).
Result<PyRef> learn_and_encode(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
// from_state(state, numbers_read, counts=None) -> Learned.
Result<PyRef> from_state(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
// merge(parts, cols, labels) -> Learned.
Result<PyRef> merge(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
// merge_runs(parts, cols, labels) -> runs: the union of learned runs, no map built.
Result<PyRef> merge_learned_runs(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
// learn_runs(parts, cols, labels) -> Learned: the union of learned runs.
Result<PyRef> learn_runs(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
// check_merge(parts, cols, labels) -> None, raising what merge would.
Result<PyRef> check_merge(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace quorix::pipeline
