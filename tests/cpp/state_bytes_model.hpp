// A plain model of the state bytes shared by the C++ tests and the fuzz
// target: ordered maps instead of seeded hash maps, a straightforward byte
// writer, the size arithmetic of the layout, a reader that goes item by item,
// and a UTF-8 checker built from the definition of the encoding rather than
// from byte-range tables.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/encoder.hpp"
#include "engine/state_bytes.hpp"
#include "engine/utf8.hpp"

namespace quorix::model {

struct Info {
    std::vector<std::uint64_t> string_columns;
    std::map<std::uint64_t, std::map<std::string, std::optional<std::uint64_t>>> text_to_code;
    std::map<std::uint64_t, std::map<std::uint64_t, std::string>> code_to_text;
    bool operator==(const Info&) const = default;
};

// The whole record; the strategy has a single value, so only the info varies.
struct State {
    std::optional<Info> info;
    bool operator==(const State&) const = default;
};

// Readable failure output in the tests.
inline void PrintTo(const State& state, std::ostream* os) {
    if (!state.info) {
        *os << "unlearned";
        return;
    }
    *os << "columns [";
    for (auto column : state.info->string_columns) *os << column << ' ';
    *os << "] text_to_code {";
    for (const auto& [column, map] : state.info->text_to_code) {
        *os << column << ": {";
        for (const auto& [text, code] : map) {
            *os << '"' << text << "\": " << (code ? std::to_string(*code) : "none") << ", ";
        }
        *os << "} ";
    }
    *os << "} code_to_text {";
    for (const auto& [column, map] : state.info->code_to_text) {
        *os << column << ": {";
        for (const auto& [code, text] : map) *os << code << ": \"" << text << "\", ";
        *os << "} ";
    }
    *os << '}';
}

inline State from_encoder(const Encoder& encoder) {
    State state;
    if (!encoder.encoding_info) return state;
    const EncodingInfo& source = *encoder.encoding_info;
    Info& info = state.info.emplace();
    info.string_columns.assign(source.string_columns.begin(), source.string_columns.end());
    for (const auto& [column, map] : source.text_to_code) {
        auto& target = info.text_to_code[column];
        for (const auto& [text, code] : map) target.emplace(text, code);
    }
    for (const auto& [column, map] : source.code_to_text) {
        auto& target = info.code_to_text[column];
        for (const auto& [code, text] : map) target.emplace(code, text);
    }
    return state;
}

inline Encoder to_encoder(const State& state) {
    Encoder encoder;
    if (!state.info) return encoder;
    EncodingInfo& info = encoder.encoding_info.emplace();
    info.string_columns.assign(state.info->string_columns.begin(), state.info->string_columns.end());
    for (const auto& [column, map] : state.info->text_to_code) {
        TextToCode target;
        for (const auto& [text, code] : map) target.insert_or_assign(text, code);
        info.text_to_code.insert_or_assign(column, std::move(target));
    }
    for (const auto& [column, map] : state.info->code_to_text) {
        CodeToText target;
        for (const auto& [code, text] : map) target.insert_or_assign(code, text);
        info.code_to_text.insert_or_assign(column, std::move(target));
    }
    return encoder;
}

// Builds state bytes item by item and remembers which bytes are text
// content, so the failure that any truncation must give is known.
class Bytes {
public:
    Bytes& u8(std::uint8_t value) { return fixed(value, 1); }
    Bytes& u32(std::uint32_t value) { return fixed(value, 4); }
    Bytes& u64(std::uint64_t value) { return fixed(value, 8); }
    Bytes& content(std::string_view bytes) {
        for (char c : bytes) push(static_cast<std::uint8_t>(c), true);
        return *this;
    }
    Bytes& text(std::string_view bytes) { return u64(bytes.size()).content(bytes); }
    Bytes& append(const Bytes& other) {
        for (std::size_t i = 0; i < other.data_.size(); ++i) push(other.data_[i], other.in_text_[i]);
        return *this;
    }

    const std::vector<std::uint8_t>& data() const { return data_; }
    std::size_t size() const { return data_.size(); }
    std::span<const std::uint8_t> prefix(std::size_t length) const { return {data_.data(), length}; }
    // What reading fails with when the input stops before byte `index`.
    std::string truncation_message(std::size_t index) const {
        return in_text_[index] ? "io error: " : "io error: unexpected end of file";
    }

private:
    Bytes& fixed(std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i) push(static_cast<std::uint8_t>(value >> (8 * i)), false);
        return *this;
    }
    void push(std::uint8_t byte, bool in_text) {
        data_.push_back(byte);
        in_text_.push_back(in_text);
    }

