// The state bytes against a plain model: exact bytes of known states, every
// reading failure with its message, truncations, random round trips, and
// the UTF-8 check against a checker built from the encoding's definition.
#include "engine/state_bytes.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "state_bytes_model.hpp"

namespace quorix {
namespace {

using model::Bytes;
using model::Info;
using model::State;

constexpr std::uint64_t kMax64 = ~std::uint64_t{0};
constexpr std::uint64_t kHalf64 = std::uint64_t{1} << 63;

std::span<const std::uint8_t> as_span(const std::string& bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

// The model of what reading gave, or a test failure with the reading error.
State read_model(std::span<const std::uint8_t> bytes) {
    StateReadResult result = read_state(bytes);
    if (auto* error = std::get_if<StateReadError>(&result)) {
        ADD_FAILURE() << "unexpected reading error: " << error->message;
        return {};
    }
    return model::from_encoder(std::get<Encoder>(result));
}

std::string read_error(std::span<const std::uint8_t> bytes) {
    StateReadResult result = read_state(bytes);
    if (auto* error = std::get_if<StateReadError>(&result)) return error->message;
    return "<read succeeded>";
}

// One learned column 0, whose only text is "a" with code 0.
State worked_example_state() {
    Info info;
    info.string_columns = {0};
    info.text_to_code[0]["a"] = 0;
    info.code_to_text[0][0] = "a";
    return State{info};
}

std::vector<std::uint8_t> worked_example_bytes() {
    const std::vector<std::uint8_t> zero(8, 0x00);
    const std::vector<std::uint8_t> one = {1, 0, 0, 0, 0, 0, 0, 0};
    std::vector<std::uint8_t> bytes = {0x01};
    for (const auto* word : {&one, &zero, &one, &zero, &one, &one}) {
        bytes.insert(bytes.end(), word->begin(), word->end());
    }
    bytes.push_back(0x61);  // "a"
    bytes.push_back(0x01);  // code present
    bytes.insert(bytes.end(), zero.begin(), zero.end());
    for (const auto* word : {&one, &zero, &one, &zero, &one}) {
        bytes.insert(bytes.end(), word->begin(), word->end());
    }
    bytes.push_back(0x61);
    bytes.insert(bytes.end(), {0, 0, 0, 0});
    return bytes;
}

// ---- known states ---------------------------------------------------------

TEST(StateBytesKnown, WorkedExampleReadsAndWritesBackByteExact) {
    const std::vector<std::uint8_t> bytes = worked_example_bytes();
    ASSERT_EQ(bytes.size(), 104u);
    EXPECT_EQ(model::to_bytes(worked_example_state()).data(), bytes);

    StateReadResult result = read_state(bytes);
    ASSERT_TRUE(std::holds_alternative<Encoder>(result)) << std::get<StateReadError>(result).message;
    const Encoder& encoder = std::get<Encoder>(result);
    EXPECT_EQ(model::from_encoder(encoder), worked_example_state());
    EXPECT_EQ(encoder.encoding_strat, EncodingStrategy::Label);
    EXPECT_EQ(state_size(encoder), 104u);
    EXPECT_EQ(encode_state(encoder), bytes);
}

TEST(StateBytesKnown, UnlearnedEncoderIsFiveZeroBytes) {
    const std::vector<std::uint8_t> five(5, 0x00);
    EXPECT_EQ(state_size(Encoder{}), 5u);
    EXPECT_EQ(encode_state(Encoder{}), five);

    StateReadResult result = read_state(five);
    ASSERT_TRUE(std::holds_alternative<Encoder>(result));
    EXPECT_FALSE(std::get<Encoder>(result).encoding_info.has_value());
}

TEST(StateBytesKnown, LearnedWithoutStringColumnsKeepsEmptyInfo) {
    const State empty{Info{}};
    const Bytes expected = Bytes().u8(1).u64(0).u64(0).u64(0).u32(0);
    EXPECT_EQ(encode_state(model::to_encoder(empty)), expected.data());
    EXPECT_EQ(read_model(expected.data()), empty);
}

TEST(StateBytesKnown, WriteStateFillsExactlyStateSize) {
    const Encoder encoder = model::to_encoder(worked_example_state());
    constexpr std::uint8_t kGuard = 0xA5;
    std::vector<std::uint8_t> buffer(state_size(encoder) + 16, kGuard);
    write_state(encoder, buffer.data());
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 104), worked_example_bytes());
    for (std::size_t i = 104; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], kGuard) << "byte " << i;
}

// ---- reading failures -----------------------------------------------------

struct ErrorCase {
    std::string name;
    Bytes bytes;
    std::string message;
    friend void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }
};

