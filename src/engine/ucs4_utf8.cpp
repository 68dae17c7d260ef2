// UCS4 to UTF-8 and the repr of bytes, as the host writes them.
#include "engine/ucs4_utf8.hpp"

#include <cstdint>
#include <cstring>

#include "engine/unaligned.hpp"

namespace quorix {
namespace {

std::uint32_t unit_at(const char* cell, std::size_t i, bool swapped) noexcept {
    const auto unit = load<std::uint32_t>(cell + 4 * i);
    return swapped ? __builtin_bswap32(unit) : unit;
}

}  // namespace

std::size_t ucs4_length(const char* cell, std::size_t units) noexcept {
    while (units > 0 && unit_at(cell, units - 1, false) == 0) --units;
    return units;
}

std::size_t ucs4_to_utf8(const char* cell, std::size_t units, bool swapped, char* out) noexcept {
    char* at = out;
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint32_t unit = unit_at(cell, i, swapped);
        if (unit < 0x80) {
            *at++ = static_cast<char>(unit);
        } else if (unit < 0x800) {
            *at++ = static_cast<char>(0xC0 | (unit >> 6));
            *at++ = static_cast<char>(0x80 | (unit & 0x3F));
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            // ED xx xx: the lead and both continuation bytes are each a maximal
            // invalid subpart, so each is one U+FFFD.
            for (int k = 0; k < 3; ++k) {
                std::memcpy(at, "\xEF\xBF\xBD", 3);
                at += 3;
            }
        } else if (unit < 0x10000) {
            *at++ = static_cast<char>(0xE0 | (unit >> 12));
            *at++ = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            *at++ = static_cast<char>(0x80 | (unit & 0x3F));
        } else if (unit <= 0x10FFFF) {
            *at++ = static_cast<char>(0xF0 | (unit >> 18));
            *at++ = static_cast<char>(0x80 | ((unit >> 12) & 0x3F));
            *at++ = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            *at++ = static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            return kNotText;
        }
    }
    return static_cast<std::size_t>(at - out);
}

std::size_t bytes_length(const char* cell, std::size_t size) noexcept {
    while (size > 0 && cell[size - 1] == '\0') --size;
    return size;
}

std::size_t bytes_repr(std::string_view bytes, char* out) noexcept {
    // One look at every byte: which quotes occur, and whether any needs escaping.
    bool single = false, double_ = false, plain = true;
    for (const char ch : bytes) {
        const auto byte = static_cast<unsigned char>(ch);
        single |= ch == '\'';
        double_ |= ch == '"';
        plain &= byte >= 0x20 && byte < 0x7F && ch != '\\';
    }
    const char quote = single && !double_ ? '"' : '\'';
    char* at = out;
    *at++ = 'b';
    *at++ = quote;
    if (plain && !(single && double_)) {
        if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
        at += bytes.size();
        *at++ = quote;
        return static_cast<std::size_t>(at - out);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    for (const char ch : bytes) {
        const auto byte = static_cast<unsigned char>(ch);
        if (ch == quote || ch == '\\') {
            *at++ = '\\';
            *at++ = ch;
        } else if (ch == '\t') {
            *at++ = '\\';
            *at++ = 't';
        } else if (ch == '\n') {
            *at++ = '\\';
            *at++ = 'n';
        } else if (ch == '\r') {
            *at++ = '\\';
            *at++ = 'r';
        } else if (byte < 0x20 || byte >= 0x7F) {
            *at++ = '\\';
            *at++ = 'x';
            *at++ = kHex[byte >> 4];
            *at++ = kHex[byte & 0xF];
        } else {
            *at++ = ch;
        }
    }
    *at++ = quote;
    return static_cast<std::size_t>(at - out);
}

}  // namespace quorix
