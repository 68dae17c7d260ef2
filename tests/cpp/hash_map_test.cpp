// HashMap against std::unordered_map: random sequences of the operations the
// engine uses, then the properties the map promises (stable references,
// insertion-order walks, a seed per map).
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/hash_map.hpp"

namespace quorix {
namespace {

using Value = std::optional<std::uint64_t>;
using Map = HashMap<std::uint64_t, Value>;
using Model = std::unordered_map<std::uint64_t, Value>;

// Keys drawn from a pool small enough to repeat often: integers near 0 and
// near the top of the range.
std::uint64_t draw_key(std::mt19937_64& random, std::size_t pool) {
    const std::uint64_t pick = random() % pool;
    return pick % 2 == 0 ? pick : std::numeric_limits<std::uint64_t>::max() - pick;
}

::testing::AssertionResult same_content(const Map& actual, const Model& model) {
    if (actual.size() != model.size()) {
        return ::testing::AssertionFailure() << "sizes " << actual.size() << " vs " << model.size();
    }
    std::size_t walked = 0;
    for (const auto& [key, value] : actual) {
        ++walked;
        const auto expected = model.find(key);
        if (expected == model.end()) return ::testing::AssertionFailure() << "extra key";
        if (expected->second != value) return ::testing::AssertionFailure() << "wrong value";
    }
    if (walked != model.size()) return ::testing::AssertionFailure() << "walked " << walked;
    for (const auto& [key, value] : model) {
        const auto found = actual.find(key);
        if (found == actual.end() || found->first != key || found->second != value) {
            return ::testing::AssertionFailure() << "key missing or wrong";
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(HashMap, RandomOperationsMatchTheStandardMap) {
    for (const std::uint64_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        std::mt19937_64 random(seed);
        // Small pools repeat keys a lot; large ones grow the map far.
        const std::size_t pool = seed % 2 == 0 ? 40 : 20000;
        Map actual;
        Model model;
        if (seed % 3 == 0) actual.reserve(random() % 5000);
        for (int step = 0; step < 30000; ++step) {
            const std::uint64_t key = draw_key(random, pool);
            const Value value = random() % 4 == 0 ? Value() : Value(random());
            switch (random() % 5) {
                case 0: {
                    const auto [entry, inserted] = actual.emplace(key, value);
                    const auto [expected, model_inserted] = model.try_emplace(key, value);
                    ASSERT_EQ(inserted, model_inserted) << "seed " << seed << " step " << step;
                    ASSERT_EQ(entry->second, expected->second);
                    break;
                }
                case 1: {
                    const auto [entry, inserted] = actual.insert_or_assign(key, value);
                    ASSERT_EQ(inserted, model.insert_or_assign(key, value).second);
                    ASSERT_EQ(entry->second, value);
                    break;
                }
                case 2: {
                    const auto found = actual.find(key);
                    const auto expected = model.find(key);
                    ASSERT_EQ(found == actual.end(), expected == model.end());
                    if (expected != model.end()) {
                        ASSERT_EQ(found->second, expected->second);
                    }
                    break;
                }
                case 3:
                    ASSERT_EQ(actual.contains(key), model.contains(key));
                    break;
                default:
                    if (random() % 50 == 0) actual.reserve(actual.size() + random() % 3000);
                    break;
            }
            if (step % 5000 == 0) {
                ASSERT_TRUE(same_content(actual, model)) << "seed " << seed;
            }
        }
        ASSERT_TRUE(same_content(actual, model)) << "seed " << seed;
    }
}

TEST(HashMap, GrowthKeepsReferencesAndInsertionOrder) {
    std::mt19937_64 random(7);
    Map map;
    std::vector<std::uint64_t> inserted;
    std::vector<const Value*> addresses;
    for (int step = 0; step < 50000; ++step) {
        const std::uint64_t key = draw_key(random, 1'000'000);
        const auto [entry, added] = map.emplace(key, Value(step));
        if (!added) continue;
        inserted.push_back(key);
        addresses.push_back(&entry->second);
    }
    ASSERT_EQ(map.size(), inserted.size());
    std::size_t n = 0;
    for (const auto& entry : map) {
        ASSERT_EQ(entry.first, inserted[n]);
        ASSERT_EQ(&entry.second, addresses[n]) << "entry " << n << " moved";
        ASSERT_EQ(&map.find(inserted[n])->second, addresses[n]);
        ++n;
    }
    ASSERT_EQ(n, inserted.size());
}

TEST(HashMap, EmptyAndReservedMapsAnswerAndFillUp) {
    const HashMap<std::uint64_t, std::string> empty;
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_EQ(empty.begin(), empty.end());
    EXPECT_EQ(empty.find(0), empty.end());
    EXPECT_FALSE(empty.contains(5));
    for (const std::size_t n : {1u, 7u, 100u, 4096u, 100000u}) {
        HashMap<std::uint64_t, std::string> map;
        map.reserve(n);
        EXPECT_EQ(map.size(), 0u);
        for (std::uint64_t key = 0; key <= n; ++key) map.emplace(key, std::to_string(key));
        ASSERT_EQ(map.size(), n + 1);
        for (std::uint64_t key = 0; key <= n; ++key) ASSERT_EQ(map.find(key)->second, std::to_string(key));
    }
}

TEST(HashMap, AbsurdReservationsThrowAndChangeNothing) {
    Map map;
    map.emplace(1, 1);
    for (const std::size_t n : {SlotIndex::max_entries() + 1, std::numeric_limits<std::size_t>::max()}) {
        EXPECT_THROW(map.reserve(n), std::length_error);
        EXPECT_TRUE(same_content(map, {{1, 1}}));
    }
}

TEST(HashMap, CopiesAndMovesKeepTheEntries) {
    Map original;
    original.emplace(1, std::nullopt);
    original.emplace(2, 1);
    original.emplace(std::numeric_limits<std::uint64_t>::max(), 2);
    const Model model{{1, std::nullopt}, {2, 1}, {std::numeric_limits<std::uint64_t>::max(), 2}};
    Map copy = original;
    EXPECT_TRUE(same_content(copy, model));
    copy.insert_or_assign(3, 3);
    EXPECT_FALSE(original.contains(3));

    Map moved = std::move(original);
    EXPECT_TRUE(same_content(moved, model));
    EXPECT_EQ(original.size(), 0u);  // a moved-from map is empty and usable
    original.emplace(4, 4);
    EXPECT_TRUE(same_content(original, {{4, 4}}));

    moved = std::move(copy);
    EXPECT_EQ(moved.size(), 4u);
    moved = original;
    EXPECT_TRUE(same_content(moved, {{4, 4}}));
    moved = Map();
    EXPECT_EQ(moved.size(), 0u);
}

// Every map hashes under a seed of its own: keys colliding in one map are
// spread in another.
TEST(HashMap, EveryHasherDrawsItsOwnSeed) {
    const SeededHash first, second;
    std::size_t same = 0;
    for (std::uint64_t key = 0; key < 64; ++key) same += first(key) == second(key) ? 1 : 0;
    EXPECT_EQ(same, 0u);
    EXPECT_NE(first(std::string_view("text")), second(std::string_view("text")));
}

TEST(HashMap, NestedMapsMoveIntoTheOuterMap) {
    HashMap<std::size_t, Map> outer;
    std::unordered_map<std::size_t, Model> model;
    std::mt19937_64 random(11);
    for (std::size_t column = 0; column < 40; ++column) {
        Map inner;
        const std::size_t n = random() % 300;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t key = draw_key(random, 500);
            inner.insert_or_assign(key, Value(i));
            model[column][key] = Value(i);
        }
        const Value* first = inner.size() == 0 ? nullptr : &inner.begin()->second;
        const auto [entry, added] = outer.emplace(column, std::move(inner));
        ASSERT_TRUE(added);
        if (first) {
            EXPECT_EQ(&entry->second.begin()->second, first) << "moving a map moves no entry";
        }
    }
    ASSERT_EQ(outer.size(), 40u);
    for (std::size_t column = 0; column < 40; ++column) {
        ASSERT_TRUE(same_content(outer.find(column)->second, model[column])) << "column " << column;
    }
}

}  // namespace
}  // namespace quorix
