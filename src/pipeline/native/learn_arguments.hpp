// The arguments of the learn functions: a table, and whether to count the
// cells of each text (off unless asked for: counting costs a fit its codes).
#pragma once

#include <Python.h>

#include <array>

#include "binding/arguments.hpp"
#include "binding/py_error.hpp"

namespace quorix::pipeline {

struct LearnArguments {
    PyObject* table = nullptr;  // borrowed
    bool count = false;
};

inline Result<LearnArguments> learn_arguments(const char* full_name, PyObject* const* args, Py_ssize_t nargsf,
                                              PyObject* kwnames) {
    static constexpr std::array<Parameter, 2> parameters{{{"table", true}, {"count", false}}};
    std::array<PyObject*, 2> given{};
    QUORIX_CHECK(match_vectorcall(full_name, parameters, args, PyVectorcall_NARGS(nargsf), kwnames, given));
    LearnArguments learning{given[0], false};
    if (given[1] != nullptr) {
        const int truth = PyObject_IsTrue(given[1]);
        if (truth < 0) return PyError::fetch().with_note("while processing 'count'");
        learning.count = truth == 1;
    }
    return learning;
}

}  // namespace quorix::pipeline
