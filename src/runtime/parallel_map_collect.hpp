// Parallel filter-map into a hash map: pairs collected in parallel as
// ordered chunks, then inserted on the joining thread into one map sized once.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "runtime/bucket_order.hpp"
#include "runtime/hash_map.hpp"
#include "runtime/parallel_loops.hpp"

namespace quorix {

// The kept pairs of produce(begin, end, out) over [0, n), inserted in bucket
// order (see bucket_order.hpp).
template <class K, class V, class Produce>
HashMap<K, V> parallel_collect_into_map(std::size_t n, const Produce& produce,
                                        std::size_t min_len = 1) {
    std::vector<std::pair<K, V>> pairs = parallel_collect<std::pair<K, V>>(n, produce, min_len);
    HashMap<K, V> map;
    map.reserve(pairs.size());
    const auto order = bucket_order(map, pairs.size(), [&](std::size_t i) -> const K& { return pairs[i].first; });
    // The pairs are read out of order: each is asked for a few inserts ahead.
    constexpr std::size_t ahead = 8;
    for (std::size_t j = 0; j < order.size(); ++j) {
        if (j + ahead < order.size()) __builtin_prefetch(&pairs[order[j + ahead]]);
        const std::size_t i = order[j];
        map.emplace(std::move(pairs[i].first), std::move(pairs[i].second));
    }
    return map;
}

// f(items[i]) -> optional<pair<K, V>> for every item; the present pairs in a map.
template <class K, class V, class T, class F>
HashMap<K, V> parallel_filter_map_into_map(std::span<T> items, const F& f,
                                           std::size_t min_len = 1) {
    return parallel_collect_into_map<K, V>(
        items.size(),
        [&](std::size_t begin, std::size_t end, std::vector<std::pair<K, V>>& out) {
            for (std::size_t i = begin; i < end; ++i) {
                if (auto pair = f(items[i])) out.push_back(std::move(*pair));
            }
        },
        min_len);
}

}  // namespace quorix
