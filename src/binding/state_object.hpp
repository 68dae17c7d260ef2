// State bytes given from Python, read into a learned record: the one place
// where either module reads a state.
#pragma once

#include <Python.h>

#include "engine/encoder.hpp"
#include "binding/py_error.hpp"

namespace quorix {

// The record in `state`, read aside from the bytes object's own buffer, so a
// caller replaces what it holds only once the whole state has been read.
// Anything but bytes is a TypeError noting the parameter `what`; damaged
// bytes a ValueError whose message is `failure` followed by the fault.
Result<Encoder> read_state_object(PyObject* state, const char* what, const char* failure);

}  // namespace quorix
