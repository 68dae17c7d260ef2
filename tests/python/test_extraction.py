"""Reading tables: recognition, labels, classification of cells, the texts
they take, and the shortcuts that must read exactly what item access reads."""

import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorix

from conftest import examples, panic_type
from models.reading import MARKERS, model_column, model_encode, model_text, object_table, tables, texts

UNWRAP = "called `Result::unwrap()` on an `Err` value: "


def same_number(a, b):
    return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))


def assert_matrix(actual, expected_rows):
    actual = np.asarray(actual)
    assert actual.dtype == np.float64
    assert actual.shape[0] == len(expected_rows)
    for got_row, want_row in zip(actual.tolist(), expected_rows):
        assert len(got_row) == len(want_row)
        assert all(same_number(g, w) for g, w in zip(got_row, want_row)), (got_row, want_row)


class ndarray(np.ndarray):  # noqa: N801 - the name is what makes it an array
    """A subclass whose cells can only be read through item access."""


def plain(array):
    return array.view(ndarray)


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


# ---------------------------------------------------------------------------
# Property tests against the model.


@settings(max_examples=examples(150), deadline=None)
@given(tables())
def test_object_array_encoding_follows_the_model(table):
    rows, columns = table
    expected, _, _ = model_encode(columns, rows)
    result = quorix.Encoder().encode(object_table(columns, rows))
    assert result.shape == (rows, len(columns))
    assert_matrix(result, expected)


@settings(max_examples=examples(100), deadline=None)
@given(tables())
def test_dataframe_encoding_follows_the_model(table):
    rows, columns = table
    expected, _, _ = model_encode(columns, rows)
    labels = [f"c{c}" for c in range(len(columns))]
    index = pd.RangeIndex(100, 100 + rows)  # the result has the default index whatever this one is
    frame = pd.DataFrame(
        {label: pd.Series(cells, dtype=object, index=index) for label, cells in zip(labels, columns)}, index=index
    )
    result = quorix.Encoder().encode(frame)
    assert isinstance(result, pd.DataFrame)
    assert list(result.columns) == labels
    assert list(result.index) == list(range(rows))
    assert_matrix(result.to_numpy(), expected)


@settings(max_examples=examples(150), deadline=None)
@given(tables())
def test_decode_of_encode_gives_the_texts_back(table):
    rows, columns = table
    _, string_columns, maps = model_encode(columns, rows)
    encoder = quorix.Encoder()
    decoded = encoder.decode(encoder.encode(object_table(columns, rows)))
    assert decoded.dtype == object
    for c, cells in enumerate(columns):
        kind, values = model_column(cells)
        got = [decoded[r, c] for r in range(rows)]
        if c in string_columns:
            assert got == [t if t not in MARKERS else "NaN" for t in values]
            assert all(type(t) is str for t in got)
        else:
            assert all(type(v) is float for v in got)
            assert all(same_number(g, w) for g, w in zip(got, values))


# ---------------------------------------------------------------------------
# The shortcut for plain ndarrays against item access (a subclass named
# "ndarray" is recognised the same way but can only be read item by item).


@settings(max_examples=examples(150), deadline=None)
@given(tables())
def test_object_buffer_reading_matches_item_access(table):
    rows, columns = table
    source = object_table(columns, rows)
    fast, slow = quorix.Encoder(), quorix.Encoder()
    fast_result, slow_result = fast.encode(source), slow.encode(plain(source))
    assert type(slow_result) is np.ndarray
    assert_matrix(fast_result, slow_result.tolist())
    assert fast.__getstate__() == slow.__getstate__()
    probe = np.nan_to_num(fast_result, nan=0.0)
    assert np.array_equal(fast.decode(probe), slow.decode(probe))


