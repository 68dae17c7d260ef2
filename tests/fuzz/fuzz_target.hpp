// What a fuzz target is: one function that takes the fuzzer's bytes and
// checks what the code under test does with them. Built with libFuzzer
// (QUORIX_LIBFUZZER), the function becomes LLVMFuzzerTestOneInput and a
// failed check aborts, so the fuzzer keeps the input. Built into the C++
// tests, the function is registered under the target's name and a failed
// check throws, so replaying a kept input reports the failure and the replay
// goes on with the next input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <span>
#include <stdexcept>
#include <string>

namespace quorix::fuzz {

using Entry = void (*)(std::span<const std::uint8_t> input);

struct CheckFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const char* target, const std::string& what) {
#ifdef QUORIX_LIBFUZZER
    std::fprintf(stderr, "%s fuzz target: %s\n", target, what.c_str());
    std::abort();
#else
    throw CheckFailed(std::string(target) + ": " + what);
#endif
}

// Every target linked into this binary, by name (the name of its folders
// under tests/fuzz/corpus and tests/fuzz/regressions).
inline std::map<std::string, Entry>& targets() {
    static std::map<std::string, Entry> registered;
    return registered;
}

struct Registration {
    Registration(const char* name, Entry entry) { targets().emplace(name, entry); }
};

}  // namespace quorix::fuzz

// QUORIX_FUZZ_TARGET(name) { ... uses `input` ... }
#ifdef QUORIX_LIBFUZZER
#define QUORIX_FUZZ_TARGET(name)                                                            \
    static void quorix_fuzz_##name(std::span<const std::uint8_t> input);                    \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {     \
        quorix_fuzz_##name(std::span<const std::uint8_t>(data, size));                      \
        return 0;                                                                           \
    }                                                                                       \
    static void quorix_fuzz_##name(std::span<const std::uint8_t> input)
#else
#define QUORIX_FUZZ_TARGET(name)                                                            \
    static void quorix_fuzz_##name(std::span<const std::uint8_t> input);                    \
    static const ::quorix::fuzz::Registration quorix_fuzz_registration_##name(#name,        \
                                                                              quorix_fuzz_##name); \
    static void quorix_fuzz_##name(std::span<const std::uint8_t> input)
#endif
