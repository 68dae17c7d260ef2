// OUT: what input extraction tells output building about the table's kind.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quorix {

struct OUT {
    // The frame's column labels as texts; absent for NumPy input.
    std::optional<std::vector<std::string>> columns;
};

}  // namespace quorix
