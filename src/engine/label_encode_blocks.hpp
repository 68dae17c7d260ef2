// Label encoding of one column whose texts are read a block of rows at a
// time, each block's texts valid only until the next block is read: texts
// made on the fly (from UCS4, from bytes) or read from storage too large to
// hold a view of every row.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "engine/encoding_info.hpp"

namespace quorix {

class TextBlocks {
public:
    virtual ~TextBlocks() = default;
    // How many rows one read should cover.
    virtual std::size_t block_rows() const noexcept = 0;
    // The texts of rows [begin, end) into texts[0 .. end - begin), valid until
    // the next read; false when a row has no text this reader can give.
    virtual bool read(std::size_t begin, std::size_t end, std::string_view* texts) = 0;
};

// The codes of rows 0 .. rows - 1 at codes[r * stride] and the map, exactly
// as label_encode gives them for the same texts. Each row's text is read
// once; a distinct text is kept once. The rows are read and looked up on
// the calling thread; the sort and the last pass over the codes use the
// pool. Nothing when a read fails (the codes are then
// partly written) or when there are 2^32 - 1 distinct texts or more.
std::optional<TextToCode> label_encode_blocks(TextBlocks& rows, std::size_t count, double* codes,
                                              std::size_t stride);

}  // namespace quorix
