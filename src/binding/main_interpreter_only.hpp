// The refusal of subinterpreters, for modules whose state is process-wide.
#pragma once

#include <Python.h>

#include <string>

#include "binding/py_error.hpp"

namespace quorix {

// Such a module's state (its types, exception classes, NumPy's API table, the
// worker pool) is made once per process, for one interpreter: it loads in the
// main interpreter only. From 3.12 the module's slot
// {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED}
// has an isolated subinterpreter refuse it before its execution hook runs;
// this check, made first thing in that hook, refuses the others (every
// subinterpreter of 3.11, and those made to allow such modules).
inline Status refuse_subinterpreter(const char* module_name) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return Ok{};
    return PyError::pending(PyExc_ImportError,
                            std::string(module_name) + " loads in the main interpreter only, not in a subinterpreter");
}

}  // namespace quorix
