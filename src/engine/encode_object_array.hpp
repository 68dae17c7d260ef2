// The per-column driver of the encoding engine: numeric columns copied into
// the matrix, string columns label-encoded into it, maps gathered.
#pragma once

#include "engine/encoding_info.hpp"
#include "engine/gathered_columns.hpp"

#include <vector>

namespace quorix {

// `matrix` is row-major rows x cols (cell (r, c) at r * cols + c), zeroed by
// the caller; every cell is written once. Runs one job per column on the
// pool and returns the maps of the string columns.
EncodingInfo encode_object_array(const GatheredColumns& columns, double* matrix);

// The same with cell (r, c) at matrix[r * row_step + c * col_step]; a null
// `matrix` writes no cell and only learns the maps.
EncodingInfo encode_object_array(const GatheredColumns& columns, double* matrix, std::size_t row_step,
                                 std::size_t col_step);

// One string column's maps, as each column job hands them back.
struct ColumnMaps {
    ColumnIndex column;
    TextToCode text_to_code;
    CodeToText code_to_text;

    // The maps of a column whose inverse is made here, from `text_to_code`.
    static ColumnMaps inverting(ColumnIndex column, TextToCode text_to_code);
};

// The EncodingInfo of the string columns whose maps are given, in ascending
// column order: every string column once.
EncodingInfo encoding_info_of(std::vector<ColumnMaps> columns);

// A column's code-to-text map: the entries of its text-to-code map that have
// a code, inverted.
CodeToText inverse_of(const TextToCode& text_to_code);

// The two strategies inverse_of may take; both give the same map, and the tests
// compare them.
namespace inverse_strategies {
// Copies every text that has a code into a map of its own.
CodeToText by_copying(const TextToCode& text_to_code);
// Reads the texts where the text-to-code map keeps them; needs its codes to
// follow its entries, as encode leaves them.
CodeToText by_sharing(const TextToCode& text_to_code);
}  // namespace inverse_strategies

}  // namespace quorix
