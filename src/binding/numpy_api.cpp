// Finding, checking and using NumPy's array-API table.
#include "binding/numpy_api.hpp"

#include <cstdio>
#include <string>

#include "binding/gil_once.hpp"
#include "engine/internal_error.hpp"

namespace quorix::numpy {
namespace {

// The running NumPy must offer at least what this module was written against.
constexpr unsigned kAbiVersion = 0x2000000;
constexpr unsigned kFeatureVersion = 0xc;  // NumPy 1.15
constexpr int kLittleEndian = 1;

constexpr std::size_t kEntryAbiVersion = 0;
constexpr std::size_t kEntryArrayType = 2;
constexpr std::size_t kEntryDescrFromType = 45;
constexpr std::size_t kEntryNewFromDescr = 94;
constexpr std::size_t kEntryEquivTypes = 182;
constexpr std::size_t kEntryEndianness = 210;
constexpr std::size_t kEntryFeatureVersion = 211;
constexpr std::size_t kEntryStringLoad = 313;
constexpr std::size_t kEntryStringAcquireAllocator = 316;
constexpr std::size_t kEntryStringReleaseAllocator = 318;
constexpr unsigned kStringApiFeatureVersion = 0x12;  // NumPy 2.0

GilOnce<const char*> module_name;
GilOnce<ArrayApi> api;

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

Result<PyRef> attribute(PyObject* object, const char* name) {
    return checked(PyObject_GetAttrString(object, name));
}

Result<const char*> choose_module_name() {
    QUORIX_TRY(PyRef numpy_module, checked(PyImport_ImportModule("numpy")));
    QUORIX_TRY(PyRef version, attribute(numpy_module.get(), "__version__"));
    QUORIX_TRY(PyRef lib, attribute(numpy_module.get(), "lib"));
    QUORIX_TRY(PyRef numpy_version, attribute(lib.get(), "NumpyVersion"));
    QUORIX_TRY(PyRef parsed, checked(PyObject_CallOneArg(numpy_version.get(), version.get())));
    QUORIX_TRY(PyRef major, attribute(parsed.get(), "major"));
    const long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred()) return PyError::fetch();
    return value >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
}

Result<void**> capsule_table() {
    QUORIX_TRY(PyRef name, checked(PyUnicode_FromString(multiarray_module_name())));
    QUORIX_TRY(PyRef multiarray, checked(PyImport_Import(name.get())));
    QUORIX_TRY(PyRef capsule, attribute(multiarray.get(), "_ARRAY_API"));
    const char* capsule_name = PyCapsule_GetName(capsule.get());
    if (capsule_name == nullptr && PyErr_Occurred()) return PyError::fetch();
    void* table = PyCapsule_GetPointer(capsule.get(), capsule_name);
    if (table == nullptr) return PyError::fetch();
    return static_cast<void**>(table);
}

// The three checks, in this order, each a RuntimeError.
Status check_versions(void** table) {
    const unsigned abi = reinterpret_cast<unsigned (*)()>(table[kEntryAbiVersion])();
    if (abi > kAbiVersion) {
        return PyError::pending(PyExc_RuntimeError, "module compiled against ABI version 0x" + hex(kAbiVersion) +
                                                        " but this version of numpy is 0x" + hex(abi));
    }
    const unsigned feature = reinterpret_cast<unsigned (*)()>(table[kEntryFeatureVersion])();
    if (feature < kFeatureVersion) {
        return PyError::pending(PyExc_RuntimeError,
                                "module was compiled against NumPy C-API version 0x" + hex(kFeatureVersion) +
                                    " (NumPy 1.15) but the running NumPy has C-API version 0x" + hex(feature));
    }
    const int endianness = reinterpret_cast<int (*)()>(table[kEntryEndianness])();
    if (endianness != kLittleEndian) {
        return PyError::pending(PyExc_RuntimeError,
                                "module compiled as little endian, but detected different endianness at runtime");
    }
    return Ok{};
}

[[noreturn]] void capsule_failure(const PyError& error) {
    panic("Failed to access NumPy array API capsule", error.describe());
}

}  // namespace

const char* multiarray_module_name() {
    return module_name.get([] {
        Result<const char*> chosen = choose_module_name();
        if (!chosen) capsule_failure(std::move(chosen).error());
        return chosen.value();
    });
}

const ArrayApi& array_api() {
    return api.get([] {
        Result<void**> table = capsule_table();
        if (!table) capsule_failure(std::move(table).error());
        void** entries = table.value();
        Status checked_versions = check_versions(entries);
        if (!checked_versions) capsule_failure(std::move(checked_versions).error());
        ArrayApi found;
        found.array_type = static_cast<PyTypeObject*>(entries[kEntryArrayType]);
        found.descr_from_type = reinterpret_cast<decltype(found.descr_from_type)>(entries[kEntryDescrFromType]);
        found.new_from_descr = reinterpret_cast<decltype(found.new_from_descr)>(entries[kEntryNewFromDescr]);
        found.equiv_types = reinterpret_cast<decltype(found.equiv_types)>(entries[kEntryEquivTypes]);
        const unsigned feature = reinterpret_cast<unsigned (*)()>(entries[kEntryFeatureVersion])();
        if (feature >= kStringApiFeatureVersion) {
            found.string_load = reinterpret_cast<decltype(found.string_load)>(entries[kEntryStringLoad]);
            found.string_acquire_allocator =
                reinterpret_cast<decltype(found.string_acquire_allocator)>(entries[kEntryStringAcquireAllocator]);
            found.string_release_allocator =
                reinterpret_cast<decltype(found.string_release_allocator)>(entries[kEntryStringReleaseAllocator]);
        }
        return found;
    });
}

Result<PyRef> new_array(int type_num, std::size_t rows, std::size_t cols, bool fortran) {
    const ArrayApi& numpy_api = array_api();
    Descr* descr = numpy_api.descr_from_type(type_num);
    if (descr == nullptr) return PyError::fetch();
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    // new_from_descr takes over the descriptor reference, on failure too.
    return checked(numpy_api.new_from_descr(numpy_api.array_type, descr, 2, dims, nullptr, nullptr,
                                            fortran ? kFortranOrder : 0, nullptr));
}

Result<PyRef> new_vector(int type_num, std::size_t length) {
    const ArrayApi& numpy_api = array_api();
    Descr* descr = numpy_api.descr_from_type(type_num);
    if (descr == nullptr) return PyError::fetch();
    npy_intp dims[1] = {static_cast<npy_intp>(length)};
    return checked(numpy_api.new_from_descr(numpy_api.array_type, descr, 1, dims, nullptr, nullptr, 0, nullptr));
}

}  // namespace quorix::numpy
