// Texts laid end to end in one block and found by number: a column's
// distinct texts stored once, for every map that names them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "engine/parallel_loops.hpp"
#include "engine/uninitialized.hpp"

namespace quorix {

class TextStore {
public:
    TextStore() : offsets_(1, 0) {}

    std::size_t size() const noexcept { return offsets_.size() - 1; }

    std::string_view operator[](std::size_t number) const noexcept {
        return {bytes_.data() + offsets_[number],
                static_cast<std::size_t>(offsets_[number + 1] - offsets_[number])};
    }

    // Texts are only ever added: a number, once given, names the same text
    // for the store's whole life.
    std::size_t append(std::string_view text) {
        // Room for the offset first, so that a refused allocation changes nothing.
        if (offsets_.size() == offsets_.capacity()) offsets_.reserve(offsets_.size() * 2);
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        offsets_.push_back(bytes_.size());
        return size() - 1;
    }

    // Makes room, in an empty store, for `count` texts of the lengths
    // `length_of(i)`; the caller then writes each text's bytes at data(i).
    template <class LengthOf>
    void lay_out(std::size_t count, const LengthOf& length_of) {
        constexpr std::size_t block = std::size_t{1} << 16;
        const std::size_t blocks = (count + block - 1) / block;
        offsets_.resize(count + 1);
        offsets_[0] = 0;
        std::vector<std::uint64_t> block_bytes(blocks + 1, 0);
        parallel_for_each_index(blocks, [&](std::size_t b) {
            std::uint64_t sum = 0;
            for (std::size_t i = b * block, end = std::min(count, i + block); i < end; ++i) {
                sum += length_of(i);
                offsets_[i + 1] = sum;
            }
            block_bytes[b + 1] = sum;
        });
        for (std::size_t b = 0; b < blocks; ++b) block_bytes[b + 1] += block_bytes[b];
        parallel_for_each_index(blocks, [&](std::size_t b) {
            const std::uint64_t base = block_bytes[b];
            if (base == 0) return;
            for (std::size_t i = b * block, end = std::min(count, i + block); i < end; ++i) offsets_[i + 1] += base;
        });
        bytes_.resize(offsets_.back());
    }

    char* data(std::size_t number) noexcept { return bytes_.data() + offsets_[number]; }

private:
    UninitializedVector<char> bytes_;
    UninitializedVector<std::uint64_t> offsets_;  // text i is [offsets_[i], offsets_[i + 1])
};

}  // namespace quorix
