// Parallel unstable sort: an in-place quicksort whose two sides are sorted as
// a fork-join pair while they are large.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <functional>
#include <span>
#include <string_view>
#include <utility>

#include "runtime/pool.hpp"

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

// Byte-wise ascending: unsigned bytes, a prefix before its extensions.
inline void parallel_sort(std::span<std::string_view> texts) {
    parallel_sort(texts, std::less<std::string_view>{});
}

}  // namespace quorix