    std::vector<std::uint8_t> data_;
    std::vector<bool> in_text_;
};

// The state bytes of `state`, every map in ascending key order.
inline Bytes to_bytes(const State& state) {
    Bytes out;
    out.u8(state.info ? 1 : 0);
    if (state.info) {
        const Info& info = *state.info;
        out.u64(info.string_columns.size());
        for (auto column : info.string_columns) out.u64(column);
        out.u64(info.text_to_code.size());
        for (const auto& [column, map] : info.text_to_code) {
            out.u64(column).u64(map.size());
            for (const auto& [text, code] : map) {
                out.text(text).u8(code ? 1 : 0);
                if (code) out.u64(*code);
            }
        }
        out.u64(info.code_to_text.size());
        for (const auto& [column, map] : info.code_to_text) {
            out.u64(column).u64(map.size());
            for (const auto& [code, text] : map) out.u64(code).text(text);
        }
    }
    return out.u32(0);
}

// The size arithmetic of the layout, term by term.
inline std::size_t formula_size(const State& state) {
    if (!state.info) return 5;
    const Info& info = *state.info;
    std::size_t size = 1 + 4 + 8 * (1 + info.string_columns.size());
    size += 8;
    for (const auto& [column, map] : info.text_to_code) {
        size += 16;
        for (const auto& [text, code] : map) size += 8 + text.size() + 1 + (code ? 8 : 0);
    }
    size += 8;
    for (const auto& [column, map] : info.code_to_text) {
        size += 16;
        for (const auto& [code, text] : map) size += 16 + text.size();
    }
    return size;
}

// The plain reader: one pass, item by item into the module's own maps,
// stopping at the first item that does not read. read_state must give the
// same record or the same error on every input.
namespace plain_reading {

struct Failure {
    std::string message;
};

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) noexcept
        : next_(bytes.data()), end_(bytes.data() + bytes.size()) {}

    std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - next_); }

    std::uint8_t u8() { return *take_fixed(1); }

    std::uint32_t u32() {
        const std::uint8_t* p = take_fixed(4);
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i) value = value << 8 | p[i];
        return value;
    }

    std::uint64_t u64() {
        const std::uint8_t* p = take_fixed(8);
        std::uint64_t value = 0;
        for (int i = 7; i >= 0; --i) value = value << 8 | p[i];
        return value;
    }

    bool tag() {
        std::uint8_t value = u8();
        if (value > 1) throw Failure{"tag for enum is not valid, found " + std::to_string(value)};
        return value == 1;
    }

    std::string text() {
        std::uint64_t length = u64();
        if (length > remaining()) throw Failure{"io error: "};
        std::span<const std::uint8_t> content(next_, static_cast<std::size_t>(length));
        if (auto fault = find_utf8_fault(content)) throw Failure{"string is not valid utf8: " + describe(*fault)};
        next_ += length;
        return std::string(reinterpret_cast<const char*>(content.data()), content.size());
    }

private:
    const std::uint8_t* take_fixed(std::size_t size) {
        if (remaining() < size) throw Failure{"io error: unexpected end of file"};
        const std::uint8_t* p = next_;
        next_ += size;
        return p;
    }

    const std::uint8_t* next_;
    const std::uint8_t* end_;
};

inline TextToCode text_to_code(Reader& in) {
    TextToCode map;
    for (std::uint64_t i = 0, count = in.u64(); i < count; ++i) {
        std::string text = in.text();
        std::optional<Code> code;
        if (in.tag()) code = in.u64();
        map.insert_or_assign(std::move(text), code);
    }
    return map;
}

inline CodeToText code_to_text(Reader& in) {
    CodeToText map;
    for (std::uint64_t i = 0, count = in.u64(); i < count; ++i) {
        Code code = in.u64();
        map.insert_or_assign(code, in.text());
    }
    return map;
}

