// Tables as the pipeline reads them: as quorix reads them, but for None,
// which is a missing value here.
#pragma once

#include "binding/none_reading.hpp"
#include "binding/pyany_to_vec.hpp"

namespace quorix::pipeline {

inline Result<GatheredTable> read_table(PyObject* obj, bool encode_text_arrays) {
    const NoneIsMissing none_is_missing;
    return gather_table(obj, encode_text_arrays);
}

inline Result<Extraction> read_codes(PyObject* obj) {
    const NoneIsMissing none_is_missing;
    return pyany_to_vec(obj);
}

}  // namespace quorix::pipeline
