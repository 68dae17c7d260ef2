// The Encoder record: the payload of every Encoder Python object.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/encoding_info.hpp"

namespace quorix {

// How string columns are encoded; Label is the only strategy.
enum class EncodingStrategy : std::uint32_t { Label = 0 };

struct Encoder {
    // Absent until an encode learns a state, and after an encode of a float64 array.
    std::optional<EncodingInfo> encoding_info;
    EncodingStrategy encoding_strat = EncodingStrategy::Label;
};

}  // namespace quorix