@pytest.mark.parametrize(
    "values",
    [
        np.array([[True, False], [False, True]]),
        np.array([[-128, 127], [0, -1]], dtype=np.int8),
        np.array([[0, 255], [7, 1]], dtype=np.uint8),
        np.array([[-(2**15), 2**15 - 1]], dtype=np.int16),
        np.array([[0, 2**16 - 1]], dtype=np.uint16),
        np.array([[-(2**31), 2**31 - 1]], dtype=np.int32),
        np.array([[0, 2**32 - 1]], dtype=np.uint32),
        np.array([[-(2**63), 2**63 - 1], [2**53 + 1, -(2**53) - 1]], dtype=np.int64),
        np.array([[0, 2**64 - 1], [2**53 + 1, 2**63 + 1025]], dtype=np.uint64),
        np.array([[1.1, np.nan], [-0.0, np.inf], [3.4e38, -1e-45]], dtype=np.float32),
        np.array([[0.5, 2.0]], dtype=np.float16),
        np.array([[1.5, -2.0]], dtype=">f8"),
        np.array([[7, -3]], dtype=">i4"),
        np.array([[1 + 0j, 2 + 0j]], dtype=np.complex128).real,
        np.array([["a", "b"], ["c", "a"]]),
        np.array([[b"x", b"y"]]),
        np.array([["2020-01-01", "2021-06-01"]], dtype="datetime64[D]"),
    ],
    ids=lambda a: a.dtype.str,
)
@pytest.mark.parametrize("layout", ["C", "F", "strided"])
def test_typed_buffers_read_like_item_access(values, layout):
    if layout == "F":
        values = np.asfortranarray(values)
    elif layout == "strided":
        values = np.repeat(np.repeat(values, 2, axis=0), 2, axis=1)[::2, ::-2]
    fast, slow = quorix.Encoder(), quorix.Encoder()
    fast_result, slow_result = fast.encode(values), slow.encode(plain(values))
    assert_matrix(fast_result, slow_result.tolist())
    assert fast.__getstate__() == slow.__getstate__() or values.dtype.kind in "USM"


@pytest.mark.parametrize("dtype", [np.float32, np.int64, np.bool_, np.uint8])
def test_non_float64_arrays_are_all_numeric(dtype):
    values = np.array([[1, 0], [0, 1], [1, 1]], dtype=dtype)
    encoder = quorix.Encoder()
    result = encoder.encode(values)
    assert result.dtype == np.float64
    assert result.tolist() == values.astype(np.float64).tolist()
    # A learned state without string columns: decoding gives Python floats.
    decoded = encoder.decode(result)
    assert decoded.dtype == object
    assert all(type(v) is float for v in decoded.ravel())


def test_cell_references_are_given_back():
    marker, text = object(), "a reasonably unique text"
    table = np.array([[1.0, text], [marker, text]], dtype=object)
    before = [sys.getrefcount(marker), sys.getrefcount(text)]

    def round_trips(source):
        encoder = quorix.Encoder()
        for _ in range(3):
            encoder.decode(encoder.encode(source))

    round_trips(table)
    round_trips(plain(table))
    round_trips(pd.DataFrame(table, columns=["p", "q"]))
    assert [sys.getrefcount(marker), sys.getrefcount(text)] == before
    assert sys.getrefcount(table) == 2


# ---------------------------------------------------------------------------
# Object arrays whose cells run no code (exact str, float, bool, int of 64
# bits, None) are read in memory order; any other cell sends the whole table
# back to reading column by column. Both must read what item access reads.


class FloatSub(float):
    pass


class StrSub(str):
    def __str__(self):
        return "str-sub"


class Both:
    """A cell that runs code for float() and str()."""

    def __float__(self):
        raise TypeError("not a number")

    def __str__(self):
        return "both"


class Half:
    def __float__(self):
        return 0.5

    def __str__(self):
        return "half"


inert_cells = (
    st.floats(allow_nan=True, allow_infinity=True)
    | st.integers(-(2**63), 2**63 - 1)
    | st.sampled_from([2**53 + 1, -(2**53) - 1, 2**63 - 1, -(2**63), 2**62 + 1, True, False, None, 1e16, 1e-5])
    | texts
)
code_cells = st.sampled_from([FloatSub(1.5), StrSub("s"), Both(), Half(), 2**63, -(2**63) - 1, 10**30, "\udfff"])


