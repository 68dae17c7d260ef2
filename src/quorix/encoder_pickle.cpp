// The Encoder's state methods: its learned record as state bytes and back.
#include <array>

#include "quorix/encoder_object.hpp"
#include "binding/arguments.hpp"
#include "binding/encoder_record.hpp"
#include "binding/state_object.hpp"

namespace quorix {
namespace {

EncoderObject* as_encoder(PyObject* self) { return reinterpret_cast<EncoderObject*>(self); }

}  // namespace

Result<PyRef> encoder_getstate(PyObject* self, PyObject*) {
    EncoderObject* encoder = as_encoder(self);
    QUORIX_TRY(SharedUse use, SharedUse::take(encoder->borrow_flag));
    return state_bytes_object(encoder->record);
}

Result<PyRef> encoder_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    QUORIX_TRY(PyObject * state, match_one("Encoder.__setstate__()", "state", args, nargsf, kwnames));
    EncoderObject* encoder = as_encoder(self);
    QUORIX_TRY(ExclusiveUse use, ExclusiveUse::take(encoder->borrow_flag));
    // Read aside; the stored record is replaced only once the whole state has been read.
    QUORIX_TRY(Encoder record, read_state_object(state, "state", "failed to unpickle Encoder: "));
    encoder->decoded.clear();
    encoder->record = std::move(record);
    return PyRef::borrow(Py_None);
}

}  // namespace quorix
