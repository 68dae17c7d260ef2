// Arrow tables taken through their stream capsule, batch by batch.
#include "python/arrow_table_stream.hpp"

#include <string>

#include "runtime/py_ref.hpp"

namespace quorix {

Result<std::unique_ptr<arrow::ExportedTable>> take_arrow_table(PyObject* exporter) {
    QUORIX_TRY(PyRef capsule, checked(PyObject_CallMethod(exporter, "__arrow_c_stream__", nullptr)));
    if (!PyCapsule_IsValid(capsule.get(), "arrow_array_stream")) {
        return PyError::pending(PyExc_TypeError, "__arrow_c_stream__ did not give an 'arrow_array_stream' capsule");
    }
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
    if (stream == nullptr) return PyError::fetch();
    if (stream->release == nullptr) return PyError::pending(PyExc_ValueError, "the Arrow stream was already released");
    auto failed = [&](int code, const std::string& what) {
        const char* detail = stream->get_last_error != nullptr ? stream->get_last_error(stream) : nullptr;
        return PyError::pending(PyExc_ValueError, "the Arrow stream failed to give " + what + " (error " +
                                                      std::to_string(code) + ")" +
                                                      (detail != nullptr ? std::string(": ") + detail : std::string()));
    };
    // The capsule releases the stream when it goes; the schema and batches
    // taken from it are the table's to release, and outlive it.
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