@st.composite
def wide_tables(draw):
    rows, cols = draw(st.integers(0, 12)), draw(st.integers(0, 5))
    columns = [draw(st.lists(inert_cells, min_size=rows, max_size=rows)) for _ in range(cols)]
    # Now and then one cell somewhere that runs code or is left to reading by conversion.
    if rows and cols and draw(st.booleans()):
        columns[draw(st.integers(0, cols - 1))][draw(st.integers(0, rows - 1))] = draw(code_cells)
    return rows, columns


def layouts(table):
    yield "C", table
    yield "F", np.asfortranarray(table)
    wide = np.empty((table.shape[0] * 2, table.shape[1] * 2), dtype=object)
    wide[::2, ::2] = table
    yield "strided", wide[::2, ::2]
    yield "reversed", table[::-1, ::-1].copy()[::-1, ::-1]


@settings(max_examples=examples(200), deadline=None)
@given(wide_tables())
def test_memory_order_reading_matches_item_access_and_the_model(table):
    rows, columns = table
    expected, _, maps = model_encode(columns, rows)
    for name, source in layouts(object_table(columns, rows)):
        fast, slow = quorix.Encoder(), quorix.Encoder()
        fast_result, slow_result = fast.encode(source), slow.encode(plain(source))
        assert_matrix(fast_result, expected)
        assert_matrix(slow_result, expected)
        # The learned maps agree too: decoding any codes gives the same texts.
        probe = np.nan_to_num(fast_result, nan=0.0)
        assert fast.decode(probe).tolist() == slow.decode(probe).tolist(), name


@pytest.mark.parametrize(
    "cell",
    [2**53 + 1, 2**53 - 1, -(2**53) - 1, 2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**62 + 2**10 + 1, True, 0.1, -0.0],
)
def test_exact_numbers_read_like_the_host(cell):
    numeric = object_table([[cell, 1]], 2)
    assert quorix.Encoder().encode(numeric).tolist() == [[float(cell)], [1.0]]
    # In a string column (after a text) a number takes its str().
    encoder = quorix.Encoder()
    texts = object_table([["x", cell]], 2)
    assert encoder.decode(encoder.encode(texts))[:, 0].tolist() == ["x", str(cell)]


@pytest.mark.parametrize(
    "text",
    ["plain", "", "é", "naïve", "日本語", "\U0001f600 emoji", "mixed \u00e9\u4e2d\U0001f600", "a\ud800b", "\udfff"],
)
def test_exact_str_texts(text):
    encoder = quorix.Encoder()
    table = np.array([[text, "z"], ["y", text]], dtype=object)
    decoded = encoder.decode(encoder.encode(table))
    want = model_text(text)
    assert decoded.tolist() == [[want, "z"], ["y", want]]


@pytest.mark.parametrize("value", [1e16, 1e-5, 123456789.125, 1e300, -2.5e-300, math.nan, math.inf, 5e-324])
def test_float_texts_after_a_text(value):
    encoder = quorix.Encoder()
    decoded = encoder.decode(encoder.encode(np.array([["x"], [value]], dtype=object)))
    assert decoded[:, 0].tolist() == ["x", "NaN" if str(value) == "nan" else str(value)]


class Rewriter:
    """float() of this cell rewrites other cells of the table it sits in."""

    def __init__(self):
        self.table = None

    def __float__(self):
        self.table[0, 1] = "rewritten"
        self.table[2, 0] = 9.0
        return 4.0


def test_code_in_a_late_cell_sees_the_table_as_column_by_column_reading_does():
    # Memory order would meet rows 0 and 1 before the rewriting cell; column
    # order reads all of column 0 (as it was) before column 1 (as rewritten).
    rewriter = Rewriter()
    table = np.array([[1.0, "a"], [rewriter, "b"], [2.0, "c"]], dtype=object)
    rewriter.table = table
    encoder = quorix.Encoder()
    result = encoder.encode(table)
    assert result[:, 0].tolist() == [1.0, 4.0, 2.0]
    assert encoder.decode(result)[:, 1].tolist() == ["rewritten", "b", "c"]


