// str() texts of cells, and the lossy UTF-8 repair of lone surrogates.
#include "binding/object_text.hpp"

#include <charconv>
#include <cstddef>
#include <cstdint>

#include "engine/internal_error.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"
#include "engine/utf8.hpp"

namespace quorix {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
constexpr const char* kCantConvert = "cant convert to str";

}  // namespace

// The UTF-8 of an exact str, when that needs no error handling: lone
// surrogates (which would raise, and raising allocates, which may run code)
// leave the cell to reading by conversion.
bool exact_str_text(PyObject* str, std::string_view& text) {
    if (!PyUnicode_IS_READY(str)) return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
    if (PyUnicode_IS_ASCII(str)) {
        text = std::string_view(static_cast<const char*>(PyUnicode_DATA(str)), static_cast<std::size_t>(length));
        return true;
    }
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    if (kind != PyUnicode_1BYTE_KIND) {
        for (Py_ssize_t i = 0; i < length; ++i) {
            const Py_UCS4 unit = PyUnicode_READ(kind, data, i);
            if (unit >= 0xD800 && unit <= 0xDFFF) return false;
        }
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (utf8 == nullptr) {
        drop_error();  // the caller takes the cell the way that reports failures
        return false;
    }
    text = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

Result<PyRef> pandas_na() {
    PyObject* pandas = PyDict_GetItemString(PyImport_GetModuleDict(), "pandas");
    if (pandas == nullptr) return PyRef();
    PyRef na = PyRef::steal(PyObject_GetAttrString(pandas, "NA"));
    if (!na) QUORIX_CHECK(drop_error_if(PyExc_AttributeError));  // a pandas without NA holds none
    return na;
}

// str() of an exact float: its repr.
bool float_text(double value, std::string& text) {
    char* written = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (written == nullptr) {
        drop_error();  // the caller takes the cell the way that reports failures
        return false;
    }
    text.assign(written);
    PyMem_Free(written);
    return true;
}

std::string_view NumberStr::of(std::int64_t value) noexcept {
    const char* end = std::to_chars(digits_, digits_ + sizeof digits_, value).ptr;
    return std::string_view(digits_, static_cast<std::size_t>(end - digits_));
}

std::string_view NumberStr::of(std::uint64_t value) noexcept {
    const char* end = std::to_chars(digits_, digits_ + sizeof digits_, value).ptr;
    return std::string_view(digits_, static_cast<std::size_t>(end - digits_));
}

std::string_view NumberStr::of(double value) {
    if (!float_text(value, scratch_)) return {};
    return scratch_;
}

std::string utf8_lossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    while (!bytes.empty()) {
        const std::optional<Utf8Fault> fault =
            find_utf8_fault({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
        if (!fault) {
            text.append(bytes);
            break;
        }
        // Each maximal invalid subpart becomes one replacement character;
        // one cut short by the end runs to the end.
        text.append(bytes.substr(0, fault->index));
        text.append(kReplacement);
        bytes.remove_prefix(fault->length == 0 ? bytes.size() : fault->index + fault->length);
    }
    return text;
}

void push_object_text(PyObject* object, TextColumn& texts) {
    PyRef converted;
    PyObject* text = object;
    if (!PyUnicode_CheckExact(object)) {
        converted = PyRef::steal(PyObject_Str(object));
        if (!converted) panic(kCantConvert, PyError::fetch().describe());
        text = converted.get();
    }
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
        texts.push_back(std::string_view(data, static_cast<std::size_t>(size)));
        return;
    }
    // Lone surrogates, which UTF-8 refuses: write them as UTF-8 would if it
    // could, then repair.
    drop_error();
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) panic(kCantConvert, PyError::fetch().describe());
    const std::string_view raw(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    texts.push_back(utf8_lossy(raw));
}

}  // namespace quorix
