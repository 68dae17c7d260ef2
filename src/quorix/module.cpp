// The module definition and what its execution hook publishes.
#include "quorix/encoder_object.hpp"
#include "binding/module_definition.hpp"

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

constexpr char kName[] = "quorix";
constexpr char kDoc[] =
    "A Python module, written in C++, that turns the text columns of tables into numeric codes and back.";

using Module = ModuleDefinition<kName, kDoc, nullptr, publish_encoder>;

}  // namespace
}  // namespace quorix

PyMODINIT_FUNC PyInit_quorix(void) { return quorix::Module::init(); }
