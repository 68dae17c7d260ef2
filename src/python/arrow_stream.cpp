// Arrow streams taken through their PyCapsule, chunk by chunk.
#include "python/arrow_stream.hpp"

#include <string>

#include "runtime/py_ref.hpp"

namespace quorix {
namespace {

constexpr const char* kStreamCapsule = "arrow_array_stream";

PyError stream_error(ArrowArrayStream* stream, int code, const char* what) {
    const char* detail = stream->get_last_error != nullptr ? stream->get_last_error(stream) : nullptr;
    return PyError::pending(PyExc_ValueError, std::string("Arrow stream failed to ") + what + " (error " +
                                                  std::to_string(code) + ")" +
                                                  (detail != nullptr ? std::string(": ") + detail : std::string()));
}

}  // namespace

ArrowTextChunks::~ArrowTextChunks() {
    for (auto& array : exported_) {
        if (array->release != nullptr) array->release(array.get());
    }
    if (schema_ && schema_->release != nullptr) schema_->release(schema_.get());
}

Result<bool> read_arrow_text_stream(PyObject* exporter, ArrowTextChunks& chunks) {
    QUORIX_TRY(PyRef capsule, checked(PyObject_CallMethod(exporter, "__arrow_c_stream__", nullptr)));
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), kStreamCapsule));
    if (stream == nullptr) return PyError::fetch();
    if (stream->release == nullptr) {
        return PyError::pending(PyExc_ValueError, "the Arrow stream was already released");
    }
    // The capsule releases the stream when it goes; the chunks taken from it
    // are ours to release, and outlive it.
    chunks.schema_ = std::make_unique<ArrowSchema>();
    if (const int code = stream->get_schema(stream, chunks.schema_.get()); code != 0) {
        chunks.schema_->release = nullptr;
        return stream_error(stream, code, "give its schema");
    }
    for (;;) {
        auto array = std::make_unique<ArrowArray>();
        array->release = nullptr;
        if (const int code = stream->get_next(stream, array.get()); code != 0) {
            array->release = nullptr;
            return stream_error(stream, code, "give its next chunk");
        }
        if (array->release == nullptr) break;  // the end of the stream
        chunks.exported_.push_back(std::move(array));
        const arrow::OpenedTextArray opened = arrow::open_text_array(*chunks.schema_, *chunks.exported_.back());
        if (opened.status == arrow::OpenStatus::kUnsupported) return false;
        if (opened.status != arrow::OpenStatus::kOk) return PyError::pending(PyExc_ValueError, opened.error);
        chunks.rows += opened.array.size();
        chunks.arrays.push_back(opened.array);
    }
    return true;
}

}  // namespace quorix
