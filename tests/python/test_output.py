"""Building results: float64 arrays and frames, decoded texts and the
reference counts of what decoding builds (against the model of the plain
decode: test_output_model.py)."""

import gc
import math
import sys
import weakref

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorix

from conftest import examples, panic_type
from output_model import LARGEST, learned


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
        # One str per distinct text, referenced by exactly the cells holding
        # it and, for a learned text, by the Encoder keeping it.
        holders = sum(decoded[k, 0] is decoded[r, 0] for k in range(6)) + (r < 4)
        count = sys.getrefcount(decoded[r, 0]) - 1  # less the probe's own
        assert count == holders
    assert decoded[0, 0] is decoded[1, 0] and decoded[4, 0] is decoded[5, 0]


def immortal(obj):
    """Whether the interpreter keeps obj's count fixed (immortal objects, 3.12 on)."""
    before = sys.getrefcount(obj)
    held = [obj] * 4  # noqa: F841
    return sys.getrefcount(obj) == before


# The empty text, texts of one character (Latin-1 or beyond) and longer ones,
# none a missing-value marker.
DECODED_TEXTS = st.one_of(
    st.just(""), st.characters(exclude_categories=["Cs"]), st.text(min_size=2, max_size=4)
).filter(lambda t: t not in ("nan", "NaN", "<NA>"))


@settings(max_examples=examples(80), deadline=None)
@given(texts=st.lists(DECODED_TEXTS, min_size=1, max_size=8, unique=True), data=st.data())
def test_decoded_strs_get_exact_counts_and_immortal_ones_stay_immortal(texts, data):
    # Decoding counts references in bulk. The interpreter's own immortal strs
    # (from 3.12: the empty one, those of one Latin-1 character) must keep
    # their counts; every other str must end with exactly one reference per
    # cell holding it, and one more, the Encoder's, for a learned text while
    # the Encoder lives. Few rows beside many texts are looked up cell by cell.
    assert immortal(str()) == (sys.version_info >= (3, 12))
    encoder = learned([0], {0: dict(enumerate(texts))})
    values = [float(code) for code in range(len(texts))] + [math.nan, 99.0]
    rows = data.draw(st.lists(st.sampled_from(values), min_size=1, max_size=24))
    matrix = np.array(rows).reshape(-1, 1)
    as_frame = data.draw(st.booleans())
    own = {text: text.encode().decode() for text in texts}
    own_before = {text: immortal(s) for text, s in own.items()}

    decoded = encoder.decode(pd.DataFrame(matrix, columns=["t"]) if as_frame else matrix)
    # A view of the cells, which takes no references of its own.
    cells = decoded.iloc[:, 0].to_numpy() if as_frame else decoded[:, 0]
    holders = {}
    for value in cells:
        holders.setdefault(id(value), [value, 0])[1] += 1
    found = [(value, count) for value, count in holders.values() if type(value) is str]
    del holders, value
    during = [sys.getrefcount(s) for s, _ in found]
    del decoded, cells
    after = [sys.getrefcount(s) for s, _ in found]
    for (s, count), held, left in zip(found, during, after):
        shared = own.get(s) is s
        assert immortal(s) == (shared and own_before[s])
        if immortal(s):
            assert held == left
        elif shared:
            # Others use it too (3.11's empty str): only the cells' share is known.
            assert held - left == count
        else:
            # The cells held `count`; now `found`, the loop's s and the
            # argument, and the Encoder for a learned text it keeps.
            assert (held - left, left) == (count, 3 + (s in own))
    del encoder
    for (s, _), left in zip(found, after):
        if not immortal(s) and own.get(s) is not s:
            assert sys.getrefcount(s) == left - (s in own)
    s = found = None
    assert {text: immortal(s) for text, s in own.items()} == own_before


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
