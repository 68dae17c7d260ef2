// Argument matching: turns a call's positional arguments and keywords into
// one borrowed object per parameter, with every argument-error message kept here.
#pragma once

#include <Python.h>

#include <span>
#include <string>

#include "binding/py_error.hpp"

namespace quorix {

// A positional-or-keyword parameter.
struct Parameter {
    const char* name;
    bool required;
};

// `full_name` is as in messages, e.g. "Encoder.encode()". `out` receives one
// borrowed reference per parameter, null where it was not given.
Status match_vectorcall(const char* full_name, std::span<const Parameter> parameters,
                        PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        std::span<PyObject*> out);
Status match_tuple_and_dict(const char* full_name, std::span<const Parameter> parameters,
                            PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// The one argument of a function taking the single required parameter `name`.
Result<PyObject*> match_one(const char* full_name, const char* name, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames);

// Message of a missing-arguments error, e.g. "missing 2 required positional
// arguments: 'a' and 'b'" after the full name. Exposed for tests of the wording.
std::string missing_arguments_message(const char* full_name, const char* kind,
                                      std::span<const char* const> names);

}  // namespace quorix
