// Reading state bytes objects.
#include "binding/state_object.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "engine/state_bytes.hpp"

namespace quorix {

Result<Encoder> read_state_object(PyObject* state, const char* what, const char* failure) {
    if (!PyBytes_Check(state)) {
        return PyError::type_mismatch(state, "bytes").with_note(std::string("while processing '") + what + "'");
    }
    StateReadResult read = read_state(std::span(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(state)),
                                                static_cast<std::size_t>(PyBytes_GET_SIZE(state))));
    if (auto* fault = std::get_if<StateReadError>(&read)) {
        return PyError::pending(PyExc_ValueError, failure + fault->message);
    }
    return std::get<Encoder>(std::move(read));
}

}  // namespace quorix
