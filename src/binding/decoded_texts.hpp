// The strs decoding made for a learned state's texts, kept beside it so that
// later decodes take them (one reference each) instead of making them again.
#pragma once

#include <Python.h>

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "engine/text_maps.hpp"
#include "binding/py_ref.hpp"

namespace quorix {

// Per decoded column, one slot per entry of its code-to-text map, null until
// a decode first meets that entry's code. Nothing is allocated before the
// first decode, and a column's slots only when it is first decoded.
//
// Made, read and dropped only under the interpreter lock, in steps that run
// no Python code: two decodes of one state never fill it at once. The pool's
// workers read filled slots while the calling thread waits on them. Whoever
// replaces the learned state drops it first (an Encoder under its exclusive
// borrow, so no decode of the old state is still running).
class DecodedTexts {
public:
    DecodedTexts() = default;
    DecodedTexts(const DecodedTexts&) = delete;
    DecodedTexts& operator=(const DecodedTexts&) = delete;
    DecodedTexts(DecodedTexts&&) noexcept = default;
    DecodedTexts& operator=(DecodedTexts&&) noexcept = default;

    struct Column {
        std::vector<PyRef> strs;  // by entry number of the column's map
        std::size_t made = 0;     // slots not null
    };

    // Column `column`'s slots, made (all null) on first use for a map of
    // `entries` entries. The map of a column does not change while its
    // slots live.
    Column& column(ColumnIndex column, std::size_t entries);

    // Gives every reference back.
    void clear() noexcept { columns_.clear(); }

private:
    std::unordered_map<ColumnIndex, Column> columns_;
};

}  // namespace quorix
