// The cells of NumPy's fixed-width text arrays as the texts str() gives of
// them: UCS4 code units ('U') as UTF-8, and bytes ('S') as their repr.
#pragma once

#include <cstddef>
#include <string_view>

namespace quorix {

// Code units of a 'U' cell of `units` units once its trailing NULs (which
// str() of the cell drops) are left out. NUL reads the same in both byte orders.
std::size_t ucs4_length(const char* cell, std::size_t units) noexcept;

// The most bytes ucs4_to_utf8 writes per code unit: a lone surrogate gives
// three replacement characters.
inline constexpr std::size_t kUtf8PerUnit = 9;

// Writes the UTF-8 of `units` code units at `cell` (byte-swapped when
// `swapped`) to `out`, which has room for kUtf8PerUnit bytes per unit, and
// returns the bytes written. A lone surrogate becomes U+FFFD three times,
// as its "surrogatepass" bytes repaired one maximal invalid subpart at a
// time do. A unit above U+10FFFF, which no str can hold, gives kNotText.
inline constexpr std::size_t kNotText = ~std::size_t{0};
std::size_t ucs4_to_utf8(const char* cell, std::size_t units, bool swapped, char* out) noexcept;

// Bytes of an 'S' cell once its trailing NULs (which the cell drops) are left out.
std::size_t bytes_length(const char* cell, std::size_t size) noexcept;

// The most bytes bytes_repr writes for `size` bytes.
constexpr std::size_t bytes_repr_capacity(std::size_t size) noexcept { return 4 * size + 3; }

// Writes repr() of the bytes object holding `bytes` to `out` (b'...', or
// b"..." when the bytes hold ' but no ") and returns the bytes written.
std::size_t bytes_repr(std::string_view bytes, char* out) noexcept;

}  // namespace quorix
