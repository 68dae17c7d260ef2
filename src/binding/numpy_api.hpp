// NumPy's C-level array API, reached at run time through the capsule that
// NumPy publishes: the few table entries and object layouts this module uses,
// declared here rather than taken from NumPy's headers (NumPy is a run-time
// dependency found through the interpreter, not a build dependency).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"

namespace quorix::numpy {

using npy_intp = Py_ssize_t;

// Type numbers are part of NumPy's ABI and the same in every release.
enum TypeNumber : int {
    kBool = 0,
    kByte = 1,
    kUByte = 2,
    kShort = 3,
    kUShort = 4,
    kInt = 5,
    kUInt = 6,
    kLong = 7,
    kULong = 8,
    kLongLong = 9,
    kULongLong = 10,
    kFloat = 11,
    kDouble = 12,
    kObject = 17,
    kString = 18,    // 'S'
    kUnicode = 19,   // 'U'
    kVString = 2056, // NumPy 2's StringDType
};

// NumPy 2's packed-string API (StringDType): an unpacked string is a view of
// `size` UTF-8 bytes that stays valid while the array is not written to.
struct StaticString {
    std::size_t size;
    const char* buf;
};
struct StringAllocator;

// Array flags used when creating arrays (NPY_ARRAY_F_CONTIGUOUS).
inline constexpr int kFortranOrder = 0x0002;

// The leading fields of a dtype. The layout after `type_num` changed between
// NumPy 1 and 2, so nothing past it is read.
struct Descr {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char former_flags;
    int type_num;
};

// The leading fields of an ndarray, unchanged since NumPy 1.7.
struct ArrayObject {
    PyObject_HEAD
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    Descr* descr;
    int flags;
};

inline ArrayObject* as_array(PyObject* object) noexcept { return reinterpret_cast<ArrayObject*>(object); }

// The entries of the table that this module calls.
struct ArrayApi {
    PyTypeObject* array_type;                                   // entry 2
    Descr* (*descr_from_type)(int type_num);                    // entry 45
    PyObject* (*new_from_descr)(PyTypeObject* subtype, Descr* descr, int nd, npy_intp* dims,
                                npy_intp* strides, void* data, int flags,
                                PyObject* obj);                 // entry 94 (steals descr)
    unsigned char (*equiv_types)(Descr* a, Descr* b);           // entry 182
    // From NumPy 2 on (C-API feature version 0x12), null before. load gives
    // 0 for a string, 1 for a missing one, -1 on failure; acquire locks the
    // descriptor's allocator until release.
    int (*string_load)(StringAllocator* allocator, const void* packed,
                       StaticString* unpacked) = nullptr;       // entry 313
    StringAllocator* (*string_acquire_allocator)(Descr* descr) = nullptr;  // entry 316
    void (*string_release_allocator)(StringAllocator* allocator) = nullptr;  // entry 318

    // Instance of NumPy's array type, subclasses included.
    bool is_array(PyObject* object) const noexcept {
        return Py_IS_TYPE(object, array_type) || PyType_IsSubtype(Py_TYPE(object), array_type);
    }
    bool is_exact_array(PyObject* object) const noexcept { return Py_IS_TYPE(object, array_type); }
};

// The table, fetched and checked on first use. A failure is the internal error
// "Failed to access NumPy array API capsule" and is not remembered: the next
// use tries again.
const ArrayApi& array_api();

// The multiarray module that holds the capsule (numpy._core.multiarray from
// NumPy 2 on, numpy.core.multiarray before), chosen once per process.
const char* multiarray_module_name();

// A new, uninitialised rows x cols array of the given type number, in C order
// or, with `fortran`, in Fortran order.
Result<PyRef> new_array(int type_num, std::size_t rows, std::size_t cols, bool fortran);
// A new, uninitialised one-dimensional array of `length` elements.
Result<PyRef> new_vector(int type_num, std::size_t length);

}  // namespace quorix::numpy
