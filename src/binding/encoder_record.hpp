// What both modules do with a learned Encoder record: decode codes with it,
// and write it as state bytes.
#pragma once

#include <Python.h>

#include <optional>

#include "engine/encoder.hpp"
#include "binding/decoded_texts.hpp"
#include "binding/pyany_to_vec.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"

namespace quorix {

// Codes read as encode reads a table (pyany_to_vec), built back with
// `learned`'s texts (arr_to_out), their strs taken from (and first made into)
// `kept`, the strs kept beside that state; what the codes themselves would
// teach is dropped first.
Result<PyRef> decode_with(Extraction codes, const std::optional<EncodingInfo>& learned, DecodedTexts& kept);

// The record's state bytes as a new bytes object, sized first and then
// written straight into it.
Result<PyRef> state_bytes_object(const Encoder& record);

}  // namespace quorix
