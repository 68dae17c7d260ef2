// Decoding with a learned record, and the record as state bytes.
#include "binding/encoder_record.hpp"

#include <cstdint>

#include "engine/state_bytes.hpp"
#include "binding/arr_to_out.hpp"

namespace quorix {

Result<PyRef> decode_with(Extraction codes, const std::optional<EncodingInfo>& learned, DecodedTexts& kept) {
    codes.encoding_info.reset();
    return arr_to_out(codes.matrix, std::move(codes.out), learned ? &*learned : nullptr, &kept);
}

Result<PyRef> state_bytes_object(const Encoder& record) {
    const std::size_t size = state_size(record);
    QUORIX_TRY(PyRef state, checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
    write_state(record, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(state.get())));
    return state;
}

}  // namespace quorix
