"""A Python model of decoding: Encoders learned from hand-made state bytes,
and the results their decode must give, built cell by cell."""

import math
import struct

import numpy as np
import pandas as pd

import quorix

LARGEST = 2**64 - 1


def state_bytes(string_columns, code_to_text):
    """An Encoder's state with the given string columns and code-to-text maps."""

    def u64(n):
        return struct.pack("<Q", n)

    def text(t):
        raw = t.encode()
        return u64(len(raw)) + raw

    out = b"\x01" + u64(len(string_columns)) + b"".join(u64(c) for c in string_columns)
    out += u64(len(code_to_text))
    for c, codes in code_to_text.items():
        out += u64(c) + u64(len(codes)) + b"".join(text(t) + b"\x01" + u64(k) for k, t in codes.items())
    out += u64(len(code_to_text))
    for c, codes in code_to_text.items():
        out += u64(c) + u64(len(codes)) + b"".join(u64(k) + text(t) for k, t in codes.items())
    return out + b"\x00\x00\x00\x00"


def learned(string_columns, code_to_text):
    encoder = quorix.Encoder()
    encoder.__setstate__(state_bytes(string_columns, code_to_text))
    return encoder


def model_code(value):
    if value >= 2.0**64:
        return LARGEST
    if value < 0:
        return 0
    return int(value)


def model_text(value, codes, missing):
    if math.isnan(value):
        return missing
    return codes.get(model_code(value), missing)


class ModelPanic(Exception):
    """The internal error the module raises, by its message."""


def plain_numpy_decode(matrix, string_columns, code_to_text):
    """numpy.array(base).astype("object"), which keeps the base's C or Fortran
    order and makes a Python float of every cell, then one __setitem__ per
    cell of each listed column: its text, or "NaN". The listed columns are
    checked first, in list order."""
    rows, cols = matrix.shape
    for c in string_columns:
        if c not in code_to_text:
            raise ModelPanic("no entry found for key")
        if rows and c >= cols:
            raise ModelPanic("ndarray: index out of bounds")
    result = np.array(matrix).astype("object")
    for c in string_columns:
        for i in range(rows):
            result.__setitem__((i, c), model_text(matrix[i, c], code_to_text[c], "NaN"))
    return result


def plain_frame_decode(matrix, labels, string_columns, code_to_text):
    """The frame, each listed column in turn made an object column and written
    whole: through .loc by its label, or through .iloc by its position where
    the label names several columns; texts, or None. A listed column that
    fails a check raises where it stands."""
    rows, cols = matrix.shape
    expected = pd.DataFrame(matrix, columns=labels)
    repeated = {label for label in labels if labels.count(label) > 1}
    for c in string_columns:
        if c not in code_to_text:
            raise ModelPanic("no entry found for key")
        if rows and c >= cols:
            raise ModelPanic("ndarray: index out of bounds")
        if c >= len(labels):
            raise ModelPanic(f"index out of bounds: the len is {len(labels)} but the index is {c}")
        texts = [model_text(v, code_to_text[c], None) for v in matrix[:, c]]
        if labels[c] in repeated:
            expected.isetitem(c, expected.iloc[:, c].astype("object"))
            expected.iloc[:, c] = texts
        else:
            expected[labels[c]] = expected[labels[c]].astype("object")
            expected.loc[:, labels[c]] = texts
    return expected


def assert_same_cells(actual, expected):
    assert actual.shape == expected.shape and actual.dtype == expected.dtype
    assert actual.flags.c_contiguous == expected.flags.c_contiguous
    assert actual.flags.f_contiguous == expected.flags.f_contiguous
    for got, want in zip(actual.ravel(order="K"), expected.ravel(order="K")):
        assert type(got) is type(want)
        assert got == want or (got != got and want != want)
