// Reading DataFrame column labels: all texts, or else all integers.
#include "binding/frame_labels.hpp"


#include "binding/py_ref.hpp"

namespace quorix {
namespace {

// The items of a sequence, read by iteration, each turned into a label by
// `convert`; the first failure ends the reading.
template <class Convert>
Result<std::vector<std::string>> read_items(PyObject* sequence, Convert&& convert) {
    std::vector<std::string> labels;
    // The length is only a size hint: a failure there is dropped.
    const Py_ssize_t hint = PyObject_Size(sequence);
    if (hint < 0) {
        drop_error();
    } else {
        labels.reserve(static_cast<std::size_t>(hint));
    }
    QUORIX_TRY(PyRef iterator, checked(PyObject_GetIter(sequence)));
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        QUORIX_TRY(std::string label, convert(item.get()));
        labels.push_back(std::move(label));
    }
    if (PyErr_Occurred()) return PyError::fetch();
    return labels;
}

// Every label a str.
Result<std::vector<std::string>> text_labels(PyObject* columns) {
    if (PyUnicode_Check(columns)) return PyError::type_mismatch(columns, "Sequence");
    if (!PySequence_Check(columns)) return PyError::type_mismatch(columns, "Sequence");
    return read_items(columns, [](PyObject* item) -> Result<std::string> {
        if (!PyUnicode_Check(item)) return PyError::type_mismatch(item, "str");
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(item, &size);
        if (data == nullptr) return PyError::fetch();
        return std::string(data, static_cast<std::size_t>(size));
    });
}

// Every label of `columns.tolist()` a signed 64-bit integer.
Result<std::vector<std::string>> integer_labels(PyObject* columns) {
    QUORIX_TRY(PyRef listed, checked(PyObject_CallMethod(columns, "tolist", nullptr)));
    if (PyUnicode_Check(listed.get())) return PyError::pending(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(listed.get())) return PyError::type_mismatch(listed.get(), "Sequence");
    return read_items(listed.get(), [](PyObject* item) -> Result<std::string> {
        const long long value = PyLong_AsLongLong(item);
        if (value == -1 && PyErr_Occurred()) return PyError::fetch();
        return std::to_string(value);
    });
}

}  // namespace

Result<std::vector<std::string>> frame_labels(PyObject* frame) {
    QUORIX_TRY(PyRef columns, checked(PyObject_GetAttrString(frame, "columns")));
    Result<std::vector<std::string>> texts = text_labels(columns.get());
    if (texts) return texts;
    // Any failure of the first attempt but a refused allocation sends us to
    // the second; its error is dropped.
    PyError failure = std::move(texts).error();
    if (failure.is_instance_of(PyExc_MemoryError)) return failure;
    return integer_labels(columns.get());
}

}  // namespace quorix
