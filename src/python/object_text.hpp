// The text of a Python object: its str(), as UTF-8.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "python/gathered_columns.hpp"

namespace quorix {

// Appends the text of `object` to `texts`. An exact str is taken as it is
// (str() of it is itself); anything else goes through str(), whose failure
// stops with the internal error "cant convert to str". Lone surrogates, which
// UTF-8 cannot carry, come out as U+FFFD three times each.
void push_object_text(PyObject* object, TextColumn& texts);

// The UTF-8 of an exact str, a view into the str object (valid while it
// lives); false for a str holding lone surrogates, with nothing raised.
bool exact_str_text(PyObject* str, std::string_view& text);

// str() of a float, its repr ("1.0", "nan", "inf"); false if that fails.
bool float_text(double value, std::string& text);

// `bytes` with every ill-formed UTF-8 sequence (each maximal subpart of one)
// replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace quorix
