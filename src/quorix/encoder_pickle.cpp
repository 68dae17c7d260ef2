// The Encoder's state methods: its learned record as state bytes and back.
#include <array>

#include "quorix/encoder_object.hpp"
#include "engine/state_bytes.hpp"
#include "binding/arguments.hpp"
#include "binding/encoder_record.hpp"
#include "binding/boundary.hpp"

namespace quorix {
namespace {

EncoderObject* as_encoder(PyObject* self) { return reinterpret_cast<EncoderObject*>(self); }

Result<PyRef> get_state(PyObject* self) {
    EncoderObject* encoder = as_encoder(self);
    QUORIX_TRY(SharedUse use, SharedUse::take(encoder->borrow_flag));
    return state_bytes_object(encoder->record);
}

Result<PyRef> set_state(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr std::array<Parameter, 1> parameters{{{"state", true}}};
    std::array<PyObject*, 1> given{};
    QUORIX_CHECK(match_vectorcall("Encoder.__setstate__()", parameters, args, PyVectorcall_NARGS(nargsf), kwnames,
                                  given));
    EncoderObject* encoder = as_encoder(self);
    QUORIX_TRY(ExclusiveUse use, ExclusiveUse::take(encoder->borrow_flag));
    PyObject* state = given[0];
    if (!PyBytes_Check(state)) {
        return PyError::type_mismatch(state, "bytes").with_note("while processing 'state'");
    }
    // Read aside from the bytes object's own buffer; the stored record is
    // replaced only once the whole state has been read.
    StateReadResult read = read_state(std::span(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(state)),
                                                static_cast<std::size_t>(PyBytes_GET_SIZE(state))));
    if (auto* failure = std::get_if<StateReadError>(&read)) {
        return PyError::pending(PyExc_ValueError, "failed to unpickle Encoder: " + failure->message);
    }
    encoder->decoded.clear();
    encoder->record = std::get<Encoder>(std::move(read));
    return PyRef::borrow(Py_None);
}

}  // namespace

PyObject* encoder_getstate(PyObject* self, PyObject*) {
    return guard_object([&] { return get_state(self); });
}

PyObject* encoder_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard_object([&] { return set_state(self, args, nargsf, kwnames); });
}

}  // namespace quorix
