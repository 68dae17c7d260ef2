// The messages users see when a transform or a merge cannot go on: each
// names the column and the value.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pipeline/native/look_up_codes.hpp"
#include "pipeline/native/merge_learned.hpp"
#include "binding/py_error.hpp"

namespace quorix::pipeline {

// The frame's labels (null for an array) name the columns.
using Labels = std::optional<std::vector<std::string>>;

// "column 'island'" for a frame, "column 3" for an array.
Result<std::string> column_name(const Labels& labels, ColumnIndex column);

// The Python repr of a UTF-8 text, shortened when long.
Result<std::string> text_repr(std::string_view text);

// A ValueError for the fault; `rows` (a frame's index, or null) names the
// row by its label, else by its position.
PyError lookup_error(const LookupFault& fault, const Labels& labels, PyObject* rows);
PyError merge_error(const MergeFault& fault, const Labels& labels);

}  // namespace quorix::pipeline
