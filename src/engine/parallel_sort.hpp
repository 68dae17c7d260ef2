// Parallel unstable sort: an in-place quicksort whose two sides are sorted as
// a fork-join pair while they are large.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <stdexcept>
#include <vector>

#include "engine/parallel_loops.hpp"
#include "engine/pool.hpp"
#include "engine/uninitialized.hpp"

namespace quorix {

namespace pool_detail {

// Below this many items a side is sorted on the thread that holds it.
constexpr std::size_t sequential_sort_below = 4096;

template <class T, class Less>
const T& median_of_three(const T& a, const T& b, const T& c, const Less& less) {
    if (less(a, b)) return less(b, c) ? b : (less(a, c) ? c : a);
    return less(a, c) ? a : (less(b, c) ? c : b);
}

template <class T, class Less>
void sort_part(T* first, std::size_t n, const Less& less, unsigned depth_left) {
    if (n < sequential_sort_below || depth_left == 0) {
        // The depth limit keeps bad pivots from recursing deeply; the
        // sequential sort bounds its own worst case.
        std::sort(first, first + n, less);
        return;
    }
    const std::size_t step = n / 8;
    const T pivot = median_of_three(
        median_of_three(first[0], first[step], first[2 * step], less),
        median_of_three(first[3 * step], first[4 * step], first[5 * step], less),
        median_of_three(first[6 * step], first[7 * step], first[n - 1], less), less);
    // Three ways: [< pivot][== pivot][> pivot]. The middle needs no further
    // sorting, which keeps columns with few distinct values cheap.
    T* const last = first + n;
    T* const equal_begin = std::partition(first, last, [&](const T& x) { return less(x, pivot); });
    T* const equal_end =
        std::partition(equal_begin, last, [&](const T& x) { return !less(pivot, x); });
    join([&] { sort_part(first, static_cast<std::size_t>(equal_begin - first), less, depth_left - 1); },
         [&] { sort_part(equal_end, static_cast<std::size_t>(last - equal_end), less, depth_left - 1); });
}

}  // namespace pool_detail

// Sorts ascending under `less` (a strict weak order). Unstable: equivalent
// items may end up in any order.
template <class T, class Less>
void parallel_sort(std::span<T> items, const Less& less) {
    if (items.size() < 2) return;
    const unsigned depth = 2 * static_cast<unsigned>(std::bit_width(items.size()));
    run_in_pool([&] { pool_detail::sort_part(items.data(), items.size(), less, depth); });
}

// Most-significant-byte radix sort: one pass per byte of a fixed-width key,
// each moving the items between the input and a buffer of the same size, so
// memory is read and written in long runs instead of a comparison sort's
// many passes over all of it. Groups of few items, and those whose key bytes
// are all used up, are finished by the comparison sort.
namespace radix_detail {

// Below this many items a group is finished by std::sort.
constexpr std::size_t comparison_sort_below = 2048;
// Above this many items one pass is counted and scattered in parallel blocks.
constexpr std::size_t parallel_pass_from = std::size_t{1} << 16;
constexpr std::size_t block_items = std::size_t{1} << 15;

using Counts = std::array<std::size_t, 257>;

template <class T, class ByteOf, class Less>
struct RadixSorter {
    const ByteOf& byte_of;  // byte_of(item, depth) -> 0..255
    const Less& less;       // agrees with the bytes: ordered by them first
    unsigned key_bytes;

