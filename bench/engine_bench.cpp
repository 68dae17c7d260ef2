// Throughput of label_encode and encode_object_array on one large string
// column, with one and two workers, and of the map hash (XXH3 vs std::hash).
//
// Usage: engine_bench [rows] [repetitions]; prints a markdown table.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/label_encode.hpp"
#include "engine/encode_object_array.hpp"
#include "engine/pool.hpp"

namespace {

using namespace quorix;
using Clock = std::chrono::steady_clock;

// `distinct` different texts of 3 to 12 ASCII letters and digits.
std::vector<std::string> distinct_texts(std::size_t distinct, std::mt19937_64& random) {
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::unordered_set<std::string> seen;
    seen.reserve(distinct);
    std::vector<std::string> texts;
    texts.reserve(distinct);
    while (texts.size() < distinct) {
        std::string text(3 + random() % 10, ' ');
        for (char& c : text) c = alphabet[random() % 62];
        if (seen.insert(text).second) texts.push_back(std::move(text));
    }
    return texts;
}

GatheredColumns table_of(std::size_t rows, std::size_t distinct, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    const auto values = distinct_texts(distinct, random);
    GatheredColumns table(rows, 1);
    table.columns[0].is_string = true;
    TextColumn& column = table.columns[0].texts;
    column.reserve(rows, rows * 8);
    if (distinct == rows) {
        for (const auto& value : values) column.push_back(value);  // every value once, random order
    } else {
        for (std::size_t r = 0; r < rows; ++r) column.push_back(values[random() % distinct]);
    }
    return table;
}

// `release` runs before each timed run: results are freed outside the
// timing, as a caller keeps them (an Encoder holds its maps).
template <class F>
double best_seconds(int repetitions, F&& run, const std::function<void()>& release = [] {}) {
    double best = 1e300;
    for (int i = 0; i < repetitions; ++i) {
        release();
        const auto start = Clock::now();
        run();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

// std::hash with the same per-map seed treatment as SeededHash.
struct StdSeededHash {
    using is_transparent = void;
    std::uint64_t seed = next_hash_seed();
    std::size_t operator()(std::string_view text) const noexcept {
        std::uint64_t x = std::hash<std::string_view>{}(text) ^ seed;
        x ^= x >> 31;
        x *= 0x9e3779b97f4a7c15ULL;
        return static_cast<std::size_t>(x ^ (x >> 29));
    }
};

template <class Map>
double map_seconds(const TextColumn& column, int repetitions) {
    return best_seconds(repetitions, [&] {
        Map map;
        map.reserve(1024);
        for (std::size_t r = 0; r < column.size(); ++r) {
            map.try_emplace(std::string(column[r]), std::optional<Code>(r));
        }
        volatile std::size_t found = 0;
        for (std::size_t r = 0; r < column.size(); ++r) found = found + map.count(column[r]);
    });
}

// What two plain threads gain over one on a compute loop: the ceiling this
// machine allows at the moment for any W2/W1 below.
double two_thread_ceiling(int repetitions) {
    std::vector<double> out(1 << 22);
    const auto work = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out[i] = std::sqrt(double(i)) * std::sin(double(i));
    };
    const double one = best_seconds(repetitions, [&] { work(0, out.size()); });
    const double two = best_seconds(repetitions, [&] {
        std::thread other([&] { work(out.size() / 2, out.size()); });
        work(0, out.size() / 2);
        other.join();
    });
    return one / two;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10'000'000;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
    Pool& one = Pool::create(1);
    Pool& two = Pool::create(2);

    std::printf("rows = %zu, best of %d; two plain threads vs one on a compute loop: %.2fx\n\n",
                rows, repetitions, two_thread_ceiling(5));
    std::printf("| operation | rows | distinct | W=1 Mtexts/s | W=2 Mtexts/s | W2/W1 |\n");
    std::printf("|---|---:|---:|---:|---:|---:|\n");
    // Few and some distinct texts over `rows`, then columns of only distinct
    // texts at growing sizes.
    std::vector<std::pair<std::size_t, std::size_t>> cases{{rows, 100}, {rows, 100'000}};
    for (const std::size_t distinct : {std::size_t{1'000'000}, std::size_t{4'000'000}, std::size_t{10'000'000}}) {
        if (distinct <= rows) cases.emplace_back(distinct, distinct);
    }
    for (const auto& [case_rows, distinct] : cases) {
        const GatheredColumns table = table_of(case_rows, distinct, distinct);
        std::vector<double> matrix(case_rows);
        std::optional<LabelEncoding> encoded;
        std::optional<EncodingInfo> info;
        const auto label = [&] { encoded = label_encode(table.columns[0].texts); };
        const auto driver = [&] { info = encode_object_array(table, matrix.data()); };
        const auto release = [&] {
            encoded.reset();
            info.reset();
        };
        for (const auto& [name, run] : {std::pair<const char*, std::function<void()>>{"label_encode", label},
                                        {"encode_object_array", driver}}) {
            const double t1 = best_seconds(repetitions, [&] { one.install(run); }, release);
            const double t2 = best_seconds(repetitions, [&] { two.install(run); }, release);
            std::printf("| %s | %zu | %zu | %.1f | %.1f | %.2f |\n", name, case_rows, distinct,
                        case_rows / t1 / 1e6, case_rows / t2 / 1e6, t1 / t2);
            std::fflush(stdout);
        }
    }

    // The map hash: insert every row's text (distinct ones stay) and look each up.
    std::printf("\n| map hash | distinct | rows | Mtexts/s |\n|---|---:|---:|---:|\n");
    const std::size_t hash_rows = std::min<std::size_t>(rows, 2'000'000);
    for (const std::size_t distinct : {std::size_t{100'000}, hash_rows}) {
        const GatheredColumns table = table_of(hash_rows, distinct, distinct + 1);
        const TextColumn& column = table.columns[0].texts;
        const double xxh3 = map_seconds<TextToCode>(column, repetitions);
        const double std_hash = map_seconds<
            std::unordered_map<std::string, std::optional<Code>, StdSeededHash, std::equal_to<>>>(column, repetitions);
        std::printf("| XXH3 (SeededHash) | %zu | %zu | %.1f |\n", distinct, hash_rows, hash_rows / xxh3 / 1e6);
        std::printf("| std::hash, seeded | %zu | %zu | %.1f |\n", distinct, hash_rows,
                    hash_rows / std_hash / 1e6);
    }
    return 0;
}