template <class ColumnMap>
HashMap<ColumnIndex, ColumnMap> columns(Reader& in, ColumnMap (*read_column)(Reader&)) {
    HashMap<ColumnIndex, ColumnMap> outer;
    for (std::uint64_t i = 0, count = in.u64(); i < count; ++i) {
        ColumnIndex column = in.u64();
        outer.insert_or_assign(column, read_column(in));
    }
    return outer;
}

}  // namespace plain_reading

inline StateReadResult read_state_plain(std::span<const std::uint8_t> bytes) {
    using namespace plain_reading;
    try {
        Reader in(bytes);
        Encoder encoder;
        if (in.tag()) {
            EncodingInfo& info = encoder.encoding_info.emplace();
            for (std::uint64_t i = 0, count = in.u64(); i < count; ++i) info.string_columns.push_back(in.u64());
            info.text_to_code = columns<TextToCode>(in, text_to_code);
            info.code_to_text = columns<CodeToText>(in, code_to_text);
        }
        std::uint32_t strategy = in.u32();
        if (strategy != static_cast<std::uint32_t>(EncodingStrategy::Label)) {
            throw Failure{"invalid value: integer `" + std::to_string(strategy) + "`, expected variant index 0 <= i < 1"};
        }
        encoder.encoding_strat = EncodingStrategy::Label;
        return encoder;
    } catch (Failure& failure) {
        return StateReadError{std::move(failure.message)};
    }
}

// Textbook UTF-8 encoding of a scalar value.
inline std::string encode_scalar(std::uint32_t cp) {
    std::string out;
    auto add = [&](std::uint32_t byte) { out.push_back(static_cast<char>(byte)); };
    if (cp < 0x80) {
        add(cp);
    } else if (cp < 0x800) {
        add(0xC0 | (cp >> 6));
        add(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        add(0xE0 | (cp >> 12));
        add(0x80 | ((cp >> 6) & 0x3F));
        add(0x80 | (cp & 0x3F));
    } else {
        add(0xF0 | (cp >> 18));
        add(0x80 | ((cp >> 12) & 0x3F));
        add(0x80 | ((cp >> 6) & 0x3F));
        add(0x80 | (cp & 0x3F));
    }
    return out;
}

// Finds the first fault by the definition: the encodings of all scalar
// values (U+0000..U+10FFFF without surrogates) and all their proper
// prefixes are listed; at each position the longest listed prefix is the
// part that was still valid. Slow to build, simple to trust.
class Utf8Reference {
public:
    Utf8Reference() {
        for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
            if (cp >= 0xD800 && cp <= 0xDFFF) continue;
            std::string bytes = encode_scalar(cp);
            complete_.push_back(key(bytes));
            for (std::size_t k = 1; k < bytes.size(); ++k) {
                partial_.push_back(key(std::string_view(bytes).substr(0, k)));
            }
        }
        std::sort(complete_.begin(), complete_.end());
        std::sort(partial_.begin(), partial_.end());
        partial_.erase(std::unique(partial_.begin(), partial_.end()), partial_.end());
    }

    std::optional<Utf8Fault> find_fault(std::span<const std::uint8_t> text) const {
        std::size_t i = 0;
        while (i < text.size()) {
            std::size_t valid = 0;
            bool complete = false;
            for (std::size_t k = 1; k <= 4 && i + k <= text.size(); ++k) {
                std::string_view piece(reinterpret_cast<const char*>(text.data() + i), k);
                if (std::binary_search(complete_.begin(), complete_.end(), key(piece))) {
                    valid = k;
                    complete = true;
                    break;
                }
                if (!std::binary_search(partial_.begin(), partial_.end(), key(piece))) break;
                valid = k;
            }
            if (complete) {
                i += valid;
            } else if (valid > 0 && i + valid == text.size()) {
                return Utf8Fault{i, 0};
            } else {
                return Utf8Fault{i, std::max<std::size_t>(valid, 1)};
            }
        }
        return std::nullopt;
    }

private:
    static std::uint64_t key(std::string_view bytes) {
        std::uint64_t k = 0;
        for (char c : bytes) k = (k << 8) | static_cast<std::uint8_t>(c);
        return k | (static_cast<std::uint64_t>(bytes.size()) << 40);
    }

    std::vector<std::uint64_t> complete_;
    std::vector<std::uint64_t> partial_;
};

inline const Utf8Reference& utf8_reference() {
    static const Utf8Reference reference;
    return reference;
}

}  // namespace quorix::model
