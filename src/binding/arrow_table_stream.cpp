// Arrow tables taken through their stream capsule, batch by batch.
#include "binding/arrow_table_stream.hpp"

#include <string>

#include "binding/py_ref.hpp"

namespace quorix {

Result<std::unique_ptr<arrow::ExportedTable>> take_arrow_table(PyObject* exporter) {
    QUORIX_TRY(PyRef capsule, checked(PyObject_CallMethod(exporter, "__arrow_c_stream__", nullptr)));
    if (!PyCapsule_IsValid(capsule.get(), "arrow_array_stream")) {
        return PyError::pending(PyExc_TypeError, "__arrow_c_stream__ did not give an 'arrow_array_stream' capsule");
    }
    auto* exported = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
    if (exported == nullptr) return PyError::fetch();
    if (exported->release == nullptr) {
        return PyError::pending(PyExc_ValueError, "the Arrow stream was already released (read by someone before)");
    }
    // The stream is moved out of the capsule, as the capsule interface asks
    // of a consumer: the capsule is left released, so that a second reader of
    // it finds it so, and this one releases the stream once it is read.
    struct OwnedStream {
        ArrowArrayStream stream;
        ~OwnedStream() {
            if (stream.release != nullptr) stream.release(&stream);
        }
    } owned{*exported};
    exported->release = nullptr;
    ArrowArrayStream* stream = &owned.stream;
    auto failed = [&](int code, const std::string& what) {
        const char* detail = stream->get_last_error != nullptr ? stream->get_last_error(stream) : nullptr;
        return PyError::pending(PyExc_ValueError, "the Arrow stream failed to give " + what + " (error " +
                                                      std::to_string(code) + ")" +
                                                      (detail != nullptr ? std::string(": ") + detail : std::string()));
    };
    // The schema and batches taken from the stream are the table's to
    // release, and outlive the stream.
    auto table = std::make_unique<arrow::ExportedTable>();
    if (const int code = stream->get_schema(stream, &table->schema()); code != 0) {
        table->schema().release = nullptr;
        return failed(code, "its schema");
    }
    for (;;) {
        const std::size_t batch = table->batch_count();
        ArrowArray& array = table->add_batch();
        if (const int code = stream->get_next(stream, &array); code != 0) {
            array.release = nullptr;
            table->drop_last_batch();
            return failed(code, "batch " + std::to_string(batch));
        }
        if (array.release == nullptr) {  // the end of the stream
            table->drop_last_batch();
            break;
        }
    }
    return table;
}

}  // namespace quorix
