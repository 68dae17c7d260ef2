// The companion's native module: its functions and the Learned type.
#include "pipeline/native/arrow_functions.hpp"
#include "pipeline/native/learned_object.hpp"
#include "pipeline/native/module_functions.hpp"
#include "binding/module_definition.hpp"

namespace quorix::pipeline {
namespace {

PyMethodDef module_methods[] = {
    {"learn", method_entry<learn>(), METH_FASTCALL | METH_KEYWORDS,
     "learn(table, count=False)\n--\n\nWhat Encoder().encode(table) learns, as a Learned; with count, the cells of "
     "each text counted."},
    {"learn_and_encode", method_entry<learn_and_encode>(), METH_FASTCALL | METH_KEYWORDS,
     "learn_and_encode(table, count=False)\n--\n\nOne encode: the Learned and the codes."},
    {"from_state", method_entry<from_state>(), METH_FASTCALL | METH_KEYWORDS,
     "from_state(state, numbers_read, counts=None)\n--\n\nA Learned read from state bytes, with its counts per "
     "text when given."},
    {"merge", method_entry<merge>(), METH_FASTCALL | METH_KEYWORDS,
     "merge(parts, cols, labels)\n--\n\nThe union of Learned parts, in the order given."},
    {"merge_runs", method_entry<merge_learned_runs>(), METH_FASTCALL | METH_KEYWORDS,
     "merge_runs(parts, cols, labels)\n--\n\nThe union of learned runs, in the order given, as runs: no map is "
     "built."},
    {"learn_runs", method_entry<learn_runs>(), METH_FASTCALL | METH_KEYWORDS,
     "learn_runs(parts, cols, labels)\n--\n\nThe union of learned runs as a Learned."},
    {"check_merge", method_entry<check_merge>(), METH_FASTCALL | METH_KEYWORDS,
     "check_merge(parts, cols, labels)\n--\n\nRaises what merge(parts, cols, labels) would refuse, merging nothing."},
    {"learn_arrow", method_entry<learn_arrow>(), METH_FASTCALL | METH_KEYWORDS,
     "learn_arrow(table, count=False)\n--\n\nWhat one encode of an Arrow table learns, no code written: "
     "(Learned, names, rows)."},
    {"learn_and_encode_arrow", method_entry<learn_and_encode_arrow>(), METH_FASTCALL | METH_KEYWORDS,
     "learn_and_encode_arrow(table, count=False)\n--\n\nOne encode of an Arrow table: (Learned, names, "
     "column-major codes)."},
    {"transform_arrow", method_entry<transform_arrow>(), METH_FASTCALL | METH_KEYWORDS,
     "transform_arrow(learned, table, unknown, recode=None)\n--\n\nAn Arrow table coded: (names, column-major "
     "codes)."},
    {nullptr, nullptr, 0, nullptr},
};

Status publish_learned(PyObject* module) {
    PyObject* type = learned_type();
    if (type == nullptr) return PyError::fetch();
    return checked_status(PyModule_AddObjectRef(module, "Learned", type));
}

constexpr char kName[] = "quorix_pipeline._native";
constexpr char kDoc[] = "The native part of quorix_pipeline: learning tables and applying what was learned.";

using Module = ModuleDefinition<kName, kDoc, module_methods, publish_learned>;

}  // namespace
}  // namespace quorix::pipeline

PyMODINIT_FUNC PyInit__native(void) { return quorix::pipeline::Module::init(); }
