// The flag lives here, in the runtime library both modules link: a flag
// defined in the header would be one copy per module, and the readers would
// never see the pipeline's scope.
#include "binding/none_reading.hpp"

namespace quorix {
namespace {
thread_local bool none_is_missing = false;
}  // namespace

NoneIsMissing::NoneIsMissing() noexcept : previous_(none_is_missing) { none_is_missing = true; }

NoneIsMissing::~NoneIsMissing() { none_is_missing = previous_; }

bool NoneIsMissing::active() noexcept { return none_is_missing; }

}  // namespace quorix
