#pragma once
// A module's heap type, made from its PyType_Spec once per process.

#include <Python.h>

#include "binding/py_ref.hpp"

namespace quorix {

// `created` is the caller's own static. Written only under the interpreter
// lock; should two builds race (PyType_FromSpec may run Python code and let
// another thread in), the first stored is kept and the other discarded.
// nullptr with the Python error set when the type cannot be made.
inline PyObject* heap_type_once(PyObject*& created, PyType_Spec& type_spec) {
    if (created != nullptr) return created;
    PyObject* type = PyType_FromSpec(&type_spec);
    if (type == nullptr) return nullptr;
    if (created == nullptr) {
        created = type;
    } else {
        PyRef discarded = PyRef::steal(type);
    }
    return created;
}

}  // namespace quorix
