// The table as input extraction read it: per column either its numbers or
// its texts, ready for the encoding engine (which never touches Python).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quorix {

// The texts of one column stored back to back in one buffer:
// text r is bytes_[offsets_[r], offsets_[r + 1]).
class TextColumn {
public:
    TextColumn() : offsets_{0} {}

    void reserve(std::size_t count, std::size_t bytes) {
        offsets_.reserve(count + 1);
        bytes_.reserve(bytes);
    }
    void push_back(std::string_view text) {
        bytes_.append(text);
        offsets_.push_back(bytes_.size());
    }
    void clear() {
        bytes_.clear();
        offsets_.assign(1, 0);
    }

    std::size_t size() const noexcept { return offsets_.size() - 1; }
    bool empty() const noexcept { return size() == 0; }
    std::string_view operator[](std::size_t row) const noexcept {
        return std::string_view(bytes_.data() + offsets_[row], offsets_[row + 1] - offsets_[row]);
    }

private:
    std::string bytes_;
    std::vector<std::size_t> offsets_;
};

struct GatheredColumn {
    bool is_string = false;
    std::vector<double> numbers;  // rows values when !is_string, else empty
    TextColumn texts;             // rows texts when is_string, else empty
};

struct GatheredColumns {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<GatheredColumn> columns;  // cols entries

    GatheredColumns(std::size_t rows_, std::size_t cols_) : rows(rows_), cols(cols_), columns(cols_) {}
};

}  // namespace quorix
