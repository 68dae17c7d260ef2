// The definition every module of ours has: an execution hook that refuses
// subinterpreters and then publishes the module's contents, and the slot that
// marks it as the main interpreter's alone.
#pragma once

#include <Python.h>

#include "binding/boundary.hpp"
#include "binding/main_interpreter_only.hpp"

namespace quorix {

// `Name` and `Doc` are the module's; `Methods` its function table (or null);
// `Publish` adds its types to the new module.
template <const char* Name, const char* Doc, PyMethodDef* Methods, Status (*Publish)(PyObject* module)>
struct ModuleDefinition {
    static Status exec_body(PyObject* module) {
        QUORIX_CHECK(refuse_subinterpreter(Name));
        return Publish(module);
    }

    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(entry<exec_body>)},
#if PY_VERSION_HEX >= 0x030C0000
        // Process-wide state: see main_interpreter_only.hpp.
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
        {0, nullptr},
    };

    static inline PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, Name, Doc, 0, Methods, slots, nullptr, nullptr, nullptr,
    };

    // What the module's PyInit function returns.
    static PyObject* init() noexcept { return PyModuleDef_Init(&definition); }
};

}  // namespace quorix
