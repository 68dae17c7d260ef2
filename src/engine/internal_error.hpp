// Internal errors: broken expectations that unwind the whole call (across
// worker threads too) and become PanicException at the method boundary.
// Pure C++: the engine uses this without the interpreter.
#pragma once

#include <stdexcept>
#include <string>
#if __has_include(<source_location>)
#include <source_location>
#endif

namespace quorix {

// Where an internal error was raised. Some compilers ship a standard library
// without std::source_location (clang 14 with libstdc++ 12, which builds the
// fuzzers); they get the same three fields from the compiler's builtins.
#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
class SourceLocation {
public:
    static constexpr SourceLocation current(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE(),
                                            unsigned column = __builtin_COLUMN()) noexcept {
        SourceLocation where;
        where.file_ = file;
        where.line_ = line;
        where.column_ = column;
        return where;
    }
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr unsigned line() const noexcept { return line_; }
    constexpr unsigned column() const noexcept { return column_; }

private:
    const char* file_ = "";
    unsigned line_ = 0;
    unsigned column_ = 0;
};
#endif

class InternalError : public std::runtime_error {
public:
    explicit InternalError(const std::string& message) : std::runtime_error(message) {}
};

// The context of a panic on an error result that was taken to be a success.
inline constexpr const char* kUnwrap = "called `Result::unwrap()` on an `Err` value";
// A learned map asked for a key it does not hold.
inline constexpr const char* kNoEntryForKey = "no entry found for key";

// Writes the report of an internal error to standard error from the current
// thread, then throws it. `context` alone, or "context: description".
[[noreturn]] void panic(const std::string& message,
                        SourceLocation where = SourceLocation::current());
[[noreturn]] void panic(const std::string& context, const std::string& description,
                        SourceLocation where = SourceLocation::current());

// Writes the standard-error report only (used when an error is resumed
// without a new report being due, this is not called).
void report_internal_error(const std::string& message, SourceLocation where);

}  // namespace quorix
