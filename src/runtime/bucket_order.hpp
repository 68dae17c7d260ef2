// An insertion order for filling a freshly reserved hash map: entries grouped
// by the region of the index they land in, so that the inserts walk the
// index front to back instead of jumping all over it.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/parallel_loops.hpp"

namespace quorix {

// A permutation of [0, n): entry i is key_of(i) for `map`. A HashMap key's
// home slot grows with its hash (it is the hash's top bits), whatever the
// size of the index, so ordering by the top bits of the hash orders by home
// slot. Only the speed of the later inserts depends on this order, never
// their result.
// A permutation of [0, n) by the top bits of hash_of(i), where hash_of(i)
// is the hash under which the map places entry i.
template <class HashOf>
std::vector<std::size_t> bucket_order_of_hashes(std::size_t n, const HashOf& hash_of) {
    // Regions of a few thousand slots: their part of the index stays in
    // cache while their entries go in.
    const unsigned region_bits =
        std::bit_width(std::max<std::size_t>(1, std::min<std::size_t>(n / 64, 1 << 16))) - 1;
    const std::size_t regions = std::size_t{1} << region_bits;
    std::vector<std::uint32_t> region_of(n);
    parallel_for_each_index(
        n,
        [&](std::size_t i) {
            const std::uint64_t h = hash_of(i);
            region_of[i] = region_bits == 0 ? 0 : static_cast<std::uint32_t>(h >> (64 - region_bits));
        },
        4096);
    std::vector<std::size_t> start(regions + 1, 0);
    for (const std::uint32_t region : region_of) ++start[region + 1];
    for (std::size_t r = 0; r < regions; ++r) start[r + 1] += start[r];
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[start[region_of[i]]++] = i;
    return order;
}

// A permutation of [0, n): entry i is key_of(i) for `map`. A HashMap key's
// home slot grows with its hash (it is the hash's top bits), whatever the
// size of the index, so ordering by the top bits of the hash orders by home
// slot. Only the speed of the later inserts depends on this order, never
// their result.
template <class Map, class KeyOf>
std::vector<std::size_t> bucket_order(const Map& map, std::size_t n, const KeyOf& key_of) {
    const auto& hash = map.hash_function();
    return bucket_order_of_hashes(n, [&](std::size_t i) -> std::uint64_t { return hash(key_of(i)); });
}

}  // namespace quorix
