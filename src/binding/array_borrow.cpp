// The shared array-borrow registry: found on NumPy's multiarray module, or
// created there (version 1) by the first module that needs it.
#include "binding/array_borrow.hpp"

#include <cstdint>
#include <string>
#include <unordered_map>

#include "binding/gil_once.hpp"
#include "engine/internal_error.hpp"
#include "binding/numpy_api.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"

namespace quorix::numpy {
namespace {

// Attribute name and capsule name alike; other modules look it up by it.
constexpr const char* kRegistryName = "_BORROW_CHECKING_API";
constexpr std::uint64_t kRegistryVersion = 1;

// The record every sharing module agrees on. All entries are called with the
// interpreter lock held, which is what serialises them.
struct Registry {
    std::uint64_t version;
    void* flags;
    int (*acquire)(void* flags, PyObject* array);
    int (*acquire_mut)(void* flags, PyObject* array);
    void (*release)(void* flags, PyObject* array);
    void (*release_mut)(void* flags, PyObject* array);
};

// Our implementation, used when no other module created the registry first.
// Borrows are counted per owner of the memory (the end of the `base` chain of
// arrays), so views of one buffer conflict with each other: coarser than
// comparing address ranges, never wrong. Count > 0: readers; -1: one writer.
using BorrowCounts = std::unordered_map<PyObject*, long>;

PyObject* memory_owner(PyObject* array) {
    const ArrayApi& numpy_api = array_api();
    PyObject* owner = array;
    while (numpy_api.is_array(owner) && as_array(owner)->base != nullptr) owner = as_array(owner)->base;
    return owner;
}

int acquire_shared(void* flags, PyObject* array) {
    auto& counts = *static_cast<BorrowCounts*>(flags);
    long& count = counts[memory_owner(array)];
    if (count < 0) return -1;
    ++count;
    return 0;
}

int acquire_exclusive(void* flags, PyObject* array) {
    constexpr int kNotWriteable = 0x0400;  // NPY_ARRAY_WRITEABLE
    if ((as_array(array)->flags & kNotWriteable) == 0) return -2;
    auto& counts = *static_cast<BorrowCounts*>(flags);
    long& count = counts[memory_owner(array)];
    if (count != 0) return -1;
    count = -1;
    return 0;
}

void release_shared(void* flags, PyObject* array) {
    auto& counts = *static_cast<BorrowCounts*>(flags);
    auto entry = counts.find(memory_owner(array));
    if (entry != counts.end() && entry->second > 0 && --entry->second == 0) counts.erase(entry);
}

void release_exclusive(void* flags, PyObject* array) {
    auto& counts = *static_cast<BorrowCounts*>(flags);
    auto entry = counts.find(memory_owner(array));
    if (entry != counts.end() && entry->second < 0) counts.erase(entry);
}

// Created once and never freed: other modules may hold its address for the
// life of the process.
Registry* new_registry() {
    return new Registry{kRegistryVersion, new BorrowCounts(), acquire_shared, acquire_exclusive,
                        release_shared, release_exclusive};
}

Result<Registry*> find_or_create_registry() {
    QUORIX_TRY(PyRef multiarray, checked(PyImport_ImportModule(multiarray_module_name())));
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray.get(), kRegistryName));
    if (!capsule) {
        QUORIX_CHECK(drop_error_if(PyExc_AttributeError));  // none yet: this module makes it
        Registry* created = new_registry();
        QUORIX_TRY(capsule, checked(PyCapsule_New(created, kRegistryName, nullptr)));
        QUORIX_CHECK(checked_status(PyObject_SetAttrString(multiarray.get(), kRegistryName, capsule.get())));
    }
    void* pointer = PyCapsule_GetPointer(capsule.get(), kRegistryName);
    if (pointer == nullptr) return PyError::fetch();
    auto* registry = static_cast<Registry*>(pointer);
    if (registry->version < kRegistryVersion) {
        return PyError::pending(PyExc_RuntimeError, "Version " + std::to_string(registry->version) +
                                                        " of borrow checking API is not supported by this module");
    }
    return registry;
}

GilOnce<Registry*> registry;

Registry& shared_registry() {
    return *registry.get([] {
        Result<Registry*> found = find_or_create_registry();
        if (!found) panic("Internal borrow checking API error", std::move(found).error().describe());
        return found.value();
    });
}

}  // namespace

SharedArrayBorrow::SharedArrayBorrow(PyObject* array) : array_(array) {
    Registry& shared = shared_registry();
    const int rc = shared.acquire(shared.flags, array);
    if (rc == -1) panic(kUnwrap, "AlreadyBorrowed");
    if (rc != 0) panic("Unexpected return code " + std::to_string(rc) + " from borrow checking API");
}

SharedArrayBorrow::~SharedArrayBorrow() {
    Registry& shared = shared_registry();
    shared.release(shared.flags, array_);
}

}  // namespace quorix::numpy
