// HashMap against std::unordered_map: random sequences of the operations the
// engine uses, then the properties the flat layout promises (stable
// references, insertion-order walks, reserve that holds).
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/hash_map.hpp"

namespace quorix {
namespace {

// Keys drawn from a pool small enough to repeat often: texts with NUL and
// high bytes, the empty text and texts longer than a short-string buffer;
// integers near 0 and near the top of the range.
template <class K>
struct Keys;

template <>
struct Keys<std::string> {
    static std::string draw(std::mt19937_64& random, std::size_t pool) {
        const std::size_t pick = random() % pool;
        if (pick == 0) return "";
        std::string text = std::to_string(pick);
        if (pick % 7 == 0) text.insert(text.begin() + 1, '\0');
        if (pick % 11 == 0) text += "\xC3\xA9";
        if (pick % 5 == 0) text += std::string(24, 'x');  // beyond the short-string buffer
        return text;
    }
};

template <>
struct Keys<std::uint64_t> {
    static std::uint64_t draw(std::mt19937_64& random, std::size_t pool) {
        const std::uint64_t pick = random() % pool;
        return pick % 2 == 0 ? pick : std::numeric_limits<std::uint64_t>::max() - pick;
    }
};

using Value = std::optional<std::uint64_t>;

template <class K>
::testing::AssertionResult same_content(const HashMap<K, Value>& actual,
                                        const std::unordered_map<K, Value>& model) {
    if (actual.size() != model.size() || actual.empty() != model.empty()) {
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

template <class K>
class HashMapDifferential : public ::testing::Test {};
using KeyTypes = ::testing::Types<std::string, std::uint64_t>;
TYPED_TEST_SUITE(HashMapDifferential, KeyTypes);

TYPED_TEST(HashMapDifferential, RandomOperationsMatchTheStandardMap) {
    using K = TypeParam;
    for (const std::uint64_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        std::mt19937_64 random(seed);
        // Small pools repeat keys a lot; large ones grow the map far.
        const std::size_t pool = seed % 2 == 0 ? 40 : 20000;
        HashMap<K, Value> actual;
        std::unordered_map<K, Value> model;
        if (seed % 3 == 0) actual.reserve(random() % 5000);
        for (int step = 0; step < 30000; ++step) {
            const K key = Keys<K>::draw(random, pool);
            const Value value = random() % 4 == 0 ? Value() : Value(random());
            switch (random() % 8) {
                case 0: {
                    const auto [entry, inserted] = actual.try_emplace(key, value);
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
                case 2:
                    actual[key] = value;
                    model[key] = value;
                    break;
                case 3:
                    ASSERT_EQ(actual.emplace(key, value).second, model.emplace(key, value).second);
                    break;
                case 4:
                    if (model.contains(key)) {
                        ASSERT_EQ(actual.at(key), model.at(key));
                    } else {
                        ASSERT_THROW(actual.at(key), std::out_of_range);
                    }
                    break;
                case 5:
                    ASSERT_EQ(actual.count(key), model.count(key));
                    ASSERT_EQ(actual.contains(key), model.contains(key));
                    break;
                case 6:
                    if (random() % 50 == 0) actual.reserve(actual.size() + random() % 3000);
                    break;
                default:
                    ASSERT_EQ(actual.find(key) == actual.end(), !model.contains(key));
                    break;
            }
            if (step % 5000 == 0) {
                ASSERT_TRUE(same_content(actual, model)) << "seed " << seed;
            }
        }
        ASSERT_TRUE(same_content(actual, model)) << "seed " << seed;
    }
}

TYPED_TEST(HashMapDifferential, GrowthKeepsReferencesAndInsertionOrder) {
    using K = TypeParam;
    std::mt19937_64 random(7);
    HashMap<K, Value> map;
    std::vector<K> inserted;
    std::vector<const Value*> addresses;
    for (int step = 0; step < 50000; ++step) {
        K key = Keys<K>::draw(random, 1'000'000);
        const auto [entry, added] = map.try_emplace(key, Value(step));
        if (!added) continue;
        inserted.push_back(std::move(key));
        addresses.push_back(&entry->second);
    }
    ASSERT_EQ(map.size(), inserted.size());
    std::size_t n = 0;
    for (const auto& entry : map) {
        ASSERT_EQ(entry.first, inserted[n]);
        ASSERT_EQ(&entry.second, addresses[n]) << "entry " << n << " moved";
        ASSERT_EQ(&map.nth(n)->second, addresses[n]);
        ++n;
    }
    ASSERT_EQ(n, inserted.size());
}

TEST(HashMap, TextsAreLookedUpByViewWithNulAndEmptyTexts) {
    HashMap<std::string, Value> map;
    const std::string with_nul("a\0b", 3);
    map.try_emplace(with_nul, 1);
    map.try_emplace("", 2);
    map.try_emplace(std::string_view("a"), 3);
    EXPECT_EQ(map.size(), 3u);
    EXPECT_EQ(map.at(std::string_view(with_nul)), Value(1));
    EXPECT_EQ(map.at(""), Value(2));
    EXPECT_EQ(map.at("a"), Value(3));
    EXPECT_FALSE(map.contains(std::string_view("a\0c", 3)));
    EXPECT_FALSE(map.contains("b"));
    EXPECT_THROW(map.at("ab"), std::out_of_range);
}

TEST(HashMap, EmptyMapsAnswerWithoutAnIndex) {
    const HashMap<std::uint64_t, std::string> map;
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(map.begin(), map.end());
    EXPECT_EQ(map.find(0), map.end());
    EXPECT_EQ(map.count(5), 0u);
    EXPECT_THROW(map.at(0), std::out_of_range);
    EXPECT_EQ(map.slot_count(), 0u);
    EXPECT_EQ(map.capacity(), 0u);
}

TEST(HashMap, ReserveSizesOnceAndNoMoreThanAsked) {
    for (const std::size_t n : {1u, 7u, 100u, 4096u, 100000u}) {
        HashMap<std::uint64_t, std::string> map;
        map.reserve(n);
        EXPECT_EQ(map.capacity(), n) << "an empty map reserves exactly";
        const std::size_t slots = map.slot_count();
        EXPECT_LE(slots, 4 * n + 8) << n;
        for (std::uint64_t key = 0; key < n; ++key) map.try_emplace(key, std::to_string(key));
        EXPECT_EQ(map.capacity(), n);
        EXPECT_EQ(map.slot_count(), slots) << "the index grew within the reservation";
        map.try_emplace(std::uint64_t{n}, "one more");
        EXPECT_EQ(map.size(), n + 1);
        for (std::uint64_t key = 0; key < n; ++key) ASSERT_EQ(map.at(key), std::to_string(key));
    }
    // A map that holds entries reserves at most half its capacity again.
    HashMap<std::uint64_t, std::string> map;
    map.reserve(1000);
    for (std::uint64_t key = 0; key < 1000; ++key) map.try_emplace(key, "");
    map.reserve(1001);
    EXPECT_EQ(map.capacity(), 1500u);
}

TEST(HashMap, AbsurdReservationsThrowAndChangeNothing) {
    HashMap<std::string, Value> map{{"a", 1}};
    for (const std::size_t n : {HashMap<std::string, Value>::max_size() + 1, std::numeric_limits<std::size_t>::max()}) {
        EXPECT_THROW(map.reserve(n), std::length_error);
        EXPECT_EQ(map.size(), 1u);
        EXPECT_EQ(map.at("a"), Value(1));
    }
}

TEST(HashMap, CopiesAndMovesKeepTheEntries) {
    HashMap<std::string, Value> original{{"x", std::nullopt}, {"y", 1}, {std::string(40, 'z'), 2}};
    HashMap<std::string, Value> copy = original;
    EXPECT_EQ(copy, original);
    EXPECT_NE(copy.hash_function().seed(), original.hash_function().seed());
    copy["w"] = 3;
    EXPECT_NE(copy, original);
    EXPECT_FALSE(original.contains("w"));

    HashMap<std::string, Value> moved = std::move(original);
    EXPECT_EQ(moved.size(), 3u);
    EXPECT_TRUE(original.empty());  // a moved-from map is empty and usable
    original["again"] = 4;
    EXPECT_EQ(original.size(), 1u);

    moved = std::move(copy);
    EXPECT_EQ(moved.size(), 4u);
    moved = {{"only", 9}};
    EXPECT_EQ(moved, (HashMap<std::string, Value>{{"only", 9}}));
    moved = {};
    EXPECT_TRUE(moved.empty());
    moved.clear();
    moved["after clear"] = 1;
    EXPECT_EQ(moved.size(), 1u);
}

TEST(HashMap, EqualityIgnoresInsertionOrder) {
    HashMap<std::uint64_t, std::string> forward, backward;
    for (std::uint64_t key = 0; key < 1000; ++key) forward.try_emplace(key, std::to_string(key));
    for (std::uint64_t key = 1000; key-- > 0;) backward.try_emplace(key, std::to_string(key));
    EXPECT_EQ(forward, backward);
    backward.insert_or_assign(std::uint64_t{500}, "changed");
    EXPECT_NE(forward, backward);
}

TEST(HashMap, NestedMapsMoveIntoTheOuterMap) {
    HashMap<std::size_t, HashMap<std::string, Value>> outer;
    std::unordered_map<std::size_t, std::unordered_map<std::string, Value>> model;
    std::mt19937_64 random(11);
    for (std::size_t column = 0; column < 40; ++column) {
        HashMap<std::string, Value> inner;
        const std::size_t n = random() % 300;
        for (std::size_t i = 0; i < n; ++i) {
            const std::string key = Keys<std::string>::draw(random, 500);
            inner.insert_or_assign(key, Value(i));
            model[column][key] = Value(i);
        }
        const Value* first = inner.empty() ? nullptr : &inner.begin()->second;
        const auto [entry, added] = outer.emplace(column, std::move(inner));
        ASSERT_TRUE(added);
        if (first) {
            EXPECT_EQ(&entry->second.begin()->second, first) << "moving a map moves no entry";
        }
    }
    ASSERT_EQ(outer.size(), 40u);
    for (std::size_t column = 0; column < 40; ++column) {
        ASSERT_TRUE(same_content(outer.at(column), model[column])) << "column " << column;
    }
}

}  // namespace
}  // namespace quorix
