// Checking that bytes are UTF-8, as the host's own decoder rules it: no
// overlong forms, no surrogates, nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quorix {

// The first spot where a byte string stops being UTF-8.
struct Utf8Fault {
    std::size_t index;  // where the offending character starts
    // 1 to 3: the length of the maximal invalid prefix starting at `index`;
    // 0: the input ends inside a character that was valid so far.
    std::size_t length;

    friend bool operator==(const Utf8Fault&, const Utf8Fault&) = default;
};

std::optional<Utf8Fault> find_utf8_fault(std::span<const std::uint8_t> text) noexcept;

// "invalid utf-8 sequence of {} bytes from index {}" or
// "incomplete utf-8 byte sequence from index {}".
std::string describe(const Utf8Fault& fault);

inline bool is_utf8(std::string_view text) noexcept {
    return !find_utf8_fault({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

}  // namespace quorix