// A learned record with one text-to-code column holding one entry with the
// given text content and code tag.
Bytes one_text(const std::string& content, std::uint8_t code_tag = 0) {
    Bytes bytes = Bytes().u8(1).u64(0).u64(1).u64(0).u64(1).text(content).u8(code_tag);
    if (code_tag == 1) bytes.u64(0);
    return bytes.u64(0).u32(0);
}

// A learned record with one code-to-text column holding one entry.
Bytes one_code_text(const std::string& content) {
    return Bytes().u8(1).u64(0).u64(0).u64(1).u64(3).u64(1).u64(9).text(content).u32(0);
}

const std::string kEof = "io error: unexpected end of file";
const std::string kShortText = "io error: ";

std::vector<ErrorCase> error_cases() {
    return {
        {"Empty", Bytes(), kEof},
        {"OnlyTheTag", Bytes().u8(0), kEof},
        {"FourZeroBytes", Bytes().u8(0).u8(0).u8(0).u8(0), kEof},
        {"PresenceTagTwo", Bytes().u8(2).u32(0), "tag for enum is not valid, found 2"},
        {"PresenceTag255", Bytes().u8(255).u32(0), "tag for enum is not valid, found 255"},
        {"StrategySeven", Bytes().u8(0).u32(7), "invalid value: integer `7`, expected variant index 0 <= i < 1"},
        {"StrategyMax", Bytes().u8(0).u32(0xFFFFFFFF),
         "invalid value: integer `4294967295`, expected variant index 0 <= i < 1"},
        {"StrategyOneAfterInfo", Bytes().u8(1).u64(0).u64(0).u64(0).u32(1),
         "invalid value: integer `1`, expected variant index 0 <= i < 1"},
        {"LearnedWithoutStrategy", Bytes().u8(1).u64(0).u64(0).u64(0), kEof},
        {"CountCutShort", Bytes().u8(1).u8(1).u8(0).u8(0), kEof},
        {"CodeTagTwo", one_text("x", 2), "tag for enum is not valid, found 2"},
        {"CodeTagAfterEmptyText", one_text("", 7), "tag for enum is not valid, found 7"},
        {"TextLongerThanRest", Bytes().u8(1).u64(0).u64(1).u64(0).u64(1).u64(5).content("abcd"), kShortText},
        {"TextLengthMax", Bytes().u8(1).u64(0).u64(1).u64(0).u64(1).u64(kMax64).content("ab"), kShortText},
        {"TextLengthHalf", Bytes().u8(1).u64(0).u64(1).u64(0).u64(1).u64(kHalf64).content("abc"), kShortText},
        {"CodeToTextLengthHalf", Bytes().u8(1).u64(0).u64(0).u64(1).u64(0).u64(1).u64(0).u64(kHalf64), kShortText},
        {"TextLengthCutShort", Bytes().u8(1).u64(0).u64(1).u64(0).u64(1).u8(1).u8(0), kEof},
        {"TextByteFF", one_text("\xFF"),
         "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
        {"CodeToTextIncomplete", one_code_text("ab\xE2\x82"),
         "string is not valid utf8: incomplete utf-8 byte sequence from index 2"},
        {"CodeToTextThreeBadBytes", one_code_text("xyz\xF0\x9F\x98" "A"),
         "string is not valid utf8: invalid utf-8 sequence of 3 bytes from index 3"},
        // The text is checked before anything after it is needed.
        {"BadTextThenEnd", Bytes().u8(1).u64(0).u64(1).u64(0).u64(1).text("\xC0\x80"),
         "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
        {"StringColumnsCountHalf", Bytes().u8(1).u64(kHalf64).u8(0), kEof},
        {"StringColumnsCountMax", Bytes().u8(1).u64(kMax64).u64(4).u8(0), kEof},
        {"TextToCodeCountMax", Bytes().u8(1).u64(0).u64(kMax64).u8(0), kEof},
        {"TextToCodeColumnCountMax", Bytes().u8(1).u64(0).u64(1).u64(2).u64(kMax64).u8(0), kEof},
        {"CodeToTextCountHalf", Bytes().u8(1).u64(0).u64(0).u64(kHalf64).u8(0), kEof},
        {"CodeToTextColumnCountMax", Bytes().u8(1).u64(0).u64(0).u64(1).u64(2).u64(kMax64).u64(1), kEof},
        // Two entries announced, one present: the strategy bytes are taken
        // as the start of a code, which then runs out.
        {"MapCountTooLarge", Bytes().u8(1).u64(0).u64(0).u64(1).u64(0).u64(2).u64(1).text("a").u32(0), kEof},
    };
}

class StateBytesError : public testing::TestWithParam<ErrorCase> {};

TEST_P(StateBytesError, GivesTheExactMessage) {
    EXPECT_EQ(read_error(GetParam().bytes.data()), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(AllCases, StateBytesError, testing::ValuesIn(error_cases()),
                         [](const testing::TestParamInfo<ErrorCase>& info) { return info.param.name; });

// ---- random records -------------------------------------------------------

class RandomStates {
public:
    explicit RandomStates(std::uint64_t seed) : rng_(seed) {}

    // The engine is fully specified, and so is this reduction: the seed
    // corpus comes out the same with every standard library.
    std::uint64_t below(std::uint64_t n) { return rng_() % n; }

    std::string text() {
        static const std::array<std::string, 12> pieces = {
            "a", "Z", "nan", std::string(1, '\0'), "\x7f", "\xC3\xA9", "\xE2\x82\xAC",
            "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "\xEF\xBF\xBF", " ", "0123456789abcdefghij"};
        static const std::array<std::string, 3> markers = {"nan", "NaN", "<NA>"};
        if (below(8) == 0) return markers[below(markers.size())];
        std::string out;
        for (std::uint64_t n = below(6); n > 0; --n) out += pieces[below(pieces.size())];
        return out;
    }

    std::uint64_t column() { return below(4) == 0 ? kMax64 - below(3) : below(10); }
    std::uint64_t code() { return below(4) == 0 ? kMax64 - below(3) : below(20); }

    // Fields drawn independently: reading checks no consistency between them.
    Info loose_info() {
        Info info;
        for (std::uint64_t n = below(6); n > 0; --n) info.string_columns.push_back(column());
        for (std::uint64_t n = below(4); n > 0; --n) {
            auto& map = info.text_to_code[column()];
            for (std::uint64_t k = below(9); k > 0; --k) {
                std::optional<std::uint64_t> code;
                if (below(3) != 0) code = this->code();
                map[text()] = code;
            }
        }
        for (std::uint64_t n = below(4); n > 0; --n) {
            auto& map = info.code_to_text[column()];
            for (std::uint64_t k = below(9); k > 0; --k) map[code()] = text();
        }
        return info;
    }

    // Shaped as encoding leaves it: codes by byte order, markers without.
    Info encoded_info() {
        Info info;
        for (std::uint64_t c = 0; c < 6; ++c) {
            if (below(2) == 0) continue;
            info.string_columns.push_back(c);
            auto& to_code = info.text_to_code[c];
            auto& to_text = info.code_to_text[c];
            std::map<std::string, bool> texts;
            for (std::uint64_t k = below(12); k > 0; --k) texts[text()] = true;
            std::uint64_t next = 0;
            for (const auto& [t, unused] : texts) {
                if (t == "nan" || t == "NaN" || t == "<NA>") {
                    to_code[t] = std::nullopt;
                } else {
                    to_code[t] = next;
                    to_text[next++] = t;
                }
            }
        }
        return info;
    }

    State state() {
        switch (below(6)) {
            case 0: return State{};
            case 1: case 2: return State{loose_info()};
            default: return State{encoded_info()};
        }
    }

private:
    std::mt19937_64 rng_;
};

bool every_map_has_at_most_one_entry(const State& state) {
    if (!state.info) return true;
    const Info& info = *state.info;
    if (info.text_to_code.size() > 1 || info.code_to_text.size() > 1) return false;
    for (const auto& [c, m] : info.text_to_code) if (m.size() > 1) return false;
    for (const auto& [c, m] : info.code_to_text) if (m.size() > 1) return false;
    return true;
}

TEST(StateBytesRandom, RoundTripsAgreeWithTheModel) {
    RandomStates random(20240611);
    int order_fixed = 0;
    for (int round = 0; round < 500; ++round) {
        const State state = random.state();
        SCOPED_TRACE("round " + std::to_string(round));
        const Bytes reference = model::to_bytes(state);
        const Encoder encoder = model::to_encoder(state);

        ASSERT_EQ(state_size(encoder), model::formula_size(state));
        EXPECT_EQ(reference.size(), model::formula_size(state));
        EXPECT_EQ(read_model(reference.data()), state);

        const std::vector<std::uint8_t> written = encode_state(encoder);
        ASSERT_EQ(written.size(), reference.size());
        EXPECT_EQ(read_model(written), state);
        // Without a choice of order the two writers must agree to the byte.
        if (every_map_has_at_most_one_entry(state)) {
            ++order_fixed;
            EXPECT_EQ(written, reference.data());
        }
    }
    EXPECT_GT(order_fixed, 50);
}

TEST(StateBytesRandom, EveryTruncationFailsWithTheMessageOfTheCutItem) {
    RandomStates random(7);
    std::vector<State> states = {State{}, State{Info{}}, worked_example_state()};
    for (int i = 0; i < 20; ++i) states.push_back(State{random.encoded_info()});
    states.push_back(State{random.loose_info()});
    for (const State& state : states) {
        const Bytes bytes = model::to_bytes(state);
        for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
            ASSERT_EQ(read_error(bytes.prefix(cut)), bytes.truncation_message(cut))
                << "cut at " << cut << " of " << bytes.size();
        }
    }
}

TEST(StateBytesRandom, TrailingBytesAreIgnored) {
    RandomStates random(99);
    for (int round = 0; round < 100; ++round) {
        const State state = random.state();
        std::vector<std::uint8_t> bytes = model::to_bytes(state).data();
        for (std::uint64_t n = 1 + random.below(40); n > 0; --n) {
            bytes.push_back(static_cast<std::uint8_t>(random.below(256)));
        }
        EXPECT_EQ(read_model(bytes), state);
    }
}

// ---- duplicates -----------------------------------------------------------

TEST(StateBytesDuplicates, LaterEntryWinsAndEveryEntryCounts) {
    const Bytes bytes = Bytes()
                            .u8(1)
                            .u64(3).u64(3).u64(3).u64(1)                        // string_columns kept as listed
                            .u64(3)                                             // text_to_code: 3 columns
                            .u64(0).u64(3)                                      //   column 0: 3 entries
                            .text("x").u8(1).u64(0)
                            .text("x").u8(0)                                    //   "x" again: now no code
                            .text("y").u8(1).u64(1)
                            .u64(4).u64(1).text("a").u8(1).u64(0)               //   column 4 ...
                            .u64(4).u64(0)                                      //   ... replaced by an empty map
                            .u64(2)                                             // code_to_text: 2 columns
                            .u64(0).u64(2).u64(5).text("p").u64(5).text("q")    //   code 5 twice
                            .u64(0).u64(1).u64(6).text("r")                     //   column 0 again
                            .u32(0);
    Info expected;
    expected.string_columns = {3, 3, 1};
    expected.text_to_code[0] = {{"x", std::nullopt}, {"y", 1}};
    expected.text_to_code[4] = {};
    expected.code_to_text[0] = {{6, "r"}};
    EXPECT_EQ(read_model(bytes.data()), State{expected});
}

TEST(StateBytesDuplicates, CodeToTextDuplicateInOneMap) {
    const Bytes bytes = Bytes().u8(1).u64(0).u64(0).u64(1).u64(7).u64(3)
                            .u64(5).text("p").u64(2).text("").u64(5).text("q").u32(0);
    Info expected;
    expected.code_to_text[7] = {{5, "q"}, {2, ""}};
    EXPECT_EQ(read_model(bytes.data()), State{expected});
}

// ---- the fuzzer's seed corpus ---------------------------------------------

std::filesystem::path corpus_dir() {
    return std::filesystem::path(QUORIX_SOURCE_DIR) / "tests" / "fuzz" / "corpus" / "state_bytes";
}

// Small valid states to start the fuzzer from, named after what they hold.
std::vector<std::pair<std::string, Bytes>> seed_states() {
    RandomStates random(31337);
    Info markers;
    markers.string_columns = {1};
    markers.text_to_code[1] = {{"nan", std::nullopt}, {"<NA>", std::nullopt}, {"x", 0}};
    markers.code_to_text[1] = {{0, "x"}};
    Info multibyte;
    multibyte.string_columns = {0, 2};
    multibyte.text_to_code[0] = {{"", 0}, {std::string(1, '\0'), 1}, {"\xC3\xA9", 2}};
    multibyte.text_to_code[2] = {{"\xF0\x9F\x98\x80", 0}};
    multibyte.code_to_text[0] = {{0, ""}, {1, std::string(1, '\0')}, {2, "\xC3\xA9"}};
    multibyte.code_to_text[2] = {{0, "\xF0\x9F\x98\x80"}};
    std::vector<std::pair<std::string, Bytes>> seeds = {
        {"unlearned", model::to_bytes(State{})},
        {"no_string_columns", model::to_bytes(State{Info{}})},
        {"one_column_one_text", model::to_bytes(worked_example_state())},
        {"markers", model::to_bytes(State{markers})},
        {"multibyte", model::to_bytes(State{multibyte})},
    };
    for (int i = 0; i < 3; ++i) {
        seeds.emplace_back("columns_" + std::to_string(i), model::to_bytes(State{random.encoded_info()}));
    }
    seeds.emplace_back("loose_fields", model::to_bytes(State{random.loose_info()}));
    return seeds;
}

// Checks the committed seeds; with QUORIX_WRITE_SEED_CORPUS=1 in the
// environment it first writes them anew.
TEST(StateBytesCorpus, SeedsAreTheValidStatesListedHere) {
    const auto seeds = seed_states();
    if (const char* write = std::getenv("QUORIX_WRITE_SEED_CORPUS"); write && std::string(write) == "1") {
        std::filesystem::create_directories(corpus_dir());
        for (const auto& [name, bytes] : seeds) {
            std::ofstream(corpus_dir() / name, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data().data()),
                       static_cast<std::streamsize>(bytes.size()));
        }
    }
    for (const auto& [name, bytes] : seeds) {
        std::ifstream file(corpus_dir() / name, std::ios::binary);
        ASSERT_TRUE(file) << "missing seed " << (corpus_dir() / name);
        const std::vector<std::uint8_t> stored{std::istreambuf_iterator<char>(file), {}};
        EXPECT_EQ(stored, bytes.data()) << name;
        EXPECT_EQ(read_error(stored), "<read succeeded>") << name;
    }
}

// ---- UTF-8 ----------------------------------------------------------------

struct Utf8Case {
    std::string name;
    std::string bytes;
    std::optional<Utf8Fault> fault;
    friend void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }
};

std::vector<Utf8Case> utf8_cases() {
    auto invalid = [](std::size_t index, std::size_t length) { return Utf8Fault{index, length}; };
    auto incomplete = [](std::size_t index) { return Utf8Fault{index, 0}; };
    const std::string sixteen = "0123456789abcdef";
    return {
        {"Empty", "", std::nullopt},
        {"Ascii", "hello, world", std::nullopt},
        {"Nul", std::string("a\0b", 3), std::nullopt},
        {"TwoByte", "\xC2\x80\xDF\xBF", std::nullopt},
        {"ThreeByteEdges", "\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF", std::nullopt},
        {"FourByteEdges", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", std::nullopt},
        {"LongMixed", sixteen + "\xC3\xA9" + sixteen + "\xF0\x9F\x98\x80" + sixteen, std::nullopt},
        {"LoneContinuation", "\x80", invalid(0, 1)},
        {"LoneContinuationBF", "ab\xBF", invalid(2, 1)},
        {"OverlongTwoC0", "\xC0\x80", invalid(0, 1)},
        {"OverlongTwoC1", "\xC1\xBF", invalid(0, 1)},
        {"OverlongThree", "\xE0\x80\x80", invalid(0, 1)},
        {"OverlongThreeHigh", "\xE0\x9F\xBF", invalid(0, 1)},
        {"OverlongFour", "\xF0\x80\x80\x80", invalid(0, 1)},
        {"OverlongFourHigh", "\xF0\x8F\xBF\xBF", invalid(0, 1)},
        {"SurrogateLow", "\xED\xA0\x80", invalid(0, 1)},
        {"SurrogateHigh", "\xED\xBF\xBF", invalid(0, 1)},
        {"AboveMax", "\xF4\x90\x80\x80", invalid(0, 1)},
        {"LeadF5", "\xF5\x80\x80\x80", invalid(0, 1)},
        {"LeadF8", "\xF8\x88\x80\x80\x80", invalid(0, 1)},
        {"LeadFF", "\xFF", invalid(0, 1)},
        {"TwoByteBadSecond", "\xC2\x41", invalid(0, 1)},
        {"ThreeByteBadThird", "\xE2\x82\x41", invalid(0, 2)},
        {"FourByteBadThird", "\xF0\x9F\x41", invalid(0, 2)},
        {"FourByteBadFourth", "\xF0\x9F\x98\x41", invalid(0, 3)},
        {"BadBeforeEnd", "\xE0\x80", invalid(0, 1)},
        {"EndAfterTwoLead", "\xC2", incomplete(0)},
        {"EndAfterThreeLead", "\xE0", incomplete(0)},
        {"EndInsideThree", "ab\xE2\x82", incomplete(2)},
        {"EndInsideFour", "\xF0\x9F\x98", incomplete(0)},
        {"EndInsideMaxFour", "\xF4\x8F\xBF", incomplete(0)},
        {"AfterAsciiWords", sixteen + "9\xFF", invalid(17, 1)},
        {"IncompleteAfterAsciiWords", sixteen + "\xE2\x82", incomplete(16)},
        {"AfterMultibyte", "\xC3\xA9\x80", invalid(2, 1)},
        {"AfterMixedRuns", "1234567\xC3\xA9" "abcdefgh\x80", invalid(17, 1)},
    };
}

class StateBytesUtf8 : public testing::TestWithParam<Utf8Case> {};

TEST_P(StateBytesUtf8, FindsTheFirstFaultLikeTheReference) {
    const Utf8Case& c = GetParam();
    EXPECT_EQ(find_utf8_fault(as_span(c.bytes)), c.fault);
    EXPECT_EQ(model::utf8_reference().find_fault(as_span(c.bytes)), c.fault);
}

TEST_P(StateBytesUtf8, ReadingReportsTheFaultInTheTextToCodeMap) {
    const Utf8Case& c = GetParam();
    const Bytes bytes = one_text(c.bytes, 1);
    if (c.fault) {
        EXPECT_EQ(read_error(bytes.data()), "string is not valid utf8: " + describe(*c.fault));
    } else {
        Info expected;
        expected.text_to_code[0][c.bytes] = 0;
        EXPECT_EQ(read_model(bytes.data()), State{expected});
    }
}

INSTANTIATE_TEST_SUITE_P(Classes, StateBytesUtf8, testing::ValuesIn(utf8_cases()),
                         [](const testing::TestParamInfo<Utf8Case>& info) { return info.param.name; });

TEST(StateBytesUtf8Describe, ExactTexts) {
    EXPECT_EQ(describe({5, 2}), "invalid utf-8 sequence of 2 bytes from index 5");
    EXPECT_EQ(describe({12, 0}), "incomplete utf-8 byte sequence from index 12");
}

// Every byte string of up to four bytes drawn from the values at which the
// byte-range rules change.
TEST(StateBytesUtf8Differential, AllShortStringsOfBoundaryBytes) {
    const std::vector<std::uint8_t> boundary = {
        0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
        0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
    const auto& reference = model::utf8_reference();
    std::vector<std::uint8_t> text;
    std::size_t mismatches = 0;
    auto check = [&] {
        if (find_utf8_fault(text) != reference.find_fault(text) && ++mismatches <= 10) {
            ADD_FAILURE() << "mismatch on " << testing::PrintToString(text);
        }
    };
    for (std::size_t length = 1; length <= 4; ++length) {
        std::vector<std::size_t> digits(length, 0);
        text.assign(length, 0);
        while (true) {
            for (std::size_t i = 0; i < length; ++i) text[i] = boundary[digits[i]];
            check();
            std::size_t i = 0;
            while (i < length && ++digits[i] == boundary.size()) digits[i++] = 0;
            if (i == length) break;
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST(StateBytesUtf8Differential, AllTwoByteStrings) {
    const auto& reference = model::utf8_reference();
    for (unsigned a = 0; a < 256; ++a) {
        for (unsigned b = 0; b < 256; ++b) {
            const std::vector<std::uint8_t> text = {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)};
            ASSERT_EQ(find_utf8_fault(text), reference.find_fault(text)) << a << " " << b;
        }
    }
}

// Long strings of ASCII runs, valid characters, truncated characters and
// stray bytes, so the word-at-a-time skipping meets faults at every offset.
TEST(StateBytesUtf8Differential, RandomMixedStrings) {
    std::mt19937_64 rng(1234);
    auto below = [&](std::uint64_t n) { return rng() % n; };
    const auto& reference = model::utf8_reference();
    int faulty = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        for (std::uint64_t parts = below(8); parts > 0; --parts) {
            switch (below(5)) {
                case 0:
                case 1:
                    for (std::uint64_t n = below(20); n > 0; --n) text.push_back(static_cast<char>(below(128)));
                    break;
                case 2: {
                    std::uint32_t cp = static_cast<std::uint32_t>(below(0x110000));
                    if (cp < 0xD800 || cp > 0xDFFF) text += model::encode_scalar(cp);
                    break;
                }
                case 3: {
                    std::string full = model::encode_scalar(0x80 + static_cast<std::uint32_t>(below(0x10FF80)));
                    text += full.substr(0, 1 + below(full.size()));
                    break;
                }
                default:
                    if (below(10) == 0) text.push_back(static_cast<char>(0x80 + below(128)));
            }
        }
        const auto expected = reference.find_fault(as_span(text));
        faulty += expected.has_value();
        ASSERT_EQ(find_utf8_fault(as_span(text)), expected) << testing::PrintToString(text);
    }
    EXPECT_GT(faulty, 1000);
    EXPECT_LT(faulty, 19000);
}

// ---- the two-pass reader against the plain one ----------------------------
//
// read_state reads in two passes; on every input it must give the error
// text or the record that the plain reader of the model gives. Both
// insert in input order, so the records must even write back to the same
// bytes. Each test runs with the maps built on the calling thread and with
// every map handed to the worker pool.

struct Reader {
    std::string name;
    std::size_t parallel_min_entries;
    friend void PrintTo(const Reader& reader, std::ostream* os) { *os << reader.name; }
};

class StateBytesTwoPass : public testing::TestWithParam<Reader> {
protected:
    testing::AssertionResult same_as_plain(std::span<const std::uint8_t> bytes) const {
        StateReadResult plain = model::read_state_plain(bytes);
        StateReadResult fast = read_state_two_pass(bytes, GetParam().parallel_min_entries);
        auto* plain_error = std::get_if<StateReadError>(&plain);
        auto* fast_error = std::get_if<StateReadError>(&fast);
        if (plain_error && fast_error) {
            if (plain_error->message == fast_error->message) return testing::AssertionSuccess();
            return testing::AssertionFailure() << "plain: " << plain_error->message
                                               << "\ntwo-pass: " << fast_error->message;
        }
        if (plain_error || fast_error) {
            return testing::AssertionFailure()
                   << "only one reader failed: " << (plain_error ? plain_error : fast_error)->message;
        }
        const Encoder& a = std::get<Encoder>(plain);
        const Encoder& b = std::get<Encoder>(fast);
        if (model::from_encoder(a) != model::from_encoder(b)) {
            return testing::AssertionFailure() << "the records differ";
        }
        if (encode_state(a) != encode_state(b)) {
            return testing::AssertionFailure() << "the records differ in map order";
        }
        return testing::AssertionSuccess();
    }
};

INSTANTIATE_TEST_SUITE_P(Readers, StateBytesTwoPass,
                         testing::Values(Reader{"OneThread", SIZE_MAX}, Reader{"Pool", 0}),
                         [](const testing::TestParamInfo<Reader>& info) { return info.param.name; });

TEST_P(StateBytesTwoPass, RandomRecordsWithAndWithoutTrailingBytes) {
    RandomStates random(4242);
    for (int round = 0; round < 300; ++round) {
        std::vector<std::uint8_t> bytes = model::to_bytes(random.state()).data();
        ASSERT_TRUE(same_as_plain(bytes)) << "round " << round;
        for (std::uint64_t n = 1 + random.below(20); n > 0; --n) {
            bytes.push_back(static_cast<std::uint8_t>(random.below(256)));
        }
        ASSERT_TRUE(same_as_plain(bytes)) << "round " << round << " with trailing bytes";
    }
}

TEST_P(StateBytesTwoPass, KnownErrorCases) {
    for (const ErrorCase& error : error_cases()) {
        EXPECT_TRUE(same_as_plain(error.bytes.data())) << error.name;
    }
}

TEST_P(StateBytesTwoPass, EveryTruncation) {
    RandomStates random(8);
    std::vector<State> states = {State{}, State{Info{}}, worked_example_state()};
    for (int i = 0; i < 10; ++i) states.push_back(State{random.encoded_info()});
    for (int i = 0; i < 5; ++i) states.push_back(State{random.loose_info()});
    for (const State& state : states) {
        const Bytes bytes = model::to_bytes(state);
        for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
            ASSERT_TRUE(same_as_plain(bytes.prefix(cut))) << "cut at " << cut << " of " << bytes.size();
        }
    }
}

// Every byte of valid states replaced in turn: UTF-8 faults in every text of
// every map, bad tags, and counts and lengths made huge or short.
TEST_P(StateBytesTwoPass, EverySingleByteReplacement) {
    RandomStates random(15);
    std::vector<State> states = {worked_example_state()};
    for (int i = 0; i < 12; ++i) states.push_back(State{random.encoded_info()});
    for (int i = 0; i < 6; ++i) states.push_back(State{random.loose_info()});
    for (const State& state : states) {
        const std::vector<std::uint8_t> valid = model::to_bytes(state).data();
        for (std::size_t at = 0; at < valid.size(); ++at) {
            for (std::uint8_t value : {0x00, 0x01, 0x02, 0x41, 0x80, 0xC3, 0xE2, 0xF4, 0xFF}) {
                std::vector<std::uint8_t> bytes = valid;
                bytes[at] = value;
                ASSERT_TRUE(same_as_plain(bytes)) << "byte " << at << " set to " << int(value);
            }
        }
    }
}

// Repeated columns, texts and codes: a later entry replaces an earlier one.
TEST_P(StateBytesTwoPass, DuplicateHeavyMaps) {
    RandomStates random(77);
    const std::array<std::string, 4> texts = {"a", "b", "\xC3\xA9", ""};
    for (int round = 0; round < 300; ++round) {
        std::uint64_t maps = 1 + random.below(4);
        Bytes bytes = Bytes().u8(1).u64(0).u64(maps);
        for (std::uint64_t m = 0; m < maps; ++m) {
            const std::uint64_t entries = random.below(12);
            bytes.u64(random.below(3)).u64(entries);
            for (std::uint64_t k = 0; k < entries; ++k) {
                bytes.text(texts[random.below(texts.size())]);
                if (random.below(2) == 0) {
                    bytes.u8(0);
                } else {
                    bytes.u8(1).u64(random.below(3));
                }
            }
        }
        maps = 1 + random.below(4);
        bytes.u64(maps);
        for (std::uint64_t m = 0; m < maps; ++m) {
            const std::uint64_t entries = random.below(12);
            bytes.u64(random.below(3)).u64(entries);
            for (std::uint64_t k = 0; k < entries; ++k) bytes.u64(random.below(3)).text(texts[random.below(texts.size())]);
        }
        bytes.u32(0);
        ASSERT_TRUE(same_as_plain(bytes.data())) << "round " << round;
    }
}

// Counts of 2^63 and 2^64 - 1 in every count and length of a valid state.
TEST_P(StateBytesTwoPass, HugeCountsAnywhere) {
    RandomStates random(5);
    for (int i = 0; i < 8; ++i) {
        const std::vector<std::uint8_t> valid = model::to_bytes(State{random.encoded_info()}).data();
        for (std::size_t at = 1; at + 8 <= valid.size(); ++at) {
            for (std::uint64_t count : {kHalf64, kMax64}) {
                std::vector<std::uint8_t> bytes = valid;
                for (int b = 0; b < 8; ++b) bytes[at + b] = static_cast<std::uint8_t>(count >> (8 * b));
                ASSERT_TRUE(same_as_plain(bytes)) << "count at " << at;
            }
        }
    }
}

// Maps large enough for read_state to build them on the pool, with faults
// placed so that the earliest one in byte order must win.
TEST_P(StateBytesTwoPass, LargeMapsWithFaultsLateAndEarly) {
    constexpr std::uint64_t kColumns = 4;
    constexpr std::uint64_t kEntries = 12000;
    Bytes bytes = Bytes().u8(1).u64(kColumns);
    for (std::uint64_t c = 0; c < kColumns; ++c) bytes.u64(c);
    std::vector<std::size_t> text_at;  // where each text's content starts
    auto text = [&](std::uint64_t c, std::uint64_t k) {
        const std::string content = "t" + std::to_string(c) + "-" + std::to_string(k * 7919 % 100003);
        text_at.push_back(bytes.size() + 8);
        bytes.text(content);
    };
    bytes.u64(kColumns);
    for (std::uint64_t c = 0; c < kColumns; ++c) {
        bytes.u64(c).u64(kEntries);
        for (std::uint64_t k = 0; k < kEntries; ++k) {
            text(c, k);
            bytes.u8(1).u64(k);
        }
    }
    bytes.u64(kColumns);
    for (std::uint64_t c = 0; c < kColumns; ++c) {
        bytes.u64(c).u64(kEntries);
        for (std::uint64_t k = 0; k < kEntries; ++k) {
            bytes.u64(k);
            text(c, k);
        }
    }
    bytes.u32(0);
    const std::vector<std::uint8_t> valid = bytes.data();
    ASSERT_TRUE(same_as_plain(valid));
    EXPECT_EQ(model::from_encoder(std::get<Encoder>(read_state(valid))).info->text_to_code.size(), kColumns);

    const std::size_t last = text_at.back();
    const std::size_t middle = text_at[text_at.size() / 2];
    const std::size_t early = text_at[kEntries + 3];
    // The code tag of that entry: its code and the next entry's length follow.
    const std::size_t tag_early = text_at[kEntries + 4] - 8 - 9;
    struct Fault {
        const char* name;
        std::vector<std::pair<std::size_t, std::uint8_t>> bytes;
        std::size_t cut;  // keep this many bytes
    };
    const std::vector<Fault> faults = {
        {"LastText", {{last + 1, 0xFF}}, valid.size()},
        {"MiddleText", {{middle, 0xC3}}, valid.size()},
        {"EarlyAndLateText", {{early, 0x80}, {last, 0xFF}}, valid.size()},
        {"EarlyTextThenTruncated", {{early, 0xE2}}, valid.size() - 9},
        {"BadTagBeforeLaterText", {{tag_early, 0x05}, {middle, 0xFF}}, valid.size()},
        {"TruncatedInsideLastText", {}, last + 1},
        {"StrategyOne", {{valid.size() - 4, 0x01}}, valid.size()},
    };
    for (const Fault& fault : faults) {
        std::vector<std::uint8_t> faulty(valid.begin(), valid.begin() + fault.cut);
        for (const auto& [at, value] : fault.bytes) faulty[at] = value;
        EXPECT_TRUE(same_as_plain(faulty)) << fault.name;
        EXPECT_EQ(read_error(faulty), std::get<StateReadError>(model::read_state_plain(faulty)).message) << fault.name;
    }
}

}  // namespace
}  // namespace quorix