    // Moves items [in, in + n) into [out, out + n) grouped by byte `depth`;
    // starts[b] is where group b begins.
    void scatter(const T* in, T* out, std::size_t n, unsigned depth, Counts& starts) const {
        if (n < parallel_pass_from) {
            starts.fill(0);
            for (std::size_t i = 0; i < n; ++i) ++starts[byte_of(in[i], depth) + 1];
            for (std::size_t b = 0; b < 256; ++b) starts[b + 1] += starts[b];
            Counts cursor = starts;
            for (std::size_t i = 0; i < n; ++i) out[cursor[byte_of(in[i], depth)]++] = in[i];
            return;
        }
        const std::size_t blocks = (n + block_items - 1) / block_items;
        std::vector<Counts> cursors(blocks);
        parallel_for_each_index(blocks, [&](std::size_t k) {
            Counts& count = cursors[k];
            count.fill(0);
            for (std::size_t i = k * block_items, end = std::min(n, i + block_items); i < end; ++i) {
                ++count[byte_of(in[i], depth)];
            }
        });
        std::size_t position = 0;
        for (std::size_t b = 0; b < 256; ++b) {
            starts[b] = position;
            for (std::size_t k = 0; k < blocks; ++k) {
                const std::size_t count = cursors[k][b];
                cursors[k][b] = position;
                position += count;
            }
        }
        starts[256] = position;
        parallel_for_each_index(blocks, [&](std::size_t k) {
            Counts& cursor = cursors[k];
            for (std::size_t i = k * block_items, end = std::min(n, i + block_items); i < end; ++i) {
                out[cursor[byte_of(in[i], depth)]++] = in[i];
            }
        });
    }

    template <class Group>
    void each_group(const Counts& starts, std::size_t n, const Group& group) const {
        if (n < parallel_pass_from) {
            for (std::size_t b = 0; b < 256; ++b) group(starts[b], starts[b + 1]);
        } else {
            parallel_for_each_index(256, [&](std::size_t b) { group(starts[b], starts[b + 1]); });
        }
    }

    // Sorted result in `data`; `scratch` is clobbered.
    void sort_in_place(T* data, T* scratch, std::size_t n, unsigned depth) const {
        if (n < comparison_sort_below || depth == key_bytes) {
            std::sort(data, data + n, less);
            return;
        }
        Counts starts;
        scatter(data, scratch, n, depth, starts);
        each_group(starts, n, [&](std::size_t begin, std::size_t end) {
            sort_into(scratch + begin, data + begin, end - begin, depth + 1);
        });
    }

    // Sorted result in `out`; `in` is clobbered.
    void sort_into(T* in, T* out, std::size_t n, unsigned depth) const {
        if (n < comparison_sort_below || depth == key_bytes) {
            std::sort(in, in + n, less);
            std::copy(in, in + n, out);
            return;
        }
        Counts starts;
        scatter(in, out, n, depth, starts);
        each_group(starts, n, [&](std::size_t begin, std::size_t end) {
            sort_in_place(out + begin, in + begin, end - begin, depth + 1);
        });
    }
};

}  // namespace radix_detail

// Sorts ascending under `less`, which must order items by their key bytes
// byte_of(item, 0), ..., byte_of(item, key_bytes - 1) first (unsigned, the
// first differing byte deciding) and settle only ties of all key bytes
// itself. Takes a buffer as large as the items for the length of the call.
template <class T, class ByteOf, class Less>
void parallel_radix_sort(std::span<T> items, std::span<T> scratch, unsigned key_bytes, const ByteOf& byte_of,
                         const Less& less) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (items.size() < 2) return;
    if (scratch.size() < items.size()) throw std::logic_error("parallel_radix_sort: scratch too small");
    const radix_detail::RadixSorter<T, ByteOf, Less> sorter{byte_of, less, key_bytes};
    run_in_pool([&] { sorter.sort_in_place(items.data(), scratch.data(), items.size(), 0); });
}

// The same, with a buffer of its own as large as the items.
template <class T, class ByteOf, class Less>
void parallel_radix_sort(std::span<T> items, unsigned key_bytes, const ByteOf& byte_of, const Less& less) {
    if (items.size() < 2) return;
    UninitializedVector<T> scratch(items.size());
    parallel_radix_sort(items, std::span<T>(scratch), key_bytes, byte_of, less);
}

// Byte-wise ascending: unsigned bytes, a prefix before its extensions.
inline void parallel_sort(std::span<std::string_view> texts) {
    parallel_sort(texts, std::less<std::string_view>{});
}

}  // namespace quorix
