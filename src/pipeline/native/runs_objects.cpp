// Learned runs to and from the plain objects they travel as.
#include "pipeline/native/runs_objects.hpp"

#include <cstdint>
#include <cstring>
#include <string>

#include "engine/label_encode.hpp"
#include "engine/unaligned.hpp"

namespace quorix::pipeline {
namespace {

void store_little_endian(std::uint64_t value, char* where) noexcept {
    for (std::size_t i = 0; i < sizeof value; ++i) where[i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

Result<PyRef> new_bytes(std::size_t size) {
    return checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
}

Result<PyRef> column_object(const TextRun& run) {
    std::size_t size = 0;
    for (const std::string_view text : run.texts) size += text.size();
    QUORIX_TRY(PyRef texts, new_bytes(size));
    QUORIX_TRY(PyRef ends, new_bytes(8 * run.texts.size()));
    char* text_out = PyBytes_AS_STRING(texts.get());
    char* end_out = PyBytes_AS_STRING(ends.get());
    std::size_t end = 0;
    for (std::size_t i = 0; i < run.texts.size(); ++i) {
        const std::string_view text = run.texts[i];
        if (!text.empty()) std::memcpy(text_out + end, text.data(), text.size());
        end += text.size();
        store_little_endian(end, end_out + 8 * i);
    }
    PyRef counts = PyRef::borrow(Py_None);
    if (run.counts) {
        QUORIX_TRY(counts, new_bytes(8 * run.counts->size()));
        char* count_out = PyBytes_AS_STRING(counts.get());
        for (std::size_t i = 0; i < run.counts->size(); ++i) {
            store_little_endian(static_cast<std::uint64_t>((*run.counts)[i]), count_out + 8 * i);
        }
    }
    QUORIX_TRY(PyRef column, checked(PyLong_FromSize_t(run.column)));
    return checked(PyTuple_Pack(4, column.get(), texts.get(), ends.get(), counts.get()));
}

PyError damaged(const std::string& what) { return PyError::pending(PyExc_ValueError, "damaged learned runs: " + what); }

Result<std::string_view> bytes_view(PyObject* object, const char* what) {
    if (!PyBytes_Check(object)) return damaged(std::string(what) + " is not bytes");
    return std::string_view(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
}

Result<PyRef> tuple_of(PyObject* object, Py_ssize_t size, const char* what) {
    if (!PyTuple_Check(object) || PyTuple_GET_SIZE(object) != size) {
        return damaged(std::string(what) + " is not a tuple of " + std::to_string(size));
    }
    return PyRef::borrow(object);
}

Result<TextRun> column_from_object(PyObject* object, std::vector<PyRef>& held) {
    QUORIX_TRY(PyRef column, tuple_of(object, 4, "a column"));
    held.push_back(column);
    TextRun run;
    run.column = PyLong_AsSize_t(PyTuple_GET_ITEM(object, 0));
    if (run.column == static_cast<std::size_t>(-1) && PyErr_Occurred()) return PyError::fetch();
    QUORIX_TRY(const std::string_view texts, bytes_view(PyTuple_GET_ITEM(object, 1), "texts"));
    QUORIX_TRY(const std::string_view ends, bytes_view(PyTuple_GET_ITEM(object, 2), "ends"));
    if (ends.size() % 8 != 0) return damaged("ends is not a whole number of uint64");
    const std::size_t count = ends.size() / 8;
    run.texts.reserve(count);
    std::uint64_t start = 0;
    std::size_t coded = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t end = load_little_endian<std::uint64_t>(ends.data() + 8 * i);
        if (end < start || end > texts.size()) return damaged("a text ends outside the texts");
        const std::string_view text = texts.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
        if (!run.texts.empty() && !(run.texts.back() < text)) {
            return damaged("the texts of column " + std::to_string(run.column) + " are not ascending");
        }
        if (!is_missing_marker(text)) ++coded;
        run.texts.push_back(text);
        start = end;
    }
    if (start != texts.size()) return damaged("bytes after the last text");
    PyObject* counts = PyTuple_GET_ITEM(object, 3);
    if (counts != Py_None) {
        QUORIX_TRY(const std::string_view raw, bytes_view(counts, "counts"));
        if (raw.size() != 8 * coded) return damaged("not one count per coded text");
        std::vector<std::int64_t> values(coded);
        for (std::size_t i = 0; i < coded; ++i) {
            values[i] = static_cast<std::int64_t>(load_little_endian<std::uint64_t>(raw.data() + 8 * i));
        }
        run.counts = std::move(values);
    }
    return run;
}

}  // namespace

Result<PyRef> runs_object(const RunsPart& part) {
    QUORIX_TRY(PyRef numbers_read, checked(PyBytes_FromStringAndSize(
                                       reinterpret_cast<const char*>(part.numbers_read.data()),
                                       static_cast<Py_ssize_t>(part.numbers_read.size()))));
    QUORIX_TRY(PyRef columns, checked(PyTuple_New(static_cast<Py_ssize_t>(part.runs.size()))));
    for (std::size_t i = 0; i < part.runs.size(); ++i) {
        QUORIX_TRY(PyRef column, column_object(part.runs[i]));
        PyTuple_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(i), column.release());
    }
    return checked(PyTuple_Pack(3, numbers_read.get(), part.has_state ? Py_True : Py_False, columns.get()));
}

Result<RunsPart> runs_from_object(PyObject* object, std::size_t cols, std::vector<PyRef>& held) {
    QUORIX_TRY(PyRef whole, tuple_of(object, 3, "a part"));
    held.push_back(whole);
    RunsPart part;
    QUORIX_TRY(const std::string_view flags, bytes_view(PyTuple_GET_ITEM(object, 0), "numbers_read"));
    part.numbers_read.assign(flags.begin(), flags.end());
    const int has_state = PyObject_IsTrue(PyTuple_GET_ITEM(object, 1));
    if (has_state < 0) return PyError::fetch();
    part.has_state = has_state != 0;
    PyObject* columns = PyTuple_GET_ITEM(object, 2);
    if (!PyTuple_Check(columns)) return damaged("the columns are not a tuple");
    if (!part.has_state && PyTuple_GET_SIZE(columns) != 0) return damaged("columns without a state");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(columns); ++i) {
        QUORIX_TRY(TextRun run, column_from_object(PyTuple_GET_ITEM(columns, i), held));
        if (!part.runs.empty() && part.runs.back().column >= run.column) return damaged("columns not ascending");
        if (run.column >= cols) {
            return PyError::pending(PyExc_ValueError, "a part learned column " + std::to_string(run.column) +
                                                          " as text, beyond the " + std::to_string(cols) + " columns");
        }
        part.runs.push_back(std::move(run));
    }
    return part;
}

}  // namespace quorix::pipeline
