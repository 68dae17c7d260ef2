// The module definition and its execution hook.
#include "quorix/encoder_object.hpp"
#include "binding/boundary.hpp"
#include "binding/main_interpreter_only.hpp"

namespace quorix {
namespace {

Status publish_encoder(PyObject* module) {
    if (!PyModule_Check(module)) return PyError::type_mismatch(module, "module");
    PyObject* type = encoder_type();
    if (type == nullptr) {
        PyError cause = PyError::fetch();
        return PyError::pending(PyExc_RuntimeError, "An error occurred while initializing class Encoder")
            .with_cause(std::move(cause));
    }
    QUORIX_TRY(PyRef name, checked(PyUnicode_FromString("Encoder")));
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyError lookup_error = PyError::fetch();
        if (!lookup_error.is_instance_of(PyExc_AttributeError)) return lookup_error;
        QUORIX_TRY(all, checked(PyList_New(0)));
        QUORIX_CHECK(checked_status(PyObject_SetAttrString(module, "__all__", all.get())));
    } else if (!PyList_Check(all.get())) {
        return PyError::type_mismatch(all.get(), "list");
    }
    QUORIX_CHECK(checked_status(PyList_Append(all.get(), name.get())));
    return checked_status(PyObject_SetAttr(module, name.get(), type));
}

int exec_module(PyObject* module) {
    return guard_status([module]() -> Status {
        QUORIX_CHECK(refuse_subinterpreter("quorix"));
        return publish_encoder(module);
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Process-wide state: see main_interpreter_only.hpp.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quorix",
    "A Python module, written in C++, that turns the text columns of tables into numeric codes and back.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorix

PyMODINIT_FUNC PyInit_quorix(void) { return PyModuleDef_Init(&quorix::module_definition); }
