// The worker pool: its size rules, fork-join, loops, ordering, failures.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <new>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine_test_support.hpp"
#include "engine/internal_error.hpp"
#include "engine/parallel_loops.hpp"
#include "engine/parallel_sort.hpp"
#include "engine/pool.hpp"

extern char** environ;

namespace quorix {
namespace {

using testing::run_on;
using testing::test_pool;

// ---- Worker count rules -------------------------------------------------------

struct ParseCase {
    const char* text;
    std::optional<std::size_t> expected;
};

class ParseThreadCount : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseThreadCount, AcceptsOnlyUnsignedDecimals) {
    EXPECT_EQ(parse_thread_count(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseThreadCount,
    ::testing::Values(ParseCase{nullptr, std::nullopt}, ParseCase{"", std::nullopt},
                      ParseCase{"+", std::nullopt}, ParseCase{"-", std::nullopt},
                      ParseCase{"-1", std::nullopt}, ParseCase{"abc", std::nullopt},
                      ParseCase{"4x", std::nullopt}, ParseCase{" 4", std::nullopt},
                      ParseCase{"4 ", std::nullopt}, ParseCase{"++4", std::nullopt},
                      ParseCase{"18446744073709551616", std::nullopt},
                      ParseCase{"0", 0}, ParseCase{"4", 4}, ParseCase{"+4", 4},
                      ParseCase{"007", 7}, ParseCase{"18446744073709551615", 18446744073709551615ULL}));

struct DecideCase {
    std::map<std::string, std::string> env;
    std::size_t expected;  // 0 stands for "the available count"
};

class DecideWorkerCount : public ::testing::TestWithParam<DecideCase> {};

TEST_P(DecideWorkerCount, FollowsTheVariablesInOrder) {
    const auto& env = GetParam().env;
    const auto lookup = [&](const char* name) -> const char* {
        const auto entry = env.find(name);
        return entry == env.end() ? nullptr : entry->second.c_str();
    };
    constexpr std::size_t available = 6;
    const std::size_t expected = GetParam().expected == 0 ? available : GetParam().expected;
    EXPECT_EQ(decide_worker_count(lookup, [] { return available; }), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Environments, DecideWorkerCount,
    ::testing::Values(
        DecideCase{{}, 0}, DecideCase{{{"RAYON_NUM_THREADS", "3"}}, 3},
        DecideCase{{{"RAYON_NUM_THREADS", "3"}, {"RAYON_RS_NUM_CPUS", "5"}}, 3},
        DecideCase{{{"RAYON_NUM_THREADS", "0"}, {"RAYON_RS_NUM_CPUS", "5"}}, 0},
        DecideCase{{{"RAYON_NUM_THREADS", "abc"}, {"RAYON_RS_NUM_CPUS", "5"}}, 5},
        DecideCase{{{"RAYON_NUM_THREADS", "-"}, {"RAYON_RS_NUM_CPUS", "5"}}, 5},
        DecideCase{{{"RAYON_NUM_THREADS", ""}, {"RAYON_RS_NUM_CPUS", "5"}}, 5},
        DecideCase{{{"RAYON_NUM_THREADS", "-2"}}, 0}, DecideCase{{{"RAYON_RS_NUM_CPUS", "0"}}, 0},
        DecideCase{{{"RAYON_RS_NUM_CPUS", "+9"}}, 9}, DecideCase{{{"RAYON_RS_NUM_CPUS", "x"}}, 0}));

TEST(CgroupQuota, WholeCpusRoundedDownAtLeastOne) {
    EXPECT_EQ(cgroup_v2_cpu_quota("max 100000\n"), std::nullopt);
    EXPECT_EQ(cgroup_v2_cpu_quota("200000 100000\n"), 2u);
    EXPECT_EQ(cgroup_v2_cpu_quota("250000 100000"), 2u);
    EXPECT_EQ(cgroup_v2_cpu_quota("50000 100000"), 1u);
    EXPECT_EQ(cgroup_v2_cpu_quota("garbage"), std::nullopt);
    EXPECT_EQ(cgroup_v1_cpu_quota("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(cgroup_v1_cpu_quota("300000\n", "100000\n"), 3u);
    EXPECT_EQ(cgroup_v1_cpu_quota("10000", "100000"), 1u);
    EXPECT_GE(available_processors(), 1u);
}

// The global pool's size is fixed per process, so each case runs this test
// binary again with a chosen environment and reads the count from the exit code.
TEST(PoolChild, DISABLED_ExitWithWorkerCount) {
    const std::size_t workers = pool_worker_count();
    // The variables are read once: changing them now changes nothing.
    setenv("RAYON_NUM_THREADS", "7", 1);
    const std::size_t sum = parallel_filter_map(1000, [](std::size_t i) {
        return std::optional<std::size_t>(i);
    }).size();
    std::_Exit(pool_worker_count() == workers && sum == 1000 ? static_cast<int>(workers) : 255);
}

int worker_count_in_child(const std::vector<std::string>& settings) {
    std::vector<std::string> env_texts;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (text.rfind("RAYON_", 0) != 0 && text.rfind("GTEST_", 0) != 0) env_texts.push_back(text);
    }
    env_texts.insert(env_texts.end(), settings.begin(), settings.end());
    std::vector<char*> env;
    for (auto& text : env_texts) env.push_back(text.data());
    env.push_back(nullptr);
    std::string program = "/proc/self/exe";
    std::string filter = "--gtest_filter=PoolChild.DISABLED_ExitWithWorkerCount";
    std::string disabled = "--gtest_also_run_disabled_tests";
    char* argv[] = {program.data(), filter.data(), disabled.data(), nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, env.data()) != 0) return -1;
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

struct ChildCase {
    std::vector<std::string> env;
    int expected;  // 0 stands for "the available count"
};

class GlobalPoolSize : public ::testing::TestWithParam<ChildCase> {};

TEST_P(GlobalPoolSize, IsDecidedFromTheEnvironmentAtCreation) {
    const int expected = GetParam().expected == 0 ? static_cast<int>(available_processors())
                                                  : GetParam().expected;
    EXPECT_EQ(worker_count_in_child(GetParam().env), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Environments, GlobalPoolSize,
    ::testing::Values(ChildCase{{}, 0}, ChildCase{{"RAYON_NUM_THREADS=1"}, 1},
                      ChildCase{{"RAYON_NUM_THREADS=3"}, 3},
                      ChildCase{{"RAYON_NUM_THREADS=+5"}, 5},
                      ChildCase{{"RAYON_NUM_THREADS=0", "RAYON_RS_NUM_CPUS=5"}, 0},
                      ChildCase{{"RAYON_NUM_THREADS=abc", "RAYON_RS_NUM_CPUS=4"}, 4},
                      ChildCase{{"RAYON_NUM_THREADS=", "RAYON_RS_NUM_CPUS=4"}, 4},
                      ChildCase{{"RAYON_NUM_THREADS=-", "RAYON_RS_NUM_CPUS=4"}, 4},
                      ChildCase{{"RAYON_RS_NUM_CPUS=6"}, 6}));

// ---- Fork-join and loops, for several worker counts -----------------------------

class PoolWith : public ::testing::TestWithParam<std::size_t> {
protected:
    std::size_t workers() const { return GetParam(); }
};

TEST_P(PoolWith, RunsEveryItemExactlyOnce) {
    for (const std::size_t n : {0u, 1u, 2u, 3u, 1000u, 100003u}) {
        std::vector<std::atomic<int>> runs(n);
        test_pool(workers()).install([&] {
            parallel_for_each_index(n, [&](std::size_t i) { runs[i].fetch_add(1); });
        });
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(runs[i].load(), 1) << "item " << i << " of " << n;
    }
}

TEST_P(PoolWith, CollectedResultsKeepItemOrder) {
    for (const std::size_t n : {0u, 1u, 7u, 4096u, 200001u}) {
        // Keep the multiples of 3, as their squares: order and filtering both show.
        const auto kept = run_on(workers(), [&] {
            return parallel_filter_map(n, [](std::size_t i) {
                return i % 3 == 0 ? std::optional<std::uint64_t>(std::uint64_t{i} * i) : std::nullopt;
            });
        });
        std::vector<std::uint64_t> expected;
        for (std::size_t i = 0; i < n; i += 3) expected.push_back(std::uint64_t{i} * i);
        ASSERT_EQ(kept, expected) << "n = " << n;

        // Pieces that append several values each are joined in range order.
        const auto collected = run_on(workers(), [&] {
            return parallel_collect<std::size_t>(n, [](std::size_t begin, std::size_t end, std::vector<std::size_t>& out) {
                for (std::size_t i = begin; i < end; ++i) out.insert(out.end(), {2 * i, 2 * i + 1});
            });
        });
        ASSERT_EQ(collected.size(), 2 * n);
        for (std::size_t i = 0; i < 2 * n; ++i) ASSERT_EQ(collected[i], i);
    }
}

// Fibonacci by naive recursion: deep nesting of forks from inside jobs.
std::uint64_t fib(unsigned n) {
    if (n < 2) return n;
    std::uint64_t a = 0, b = 0;
    join([&] { a = fib(n - 1); }, [&] { b = fib(n - 2); });
    return a + b;
}

TEST_P(PoolWith, NestedForksComputeLikeSequentialCode) {
    EXPECT_EQ(run_on(workers(), [] { return fib(22); }), 17711u);
    // Loops inside loops inside loops.
    const auto sums = run_on(workers(), [] {
        return parallel_filter_map(40, [](std::size_t i) {
            const auto inner = parallel_filter_map(i * 100, [](std::size_t j) {
                return std::optional<std::size_t>(j);
            });
            return std::optional<std::size_t>(std::accumulate(inner.begin(), inner.end(), std::size_t{0}));
        });
    });
    for (std::size_t i = 0; i < 40; ++i) {
        const std::size_t m = i * 100;
        EXPECT_EQ(sums[i], m * (m == 0 ? 0 : m - 1) / 2);
    }
}

struct DeepFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void fail_deep_inside(unsigned depth, unsigned failing_leaf, unsigned& leaf) {
    if (depth == 0) {
        // Leaves are numbered in the order a sequential run would reach them.
        if (leaf == failing_leaf) throw DeepFailure("leaf " + std::to_string(failing_leaf));
        return;
    }
    unsigned left_leaf = leaf, right_leaf = leaf + (1u << (depth - 1));
    join([&] { fail_deep_inside(depth - 1, failing_leaf, left_leaf); },
         [&] { fail_deep_inside(depth - 1, failing_leaf, right_leaf); });
}

TEST_P(PoolWith, ExceptionDeepInsideReachesTheCallerAndPoolStaysUsable) {
    for (const unsigned failing : {0u, 1u, 511u, 1023u}) {
        try {
            test_pool(workers()).install([&] {
                unsigned leaf = 0;
                fail_deep_inside(10, failing, leaf);
            });
            ADD_FAILURE() << "no exception for leaf " << failing;
        } catch (const DeepFailure& failure) {
            EXPECT_EQ(std::string(failure.what()), "leaf " + std::to_string(failing));
        }
    }
    EXPECT_EQ(run_on(workers(), [] { return fib(15); }), 610u);
}

TEST_P(PoolWith, FirstHalfFailureWinsAfterBothHalvesFinished) {
    std::atomic<bool> second_finished{false};
    try {
        test_pool(workers()).install([&] {
            join([] { throw std::runtime_error("first"); },
                 [&] {
                     fib(18);
                     second_finished = true;
                     throw std::logic_error("second");
                 });
        });
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "first");
    }
    EXPECT_TRUE(second_finished.load());
    EXPECT_THROW(test_pool(workers()).install([] { join([] {}, [] { throw std::logic_error("b"); }); }),
                 std::logic_error);
}

TEST_P(PoolWith, AllocationFailureAndInternalErrorTravelToo) {
    EXPECT_THROW(test_pool(workers()).install([] {
                     parallel_for_each_index(10000, [](std::size_t i) {
                         if (i == 6789) throw std::bad_alloc();
                     });
                 }),
                 std::bad_alloc);
    try {
        test_pool(workers()).install([] {
            parallel_for_each_index(10000, [](std::size_t i) {
                if (i == 4321) panic("no entry found for key");
            });
        });
        ADD_FAILURE() << "no exception";
    } catch (const InternalError& error) {
        EXPECT_EQ(std::string(error.what()), "no entry found for key");
    }
}

TEST_P(PoolWith, ParallelSortMatchesStdSort) {
    std::mt19937_64 random(workers());
    for (const std::size_t n : {0u, 1u, 100u, 5000u, 300000u}) {
        for (const std::size_t alphabet : {1u, 3u, 256u}) {
            std::vector<std::string> storage(n);
            for (auto& text : storage) {
                text.resize(random() % 6);
                for (char& c : text) c = static_cast<char>(random() % alphabet);
            }
            std::vector<std::string_view> views(storage.begin(), storage.end());
            std::vector<std::string_view> expected = views;
            std::sort(expected.begin(), expected.end());
            test_pool(workers()).install([&] { parallel_sort(std::span<std::string_view>(views)); });
            ASSERT_EQ(views, expected) << "n = " << n << ", alphabet = " << alphabet;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Workers, PoolWith, ::testing::Values(1, 2, 8));

TEST(GlobalPool, OutsideThreadsHandTheirForkIn) {
    // Several non-worker threads fork at once; each waits on its own latch.
    std::vector<std::thread> callers;
    std::vector<std::uint64_t> results(4);
    for (std::size_t t = 0; t < results.size(); ++t) {
        callers.emplace_back([&, t] { join([&] { results[t] = fib(16); }, [] {}); });
    }
    for (auto& caller : callers) caller.join();
    for (const auto result : results) EXPECT_EQ(result, 987u);
    EXPECT_GE(pool_worker_count(), 1u);
}

}  // namespace
}  // namespace quorix
