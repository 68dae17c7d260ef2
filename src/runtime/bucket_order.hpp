// An insertion order for filling a freshly reserved hash map: entries grouped
// by the region of the bucket array they land in, so that the inserts walk
// the buckets front to back instead of jumping all over them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/parallel_loops.hpp"

namespace quorix {

// A permutation of [0, n): entry i is key_of(i) for `map`, whose bucket count
// must already be final (reserved). Only the speed of the later inserts
// depends on this order, never their result: the bucket index assumed here
// (hash modulo bucket count) is the standard library's, and a wrong guess
// would only cost cache misses.
template <class Map, class KeyOf>
std::vector<std::size_t> bucket_order(const Map& map, std::size_t n, const KeyOf& key_of) {
    // Regions of a few thousand buckets: their part of the bucket array stays
    // in cache while their entries go in.
    const std::size_t buckets = map.bucket_count();
    const std::size_t regions = std::max<std::size_t>(1, std::min<std::size_t>(n / 64, 1 << 16));
    std::vector<std::uint32_t> region_of(n);
    const auto hash = map.hash_function();
    parallel_for_each_index(
        n,
        [&](std::size_t i) {
            const std::size_t bucket = hash(key_of(i)) % buckets;
            region_of[i] = static_cast<std::uint32_t>(
                static_cast<unsigned __int128>(bucket) * regions / buckets);
        },
        4096);
    std::vector<std::size_t> start(regions + 1, 0);
    for (const std::uint32_t region : region_of) ++start[region + 1];
    for (std::size_t r = 0; r < regions; ++r) start[r + 1] += start[r];
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[start[region_of[i]]++] = i;
    return order;
}

}  // namespace quorix
