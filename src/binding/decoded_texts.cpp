// The strs kept for a learned state's texts.
#include "binding/decoded_texts.hpp"

#include <utility>

#include "engine/internal_error.hpp"

namespace quorix {

DecodedTexts::Column& DecodedTexts::column(ColumnIndex column, std::size_t entries) {
    auto found = columns_.find(column);
    if (found == columns_.end()) {
        Column slots;
        slots.strs.resize(entries);
        found = columns_.emplace(column, std::move(slots)).first;
    } else if (found->second.strs.size() != entries) {
        panic("decoded texts kept for another learned state");
    }
    return found->second;
}

}  // namespace quorix
