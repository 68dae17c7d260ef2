// Output building: the matrix back as a new NumPy array or pandas DataFrame,
// with the learned texts written into the string columns when decoding.
#pragma once

#include <Python.h>

#include "engine/encoding_info.hpp"
#include "binding/decoded_texts.hpp"
#include "binding/matrix.hpp"
#include "binding/out.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"

namespace quorix {

// A new float64 array (no `columns` in `out`) or DataFrame with those labels
// and the default index. With `learned` (decode with a learned state), the
// cells of its string columns become their texts: a NumPy result is then an
// object array ("NaN" where a code has no text), a DataFrame gets object
// columns (None where a code has no text).
//
// The decoded cells' strs are taken from `kept`, the strs kept beside
// `learned` (made there when missing), or made for this call alone when null.
//
// The result may take over the matrix's own array instead of a copy of it, so
// the caller must not write to the matrix afterwards.
Result<PyRef> arr_to_out(const Matrix& matrix, OUT out, const EncodingInfo* learned, DecodedTexts* kept = nullptr);

}  // namespace quorix
