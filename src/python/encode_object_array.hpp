// The per-column driver of the encoding engine: numeric columns copied into
// the matrix, string columns label-encoded into it, maps gathered.
#pragma once

#include "python/encoding_info.hpp"
#include "python/gathered_columns.hpp"

namespace quorix {

// `matrix` is row-major rows x cols (cell (r, c) at r * cols + c), zeroed by
// the caller; every cell is written once. Runs one job per column on the
// pool and returns the maps of the string columns.
EncodingInfo encode_object_array(const GatheredColumns& columns, double* matrix);

}  // namespace quorix
