// str() texts of cells, and the lossy UTF-8 repair of lone surrogates.
#include "python/object_text.hpp"

#include <cstddef>
#include <cstdint>

#include "runtime/internal_error.hpp"
#include "runtime/py_error.hpp"
#include "runtime/py_ref.hpp"

namespace quorix {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
constexpr const char* kCantConvert = "cant convert to str";

// The number of bytes of the well-formed sequence starting at `at`, or 0 with
// `consumed` set to the length of the ill-formed maximal subpart there.
std::size_t sequence_length(std::string_view bytes, std::size_t at, std::size_t& consumed) {
    const auto lead = static_cast<std::uint8_t>(bytes[at]);
    std::size_t length = 0;
    std::uint8_t low = 0x80, high = 0xBF;  // range of the second byte
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // above are the surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        consumed = 1;
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (at + k >= bytes.size()) {
            consumed = k;
            return 0;
        }
        const auto byte = static_cast<std::uint8_t>(bytes[at + k]);
        const bool in_range = k == 1 ? (byte >= low && byte <= high) : (byte >= 0x80 && byte <= 0xBF);
        if (!in_range) {
            consumed = k;
            return 0;
        }
    }
    return length;
}

}  // namespace

// The UTF-8 of an exact str, when that needs no error handling: lone
// surrogates (which would raise, and raising allocates, which may run code)
// leave the cell to the plain road.
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
        PyError dropped = PyError::fetch();
        return false;
    }
    text = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

// str() of an exact float: its repr.
bool float_text(double value, std::string& text) {
    char* written = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (written == nullptr) {
        PyError dropped = PyError::fetch();
        return false;
    }
    text.assign(written);
    PyMem_Free(written);
    return true;
}

std::string utf8_lossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t consumed = 0;
        const std::size_t length = sequence_length(bytes, at, consumed);
        if (length != 0) {
            text.append(bytes.substr(at, length));
            at += length;
        } else {
            text.append(kReplacement);
            at += consumed;
        }
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
    // Lone surrogates: write them as UTF-8 would if it could, then repair.
    PyError dropped = PyError::fetch();
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) panic(kCantConvert, PyError::fetch().describe());
    const std::string_view raw(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    texts.push_back(utf8_lossy(raw));
}

}  // namespace quorix
