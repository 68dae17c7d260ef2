// Decoded cells written in bulk: the strs of the codes that occur are taken
// from the learned state's kept strs (made there on the calling thread when
// first met), the pool's workers lay the pointers out, and the references
// are handed to the cells in one step at the end.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "engine/encoding_info.hpp"
#include "binding/decoded_texts.hpp"
#include "binding/matrix.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"

namespace quorix {

// One column of the matrix to decode, and where its cells go: slot r of the
// column is `slots[r * step]`, a slot of a new object array that holds null.
struct TextColumnTarget {
    ColumnIndex column;
    const CodeToText* map;
    PyObject** slots;
    std::ptrdiff_t step;
};

// A new str of UTF-8 `text`, made without decoding when the text is ASCII.
Result<PyRef> new_text_str(std::string_view text);

// Writes the text of every cell of every target (`missing` for NaN and for
// codes without a text), each text's str taken from `kept`, made there when
// missing. Every target column is below the matrix's cols, each once. On
// success every slot holds a reference; on failure no slot has been written
// (strs made before it stay kept). Nothing here runs Python code, so neither
// the slots nor `kept` are seen half written.
Status write_text_cells(const Matrix& matrix, const std::vector<TextColumnTarget>& targets, PyObject* missing,
                        DecodedTexts& kept);

}  // namespace quorix
