"""Building results: float64 arrays and frames, and decoding codes back into
texts, checked against a Python rendering of the plain road."""

import math
import struct
import sys

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import quorix

from conftest import examples, panic_type

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


def plain_numpy_decode(matrix, string_columns, code_to_text):
    """numpy.array(base).astype("object"), then one __setitem__ per cell."""
    result = np.array(matrix).astype("object")
    rows, cols = matrix.shape
    for c in string_columns:
        codes = code_to_text[c]
        if rows == 0:
            continue
        for i in range(rows):
            result.__setitem__((i, c), model_text(matrix[i, c], codes, "NaN"))
    return result


def assert_same_cells(actual, expected):
    assert actual.shape == expected.shape and actual.dtype == expected.dtype
    assert actual.flags.c_contiguous == expected.flags.c_contiguous
    assert actual.flags.f_contiguous == expected.flags.f_contiguous
    for got, want in zip(actual.ravel(order="K"), expected.ravel(order="K")):
        assert type(got) is type(want)
        assert got == want or (got != got and want != want)


cell_values = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from(
    [0.0, 0.7, 1.0, 2.9, -0.5, -7.0, 99.0, 2.0**64, 2.0**63, 1e300, -0.0]
)


@st.composite
def decode_cases(draw):
    rows, cols = draw(st.integers(0, 5)), draw(st.integers(1, 4))
    matrix = draw(hnp.arrays(np.float64, (rows, cols), elements=cell_values))
    if draw(st.booleans()):
        matrix = np.asfortranarray(matrix)
    string_columns = sorted(draw(st.sets(st.integers(0, cols - 1))))
    code_to_text = {
        c: draw(st.dictionaries(st.sampled_from([0, 1, 2, 3, 99, LARGEST]), st.text(max_size=3), max_size=4))
        for c in string_columns
    }
    return matrix, string_columns, code_to_text


@settings(max_examples=examples(200), deadline=None)
@given(decode_cases())
def test_numpy_decoding_matches_the_plain_road(case):
    matrix, string_columns, code_to_text = case
    decoded = learned(string_columns, code_to_text).decode(matrix)
    assert_same_cells(decoded, plain_numpy_decode(matrix, string_columns, code_to_text))


@settings(max_examples=examples(100), deadline=None)
@given(decode_cases())
def test_frame_decoding_matches_the_plain_road(case):
    matrix, string_columns, code_to_text = case
    labels = [f"col{c}" for c in range(matrix.shape[1])]
    decoded = learned(string_columns, code_to_text).decode(pd.DataFrame(matrix, columns=labels))
    expected = pd.DataFrame(matrix, columns=labels)
    for c in string_columns:
        expected[labels[c]] = expected[labels[c]].astype("object")
        expected.loc[:, labels[c]] = [model_text(v, code_to_text[c], None) for v in matrix[:, c]]
    pd.testing.assert_frame_equal(decoded, expected)
    for c in string_columns:
        assert decoded[labels[c]].dtype == object
        assert all(v is None or type(v) is str for v in decoded[labels[c]])


def plain_frame_decode(matrix, labels, string_columns, code_to_text):
    expected = pd.DataFrame(matrix, columns=labels)
    for c in string_columns:
        expected[labels[c]] = expected[labels[c]].astype("object")
        expected.loc[:, labels[c]] = [model_text(v, code_to_text[c], None) for v in matrix[:, c]]
    return expected


