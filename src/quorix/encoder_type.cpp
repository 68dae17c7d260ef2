// The Encoder heap type: its PyType_Spec, method table and object hooks.
#include <new>

#include "quorix/encoder_object.hpp"
#include "binding/boundary.hpp"
#include "binding/heap_type.hpp"

namespace quorix {
namespace {

// The nearest base type's hook of the given slot, if any.
template <class Hook>
Hook base_hook(PyObject* self, int slot) {
    for (PyTypeObject* base = Py_TYPE(self)->tp_base; base != nullptr; base = base->tp_base) {
        if (auto hook = reinterpret_cast<Hook>(PyType_GetSlot(base, slot))) return hook;
        if (PyErr_Occurred()) PyErr_Clear();  // a static base answers slot queries with an error
    }
    return nullptr;
}

void encoder_dealloc(PyObject* self) {
    guard_unraisable(self, [self]() -> Status {
        PyObject_GC_UnTrack(self);
        auto* object = reinterpret_cast<EncoderObject*>(self);
        object->decoded.~DecodedTexts();
        object->record.~Encoder();
        object->borrow_flag.~BorrowFlag();
        PyTypeObject* type = Py_TYPE(self);
        auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_object(self);
        // The instance held a reference on its heap type.
        PyRef type_reference = PyRef::steal(reinterpret_cast<PyObject*>(type));
        return Ok{};
    });
}

// The record holds no Python references, and the strs kept beside it refer to
// nothing: only the bases have anything to visit.
int encoder_traverse(PyObject* self, visitproc visit, void* arg) {
    auto hook = base_hook<traverseproc>(self, Py_tp_traverse);
    return hook == nullptr ? 0 : hook(self, visit, arg);
}

int encoder_clear(PyObject* self) {
    return guard_status([self]() -> Status {
        auto hook = base_hook<inquiry>(self, Py_tp_clear);
        if (hook != nullptr && hook(self) < 0) return PyError::fetch();
        return Ok{};
    });
}

PyMethodDef encoder_methods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_encode)),
     METH_FASTCALL | METH_KEYWORDS, "encode($self, obj)\n--\n\n"},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_decode)),
     METH_FASTCALL | METH_KEYWORDS, "decode($self, obj)\n--\n\n"},
    {"__getstate__", encoder_getstate, METH_NOARGS, "__getstate__($self)\n--\n\n"},
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_setstate)),
     METH_FASTCALL | METH_KEYWORDS, "__setstate__($self, state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot encoder_slots[] = {
    {Py_tp_doc, const_cast<char*>("Encoder(encoding=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(encoder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(encoder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(encoder_clear)},
    {Py_tp_methods, encoder_methods},
    {0, nullptr},
};

// The class names its module, so that pickle finds it again as quorix.Encoder.
PyType_Spec encoder_spec = {
    "quorix.Encoder",
    static_cast<int>(sizeof(EncoderObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    encoder_slots,
};

}  // namespace

PyObject* encoder_type() {
    static PyObject* created = nullptr;
    return heap_type_once(created, encoder_spec);
}

}  // namespace quorix
