// The UTF-8 check, with whole words of ASCII skipped at a time.
#include "engine/utf8.hpp"

#include "engine/unaligned.hpp"

namespace quorix {

std::optional<Utf8Fault> find_utf8_fault(std::span<const std::uint8_t> text) noexcept {
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
    const std::uint8_t* s = text.data();
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t lead = s[i];
        if (lead < 0x80) {
            ++i;
            // Texts are mostly ASCII: skip whole words of it. Byte order does
            // not matter to the test, so the word is loaded in host order.
            while (i + 8 <= n && (load<std::uint64_t>(s + i) & kHighBits) == 0) i += 8;
            continue;
        }

        // Width of the character and the range allowed for its second byte,
        // which is what rules out overlong forms, surrogates and code points
        // above U+10FFFF; later bytes are plain continuation bytes.
        std::size_t width = 0;
        std::uint8_t low = 0x80;
        std::uint8_t high = 0xBF;
        if (lead < 0xC2) {
            return Utf8Fault{i, 1};  // a continuation byte, or an overlong 2-byte lead
        } else if (lead < 0xE0) {
            width = 2;
        } else if (lead < 0xF0) {
            width = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead < 0xF5) {
            width = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return Utf8Fault{i, 1};
        }

        for (std::size_t k = 1; k < width; ++k) {
            if (i + k == n) return Utf8Fault{i, 0};
            const std::uint8_t byte = s[i + k];
            const bool fits = k == 1 ? (low <= byte && byte <= high) : (0x80 <= byte && byte <= 0xBF);
            if (!fits) return Utf8Fault{i, k};
        }
        i += width;
    }
    return std::nullopt;
}

std::string describe(const Utf8Fault& fault) {
    if (fault.length == 0) {
        return "incomplete utf-8 byte sequence from index " + std::to_string(fault.index);
    }
    return "invalid utf-8 sequence of " + std::to_string(fault.length) + " bytes from index " +
           std::to_string(fault.index);
}

}  // namespace quorix
