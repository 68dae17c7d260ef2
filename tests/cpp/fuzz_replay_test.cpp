// Every kept input of every fuzz target goes through that target's checks,
// built here without libFuzzer: the seed corpus (tests/fuzz/corpus/<target>/)
// and the inputs a fuzzer once failed on (tests/fuzz/regressions/<target>/),
// so a fault found once stays found.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../fuzz/fuzz_target.hpp"

namespace quorix {
namespace {

namespace fs = std::filesystem;

fs::path fuzz_dir() { return fs::path(QUORIX_SOURCE_DIR) / "tests" / "fuzz"; }

// The kept inputs of one target in one folder, in name order; a folder that
// does not exist (or holds only its placeholder) has none.
std::vector<fs::path> kept_inputs(const char* kind, const std::string& target) {
    std::vector<fs::path> files;
    const fs::path folder = fuzz_dir() / kind / target;
    if (!fs::is_directory(folder)) return files;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file() && !entry.path().filename().string().starts_with(".")) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::uint8_t> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(FuzzReplay, EveryKeptInputPassesItsTargetsChecks) {
    ASSERT_FALSE(fuzz::targets().empty());
    for (const auto& [target, entry] : fuzz::targets()) {
        EXPECT_FALSE(kept_inputs("corpus", target).empty()) << target << " has no seed corpus";
        for (const char* kind : {"corpus", "regressions"}) {
            for (const fs::path& file : kept_inputs(kind, target)) {
                SCOPED_TRACE(file.string());
                const std::vector<std::uint8_t> bytes = read_file(file);
                try {
                    entry(bytes);
                } catch (const fuzz::CheckFailed& failure) {
                    ADD_FAILURE() << failure.what();
                } catch (const std::exception& error) {
                    ADD_FAILURE() << "exception escaped the target: " << error.what();
                }
            }
        }
    }
}

// A folder named after no target would be skipped without a word.
TEST(FuzzReplay, EveryFolderOfKeptInputsBelongsToATarget) {
    for (const char* kind : {"corpus", "regressions"}) {
        const fs::path folder = fuzz_dir() / kind;
        if (!fs::is_directory(folder)) continue;
        for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
            if (!entry.is_directory()) continue;
            EXPECT_TRUE(fuzz::targets().contains(entry.path().filename().string()))
                << entry.path() << " is not the folder of any fuzz target";
        }
    }
}

}  // namespace
}  // namespace quorix
