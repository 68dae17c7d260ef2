"""The bulk output road against the cell-by-cell one (QUORIX_OUTPUT_ROAD=plain):
the same arrays and frames in every way a user can see, the same refusals,
and texts counted right even when cells run Python code while the table is
read."""

import math
import sys
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import quorix

from conftest import examples, panic_type
from test_output import LARGEST, assert_same_cells, learned, plain_numpy_decode

cell_values = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from(
    [0.0, 0.7, 1.0, 2.9, 3.0, -0.5, 5.0, 99.0, 2.0**40, 2.0**64, -0.0]
)
code_keys = st.sampled_from([0, 1, 2, 3, 4, 5, 99, 2**40, LARGEST])


@st.composite
def road_cases(draw):
    rows, cols = draw(st.integers(0, 12)), draw(st.integers(1, 5))
    matrix = draw(hnp.arrays(np.float64, (rows, cols), elements=cell_values))
    if draw(st.booleans()):
        matrix = np.asfortranarray(matrix)
    # Listed columns may repeat and come in any order in restored states.
    string_columns = draw(st.lists(st.integers(0, cols - 1), max_size=4))
    code_to_text = {
        c: draw(st.dictionaries(code_keys, st.text(max_size=4), max_size=7)) for c in set(string_columns)
    }
    labels = draw(st.lists(st.sampled_from(["a", "b", "c", "0", "é"]), min_size=cols, max_size=cols))
    return matrix, string_columns, code_to_text, labels


def decode_on(road, monkeypatch, encoder, table):
    if road == "plain":
        monkeypatch.setenv("QUORIX_OUTPUT_ROAD", "plain")
    else:
        monkeypatch.delenv("QUORIX_OUTPUT_ROAD", raising=False)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return encoder.decode(table)


def assert_same_frames(bulk, plain, source):
    pd.testing.assert_frame_equal(bulk, plain, check_exact=True)
    assert list(bulk.columns) == list(plain.columns) and bulk.columns.dtype == plain.columns.dtype
    assert isinstance(bulk.index, pd.RangeIndex) and bulk.index.equals(plain.index)
    for k in range(bulk.shape[1]):
        got, want = bulk.iloc[:, k], plain.iloc[:, k]
        assert got.dtype == want.dtype
        assert [type(v) for v in got] == [type(v) for v in want]
        assert not np.shares_memory(got.to_numpy(), source)
    # Every column takes writes, with no warning, and no other column sees them.
    if len(bulk):
        before = bulk.copy()
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            for k in range(bulk.shape[1]):
                bulk.iloc[0, k] = "written" if bulk.dtypes.iloc[k] == object else -1.5
        for k in range(bulk.shape[1]):
            assert bulk.iloc[1:, k].equals(before.iloc[1:, k])


@settings(max_examples=examples(150), deadline=None)
@given(road_cases())
def test_bulk_road_gives_what_the_plain_road_gives(monkeypatch_module, case):
    matrix, string_columns, code_to_text, labels = case
    encoder = learned(string_columns, code_to_text)
    outcomes = {}
    for road in ("bulk", "plain"):
        for kind, table in (("array", matrix), ("frame", pd.DataFrame(matrix, columns=labels))):
            try:
                outcomes[road, kind] = decode_on(road, monkeypatch_module, encoder, table)
            except panic_type() as error:
                outcomes[road, kind] = str(error)
    for kind in ("array", "frame"):
        bulk, plain = outcomes["bulk", kind], outcomes["plain", kind]
        if isinstance(plain, str):
            assert bulk == plain
        elif kind == "array":
            assert_same_cells(bulk, plain)
            assert bulk.flags.owndata and bulk.flags.writeable
            assert_same_cells(bulk, plain_numpy_decode(matrix, sorted(set(string_columns)), code_to_text))
        else:
            assert_same_frames(bulk, plain, matrix)


@pytest.fixture(scope="module")
def monkeypatch_module():
    with pytest.MonkeyPatch.context() as patch:
        yield patch


@pytest.mark.parametrize("road", ["bulk", "plain"])
def test_each_str_is_counted_once_per_cell_holding_it(monkeypatch, road):
    # A dense map beside the table, codes far above it, and a map much
    # larger than the table, which is looked up cell by cell.
    big = {k: f"big{k}" for k in range(500)}
    encoder = learned([0, 1, 2], {0: {0: "zero", 1: "one", 3: "three"}, 1: big, 2: {5: "five", 2**40: "far"}})
    matrix = np.array([[0, 7, 5], [1, 499, 2**40], [0, 7, 2**40], [math.nan, 3, 9], [9, 7, 5], [3, 1e9, 2**40]], float)
    for table in (matrix, pd.DataFrame(matrix, columns=["a", "b", "c"])):
        decoded = decode_on(road, monkeypatch, encoder, table)
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
            # The cells, the entries in `holders` and `strs`, the loop variable and the argument.
            assert sys.getrefcount(value) == count + 4
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


def test_cells_running_code_while_the_table_is_read(monkeypatch):
    encoder = learned([0, 1], {0: {0: "a", 1: "b"}, 1: {k: f"text {k}" for k in range(40)}})
    for make in (lambda t: t, lambda t: pd.DataFrame(t, columns=["p", "q"])):
        results = []
        for road in ("bulk", "plain"):
            table = np.empty((40, 2), dtype=object)
            table[:, 0] = [Hostile(r % 2, table, encoder) for r in range(40)]
            table[:, 1] = [Hostile(r, table, encoder) for r in range(40)]
            decoded = decode_on(road, monkeypatch, encoder, make(table))
            del table
            results.append(decoded.to_numpy() if isinstance(decoded, pd.DataFrame) else decoded)
            del decoded
        assert results[0][:, 0].tolist() == ["a", "b"] * 20
        assert_same_cells(results[0], results[1])
