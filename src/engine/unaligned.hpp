// Values read from byte buffers that need not be aligned for them: NumPy and
// Arrow buffers, and the state bytes.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstring>
#include <type_traits>

namespace quorix {

// The T stored at `where`, in this machine's byte order.
template <class T>
T load(const void* where) noexcept {
    static_assert(std::is_trivially_copyable_v<T>);
    T value;
    std::memcpy(&value, where, sizeof value);
    return value;
}

// The unsigned integer stored little-endian at `where`, whatever this
// machine's byte order.
template <std::unsigned_integral T>
T load_little_endian(const void* where) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        return load<T>(where);
    } else {
        const auto* bytes = static_cast<const unsigned char*>(where);
        T value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<T>(bytes[i]) << (8 * i));
        return value;
    }
}

}  // namespace quorix
