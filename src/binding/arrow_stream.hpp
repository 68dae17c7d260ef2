// The text chunks of an object that exports an Arrow stream through the
// PyCapsule interface (__arrow_c_stream__), read with no Arrow library.
#pragma once

#include <Python.h>

#include <memory>
#include <vector>

#include "engine/arrow_c_data.hpp"
#include "engine/arrow_text_reader.hpp"
#include "binding/py_error.hpp"

namespace quorix {

// The exported chunks, opened for reading, and kept (not released) for as
// long as this object lives: the texts of `arrays` are views into them.
class ArrowTextChunks {
public:
    ArrowTextChunks() = default;
    ArrowTextChunks(const ArrowTextChunks&) = delete;
    ArrowTextChunks& operator=(const ArrowTextChunks&) = delete;
    ~ArrowTextChunks();

    std::vector<arrow::TextArray> arrays;  // in stream order
    std::size_t rows = 0;                  // of all chunks

private:
    friend Result<bool> read_arrow_text_stream(PyObject* exporter, ArrowTextChunks& chunks);
    std::unique_ptr<ArrowSchema> schema_;
    std::vector<std::unique_ptr<ArrowArray>> exported_;
};

// Reads the stream of `exporter.__arrow_c_stream__()` into `chunks`: true
// when every chunk is a text array of UTF-8 texts, false when the format is
// one this module does not read or a text is not UTF-8 (the caller takes
// another reader). Malformed data, or a stream that fails, is a ValueError.
Result<bool> read_arrow_text_stream(PyObject* exporter, ArrowTextChunks& chunks);

}  // namespace quorix
