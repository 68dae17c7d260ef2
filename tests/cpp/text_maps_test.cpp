// TextToCode and CodeToText against a model (entries in insertion order, a
// std::map to find them) under random inserts that take them from implicit
// to explicit codes; the maps filled on the pool, their inverses read from
// a shared store, and SlotIndex filled on the pool.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine_test_support.hpp"
#include "engine/label_encode.hpp"
#include "engine/encode_object_array.hpp"
#include "engine/text_maps.hpp"

namespace quorix {
namespace {

using testing::run_on;
using Texts = std::vector<std::pair<std::string, std::optional<Code>>>;
using Inverse = std::vector<std::pair<Code, std::string>>;

bool is_implicit(const TextToCode& map) { return map.codes_follow_entries(); }
bool is_implicit(const CodeToText& map) { return map.codes_are_entries(); }

// Size, iteration order, every entry found by find / at / contains / count,
// and each absent key not found (at throws).
template <class Map, class K, class V>
::testing::AssertionResult same_entries(const Map& map, const std::vector<std::pair<K, V>>& model,
                                        const std::vector<K>& absent = {}) {
    if (map.size() != model.size()) return ::testing::AssertionFailure() << "size " << map.size() << " vs " << model.size();
    std::size_t i = 0;
    for (const auto entry : map) {
        if (i == model.size() || !(entry.first == model[i].first && entry.second == model[i].second)) {
            return ::testing::AssertionFailure() << "entry " << i << " differs";
        }
        ++i;
    }
    if (i != model.size()) return ::testing::AssertionFailure() << "iteration ends after " << i;
    std::map<K, std::size_t> where;
    for (std::size_t j = 0; j < model.size(); ++j) {
        const auto& [key, value] = model[j];
        where[key] = j;
        const auto found = map.find(key);
        if (found == map.end() || !(found->second == value) || !map.contains(key) || map.count(key) != 1 ||
            !(map.at(key) == value)) {
            return ::testing::AssertionFailure() << "entry " << j << " not found as it is";
        }
    }
    for (const K& key : absent) {
        if (where.count(key)) continue;
        if (map.find(key) != map.end() || map.contains(key) || map.count(key) != 0) {
            return ::testing::AssertionFailure() << "absent key " << ::testing::PrintToString(key) << " found";
        }
        try {
            (void)map.at(key);
            return ::testing::AssertionFailure() << "at() of an absent key returned";
        } catch (const std::out_of_range&) {
        }
    }
    return ::testing::AssertionSuccess();
}

// One random step: (assign?, key, value); `model` holds the entries so far.
template <class K, class V>
using Step = std::function<std::tuple<bool, K, V>(std::mt19937_64&, std::size_t, const std::vector<std::pair<K, V>>&)>;

// Applies `steps` random steps to `map` and `model` alike, checking after each;
// copies taken on the way must keep their content. Returns the number of
// switches from implicit to explicit codes.
template <class Map, class K, class V>
int run_differential(std::uint64_t seed, std::size_t steps, const Step<K, V>& next, const std::vector<K>& absent,
                     Map map = {}, std::vector<std::pair<K, V>> model = {}) {
    std::mt19937_64 random(seed);
    std::map<K, std::size_t> where;
    for (std::size_t j = 0; j < model.size(); ++j) where[model[j].first] = j;
    std::vector<std::pair<Map, std::vector<std::pair<K, V>>>> copies;
    int switches = 0;
    for (std::size_t s = 0; s < steps; ++s) {
        const auto [assign, key, value] = next(random, s, model);
        const bool was_implicit = is_implicit(map);
        const auto found = where.find(key);
        const auto [position, inserted] = assign ? map.insert_or_assign(key, value) : map.try_emplace(key, value);
        if (found == where.end()) {
            where[key] = model.size();
            model.emplace_back(key, value);
        } else if (assign) {
            model[found->second].second = value;
        }
        EXPECT_EQ(inserted, found == where.end()) << "seed " << seed << " step " << s;
        EXPECT_TRUE(position->first == key && position->second == model[where[key]].second) << "step " << s;
        switches += was_implicit && !is_implicit(map);
        if (const auto same = same_entries(map, model, absent); !same) {
            ADD_FAILURE() << same.message() << ", seed " << seed << " step " << s;
            return switches;
        }
        if (s % 37 == 0) {
            Map assigned;
            assigned = map;
            EXPECT_TRUE(assigned == map);
            copies.emplace_back(Map(map), model);
        }
    }
    for (const auto& [copy, then] : copies) EXPECT_TRUE(same_entries(copy, then, absent)) << "seed " << seed;
    return switches;
}

const std::vector<std::string> special_texts{"", std::string(1, '\0'), std::string("a\0b", 3), "nan", "NaN",
                                             "<NA>", std::string(300, 'x'), "\xff\xfe", std::string("a\0", 2)};

template <class K, class V>
const K& any_key(std::mt19937_64& random, const std::vector<std::pair<K, V>>& model) {
    return model[random() % model.size()].first;
}

TEST(TextMaps, TextToCodeMatchesTheModelAcrossTheSwitchToExplicitCodes) {
    const Code top = std::numeric_limits<Code>::max();
    int switches = 0;
    for (std::uint64_t seed = 0; seed < 30; ++seed) {
        const std::size_t calm = 20 + seed * 13;  // in-order codes and a few uncoded texts only, then anything
        std::size_t fresh = 0;
        const Step<std::string, std::optional<Code>> next = [&](auto& random, std::size_t s, const Texts& model) {
            Code coded = 0;
            for (const auto& entry : model) coded += entry.second.has_value();
            const auto new_text = [&] {
                const std::string& special = special_texts[random() % special_texts.size()];
                for (const auto& entry : model) if (entry.first == special) return "k" + std::to_string(fresh++) + std::string(random() % 2, '\0');
                return special;
            };
            const unsigned r = random() % 100;
            const bool assign = random() % 2;
            if (r < 10 && !model.empty()) {  // a present text, with its own code while calm
                const auto& [text, code] = model[random() % model.size()];
                return std::tuple{assign, text, s < calm ? code : model[random() % model.size()].second};
            }
            if (r < 17) return std::tuple{assign, new_text(), std::optional<Code>()};
            if (s < calm || r < 65) return std::tuple{assign, new_text(), std::optional<Code>(coded)};
            if (r < 75 && !model.empty()) return std::tuple{assign, any_key(random, model), std::optional<Code>(random() % 50)};
            if (r < 85) return std::tuple{assign, new_text(), std::optional<Code>(coded + 1 + random() % 5)};
            return std::tuple{assign, new_text(), std::optional<Code>(top - random() % 3)};
        };
        switches += run_differential<TextToCode>(seed, 120 + seed * 15, next, {"absent", std::string(2, '\0'), "k99999", "nan"});
    }
    EXPECT_GE(switches, 28);  // most runs start implicit and switch on the way

    // Equal whatever the order of the entries, and in either mode.
    const TextToCode forward{{"a", 0}, {"nan", std::nullopt}, {"b", 1}};
    EXPECT_TRUE(forward == (TextToCode{{"b", 1}, {"a", 0}, {"nan", std::nullopt}}));
    EXPECT_FALSE(forward == (TextToCode{{"b", 1}, {"a", 0}, {"nan", 2}}));
    EXPECT_FALSE(forward == (TextToCode{{"b", 1}, {"a", 0}}));
}

TEST(TextMaps, CodeToTextMatchesTheModelFromAnEmptyMapAndFromASharedStore) {
    const Code top = std::numeric_limits<Code>::max();
    const Step<Code, std::string> next = [&](auto& random, std::size_t s, const Inverse& model) {
        const std::string text = random() % 3 ? special_texts[random() % special_texts.size()] : "t" + std::to_string(random() % 1000);
        const unsigned r = random() % 100;
        const bool assign = random() % 2;
        if (r < 15 && !model.empty()) return std::tuple{assign, any_key(random, model), random() % 2 ? text : model[0].second};
        if (s < 60 || r < 70) return std::tuple{assign, Code(model.size()), text};
        if (r < 85) return std::tuple{assign, Code(model.size() + 1 + random() % 5), text};
        return std::tuple{assign, top - random() % 3, text};
    };
    const std::vector<Code> absent{0, 1, 500, 12345, top, top - 1};
    int switches = 0;
    for (std::uint64_t seed = 0; seed < 20; ++seed) switches += run_differential<CodeToText>(seed, 200, next, absent);
    EXPECT_EQ(switches, 20);

    // From a map reading a text-to-code map's store: with markers and that map
    // gone (even seeds), or without markers, that map kept, at times grown
    // first, and left as it was by the inserts into its inverse.
    const std::string_view a0("a\0", 2);
    for (std::uint64_t seed = 0; seed < 12; ++seed) {
        const bool keep = seed % 2;
        auto text_to_code = std::make_unique<TextToCode>(text_to_code_of_ascending(
            keep ? std::vector<std::string_view>{"", "a", a0, "z"}
                 : std::vector<std::string_view>{"", "<NA>", "NaN", "a", a0, "nan", "z"}));
        CodeToText shared = inverse_strategies::by_sharing(*text_to_code);
        Texts kept{{"", 0}, {"a", 1}, {std::string(a0), 2}, {"z", 3}};
        if (!keep) text_to_code.reset();
        if (keep && seed % 4 == 1) text_to_code->try_emplace(kept.emplace_back("zz", 4).first, 4);
        const Inverse start{{0, ""}, {1, "a"}, {2, std::string(a0)}, {3, "z"}};
        ASSERT_TRUE(same_entries(shared, start, absent));
        run_differential<CodeToText>(seed, 80, next, absent, std::move(shared), start);
        if (keep) {
            EXPECT_TRUE(same_entries(*text_to_code, kept, {"absent", "t1"})) << "seed " << seed;
        }
    }
}

// `n` distinct texts in ascending byte order, with NUL and high bytes, and
// the three markers if asked.
std::vector<std::string> ascending_texts(std::size_t n, bool markers, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    const std::string alphabet = std::string("ab\0\x01N<\x7f\x80\xff", 9);
    std::set<std::string> texts{""};
    if (markers) texts.insert({"nan", "NaN", "<NA>"});
    while (texts.size() < n) {
        std::string text(1 + random() % 12, ' ');
        for (char& c : text) c = alphabet[random() % alphabet.size()];
        texts.insert(text);
    }
    return {texts.begin(), texts.end()};
}

TEST(TextMaps, FilledOnThePoolEqualTheMapsOfInsertsAndTheirInversesAgree) {
    const std::size_t n = 100000;
    for (const std::size_t workers : testing::worker_counts()) {
        for (const bool markers : {false, true}) {
            const std::vector<std::string> texts = ascending_texts(n, markers, workers * 2 + markers);
            const std::vector<std::string_view> views(texts.begin(), texts.end());
            Texts model;
            Code coded = 0;
            for (const std::string& text : texts) {
                model.emplace_back(text, is_missing_marker(text) ? std::nullopt : std::optional<Code>(coded++));
            }
            TextToCode map = run_on(workers, [&] { return text_to_code_of_ascending(views); });
            ASSERT_TRUE(same_entries(map, model, {"absent", "nan!"})) << "W" << workers;
            TextToCode by_inserts;
            for (const auto& [text, code] : model) by_inserts.try_emplace(text, code);
            EXPECT_TRUE(map == by_inserts);

            Inverse inverse;
            for (const auto& [text, code] : model) if (code) inverse.emplace_back(*code, text);
            const CodeToText copied = run_on(workers, [&] { return inverse_strategies::by_copying(map); });
            const CodeToText shared = inverse_strategies::by_sharing(map);
            EXPECT_TRUE(same_entries(copied, inverse, {Code(n), Code(n + 7)}));
            EXPECT_TRUE(same_entries(shared, inverse, {Code(n), Code(n + 7)}));
            EXPECT_TRUE(copied == shared);

            // The text-to-code map grows (its store too), then turns explicit:
            // the inverse reading its store keeps its content.
            for (Code i = 0; i < 1000; ++i) map.try_emplace("grown text " + std::to_string(i), coded + i);
            map.try_emplace("grown, uncoded", std::nullopt);
            EXPECT_TRUE(map.codes_follow_entries());
            map.insert_or_assign(texts[1], Code{1} << 40);
            map.try_emplace("grown, sparse", coded + 5000);
            EXPECT_FALSE(map.codes_follow_entries());
            EXPECT_TRUE(same_entries(shared, inverse, {Code(n), Code(n + 7)}));
            EXPECT_THROW(inverse_strategies::by_sharing(map), std::logic_error);
            const CodeToText grown = run_on(workers, [&] { return inverse_of(map); });
            EXPECT_EQ(grown.size(), inverse.size() + 1001);
            EXPECT_EQ(grown.at(Code{1} << 40), texts[1]);
            EXPECT_FALSE(grown.contains(1));
        }
    }

    // More than 16 uncoded texts: explicit codes from the start, on the pool.
    const std::vector<std::string> texts = ascending_texts(n, false, 99);
    std::vector<std::size_t> uncoded;
    for (std::size_t i = 0; i < 20; ++i) uncoded.push_back(i * 4999 + 3);
    Texts model;
    Code coded = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const bool skipped = std::find(uncoded.begin(), uncoded.end(), i) != uncoded.end();
        model.emplace_back(texts[i], skipped ? std::nullopt : std::optional<Code>(coded++));
    }
    for (const std::size_t workers : testing::worker_counts()) {
        TextToCode map;
        run_on(workers, [&] {
            map.assign_ascending(
                n, uncoded, [&](std::size_t i) { return texts[i].size(); },
                [&](std::size_t i, char* to) { std::copy(texts[i].begin(), texts[i].end(), to); },
                [&](std::size_t, std::string_view text) { return map.hash_key(text); });
            return 0;
        });
        EXPECT_FALSE(map.codes_follow_entries());
        ASSERT_TRUE(same_entries(map, model, {"absent"})) << "W" << workers;
        EXPECT_THROW(inverse_strategies::by_sharing(map), std::logic_error);
        EXPECT_EQ(run_on(workers, [&] { return inverse_strategies::by_copying(map); }).size(), n - 20);
    }
}

TEST(TextMaps, SlotIndexFilledOnThePoolFindsEveryEntryAndNoAbsentKey) {
    const SeededHash hash;
    for (const std::size_t workers : testing::worker_counts()) {
        for (const std::size_t count : {1u, 4096u, 4097u, 150000u}) {
            for (const bool clumped : {false, true}) {  // clumped: eight keys share each hash
                const auto hash_of_key = [&](std::uint64_t key) { return hash(clumped ? key / 16 : key); };
                const auto key_of = [](std::size_t entry) { return std::uint64_t{entry} * 2 + 1; };
                SlotIndex index;
                run_on(workers, [&] {
                    index.insert_distinct(count, [&](std::size_t entry) { return hash_of_key(key_of(entry)); });
                    return 0;
                });
                ASSERT_EQ(index.size(), count);
                for (std::size_t entry = 0; entry < count; ++entry) {
                    const std::uint64_t key = key_of(entry);
                    ASSERT_EQ(index.find(hash_of_key(key), [&](std::size_t e) { return key_of(e) == key; }), entry);
                    const std::uint64_t missing = key - 1;
                    ASSERT_EQ(index.find(hash_of_key(missing), [&](std::size_t e) { return key_of(e) == missing; }), SlotIndex::npos);
                }
                index.insert(hash_of_key(key_of(count)));
                index.reserve(4 * count);  // a rehash keeps them all
                for (std::size_t entry = 0; entry <= count; ++entry) {
                    ASSERT_EQ(index.find(hash_of_key(key_of(entry)), [&](std::size_t e) { return e == entry; }), entry);
                }
            }
        }
    }
}

}  // namespace
}  // namespace quorix
