// Shortest round-trip number texts in positional notation.
#include "engine/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <system_error>

namespace quorix {

std::string number_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";

    // to_chars without a precision gives the shortest round-trip digits (and
    // the nearest among equals); scientific form hands them over as
    // "d[.ddd]e±XX", which is then laid out positionally.
    char buffer[64];
    const std::to_chars_result written =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const char* cursor = buffer;
    const char* const end = written.ptr;

    std::string text;
    if (*cursor == '-') {
        text.push_back('-');
        ++cursor;
    }
    std::string digits;
    while (cursor != end && *cursor != 'e') {
        if (*cursor != '.') digits.push_back(*cursor);
        ++cursor;
    }
    int exponent = 0;
    if (cursor != end) {
        ++cursor;  // 'e'
        if (*cursor == '+') ++cursor;
        std::from_chars(cursor, end, exponent);
    }

    // The value is 0.digits * 10^point.
    const long point = static_cast<long>(exponent) + 1;
    const auto length = static_cast<long>(digits.size());
    if (point <= 0) {
        text += "0.";
        text.append(static_cast<std::size_t>(-point), '0');
        text += digits;
    } else if (point >= length) {
        text += digits;
        text.append(static_cast<std::size_t>(point - length), '0');
    } else {
        text.append(digits, 0, static_cast<std::size_t>(point));
        text.push_back('.');
        text.append(digits, static_cast<std::size_t>(point), std::string::npos);
    }
    return text;
}

}  // namespace quorix
