// Messages of transform and merge faults.
#include "pipeline/native/fault_messages.hpp"

#include "binding/py_ref.hpp"

namespace quorix::pipeline {
namespace {

constexpr Py_ssize_t kShownCharacters = 60;

Result<std::string> utf8_of(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) return PyError::fetch();
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

Result<std::string> text_repr(std::string_view text) {
    QUORIX_TRY(PyRef str, checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace")));
    const Py_ssize_t length = PyUnicode_GET_LENGTH(str.get());
    if (length > kShownCharacters) {
        QUORIX_TRY(PyRef head, checked(PyUnicode_Substring(str.get(), 0, kShownCharacters)));
        QUORIX_TRY(PyRef shown, checked(PyObject_Repr(head.get())));
        QUORIX_TRY(std::string quoted, utf8_of(shown.get()));
        return quoted + "... (" + std::to_string(length) + " characters)";
    }
    QUORIX_TRY(PyRef shown, checked(PyObject_Repr(str.get())));
    return utf8_of(shown.get());
}

Result<std::string> column_name(const Labels& labels, ColumnIndex column) {
    if (!labels || column >= labels->size()) return "column " + std::to_string(column);
    QUORIX_TRY(std::string label, text_repr((*labels)[column]));
    return "column " + label;
}

namespace {

// A frame's row by its index label ("row 200000", "row 'b'": str() of it,
// repr() of a str), an array's by its position.
Result<std::string> row_name(std::size_t row, PyObject* rows) {
    if (rows == nullptr || rows == Py_None) return "row " + std::to_string(row);
    QUORIX_TRY(PyRef label, checked(PySequence_GetItem(rows, static_cast<Py_ssize_t>(row))));
    QUORIX_TRY(PyRef shown, checked(PyUnicode_Check(label.get()) ? PyObject_Repr(label.get())
                                                                 : PyObject_Str(label.get())));
    QUORIX_TRY(std::string text, utf8_of(shown.get()));
    return "row " + text;
}

}  // namespace

PyError lookup_error(const LookupFault& fault, const Labels& labels, PyObject* rows) {
    Result<std::string> name = column_name(labels, fault.column);
    if (!name) return std::move(name).error();
    Result<std::string> text = text_repr(fault.text);
    if (!text) return std::move(text).error();
    Result<std::string> named_row = row_name(fault.row, rows);
    if (!named_row) return std::move(named_row).error();
    const std::string row = " (" + named_row.value() + ")";
    if (fault.kind == LookupFault::Kind::kTextInNumericColumn) {
        return PyError::pending(PyExc_ValueError, name.value() + " was learned as numeric but holds the text " +
                                                      text.value() + row);
    }
    return PyError::pending(PyExc_ValueError, name.value() + " holds the text " + text.value() + row +
                                                  ", which was not learned for it; pass unknown=float('nan') "
                                                  "(or another number) to code unseen texts");
}

PyError merge_error(const MergeFault& fault, const Labels& labels) {
    Result<std::string> name = column_name(labels, fault.column);
    if (!name) return std::move(name).error();
    return PyError::pending(
        PyExc_ValueError,
        name.value() + " holds texts in part " + std::to_string(fault.text_part) + " and numbers read as numbers in part " +
            std::to_string(fault.number_part) +
            ": a fit of all parts at once would read those numbers as texts, which learning in parts cannot know; "
            "store the column as text (pandas 'str' dtype, or an object column of str)");
}

}  // namespace quorix::pipeline
