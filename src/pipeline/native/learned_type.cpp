// The Learned heap type: its PyType_Spec, method table and object hooks.
#include <new>

#include "pipeline/native/learned_object.hpp"
#include "binding/boundary.hpp"
#include "binding/heap_type.hpp"

namespace quorix::pipeline {
namespace {

void learned_dealloc(PyObject* self) {
    guard_unraisable(self, [self]() -> Status {
        reinterpret_cast<LearnedObject*>(self)->decoded.~DecodedTexts();
        reinterpret_cast<LearnedObject*>(self)->learned.~Learned();
        PyTypeObject* type = Py_TYPE(self);
        auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_object(self);
        // The instance held a reference on its heap type.
        PyRef type_reference = PyRef::steal(reinterpret_cast<PyObject*>(type));
        return Ok{};
    });
}

PyMethodDef learned_methods[] = {
    {"transform", method_entry<learned_transform>(), METH_FASTCALL | METH_KEYWORDS,
     "transform($self, table, unknown, rows=None, recode=None)\n--\n\nThe table coded with the learned maps; unknown=None "
     "makes an unseen text an error, named by its row's label in rows (a frame's index) when given; recode maps a "
     "column's learned codes to others."},
    {"inverse_transform", method_entry<learned_inverse_transform>(), METH_FASTCALL | METH_KEYWORDS,
     "inverse_transform($self, codes)\n--\n\nThe codes decoded with the learned maps."},
    {"state", method_entry<learned_state>(), METH_NOARGS, "state($self)\n--\n\nThe learned record as state bytes."},
    {"counts", method_entry<learned_counts>(), METH_FASTCALL | METH_KEYWORDS,
     "counts($self, column)\n--\n\nHow many cells held each text of a string column, in code order, as "
     "int64 bytes in the machine's order; None when not counted."},
    {"numbers_read", method_entry<learned_numbers_read>(), METH_NOARGS,
     "numbers_read($self)\n--\n\nOne byte per column: 1 where it held numbers read as numbers."},
    {"string_columns", method_entry<learned_string_columns>(), METH_NOARGS,
     "string_columns($self)\n--\n\nThe positions of the string columns."},
    {"runs", method_entry<learned_runs>(), METH_NOARGS,
     "runs($self)\n--\n\nThe learned texts as runs, each held once; None for maps that only state bytes "
     "keep."},
    {"categories", method_entry<learned_categories>(), METH_FASTCALL | METH_KEYWORDS,
     "categories($self, column)\n--\n\nThe coded texts of a string column, by ascending code."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot learned_slots[] = {
    {Py_tp_doc, const_cast<char*>("What a TextEncoder learned; made by learn, from_state and merge.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(learned_dealloc)},
    {Py_tp_methods, learned_methods},
    {0, nullptr},
};

PyType_Spec learned_spec = {
    "quorix_pipeline._native.Learned",
    static_cast<int>(sizeof(LearnedObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    learned_slots,
};

}  // namespace

PyObject* learned_type() {
    static PyObject* created = nullptr;
    return heap_type_once(created, learned_spec);
}

Result<PyRef> new_learned_object(Learned learned) {
    PyObject* type = learned_type();
    if (type == nullptr) return PyError::fetch();
    auto* type_object = reinterpret_cast<PyTypeObject*>(type);
    QUORIX_TRY(PyRef self, checked(type_object->tp_alloc(type_object, 0)));
    new (&reinterpret_cast<LearnedObject*>(self.get())->learned) Learned(std::move(learned));
    new (&reinterpret_cast<LearnedObject*>(self.get())->decoded) DecodedTexts{};
    return self;
}

Result<const Learned*> learned_of(PyObject* object, const char* what) {
    PyObject* type = learned_type();
    if (type == nullptr) return PyError::fetch();
    if (!PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type))) {
        return PyError::type_mismatch(object, "Learned").with_note(std::string("while processing '") + what + "'");
    }
    return &reinterpret_cast<LearnedObject*>(object)->learned;
}

}  // namespace quorix::pipeline
