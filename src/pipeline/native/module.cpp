// The companion's native module: its functions and the Learned type.
#include "pipeline/native/arrow_functions.hpp"
#include "pipeline/native/learned_object.hpp"
#include "pipeline/native/module_functions.hpp"
#include "binding/main_interpreter_only.hpp"
#include "binding/boundary.hpp"

namespace quorix::pipeline {
namespace {

template <class Function>
PyCFunction as_function(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef module_methods[] = {
    {"learn", as_function(module_learn), METH_FASTCALL | METH_KEYWORDS,
     "learn(table, count=False)\n--\n\nWhat Encoder().encode(table) learns, as a Learned; with count, the cells of "
     "each text counted."},
    {"learn_and_encode", as_function(module_learn_and_encode), METH_FASTCALL | METH_KEYWORDS,
     "learn_and_encode(table, count=False)\n--\n\nOne encode: the Learned and the codes."},
    {"from_state", as_function(module_from_state), METH_FASTCALL | METH_KEYWORDS,
     "from_state(state, numbers_read, counts=None)\n--\n\nA Learned read from state bytes, with its counts per "
     "text when given."},
    {"merge", as_function(module_merge), METH_FASTCALL | METH_KEYWORDS,
     "merge(parts, cols, labels)\n--\n\nThe union of Learned parts, in the order given."},
    {"merge_runs", as_function(module_merge_runs), METH_FASTCALL | METH_KEYWORDS,
     "merge_runs(parts, cols, labels)\n--\n\nThe union of learned runs, in the order given, as runs: no map is "
     "built."},
    {"learn_runs", as_function(module_learn_runs), METH_FASTCALL | METH_KEYWORDS,
     "learn_runs(parts, cols, labels)\n--\n\nThe union of learned runs as a Learned."},
    {"check_merge", as_function(module_check_merge), METH_FASTCALL | METH_KEYWORDS,
     "check_merge(parts, cols, labels)\n--\n\nRaises what merge(parts, cols, labels) would refuse, merging nothing."},
    {"learn_arrow", as_function(module_learn_arrow), METH_FASTCALL | METH_KEYWORDS,
     "learn_arrow(table, count=False)\n--\n\nWhat one encode of an Arrow table learns, no code written: "
     "(Learned, names, rows)."},
    {"learn_and_encode_arrow", as_function(module_learn_and_encode_arrow), METH_FASTCALL | METH_KEYWORDS,
     "learn_and_encode_arrow(table, count=False)\n--\n\nOne encode of an Arrow table: (Learned, names, "
     "column-major codes)."},
    {"transform_arrow", as_function(module_transform_arrow), METH_FASTCALL | METH_KEYWORDS,
     "transform_arrow(learned, table, unknown, recode=None)\n--\n\nAn Arrow table coded: (names, column-major "
     "codes)."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    return guard_status([module]() -> Status {
        QUORIX_CHECK(refuse_subinterpreter("quorix_pipeline._native"));
        PyObject* type = learned_type();
        if (type == nullptr) return PyError::fetch();
        return checked_status(PyModule_AddObjectRef(module, "Learned", type));
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
    "quorix_pipeline._native",
    "The native part of quorix_pipeline: learning tables and applying what was learned.",
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorix::pipeline

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&quorix::pipeline::module_definition); }
