// Reading the recode tables a transform is given.
#include "pipeline/native/recode_tables.hpp"

#include <string>

namespace quorix::pipeline {

Result<RecodeTables> recode_tables_of(PyObject* given, const Learned& learned, std::size_t cols) {
    RecodeTables tables;
    tables.by_column.resize(cols);
    if (given == Py_None) return tables;
    if (!PyDict_Check(given)) return PyError::type_mismatch(given, "dict").with_note("while processing 'recode'");
    PyObject* key = nullptr;
    PyObject* value = nullptr;  // both borrowed from the dict, held below
    Py_ssize_t at = 0;
    while (PyDict_Next(given, &at, &key, &value)) {
        const std::size_t column = PyLong_AsSize_t(key);
        if (column == static_cast<std::size_t>(-1) && PyErr_Occurred()) return PyError::fetch();
        if (column >= cols || learned.text_to_code(column) == nullptr) {
            return PyError::pending(PyExc_ValueError,
                                    "recode names column " + std::to_string(column) + ", not a learned string column");
        }
        if (!PyBytes_Check(value)) return PyError::type_mismatch(value, "bytes").with_note("while processing 'recode'");
        const std::size_t codes = code_count(*learned.record.encoding_info, column);
        const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(value));
        if (size != codes * sizeof(double)) {
            return PyError::pending(PyExc_ValueError, "the recode table of column " + std::to_string(column) +
                                                          " holds " + std::to_string(size) +
                                                          " bytes, not 8 for each of its " + std::to_string(codes) +
                                                          " codes");
        }
        tables.held.push_back(PyRef::borrow(value));
        tables.by_column[column] = std::span(reinterpret_cast<const double*>(PyBytes_AS_STRING(value)), codes);
    }
    return tables;
}

}  // namespace quorix::pipeline