def test_many_texts_fill_a_string_column_exactly():
    rng = np.random.default_rng(7)
    words = np.array(["".join(rng.choice(list("abcxyz"), rng.integers(0, 30))) for _ in range(5000)], dtype=object)
    table = np.column_stack([words, words[::-1], rng.normal(size=5000).astype(object)])
    encoder = quorix.Encoder()
    decoded = encoder.decode(encoder.encode(table))
    assert decoded[:, 0].tolist() == list(words) and decoded[:, 1].tolist() == list(words[::-1])
    assert decoded[:, 2].tolist() == table[:, 2].tolist()


# ---------------------------------------------------------------------------
# The float64 fast path.


@pytest.mark.parametrize(
    "make, fortran",
    [
        (lambda a: a, False),
        (np.asfortranarray, True),
        (lambda a: a[::2, :], False),
        (lambda a: a[:, ::-1], False),
        (lambda a: np.asfortranarray(a)[::-1, :], False),
        (lambda a: a.T, True),
        (lambda a: a.view(ndarray), False),
    ],
    ids=["C", "F", "row-strided", "reversed", "F-reversed", "transposed", "subclass"],
)
def test_float64_arrays_are_copied_in_their_layout(make, fortran):
    source = make(np.arange(24.0).reshape(6, 4) * -1.5)
    snapshot = source.copy()
    encoder = quorix.Encoder()
    result = encoder.encode(source)
    assert type(result) is np.ndarray and result.dtype == np.float64
    assert result.flags.f_contiguous == fortran or result.shape[0] == 1
    assert result.flags.c_contiguous == (not fortran)
    assert result.flags.owndata and result.flags.writeable
    assert np.array_equal(result, snapshot)
    assert not np.shares_memory(result, source)
    assert np.array_equal(source, snapshot)
    # No state was learned: decode gives the same float64 copy.
    assert encoder.__getstate__() == quorix.Encoder().__getstate__()
    assert np.array_equal(encoder.decode(source), snapshot)


def test_float64_special_values_are_copied_bit_for_bit():
    source = np.array([[np.nan, -0.0], [np.inf, -np.inf]])
    result = quorix.Encoder().encode(source)
    assert np.array_equal(result.view(np.int64), source.view(np.int64))


def test_memmap_is_an_array(tmp_path):
    path = tmp_path / "table.bin"
    mapped = np.memmap(path, dtype=np.float64, mode="w+", shape=(3, 2))
    mapped[:] = [[1, 2], [3, 4], [5, 6]]
    result = quorix.Encoder().encode(mapped)
    assert type(result) is np.ndarray
    assert result.tolist() == [[1, 2], [3, 4], [5, 6]]
    ints = np.memmap(tmp_path / "ints.bin", dtype=np.int32, mode="w+", shape=(2, 2))
    ints[:] = [[1, 2], [3, 4]]
    assert quorix.Encoder().encode(ints).tolist() == [[1, 2], [3, 4]]


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
@pytest.mark.parametrize("dtype", [np.float64, object, np.int64])
def test_empty_tables(shape, dtype):
    encoder = quorix.Encoder()
    result = encoder.encode(np.zeros(shape, dtype=dtype))
    assert result.shape == shape and result.dtype == np.float64
    frame = pd.DataFrame(np.zeros(shape, dtype=dtype), columns=[f"k{i}" for i in range(shape[1])])
    framed = encoder.encode(frame)
    assert framed.shape == shape and list(framed.columns) == list(frame.columns)


# ---------------------------------------------------------------------------
# Cells: classification and texts.


class Floaty:
    def __float__(self):
        return 2.5

    def __str__(self):
        return "floaty"


