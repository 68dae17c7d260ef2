// Reporting and throwing internal errors.
#include "engine/internal_error.hpp"

#include <execinfo.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace quorix {
namespace {

std::atomic<bool> hint_written{false};

bool backtrace_wanted() {
    const char* value = std::getenv("QUORIX_BACKTRACE");
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

// Pool workers carry no name; any other thread reports the name the system gave it.
std::string current_thread_name() {
    char name[64] = {0};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
        return "<unnamed>";
    }
    return name;
}

}  // namespace

void report_internal_error(const std::string& message, SourceLocation where) {
    // One write per report so that reports of concurrent threads do not interleave.
    std::string report = "thread '" + current_thread_name() + "' (" +
                         std::to_string(static_cast<long>(syscall(SYS_gettid))) +
                         ") hit an internal error at " + where.file_name() + ":" +
                         std::to_string(where.line()) + ":" + std::to_string(where.column()) +
                         ":\n" + message + "\n";
    const bool with_backtrace = backtrace_wanted();
    if (!with_backtrace && !hint_written.exchange(true)) {
        report += "note: set the environment variable QUORIX_BACKTRACE=1 to print a backtrace\n";
    }
    std::fwrite(report.data(), 1, report.size(), stderr);
    if (with_backtrace) {
        void* frames[64];
        const int count = backtrace(frames, 64);
        backtrace_symbols_fd(frames, count, STDERR_FILENO);
    }
    std::fflush(stderr);
}

void panic(const std::string& message, SourceLocation where) {
    report_internal_error(message, where);
    throw InternalError(message);
}

void panic(const std::string& context, const std::string& description,
           SourceLocation where) {
    panic(context + ": " + description, where);
}

}  // namespace quorix
