"""Decoding against the model of the plain decode, cell by cell for NumPy
arrays and column by column for frames, in every way a user can see, with the
same refusals, and texts counted right even when cells run Python code while
the table is read."""

import math
import sys
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from conftest import examples, panic_type
from output_model import (
    LARGEST,
    ModelPanic,
    assert_same_cells,
    learned,
    plain_frame_decode,
    plain_numpy_decode,
)

cell_values = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from(
    [0.0, 0.7, 1.0, 2.9, 3.0, -0.5, -7.0, 5.0, 99.0, 2.0**40, 2.0**63, 2.0**64, 1e300, -0.0]
)
code_keys = st.sampled_from([0, 1, 2, 3, 4, 5, 99, 2**40, LARGEST])
code_maps = st.dictionaries(code_keys, st.text(max_size=4), max_size=7)


@st.composite
def decode_cases(draw):
    rows, cols = draw(st.integers(0, 12)), draw(st.integers(1, 5))
    matrix = draw(hnp.arrays(np.float64, (rows, cols), elements=cell_values))
    if draw(st.booleans()):
        matrix = np.asfortranarray(matrix)
    # Listed columns may repeat and come in any order in restored states.
    string_columns = draw(st.lists(st.integers(0, cols - 1), max_size=4))
    code_to_text = {c: draw(code_maps) for c in set(string_columns)}
    # Now and then one listed column fails its checks.
    fault = draw(st.sampled_from([None] * 6 + ["beyond", "unmapped"]))
    if fault is not None:
        c = cols if fault == "beyond" else draw(st.integers(0, cols))
        if fault == "beyond":
            code_to_text[c] = draw(code_maps)
        else:
            code_to_text.pop(c, None)
        string_columns.insert(draw(st.integers(0, len(string_columns))), c)
    labels = draw(
        st.just([f"col{c}" for c in range(cols)])
        | st.lists(st.sampled_from(["a", "b", "c", "0", "é"]), min_size=cols, max_size=cols)
    )
    return matrix, string_columns, code_to_text, labels


def decode(encoder, table):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return encoder.decode(table)


def outcome(decode):
    """What a decode gives, or the message of the internal error it raises."""
    try:
        return decode()
    except (panic_type(), ModelPanic) as error:
        return str(error)


def assert_same_frames(decoded, model, source):
    pd.testing.assert_frame_equal(decoded, model, check_exact=True)
    assert list(decoded.columns) == list(model.columns) and decoded.columns.dtype == model.columns.dtype
    assert isinstance(decoded.index, pd.RangeIndex) and decoded.index.equals(model.index)
    for k in range(decoded.shape[1]):
        got, want = decoded.iloc[:, k], model.iloc[:, k]
        assert got.dtype == want.dtype
        assert [type(v) for v in got] == [type(v) for v in want]
        assert not np.shares_memory(got.to_numpy(), source)
    # Every column takes writes, with no warning, and no other column sees them.
    if len(decoded):
        before = decoded.copy()
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            for k in range(decoded.shape[1]):
                decoded.iloc[0, k] = "written" if decoded.dtypes.iloc[k] == object else -1.5
        for k in range(decoded.shape[1]):
            assert decoded.iloc[1:, k].equals(before.iloc[1:, k])


def assert_decodes_like_the_model(matrix, string_columns, code_to_text, labels):
    encoder = learned(string_columns, code_to_text)
    array = outcome(lambda: decode(encoder, matrix))
    expected = outcome(lambda: plain_numpy_decode(matrix, string_columns, code_to_text))
    if isinstance(expected, str):
        assert array == expected
    else:
        assert_same_cells(array, expected)
        assert array.flags.owndata and array.flags.writeable
    frame = outcome(lambda: decode(encoder, pd.DataFrame(matrix, columns=labels)))
    expected = outcome(lambda: plain_frame_decode(matrix, labels, string_columns, code_to_text))
    if isinstance(expected, str):
        assert frame == expected
    else:
        assert_same_frames(frame, expected, matrix)