class Indexy:
    def __index__(self):
        return 7

    def __str__(self):
        return "indexy"


class Texty:
    def __str__(self):
        return "texty"


class FailingFloat:
    def __float__(self):
        raise ValueError("no number")

    def __str__(self):
        return "failing"


@pytest.mark.parametrize(
    "column, expected",
    [
        ([1.0, 2.5, "x", 1.0], ["1", "2.5", "x", "1.0"]),
        ([True, "x", True], ["1", "x", "True"]),
        ([None, 1.0, "b"], ["None", "1.0", "b"]),
        ([1.0, None], ["1", "None"]),
        ([3, "x"], ["3", "x"]),
        ([3.0, "x"], ["3", "x"]),
        (["x", 3.0], ["x", "3.0"]),
        ([0.1, 1e21, 1.5e-7, -0.0, "x"], ["0.1", "1000000000000000000000", "0.00000015", "-0", "x"]),
        ([np.inf, -np.inf, "x"], ["inf", "-inf", "x"]),
        ([2**64 + 1, "x"], ["18446744073709552000", "x"]),
        ([10**400], [str(10**400)]),
        (["1.5", 2.0], ["1.5", "2.0"]),
        ([Floaty(), Texty()], ["2.5", "texty"]),
        ([Indexy(), FailingFloat()], ["7", "failing"]),
        ([np.float32(0.1), "x"], [repr(float(np.float32(0.1))), "x"]),
        (["\ud800", "a\udc80\udc81b"], ["\ufffd" * 3, "a" + "\ufffd" * 6 + "b"]),
    ],
)
def test_texts_of_string_columns(column, expected):
    encoder = quorix.Encoder()
    table = object_table([column], len(column))
    decoded = encoder.decode(encoder.encode(table))
    assert [decoded[r, 0] for r in range(len(column))] == expected


@pytest.mark.parametrize(
    "cell, value",
    [(Floaty(), 2.5), (Indexy(), 7.0), (True, 1.0), (2**64, 2.0**64), (np.int64(-3), -3.0), (np.float32(0.5), 0.5)],
)
def test_numeric_cells(cell, value):
    table = object_table([[cell, 1.0]], 2)
    encoder = quorix.Encoder()
    assert encoder.encode(table).tolist() == [[value], [1.0]]
    assert encoder.encode(plain(table)).tolist() == [[value], [1.0]]


def test_missing_value_markers():
    column = [np.nan, "a", np.nan, pd.NA, "nan", "NaN", "<NA>", None]
    encoder = quorix.Encoder()
    result = encoder.encode(object_table([column], len(column)))
    # NaN before the first text is "NaN", after it "nan"; pd.NA reads "<NA>";
    # None is an ordinary text.
    assert_matrix(result, [[math.nan], [1.0], [math.nan], [math.nan], [math.nan], [math.nan], [math.nan], [0.0]])
    assert encoder.decode(result)[:, 0].tolist() == ["NaN", "a", "NaN", "NaN", "NaN", "NaN", "NaN", "None"]


def test_nan_in_a_numeric_column_stays_nan():
    result = quorix.Encoder().encode(np.array([[np.nan, 1], [2, 3]], dtype=object))
    assert_matrix(result, [[math.nan, 1.0], [2.0, 3.0]])


def test_object_array_example():
    encoder = quorix.Encoder()
    result = encoder.encode(np.array([[1.0, "a"], [2.0, "b"]], dtype=object))
    assert result.tolist() == [[1.0, 0.0], [2.0, 1.0]]
    assert encoder.decode(result).tolist() == [[1.0, "a"], [2.0, "b"]]


class Unprintable:
    def __str__(self):
        raise KeyError("nope")


@pytest.mark.parametrize("wrap", [lambda t: t, plain, lambda t: pd.DataFrame(t)], ids=["ndarray", "subclass", "frame"])
def test_failing_str_stops_with_an_internal_error(wrap):
    table = object_table([["a", Unprintable()]], 2)
    with pytest.raises(panic_type()) as raised:
        quorix.Encoder().encode(wrap(table))
    assert str(raised.value).startswith("cant convert to str: ")
    assert "nope" in str(raised.value)


