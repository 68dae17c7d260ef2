// Internal errors: broken expectations that unwind the whole call (across
// worker threads too) and become PanicException at the method boundary.
// Pure C++: the engine uses this without the interpreter.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace quorix {

class InternalError : public std::runtime_error {
public:
    explicit InternalError(const std::string& message) : std::runtime_error(message) {}
};

// Writes the report of an internal error to standard error from the current
// thread, then throws it. `context` alone, or "context: description".
[[noreturn]] void panic(const std::string& message,
                        std::source_location where = std::source_location::current());
[[noreturn]] void panic(const std::string& context, const std::string& description,
                        std::source_location where = std::source_location::current());

// Writes the standard-error report only (used when an error is resumed
// without a new report being due, this is not called).
void report_internal_error(const std::string& message, std::source_location where);

}  // namespace quorix
