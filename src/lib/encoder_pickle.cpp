// The Encoder's state methods: its learned record as state bytes and back.
#include <array>

#include "lib/encoder_object.hpp"
#include "runtime/arguments.hpp"
#include "runtime/boundary.hpp"

namespace quorix {
namespace {

EncoderObject* as_encoder(PyObject* self) { return reinterpret_cast<EncoderObject*>(self); }

Result<PyRef> get_state(PyObject* self) {
    QUORIX_TRY(SharedUse use, SharedUse::take(as_encoder(self)->borrow_flag));
    return PyError::pending(PyExc_NotImplementedError, "__getstate__ is not available yet");
}

Result<PyRef> set_state(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr std::array<Parameter, 1> parameters{{{"state", true}}};
    std::array<PyObject*, 1> given{};
    QUORIX_CHECK(match_vectorcall("Encoder.__setstate__()", parameters, args, PyVectorcall_NARGS(nargsf), kwnames,
                                  given));
    QUORIX_TRY(ExclusiveUse use, ExclusiveUse::take(as_encoder(self)->borrow_flag));
    PyObject* state = given[0];
    if (!PyBytes_Check(state)) {
        return PyError::type_mismatch(state, "bytes").with_note("while processing 'state'");
    }
    return PyError::pending(PyExc_NotImplementedError, "__setstate__ is not available yet");
}

}  // namespace

PyObject* encoder_getstate(PyObject* self, PyObject*) {
    return guard_object([&] { return get_state(self); });
}

PyObject* encoder_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard_object([&] { return set_state(self, args, nargsf, kwnames); });
}

}  // namespace quorix