# ---------------------------------------------------------------------------
# Shapes and item access.


class Table:
    """Any object whose type is named like a supported one goes by its name."""

    def __init__(self, shape, cells=None):
        self.shape, self.cells = shape, cells or {}

    def __getitem__(self, key):
        return self.cells[key]


def named(name, base=Table):
    return type(name, (base,), {})


@pytest.mark.parametrize(
    "shape",
    [(3,), (2, 2, 2), [2, 2], (2, -1), (2, 1.0), (2, 2**64), None],
    ids=["1-D", "3-D", "list", "negative", "float", "too-big", "None"],
)
def test_bad_shapes_stop_with_an_internal_error(shape):
    with pytest.raises(panic_type()) as raised:
        quorix.Encoder().encode(named("ndarray")(shape))
    assert str(raised.value).startswith(UNWRAP)


def test_any_type_named_ndarray_is_read_by_item_access():
    cells = {(0, 0): 1.0, (0, 1): "z", (1, 0): 2, (1, 1): "y"}
    encoder = quorix.Encoder()
    assert encoder.encode(named("ndarray")((2, 2), cells)).tolist() == [[1.0, 1.0], [2.0, 0.0]]
    assert encoder.encode(named("memmap")((2, 2), cells)).tolist() == [[1.0, 1.0], [2.0, 0.0]]


def test_missing_cell_stops_with_an_internal_error():
    with pytest.raises(panic_type()) as raised:
        quorix.Encoder().encode(named("ndarray")((1, 2), {(0, 0): 1.0}))
    assert str(raised.value).startswith(UNWRAP) and "KeyError" in str(raised.value)


def test_huge_shape_is_a_capacity_overflow():
    with pytest.raises(panic_type(), match="^capacity overflow$"):
        quorix.Encoder().encode(named("ndarray")((2**62, 2)))


def test_frame_named_type_reads_columns_and_values():
    frame_type = type("DataFrame", (), {"columns": ["p", "q"], "shape": (1, 2),
                                        "values": np.array([[1.0, "t"]], dtype=object)})
    result = quorix.Encoder().encode(frame_type())
    assert isinstance(result, pd.DataFrame)
    assert list(result.columns) == ["p", "q"] and result.to_numpy().tolist() == [[1.0, 0.0]]
    missing_values = type("DataFrame", (), {"columns": ["p"], "shape": (1, 1)})
    with pytest.raises(panic_type(), match="AttributeError"):
        quorix.Encoder().encode(missing_values())


# ---------------------------------------------------------------------------
# Frame labels.


@pytest.mark.parametrize(
    "columns, expected",
    [
        (None, ["0", "1"]),
        (["a", "b"], ["a", "b"]),
        ([-5, 2**62], ["-5", str(2**62)]),
        (np.array([3, 4], dtype=np.uint8), ["3", "4"]),
        (pd.Index(["x", "é"], dtype=object), ["x", "é"]),
    ],
)
def test_frame_labels(columns, expected):
    frame = pd.DataFrame([[1.0, 2.0]], columns=columns)
    result = quorix.Encoder().encode(frame)
    assert list(result.columns) == expected


@pytest.mark.parametrize(
    "columns, error",
    [
        ([1.5, "a"], "'float' object cannot be interpreted as an integer"),
        (["a", 1], "'str' object cannot be interpreted as an integer"),
        (pd.MultiIndex.from_tuples([("a", 1), ("b", 2)]), "'tuple' object cannot be interpreted as an integer"),
        ([2**63, 1], "too big"),
    ],
)
def test_labels_that_are_neither_texts_nor_integers(columns, error):
    frame = pd.DataFrame([[1.0, 2.0]], columns=columns)
    with pytest.raises((TypeError, OverflowError), match=error):
        quorix.Encoder().encode(frame)


