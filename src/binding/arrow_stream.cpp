// Arrow streams taken through their PyCapsule, chunk by chunk.
#include "binding/arrow_stream.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "binding/py_ref.hpp"

namespace quorix {
namespace {

constexpr const char* kStreamCapsule = "arrow_array_stream";

PyError stream_error(ArrowArrayStream* stream, int code, const char* what) {
    const char* detail = stream->get_last_error != nullptr ? stream->get_last_error(stream) : nullptr;
    return PyError::pending(PyExc_ValueError, std::string("Arrow stream failed to ") + what + " (error " +
                                                  std::to_string(code) + ")" +
                                                  (detail != nullptr ? std::string(": ") + detail : std::string()));
}

// Item `index` of a list, held; null when the list no longer reaches it.
PyRef list_item(PyObject* list, Py_ssize_t index) {
    if (index >= PyList_GET_SIZE(list)) return PyRef();
    return PyRef::borrow(PyList_GET_ITEM(list, index));
}

// The byte size of each buffer of `array`, when the exporter also shows its
// chunks as objects whose buffers report address and size (as pyarrow's
// do) and those addresses are the exported ones; empty otherwise, and the
// reader then checks what the format alone allows.
Result<std::vector<std::int64_t>> buffer_sizes(PyObject* chunk, const ArrowArray& array) {
    using Sizes = std::vector<std::int64_t>;
    Sizes sizes;
    PyRef buffers = PyRef::steal(PyObject_CallMethod(chunk, "buffers", nullptr));
    if (!buffers) {
        QUORIX_CHECK(drop_error_if(PyExc_Exception));
        return Sizes{};
    }
    if (!PyList_Check(buffers.get()) || PyList_GET_SIZE(buffers.get()) != array.n_buffers) return Sizes{};
    for (Py_ssize_t b = 0; b < array.n_buffers; ++b) {
        // The getters below run Python code, which may change the list: its
        // length is asked afresh and each item held while it is read.
        const PyRef buffer = list_item(buffers.get(), b);
        if (!buffer) return Sizes{};
        if (buffer.get() == Py_None) {
            if (array.buffers[b] != nullptr) return Sizes{};
            sizes.push_back(0);
            continue;
        }
        PyRef address = PyRef::steal(PyObject_GetAttrString(buffer.get(), "address"));
        PyRef size = PyRef::steal(PyObject_GetAttrString(buffer.get(), "size"));
        const auto where = address ? PyLong_AsVoidPtr(address.get()) : nullptr;
        const long long bytes = size ? PyLong_AsLongLong(size.get()) : -1;
        if (PyErr_Occurred()) {
            QUORIX_CHECK(drop_error_if(PyExc_Exception));
            return Sizes{};
        }
        if (where != array.buffers[b] || bytes < 0) return Sizes{};
        sizes.push_back(bytes);
    }
    return sizes;
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
    // The exporter's chunks as objects, when it has them, for their buffer sizes.
    PyRef chunk_objects = PyRef::steal(PyObject_GetAttrString(exporter, "chunks"));
    if (!chunk_objects) QUORIX_CHECK(drop_error_if(PyExc_AttributeError));
    if (chunk_objects && !PyList_Check(chunk_objects.get())) chunk_objects.reset();
    for (;;) {
        auto array = std::make_unique<ArrowArray>();
        array->release = nullptr;
        if (const int code = stream->get_next(stream, array.get()); code != 0) {
            array->release = nullptr;
            return stream_error(stream, code, "give its next chunk");
        }
        if (array->release == nullptr) break;  // the end of the stream
        chunks.exported_.push_back(std::move(array));
        const ArrowArray& exported = *chunks.exported_.back();
        const auto index = static_cast<Py_ssize_t>(chunks.exported_.size() - 1);
        std::vector<std::int64_t> sizes;
        if (chunk_objects) {
            if (const PyRef chunk = list_item(chunk_objects.get(), index)) {
                QUORIX_TRY(sizes, buffer_sizes(chunk.get(), exported));
            }
        }
        const arrow::OpenedTextArray opened = arrow::open_text_array(*chunks.schema_, exported, sizes);
        if (opened.status == arrow::OpenStatus::kUnsupported) return false;
        if (opened.status != arrow::OpenStatus::kOk) return PyError::pending(PyExc_ValueError, opened.error);
        // Texts that are not UTF-8 make no str: reading cell by cell says what
        // becomes of them.
        if (!opened.array.holds_utf8()) return false;
        chunks.rows += opened.array.size();
        chunks.arrays.push_back(opened.array);
    }
    return true;
}

}  // namespace quorix