# A column's texts come from a table made in one walk over its map when the
# map is small beside the table, else from lookups: the same map is decoded
# through both, with codes inside, beyond and between the map's codes.
@pytest.mark.parametrize("rows", [1, 3, 40, 400])
@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize(
    "codes",
    [
        {k: f"t{k}" for k in range(60)},
        {k: f"t{k}" for k in range(0, 120, 2)},
        {**{k: f"t{k}" for k in range(1, 60)}, LARGEST: "top", 2**40: "far"},
    ],
    ids=["dense", "gaps", "sparse"],
)
def test_both_text_roads_match_the_plain_road(rows, order, codes):
    rng = np.random.default_rng(rows)
    values = rng.choice([0.0, 1.0, 7.5, 59.0, 61.0, 130.0, -3.0, 2.0**40, 2.0**64, math.nan, math.inf], (rows, 3))
    matrix = np.asarray(values, order=order)
    string_columns = [2, 0, 2]
    maps = {0: codes, 2: {k: t.upper() for k, t in codes.items()}}
    encoder = learned(string_columns, maps)
    assert_same_cells(encoder.decode(matrix), plain_numpy_decode(matrix, string_columns, maps))
    labels = ["a", "b", "c"]
    decoded = encoder.decode(pd.DataFrame(matrix, columns=labels))
    pd.testing.assert_frame_equal(decoded, plain_frame_decode(matrix, labels, string_columns, maps))


def test_frame_calls_for_earlier_columns_come_before_a_later_failure(monkeypatch):
    # Column 1 has no map (an internal error when reached), but the calls for
    # column 0 come first, and their failure is what is raised.
    encoder = learned([0, 1], {0: {0: "a"}})

    def refuse(self, *args, **kwargs):
        raise ValueError("no astype today")

    monkeypatch.setattr(pd.Series, "astype", refuse)
    with pytest.raises(ValueError, match="no astype today"):
        encoder.decode(pd.DataFrame(np.zeros((2, 2)), columns=["p", "q"]))


def test_decoded_frame_columns_share_one_str_per_text():
    encoder = learned([0, 1], {0: {0: "shared text"}, 1: {0: "other text"}})
    decoded = encoder.decode(pd.DataFrame(np.zeros((5, 2)), columns=["p", "q"]))
    column = decoded["p"].tolist()
    assert column == ["shared text"] * 5 and all(t is column[0] for t in column)
    assert decoded["q"].tolist() == ["other text"] * 5


@pytest.mark.parametrize(
    "value, text",
    [
        (math.nan, "NaN"),
        (99.0, "NaN"),
        (-1.0, "zero"),
        (0.7, "zero"),
        (-0.0, "zero"),
        (2.9, "two"),
        (math.inf, "NaN"),
        (-math.inf, "zero"),
        (2.0**64, "NaN"),
        (1e300, "NaN"),
    ],
)
def test_cell_to_code_conversion(value, text):
    encoder = learned([1], {1: {0: "zero", 1: "one", 2: "two"}})
    decoded = encoder.decode(np.array([[5.0, value]]))
    assert decoded.tolist() == [[5.0, text]]
    frame = encoder.decode(pd.DataFrame([[5.0, value]]))
    assert frame.iloc[0, 1] == (None if text == "NaN" else text)


def test_largest_code_is_reached_by_saturation():
    encoder = learned([0], {0: {LARGEST: "top"}})
    assert encoder.decode(np.array([[math.inf], [2.0**64], [1e30]])).tolist() == [["top"], ["top"], ["top"]]


# ---------------------------------------------------------------------------
# Encode results and unlearned decoding.


def test_encode_of_an_array_gives_codes_and_nan():
    result = quorix.Encoder().encode(np.array([["b", 1.5], ["a", 2], ["nan", 3]], dtype=object))
    assert type(result) is np.ndarray and result.dtype == np.float64
    assert result.shape == (3, 2)
    assert result[:2].tolist() == [[1.0, 1.5], [0.0, 2.0]] and math.isnan(result[2, 0])
    assert result.flags.c_contiguous and result.flags.owndata and result.flags.writeable
    assert sys.getrefcount(result) == 2


def test_encode_of_a_frame_gives_a_new_float_frame_with_the_default_index():
    frame = pd.DataFrame({"n": [1, 2, 3], "t": ["x", "y", "x"]}, index=[10, 20, 30])
    result = quorix.Encoder().encode(frame)
    assert list(result.columns) == ["n", "t"] and list(result.index) == [0, 1, 2]
    assert isinstance(result.index, pd.RangeIndex)
    assert list(result.dtypes) == [np.float64, np.float64]
    assert result.to_numpy().tolist() == [[1, 0], [2, 1], [3, 0]]
    assert sys.getrefcount(result) == 2