@settings(max_examples=examples(300), deadline=None)
@given(decode_cases())
def test_decoding_gives_what_the_model_gives(case):
    assert_decodes_like_the_model(*case)


# A column's texts come from a table made in one walk over its map when the
# map is small beside the table, else from lookups: the same map is decoded
# through both, with codes inside, beyond and between the map's codes, and on
# tables long enough to be laid out in several blocks.
@pytest.mark.parametrize("rows", [1, 3, 40, 400, 20000])
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
def test_both_text_layouts_match_the_model(rows, order, codes):
    rng = np.random.default_rng(rows)
    values = rng.choice([0.0, 1.0, 7.5, 59.0, 61.0, 130.0, -3.0, 2.0**40, 2.0**64, math.nan, math.inf], (rows, 3))
    matrix = np.asarray(values, order=order)
    maps = {0: codes, 2: {k: t.upper() for k, t in codes.items()}}
    assert_decodes_like_the_model(matrix, [2, 0, 2], maps, ["a", "b", "c"])


@pytest.mark.parametrize("labels", [["a", "b", "c"], ["a", "a", "c"]], ids=["distinct", "repeated"])
def test_each_str_is_counted_once_per_cell_holding_it(labels):
    # A dense map beside the table, codes far above it, and a map much
    # larger than the table, which is looked up cell by cell.
    big = {k: f"big{k}" for k in range(500)}
    encoder = learned([0, 1, 2], {0: {0: "zero", 1: "one", 3: "three"}, 1: big, 2: {5: "five", 2**40: "far"}})
    matrix = np.array([[0, 7, 5], [1, 499, 2**40], [0, 7, 2**40], [math.nan, 3, 9], [9, 7, 5], [3, 1e9, 2**40]], float)
    for table in (matrix, pd.DataFrame(matrix, columns=labels)):
        decoded = decode(encoder, table)
        if isinstance(decoded, pd.DataFrame):
            # Views of the object columns: they take no references of their own.
            columns = [decoded.iloc[:, k].to_numpy() for k in range(3)]
        else:
            columns = [decoded]
        holders = {}
        for column in columns:
            for value in column.ravel():
                holders.setdefault(id(value), [value, 0])[1] += 1
        strs = [(value, count) for value, count in holders.values() if type(value) is str]
        assert len(strs) >= 6
        for value, count in strs:
            # The cells, the entries in `holders` and `strs`, the loop variable
            # and the argument, and the Encoder's for a learned text it keeps.
            assert sys.getrefcount(value) == count + 4 + (value != "NaN")
        del decoded, columns, holders, strs, value


class Hostile:
    """A cell whose conversions run Python code: they drop the table's other
    cells, decode re-entrantly and try to change the Encoder."""

    def __init__(self, value, table, encoder):
        self.value, self.table, self.encoder = value, table, encoder

    def __float__(self):
        self.table[:] = None
        self.encoder.decode(np.array([[0.0, 1.0]]))
        with pytest.raises(RuntimeError, match="Already borrowed"):
            self.encoder.encode(np.array([["x", "y"]], dtype=object))
        return float(self.value)

    def __str__(self):
        return str(self.value)


def test_cells_running_code_while_the_table_is_read():
    encoder = learned([0, 1], {0: {0: "a", 1: "b"}, 1: {k: f"text {k}" for k in range(40)}})
    results = []
    for make in (lambda t: t, lambda t: pd.DataFrame(t, columns=["p", "q"])):
        table = np.empty((40, 2), dtype=object)
        table[:, 0] = [Hostile(r % 2, table, encoder) for r in range(40)]
        table[:, 1] = [Hostile(r, table, encoder) for r in range(40)]
        decoded = decode(encoder, make(table))
        del table
        results.append(decoded.to_numpy() if isinstance(decoded, pd.DataFrame) else decoded)
        del decoded
    for cells in results:
        # What the cells' conversions left to read is theirs to decide; each is decoded.
        assert cells[:, 0].tolist() == ["a", "b"] * 20
        assert set(cells[:, 1]) <= {f"text {k}" for k in range(40)}
