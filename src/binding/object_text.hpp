// The text of a Python object: its str(), as UTF-8.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/gathered_columns.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"

namespace quorix {

// Appends the text of `object` to `texts`. An exact str is taken as it is
// (str() of it is itself); anything else goes through str(), whose failure
// stops with the internal error "cant convert to str". Lone surrogates, which
// UTF-8 cannot carry, come out as U+FFFD three times each.
void push_object_text(PyObject* object, TextColumn& texts);

// The UTF-8 of an exact str, a view into the str object (valid while it
// lives); false for a str holding lone surrogates, with nothing raised.
bool exact_str_text(PyObject* str, std::string_view& text);

// pandas' NA when pandas is loaded (it is never imported here), else null.
Result<PyRef> pandas_na();

// str() of a float, its repr ("1.0", "nan", "inf"); false if that fails.
bool float_text(double value, std::string& text);

// str() of the numbers a cell holds without running code (Python ints of at
// most 64 bits, floats, bools), written into scratch that the next call of
// the same object reuses.
class NumberStr {
public:
    std::string_view of(std::int64_t value) noexcept;
    std::string_view of(std::uint64_t value) noexcept;
    // Null data when str() of the float fails.
    std::string_view of(double value);
    static constexpr std::string_view of(bool value) noexcept { return value ? "True" : "False"; }

private:
    char digits_[24];
    std::string scratch_;
};

// `bytes` with every ill-formed UTF-8 sequence (each maximal subpart of one)
// replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace quorix
