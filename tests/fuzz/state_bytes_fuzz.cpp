// Fuzzes reading the state bytes: any input either fails with one of the
// known messages or gives a record that writes back to bytes of the computed
// size and reads back to the same record. The two-pass reader behind
// read_state must agree with the model's plain reader on every input, on the
// calling thread and on the worker pool: the same error text, or records that
// write back to the same bytes. The UTF-8 check is compared with the slow reference
// on the raw input as well.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "../cpp/state_bytes_model.hpp"
#include "fuzz_target.hpp"
#include "engine/state_bytes.hpp"

namespace {

bool known_message(std::string_view message) {
    for (std::string_view prefix :
         {"io error: unexpected end of file", "tag for enum is not valid, found ",
          "string is not valid utf8: ", "invalid value: integer `"}) {
        if (message.starts_with(prefix)) return true;
    }
    return message == "io error: ";
}

[[noreturn]] void fail(const char* what) { quorix::fuzz::fail("state_bytes", what); }

}  // namespace

QUORIX_FUZZ_TARGET(state_bytes) {
    using namespace quorix;
    const std::size_t size = input.size();

    if (find_utf8_fault(input) != model::utf8_reference().find_fault(input)) {
        fail("UTF-8 check disagrees with the reference");
    }

    StateReadResult first = model::read_state_plain(input);
    for (std::size_t parallel_min_entries : {std::size_t{0}, SIZE_MAX}) {
        const StateReadResult fast = read_state_two_pass(input, parallel_min_entries);
        if (first.index() != fast.index()) fail("the two-pass reader disagrees on success");
        if (auto* error = std::get_if<StateReadError>(&first)) {
            if (std::get<StateReadError>(fast).message != error->message) {
                fail("the two-pass reader reports another error");
            }
        } else if (encode_state(std::get<Encoder>(fast)) != encode_state(std::get<Encoder>(first))) {
            fail("the two-pass reader gives another record");
        }
    }
    if (auto* error = std::get_if<StateReadError>(&first)) {
        if (!known_message(error->message)) fail("unknown reading error");
        return;
    }
    const Encoder& encoder = std::get<Encoder>(first);

    // An exact-size heap buffer, so writing past state_size is caught.
    const std::size_t length = state_size(encoder);
    std::vector<std::uint8_t> written(length);
    write_state(encoder, written.data());
    // Duplicate keys collapse when read, so a rewrite is never longer.
    if (length > size) fail("rewritten state longer than its input");

    StateReadResult second = read_state(written);
    if (!std::holds_alternative<Encoder>(second)) fail("rewritten state does not read");
    const Encoder& again = std::get<Encoder>(second);
    if (model::from_encoder(again) != model::from_encoder(encoder)) fail("round trip changed the record");
    if (state_size(again) != length) fail("round trip changed the size");
}
