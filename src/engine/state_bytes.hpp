// The state bytes: the persistent, headerless little-endian form of an
// Encoder record, written by __getstate__ and read by __setstate__.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "engine/encoder.hpp"
#include "engine/utf8.hpp"

namespace quorix {

// Exact length of the state bytes of `encoder`.
std::size_t state_size(const Encoder& encoder) noexcept;

// Writes exactly state_size(encoder) bytes to `out`, each map in its current
// iteration order. The caller owns the buffer (normally the storage of a new
// bytes object), so writing needs neither an allocation nor a copy.
void write_state(const Encoder& encoder, std::uint8_t* out) noexcept;

// state_size and write_state into a vector of its own.
std::vector<std::uint8_t> encode_state(const Encoder& encoder);

// Why reading failed: the text that follows "failed to unpickle Encoder: ".
struct StateReadError {
    std::string message;
};

using StateReadResult = std::variant<Encoder, StateReadError>;

// Reads one record from the front of `bytes`; whatever follows it is ignored.
// The input is not copied: each text's content is copied once into its own
// string. Counts only say how many items to read, so a hostile count costs at
// most a bounded reservation before the input runs out.
StateReadResult read_state(std::span<const std::uint8_t> bytes);

// What read_state does, in two passes: the first checks the record's
// structure (every fixed-width item, text length and tag) and finds where
// each per-column map lies; the second builds the maps from there, on the
// worker pool when they hold at least `parallel_min_entries` entries in all.
// On any failure the structure is walked again, every text's UTF-8 checked
// on the way, and the first fault in input order is the error: the one that
// reading item by item meets first. Separate from read_state so tests can
// force either build.
inline constexpr std::size_t kParallelReadMinEntries = 1 << 15;
StateReadResult read_state_two_pass(std::span<const std::uint8_t> bytes,
                                    std::size_t parallel_min_entries = kParallelReadMinEntries);

}  // namespace quorix
