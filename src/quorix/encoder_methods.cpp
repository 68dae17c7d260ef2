// The Encoder's constructor and its encode and decode entry points.
#include <array>
#include <cstring>
#include <new>

#include "quorix/encoder_object.hpp"
#include "binding/arr_to_out.hpp"
#include "binding/pyany_to_vec.hpp"
#include "binding/arguments.hpp"
#include "binding/encoder_record.hpp"
#include "binding/boundary.hpp"

namespace quorix {
namespace {

EncoderObject* as_encoder(PyObject* self) { return reinterpret_cast<EncoderObject*>(self); }

// The `encoding` argument: None, or a str whose text is exactly "label".
Status check_encoding(PyObject* encoding) {
    if (encoding == nullptr || encoding == Py_None) return Ok{};
    constexpr const char* kWhere = "while processing 'encoding'";
    if (!PyUnicode_Check(encoding)) return PyError::type_mismatch(encoding, "str").with_note(kWhere);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(encoding, &size);
    if (text == nullptr) return PyError::fetch().with_note(kWhere);
    if (size == 5 && std::memcmp(text, "label", 5) == 0) return Ok{};
    return PyError::pending(PyExc_ValueError, std::string(text, static_cast<std::size_t>(size)) +
                                                  " is not a supported encoding strategy for strings!");
}

Result<PyRef> new_encoder(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<Parameter, 1> parameters{{{"encoding", false}}};
    std::array<PyObject*, 1> given{};
    QUORIX_CHECK(match_tuple_and_dict("Encoder.__new__()", parameters, args, kwargs, given));
    QUORIX_CHECK(check_encoding(given[0]));
    auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (allocate == nullptr) allocate = PyType_GenericAlloc;
    QUORIX_TRY(PyRef self, checked(allocate(type, 0)));
    // Label is the only strategy, so the validated text is not kept.
    new (&as_encoder(self.get())->record) Encoder{};
    new (&as_encoder(self.get())->borrow_flag) BorrowFlag{};
    new (&as_encoder(self.get())->decoded) DecodedTexts{};
    return self;
}

// Matches the one parameter `obj` of encode and decode.
Result<PyObject*> match_obj(const char* full_name, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr std::array<Parameter, 1> parameters{{{"obj", true}}};
    std::array<PyObject*, 1> given{};
    QUORIX_CHECK(match_vectorcall(full_name, parameters, args, PyVectorcall_NARGS(nargsf), kwnames, given));
    return given[0];
}

Result<PyRef> encode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    QUORIX_TRY(PyObject * obj, match_obj("Encoder.encode()", args, nargsf, kwnames));
    EncoderObject* encoder = as_encoder(self);
    QUORIX_TRY(ExclusiveUse use, ExclusiveUse::take(encoder->borrow_flag));
    QUORIX_TRY(Extraction extraction, pyany_to_vec(obj));
    // The learned state is stored before the output is built and stays
    // stored should building fail.
    encoder->decoded.clear();
    encoder->record.encoding_info = std::move(extraction.encoding_info);
    return arr_to_out(extraction.matrix, std::move(extraction.out), nullptr);
}

Result<PyRef> decode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    QUORIX_TRY(PyObject * obj, match_obj("Encoder.decode()", args, nargsf, kwnames));
    EncoderObject* encoder = as_encoder(self);
    QUORIX_TRY(SharedUse use, SharedUse::take(encoder->borrow_flag));
    QUORIX_TRY(Extraction extraction, pyany_to_vec(obj));
    return decode_with(std::move(extraction), encoder->record.encoding_info, encoder->decoded);
}

}  // namespace

PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_object([&] { return new_encoder(type, args, kwargs); });
}

PyObject* encoder_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard_object([&] { return encode(self, args, nargsf, kwnames); });
}

PyObject* encoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guard_object([&] { return decode(self, args, nargsf, kwnames); });
}

}  // namespace quorix