@pytest.mark.parametrize(
    "table",
    [np.array([[1.0, 2.0]]), np.array([["a", 2.0]], dtype=object), np.zeros((0, 2), dtype=object)],
    ids=["float64", "object", "empty"],
)
def test_unlearned_decode_gives_what_encode_gives(table):
    encoded = quorix.Encoder().encode(table)
    decoded = quorix.Encoder().decode(table)
    assert decoded.dtype == np.float64
    assert np.array_equal(encoded, decoded, equal_nan=True)
    frame = pd.DataFrame(table, columns=["p", "q"])
    pd.testing.assert_frame_equal(quorix.Encoder().decode(frame), quorix.Encoder().encode(frame))


def test_decode_of_a_state_without_string_columns_gives_python_floats():
    encoder = quorix.Encoder()
    encoder.encode(np.array([[1, 2]], dtype=object))
    decoded = encoder.decode(np.array([[1.5, -0.0]]))
    assert decoded.dtype == object
    assert [type(v) for v in decoded.ravel()] == [float, float]
    assert decoded.tolist() == [[1.5, -0.0]] and math.copysign(1, decoded[0, 1]) == -1
    frame = encoder.decode(pd.DataFrame([[1.5, 2.0]]))
    assert list(frame.dtypes) == [np.float64, np.float64]


@pytest.mark.parametrize("order", ["C", "F"])
def test_decoded_arrays_keep_the_layout_of_the_base_array(order):
    encoder = learned([0], {0: {0: "a", 1: "b"}})
    matrix = np.array([[0.0, 1.0, 2.0], [1.0, 3.0, 4.0]], order=order)
    decoded = encoder.decode(matrix)
    assert decoded.flags.f_contiguous == (order == "F")
    assert decoded.flags.c_contiguous == (order == "C")
    assert decoded.tolist() == [["a", 1.0, 2.0], ["b", 3.0, 4.0]]


# ---------------------------------------------------------------------------
# Reference counts of what decoding builds.


def test_decoded_texts_are_counted_right():
    encoder = learned([0], {0: {0: "first text", 1: "second text"}})
    decoded = encoder.decode(np.array([[0.0], [0.0], [1.0], [0.0], [math.nan], [7.0]]))
    assert sys.getrefcount(decoded) == 2
    assert decoded[:, 0].tolist() == ["first text"] * 2 + ["second text", "first text", "NaN", "NaN"]
    for r in range(6):
        # One str per distinct text, referenced by exactly the cells holding it.
        holders = sum(decoded[k, 0] is decoded[r, 0] for k in range(6))
        count = sys.getrefcount(decoded[r, 0]) - 1  # less the probe's own
        assert count == holders
    assert decoded[0, 0] is decoded[1, 0] and decoded[4, 0] is decoded[5, 0]


def test_decoding_many_times_leaks_no_texts():
    encoder = learned([0], {0: {0: "leak probe"}})
    matrix = np.zeros((50, 1))
    first = encoder.decode(matrix)
    probe = first[0, 0]
    baseline = sys.getrefcount(probe)
    for _ in range(20):
        encoder.decode(matrix)
    assert sys.getrefcount(probe) == baseline


# ---------------------------------------------------------------------------
# Frames.


def test_frame_decoding_writes_none_for_missing_codes():
    encoder = quorix.Encoder()
    encoded = encoder.encode(pd.DataFrame({"k": ["x", "y", "nan"], "v": [1.0, 2.0, 3.0]}))
    encoded.iloc[1, 0] = 42.0
    decoded = encoder.decode(encoded)
    assert decoded["k"].tolist() == ["x", None, None]
    assert decoded["k"].dtype == object and decoded["v"].dtype == np.float64
    assert decoded["v"].tolist() == [1.0, 2.0, 3.0]


