// Throughput of writing and reading the state bytes of a large learned
// Encoder: 4 string columns, 1,000,000 distinct random ASCII texts of 3 to 12
// characters in all, shaped as encoding leaves them.
//
//   state_bytes_bench [rounds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <unordered_set>
#include <variant>
#include <vector>

#include "../tests/cpp/state_bytes_model.hpp"
#include "engine/state_bytes.hpp"

namespace {

using namespace quorix;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kColumns = 4;
constexpr std::size_t kTexts = 1'000'000;

Encoder make_encoder() {
    std::mt19937_64 rng(42);
    std::uniform_int_distribution<int> length(3, 12);
    std::uniform_int_distribution<int> letter(' ', '~');
    std::unordered_set<std::string> seen;
    seen.reserve(kTexts);
    std::vector<std::vector<std::string>> columns(kColumns);
    while (seen.size() < kTexts) {
        std::string text(static_cast<std::size_t>(length(rng)), ' ');
        for (char& c : text) c = static_cast<char>(letter(rng));
        if (seen.insert(text).second) columns[seen.size() % kColumns].push_back(std::move(text));
    }

    Encoder encoder;
    EncodingInfo& info = encoder.encoding_info.emplace();
    for (std::size_t column = 0; column < kColumns; ++column) {
        std::vector<std::string>& texts = columns[column];
        std::sort(texts.begin(), texts.end());
        info.string_columns.push_back(column);
        TextToCode to_code;
        CodeToText to_text;
        to_code.reserve(texts.size());
        to_text.reserve(texts.size());
        for (Code code = 0; code < texts.size(); ++code) {
            to_code.insert_or_assign(texts[code], code);
            to_text.insert_or_assign(code, texts[code]);
        }
        info.text_to_code.insert_or_assign(column, std::move(to_code));
        info.code_to_text.insert_or_assign(column, std::move(to_text));
    }
    return encoder;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const Encoder encoder = make_encoder();
    const std::size_t size = state_size(encoder);
    std::printf("state: %zu columns, %zu texts, %zu bytes (%.1f MB)\n", kColumns, kTexts, size, size / 1e6);

    // Writing as __getstate__ does: size it, allocate once, write.
    double best_write = 1e30;
    std::vector<std::uint8_t> bytes;
    for (int round = 0; round < rounds; ++round) {
        const Clock::time_point start = Clock::now();
        std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[state_size(encoder)]);
        write_state(encoder, buffer.get());
        best_write = std::min(best_write, seconds_since(start));
        if (round == 0) bytes.assign(buffer.get(), buffer.get() + size);
    }

    // Reading as __setstate__ does (read_state), then the tests' plain reader
    // and the two-pass reader kept on the calling thread; each record is released
    // outside the timing.
    struct Reader {
        const char* name;
        StateReadResult (*read)(std::span<const std::uint8_t>);
    };
    const Reader readers[] = {
        {"read", [](std::span<const std::uint8_t> b) { return read_state(b); }},
        {"read plain", [](std::span<const std::uint8_t> b) { return model::read_state_plain(b); }},
        {"read 1 thread", [](std::span<const std::uint8_t> b) { return read_state_two_pass(b, SIZE_MAX); }},
    };
    std::printf("write:          %8.1f ms  %8.1f MB/s   (best of %d)\n", best_write * 1e3, size / best_write / 1e6, rounds);
    for (const Reader& reader : readers) {
        double best_read = 1e30;
        for (int round = 0; round < rounds; ++round) {
            const Clock::time_point start = Clock::now();
            StateReadResult result = reader.read(bytes);
            best_read = std::min(best_read, seconds_since(start));
            if (!std::holds_alternative<Encoder>(result)) {
                std::fprintf(stderr, "%s failed: %s\n", reader.name,
                             std::get<StateReadError>(result).message.c_str());
                return 1;
            }
        }
        std::printf("%-14s: %8.1f ms  %8.1f MB/s   (best of %d)\n", reader.name, best_read * 1e3,
                    size / best_read / 1e6, rounds);
    }
    return 0;
}
