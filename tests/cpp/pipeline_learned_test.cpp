// The companion's plain C++ part against simple models: merging learned
// parts is a set union of their texts numbered in byte order, refused where
// a column's kinds clash; a lookup index finds exactly its map's texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine_test_support.hpp"
#include "engine/encode_object_array.hpp"
#include "pipeline/native/learned.hpp"
#include "pipeline/native/lookup_index.hpp"
#include "pipeline/native/merge_learned.hpp"

namespace quorix::pipeline {
namespace {

using quorix::testing::random_texts;
using quorix::testing::run_on;
using quorix::testing::same_bits;
using quorix::testing::same_map;
using TextMap = std::map<std::string, std::optional<Code>>;

// One part learned from a random table whose columns are text, numbers or
// missing numbers; how a column's kind varies between parts depends on `mix`.
Learned random_part(std::mt19937_64& random, const std::vector<int>& mix) {
    const std::size_t rows = 1 + random() % 40, cols = mix.size();
    GatheredColumns gathered(rows, cols);
    for (std::size_t c = 0; c < cols; ++c) {
        GatheredColumn& column = gathered.columns[c];
        // 0: text in every part; 1: numbers in every part; 2: either.
        column.is_string = mix[c] == 0 || (mix[c] == 2 && random() % 2 == 0);
        if (column.is_string) {
            column.texts = quorix::testing::column_of(random_texts(rows, 1 + random() % 12, random()));
            column.promoted_numbers = random() % 4 == 0;
        } else {
            const bool holds_numbers = random() % 2 == 0;
            for (std::size_t r = 0; r < rows; ++r) {
                column.numbers.push_back(holds_numbers ? static_cast<double>(random() % 5)
                                                       : std::numeric_limits<double>::quiet_NaN());
            }
        }
    }
    Learned learned;
    learned.record.encoding_info = encode_object_array(gathered, nullptr, cols, 1);
    learned.numbers_read = numbers_read_of(gathered);
    // A state given from outside carries no flags.
    if (random() % 5 == 0) learned.numbers_read.clear();
    return learned;
}

// The model of a merge: per column, the first part that holds it as text
// decides its flag, any other part with numbers read is a fault, and the
// texts are the union of the parts' texts, coded in byte order but for the
// missing-value markers.
struct MergeModel {
    std::optional<MergeFault> fault;
    std::vector<std::uint8_t> numbers_read;
    std::map<ColumnIndex, TextMap> maps;
};

MergeModel model_merge(const std::vector<const Learned*>& parts) {
    MergeModel model;
    std::size_t flagged = 0;
    for (const Learned* part : parts) flagged = std::max(flagged, part->numbers_read.size());
    model.numbers_read.assign(flagged, 0);
    std::set<ColumnIndex> columns;
    for (ColumnIndex c = 0; c < flagged; ++c) columns.insert(c);
    for (const Learned* part : parts) {
        for (const ColumnIndex c : part->record.encoding_info->string_columns) columns.insert(c);
    }
    for (const ColumnIndex c : columns) {
        std::optional<std::size_t> first_text;
        std::set<std::string> texts;
        for (std::size_t p = 0; p < parts.size(); ++p) {
            const TextToCode* map = parts[p]->text_to_code(c);
            if (map == nullptr) continue;
            if (!first_text) first_text = p;
            for (const auto& [text, code] : *map) texts.emplace(text);
        }
        if (!first_text) {
            for (const Learned* part : parts) model.numbers_read[c] |= part->read_numbers(c) ? 1 : 0;
            continue;
        }
        for (std::size_t p = 0; p < parts.size(); ++p) {
            if (p != *first_text && parts[p]->read_numbers(c)) {
                model.fault = MergeFault{c, *first_text, p};
                return model;
            }
        }
        if (c < flagged) model.numbers_read[c] = parts[*first_text]->read_numbers(c) ? 1 : 0;
        Code next = 0;
        TextMap& map = model.maps[c];
        for (const std::string& text : texts) {
            map[text] = is_missing_marker(text) ? std::nullopt : std::optional<Code>(next++);
        }
    }
    return model;
}

::testing::AssertionResult matches_model(const std::variant<Learned, MergeFault>& merged, const MergeModel& model) {
    if (model.fault) {
        const auto* fault = std::get_if<MergeFault>(&merged);
        if (fault == nullptr) return ::testing::AssertionFailure() << "merged where the model refuses";
        if (fault->column != model.fault->column || fault->text_part != model.fault->text_part ||
            fault->number_part != model.fault->number_part) {
            return ::testing::AssertionFailure() << "refused column " << fault->column << " parts " << fault->text_part
                                                 << ", " << fault->number_part << "; the model column "
                                                 << model.fault->column;
        }
        return ::testing::AssertionSuccess();
    }
    const auto* learned = std::get_if<Learned>(&merged);
    if (learned == nullptr) return ::testing::AssertionFailure() << "refused where the model merges";
    if (learned->numbers_read != model.numbers_read) return ::testing::AssertionFailure() << "numbers_read differ";
    const EncodingInfo& info = *learned->record.encoding_info;
    std::vector<ColumnIndex> expected_columns;
    for (const auto& [c, map] : model.maps) expected_columns.push_back(c);
    if (info.string_columns != expected_columns) return ::testing::AssertionFailure() << "string columns differ";
    for (const auto& [c, expected] : model.maps) {
        const TextToCode& map = quorix::testing::map_of(info.text_to_code, c);
        if (auto same = same_map(map, expected); !same) return same << " in column " << c;
        const CodeToText& inverse = quorix::testing::map_of(info.code_to_text, c);
        std::size_t coded = 0;
        for (const auto& [text, code] : expected) {
            if (!code) continue;
            ++coded;
            const auto found = inverse.find(*code);
            if (found == inverse.end() || found->second != text) {
                return ::testing::AssertionFailure() << "code " << *code << " does not decode to '" << text << "'";
            }
        }
        if (inverse.size() != coded) return ::testing::AssertionFailure() << "inverse of column " << c << " too big";
    }
    return ::testing::AssertionSuccess();
}

TEST(MergeLearned, IsTheUnionOfThePartsTextsOrTheFirstClashForEveryWorkerCount) {
    std::mt19937_64 random(26);
    std::size_t merged_count = 0, refused_count = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<int> mix(1 + random() % 4);
        for (int& kind : mix) kind = static_cast<int>(random() % 3);
        std::vector<Learned> owned;
        for (std::size_t p = 0, count = 1 + random() % 4; p < count; ++p) owned.push_back(random_part(random, mix));
        std::vector<const Learned*> parts;
        for (const Learned& part : owned) parts.push_back(&part);
        const MergeModel model = model_merge(parts);
        (model.fault ? refused_count : merged_count) += 1;
        const std::optional<MergeFault> fault = merge_fault(parts);
        ASSERT_EQ(fault.has_value(), model.fault.has_value()) << "round " << round;
        for (const std::size_t workers : quorix::testing::worker_counts()) {
            const auto merged = run_on(workers, [&] { return merge_learned(parts); });
            ASSERT_TRUE(matches_model(merged, model)) << "round " << round << ", " << workers << " workers";
        }
        if (model.fault || parts.size() < 3) continue;
        // Merging is associative: the first two parts merged first give the same.
        const auto head = merge_learned(std::vector<const Learned*>{parts[0], parts[1]});
        std::vector<const Learned*> regrouped{&std::get<Learned>(head)};
        regrouped.insert(regrouped.end(), parts.begin() + 2, parts.end());
        ASSERT_TRUE(matches_model(merge_learned(regrouped), model)) << "round " << round << ", regrouped";
    }
    // Both outcomes are exercised.
    EXPECT_GT(merged_count, 50u);
    EXPECT_GT(refused_count, 50u);
}

// A map of the given texts as encode makes one (codes in byte order), or as a
// state may give one (codes in any order, some texts without).
TextToCode map_of_texts(const std::set<std::string>& distinct, bool explicit_codes, std::mt19937_64& random) {
    if (!explicit_codes) {
        const std::vector<std::string_view> ascending(distinct.begin(), distinct.end());
        return text_to_code_of_ascending(ascending);
    }
    TextToCode map;
    for (const std::string& text : distinct) {
        map.try_emplace(text, random() % 4 == 0 ? std::nullopt : std::optional<Code>(random() % 1000));
    }
    return map;
}

TEST(LookupIndex, FindsExactlyTheTextsOfItsMapWithTheirCodes) {
    std::mt19937_64 random(15);
    for (int round = 0; round < 60; ++round) {
        std::set<std::string> distinct, absent;
        for (std::string text : random_texts(1 + random() % 3000, 1 + random() % 2000, random())) {
            // Some texts too long to lie in a slot, some sharing their first 15 bytes.
            if (random() % 3 == 0) text = std::string(15, 'x') + text;
            (random() % 4 == 0 ? absent : distinct).insert(text);
        }
        const TextToCode map = map_of_texts(distinct, round % 2 == 1, random);
        const LookupIndex index(map);
        for (const auto& [text, code] : map) {
            double found = 0.0;
            ASSERT_TRUE(index.find(index.hash(text), text, found)) << "round " << round;
            const double expected = code ? static_cast<double>(*code) : missing_code();
            ASSERT_TRUE(same_bits(found, expected)) << "round " << round;
        }
        for (const std::string& text : absent) {
            if (distinct.count(text) != 0) continue;
            double found = 0.0;
            ASSERT_FALSE(index.find(index.hash(text), text, found)) << "round " << round;
        }
    }
}

}  // namespace
}  // namespace quorix::pipeline