def test_frame_decoding_addresses_integer_labels_by_their_text():
    encoder = quorix.Encoder()
    frame = pd.DataFrame([["a", 1.0], ["b", 2.0]])
    encoded = encoder.encode(frame)
    assert list(encoded.columns) == ["0", "1"]
    decoded = encoder.decode(encoded)
    assert list(decoded.columns) == ["0", "1"]
    assert decoded["0"].tolist() == ["a", "b"] and decoded["1"].tolist() == [1.0, 2.0]


def test_shared_labels_are_decoded_by_position():
    frame = pd.DataFrame([["x", 1.0, "p"], ["y", 2.0, "q"]], columns=["same", "same", "other"])
    encoder = quorix.Encoder()
    encoded = encoder.encode(frame)
    assert list(encoded.columns) == ["same", "same", "other"]
    decoded = encoder.decode(encoded)
    assert list(decoded.columns) == ["same", "same", "other"]
    assert list(decoded.dtypes) == [object, np.float64, object]
    assert decoded.iloc[:, 0].tolist() == ["x", "y"]
    assert decoded.iloc[:, 1].tolist() == [1.0, 2.0]
    assert decoded.iloc[:, 2].tolist() == ["p", "q"]


def test_frame_with_zero_rows_still_converts_the_listed_columns():
    encoder = learned([1], {1: {0: "a"}})
    decoded = encoder.decode(pd.DataFrame(np.zeros((0, 2)), columns=["p", "q"]))
    assert decoded.shape == (0, 2)
    assert list(decoded.dtypes) == [np.float64, object]


def test_numpy_zero_rows_pass_without_the_column_check():
    encoder = learned([5], {5: {0: "a"}})
    decoded = encoder.decode(np.zeros((0, 2)))
    assert decoded.shape == (0, 2) and decoded.dtype == object


# ---------------------------------------------------------------------------
# Internal errors.


@pytest.mark.parametrize(
    "table, message",
    [
        (np.zeros((1, 2)), "ndarray: index out of bounds"),
        (pd.DataFrame(np.zeros((1, 2))), "ndarray: index out of bounds"),
        (pd.DataFrame(np.zeros((0, 2))), "index out of bounds: the len is 2 but the index is 2"),
    ],
    ids=["numpy", "frame", "empty-frame"],
)
def test_tables_narrower_than_the_learned_state(table, message):
    encoder = learned([2], {2: {0: "a"}})
    with pytest.raises(panic_type()) as raised:
        encoder.decode(table)
    assert str(raised.value) == message


@pytest.mark.parametrize("table", [np.zeros((2, 3)), np.zeros((0, 3)), pd.DataFrame(np.zeros((2, 3)))])
def test_listed_column_without_a_map(table):
    encoder = learned([0, 1], {0: {0: "a"}})
    with pytest.raises(panic_type(), match="^no entry found for key$"):
        encoder.decode(table)


def test_failing_output_call_raises_the_host_error(monkeypatch):
    def refuse(*args, **kwargs):
        raise ValueError("no frames today")

    monkeypatch.setattr(pd, "DataFrame", refuse)
    with pytest.raises(ValueError, match="no frames today"):
        quorix.Encoder().encode(type("DataFrame", (), {"columns": ["a"], "shape": (1, 1),
                                                       "values": np.ones((1, 1))})())


def test_frame_decoding_raises_no_pandas_warning():
    # Writing the result frame from native code must not look like chained
    # assignment to pandas (which counts references to tell).
    import warnings

    frame = pd.DataFrame({"t": ["b", "a", np.nan], "n": [1.0, 2.0, 3.0], "u": ["x", "y", "x"]})
    encoder = quorix.Encoder()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        decoded = encoder.decode(encoder.encode(frame))
    assert decoded["t"].tolist() == ["b", "a", None]
    assert decoded["u"].tolist() == ["x", "y", "x"]
