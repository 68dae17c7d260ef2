// Argument matching for the constructor and the methods.
#include "binding/arguments.hpp"

#include <array>
#include <vector>

namespace quorix {
namespace {

PyError type_error(std::string message) { return PyError::pending(PyExc_TypeError, std::move(message)); }

Status too_many_positional(const char* full_name, std::span<const Parameter> parameters, Py_ssize_t given) {
    std::size_t required = 0;
    for (const Parameter& parameter : parameters) required += parameter.required ? 1 : 0;
    const std::string total = std::to_string(parameters.size());
    const std::string counted = required == parameters.size()
                                    ? total
                                    : "from " + std::to_string(required) + " to " + total;
    return type_error(std::string(full_name) + " takes " + counted + " positional arguments but " +
                      std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

// Places one keyword argument; `name` is the keyword as a str.
Status place_keyword(const char* full_name, std::span<const Parameter> parameters, Py_ssize_t nargs,
                     PyObject* name, PyObject* value, std::span<PyObject*> out) {
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, parameters[i].name) == 0) {
            if (static_cast<Py_ssize_t>(i) < nargs || out[i] != nullptr) {
                return type_error(std::string(full_name) + " got multiple values for argument '" +
                                  parameters[i].name + "'");
            }
            out[i] = value;
            return Ok{};
        }
    }
    PyRef text = PyRef::steal(PyObject_Str(name));
    if (!text) return PyError::fetch();
    const char* utf8 = PyUnicode_AsUTF8(text.get());
    if (utf8 == nullptr) return PyError::fetch();
    return type_error(std::string(full_name) + " got an unexpected keyword argument '" + utf8 + "'");
}

Status check_required(const char* full_name, std::span<const Parameter> parameters, std::span<PyObject*> out) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (parameters[i].required && out[i] == nullptr) missing.push_back(parameters[i].name);
    }
    if (missing.empty()) return Ok{};
    return type_error(missing_arguments_message(full_name, "positional", missing));
}

Status place_positional(const char* full_name, std::span<const Parameter> parameters, PyObject* const* args,
                        Py_ssize_t nargs, std::span<PyObject*> out) {
    if (nargs > static_cast<Py_ssize_t>(parameters.size())) {
        return too_many_positional(full_name, parameters, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
    return Ok{};
}

}  // namespace

std::string missing_arguments_message(const char* full_name, const char* kind,
                                      std::span<const char* const> names) {
    std::string message = std::string(full_name) + " missing " + std::to_string(names.size()) + " required " +
                          kind + (names.size() == 1 ? " argument: " : " arguments: ");
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) message += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        message += std::string("'") + names[i] + "'";
    }
    return message;
}

Status match_vectorcall(const char* full_name, std::span<const Parameter> parameters, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out) {
    for (PyObject*& slot : out) slot = nullptr;
    QUORIX_CHECK(place_positional(full_name, parameters, args, nargs, out));
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        QUORIX_CHECK(place_keyword(full_name, parameters, nargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out));
    }
    return check_required(full_name, parameters, out);
}

Status match_tuple_and_dict(const char* full_name, std::span<const Parameter> parameters, PyObject* args,
                            PyObject* kwargs, std::span<PyObject*> out) {
    for (PyObject*& slot : out) slot = nullptr;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    QUORIX_CHECK(place_positional(full_name, parameters, &PyTuple_GET_ITEM(args, 0), nargs, out));
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *name = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            QUORIX_CHECK(place_keyword(full_name, parameters, nargs, name, value, out));
        }
    }
    return check_required(full_name, parameters, out);
}

Result<PyObject*> match_one(const char* full_name, const char* name, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    const std::array<Parameter, 1> parameters{{{name, true}}};
    std::array<PyObject*, 1> given{};
    QUORIX_CHECK(match_vectorcall(full_name, parameters, args, PyVectorcall_NARGS(nargsf), kwnames, given));
    return given[0];
}

}  // namespace quorix