def test_label_objects_of_other_shapes():
    def frame_with(columns):
        return type("DataFrame", (), {"columns": columns, "shape": (0, 0), "values": np.zeros((0, 0))})()

    class ListsToText:
        def tolist(self):
            return "ab"

    class ListsToNumber:
        def tolist(self):
            return 5

    with pytest.raises(TypeError, match="^Can't extract `str` to `Vec`$"):
        quorix.Encoder().encode(frame_with(ListsToText()))
    with pytest.raises(TypeError, match="^'int' object is not an instance of 'Sequence'$"):
        quorix.Encoder().encode(frame_with(ListsToNumber()))
    # A str is not taken as a sequence of one-letter labels.
    with pytest.raises(AttributeError):
        quorix.Encoder().encode(frame_with("ab"))
    # A lone surrogate in a label fails the text attempt; tolist() is tried next.
    with pytest.raises(AttributeError, match="tolist"):
        quorix.Encoder().encode(frame_with(["\ud800"]))


# ---------------------------------------------------------------------------
# Refused types.


@pytest.mark.parametrize(
    "make, name",
    [
        (lambda: np.matrix([[1.0]]), "matrix"),
        (lambda: np.ma.masked_array([[1.0]]), "MaskedArray"),
        (lambda: np.rec.array([(1, 2.0)], dtype=[("a", "i4"), ("b", "f8")]), "recarray"),
        (lambda: pd.Series([1.0]), "Series"),
        (lambda: [[1.0]], "list"),
        (lambda: None, "NoneType"),
        (lambda: named("Ünïcode")((1, 1)), "Ünïcode"),
    ],
)
@pytest.mark.parametrize("method", ["encode", "decode"])
@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
def test_refused_types_print_their_name(capfd, make, name, method):
    obj = make()
    with pytest.raises(TypeError) as raised:
        getattr(quorix.Encoder(), method)(obj)
    assert str(raised.value) == f"Unsupported type: '{name}'. Supported types are: numpy.ndarray, pandas.DataFrame"
    assert capfd.readouterr().out == name + "\n"


def test_refused_type_with_closed_stdout_still_raises():
    result = run_python(
        """
        import os, quorix
        os.close(1)
        try:
            quorix.Encoder().encode([1])
        except TypeError as error:
            os.write(2, str(error).encode())
        """
    )
    assert result.stderr == "Unsupported type: 'list'. Supported types are: numpy.ndarray, pandas.DataFrame"


def test_refused_type_with_broken_stdout_is_an_internal_error():
    result = run_python(
        """
        import os, quorix
        read_end, write_end = os.pipe()
        os.close(read_end)
        os.dup2(write_end, 1)
        try:
            quorix.Encoder().encode([1])
        except BaseException as error:
            os.write(2, ("\\n" + type(error).__name__ + ": " + str(error)).encode())
        """
    )
    assert result.stderr.splitlines()[-1] == "PanicException: failed printing to stdout: Broken pipe"


def test_sys_stdout_is_not_used(capfd, monkeypatch):
    import io

    replaced = io.StringIO()
    monkeypatch.setattr(sys, "stdout", replaced)
    with pytest.raises(TypeError):
        quorix.Encoder().encode({})
    assert replaced.getvalue() == ""
    assert capfd.readouterr().out == "dict\n"


# ---------------------------------------------------------------------------
# The input is never written to.


def test_inputs_are_left_as_they_were():
    table = np.array([[1.0, "a"], [None, "b"]], dtype=object)
    frame = pd.DataFrame({"x": [1.0, 2.0], "y": ["a", "b"]})
    table_copy, frame_copy = table.copy(), frame.copy()
    encoder = quorix.Encoder()
    encoder.decode(encoder.encode(table))
    encoder.decode(encoder.encode(frame))
    assert table.tolist() == table_copy.tolist()
    pd.testing.assert_frame_equal(frame, frame_copy)
