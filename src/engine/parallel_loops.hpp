// Parallel loops over index ranges, built on `join`: for-each, and collecting
// or filter-mapping into an ordered vector.
//
// A loop starts as one piece and is cut in halves recursively. The number of
// cuts adapts to stealing: a piece that moved to another worker earns a fresh
// budget of cuts. Results of the two halves are joined left before right, so
// collected results keep item order however the range was cut.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/pool.hpp"

namespace quorix {

namespace pool_detail {

class Splitter {
public:
    Splitter(std::size_t workers, std::size_t min_len) noexcept
        : workers_(workers), splits_(workers), min_len_(std::max<std::size_t>(min_len, 1)) {}

    bool try_split(std::size_t len, bool migrated) noexcept {
        if (len / 2 < min_len_) return false;
        if (migrated) {
            // Stolen: some worker is idle, so cut this piece further.
            splits_ = std::max(splits_ / 2, workers_);
            return true;
        }
        if (splits_ == 0) return false;
        splits_ /= 2;
        return true;
    }

private:
    std::size_t workers_;
    std::size_t splits_;
    std::size_t min_len_;
};

// Calls leaf(begin, end) on disjoint pieces covering [begin, end).
template <class Leaf>
void split_range(std::size_t begin, std::size_t end, Splitter splitter, bool migrated,
                 const Leaf& leaf) {
    if (!splitter.try_split(end - begin, migrated)) {
        leaf(begin, end);
        return;
    }
    const std::size_t mid = begin + (end - begin) / 2;
    const Worker* origin = current_worker();
    join([&] { split_range(begin, mid, splitter, false, leaf); },
         [&] { split_range(mid, end, splitter, current_worker() != origin, leaf); });
}

// Pieces' outputs, in range order: produce(begin, end, chunk) fills one chunk.
template <class T, class Produce>
std::vector<std::vector<T>> collect_chunks(std::size_t begin, std::size_t end,
                                           Splitter splitter, bool migrated,
                                           const Produce& produce) {
    std::vector<std::vector<T>> chunks;
    if (!splitter.try_split(end - begin, migrated)) {
        std::vector<T> chunk;
        produce(begin, end, chunk);
        if (!chunk.empty()) chunks.push_back(std::move(chunk));
        return chunks;
    }
    const std::size_t mid = begin + (end - begin) / 2;
    const Worker* origin = current_worker();
    std::vector<std::vector<T>> right;
    join([&] { chunks = collect_chunks<T>(begin, mid, splitter, false, produce); },
         [&] { right = collect_chunks<T>(mid, end, splitter, current_worker() != origin, produce); });
    chunks.insert(chunks.end(), std::make_move_iterator(right.begin()),
                  std::make_move_iterator(right.end()));
    return chunks;
}

template <class T, class Produce>
std::vector<std::vector<T>> run_collect(std::size_t n, std::size_t min_len, const Produce& produce) {
    std::vector<std::vector<T>> chunks;
    run_in_pool([&] {
        chunks = collect_chunks<T>(0, n, Splitter(pool_worker_count(), min_len), false, produce);
    });
    return chunks;
}

}  // namespace pool_detail

// Calls body(begin, end) on disjoint pieces covering [0, n), in parallel.
template <class Body>
void parallel_for_ranges(std::size_t n, std::size_t min_len, const Body& body) {
    if (n == 0) return;
    run_in_pool([&] {
        pool_detail::split_range(0, n, pool_detail::Splitter(pool_worker_count(), min_len), false,
                                 body);
    });
}

// body(i) for every i in [0, n).
template <class Body>
void parallel_for_each_index(std::size_t n, const Body& body, std::size_t min_len = 1) {
    parallel_for_ranges(n, min_len, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) body(i);
    });
}

// Runs produce(begin, end, out) on pieces of [0, n), each appending to its
// own vector, and concatenates the pieces in range order.
template <class T, class Produce>
std::vector<T> parallel_collect(std::size_t n, const Produce& produce, std::size_t min_len = 1) {
    std::vector<std::vector<T>> chunks = pool_detail::run_collect<T>(n, min_len, produce);
    if (chunks.size() == 1) return std::move(chunks.front());
    std::size_t total = 0;
    for (const auto& chunk : chunks) total += chunk.size();
    std::vector<T> out;
    out.reserve(total);
    for (auto& chunk : chunks) {
        out.insert(out.end(), std::make_move_iterator(chunk.begin()),
                   std::make_move_iterator(chunk.end()));
    }
    return out;
}

// The values f(i) that are present, for i in [0, n), in ascending i.
template <class F>
auto parallel_filter_map(std::size_t n, const F& f, std::size_t min_len = 1) {
    using T = typename std::invoke_result_t<const F&, std::size_t>::value_type;
    return parallel_collect<T>(
        n,
        [&](std::size_t begin, std::size_t end, std::vector<T>& out) {
            for (std::size_t i = begin; i < end; ++i) {
                if (std::optional<T> value = f(i)) out.push_back(std::move(*value));
            }
        },
        min_len);
}

}  // namespace quorix
