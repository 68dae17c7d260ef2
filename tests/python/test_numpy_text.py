"""NumPy's own text arrays ('U', 'S', StringDType) are read from their
buffers; a subclass named "ndarray" is read cell by cell with item access.
Both must give the same codes, learned state, decode and errors."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorix

from conftest import examples

StringDType = getattr(np.dtypes, "StringDType", None) if hasattr(np, "dtypes") else None
needs_string_dtype = pytest.mark.skipif(StringDType is None, reason="StringDType arrives with NumPy 2")


class ndarray(np.ndarray):  # noqa: N801 - the name the module recognises
    """Reaches reading cell by cell."""


def outcome(call):
    """What a call gives: its result, or the type and message of what it raised."""
    try:
        return call()
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        return type(error), str(error)


def assert_same_as_read_cell_by_cell(array):
    fast, slow = quorix.Encoder(), quorix.Encoder()
    fast_result = outcome(lambda: fast.encode(array))
    slow_result = outcome(lambda: slow.encode(array.view(ndarray)))
    if isinstance(slow_result, tuple):
        assert fast_result == slow_result
        return
    assert type(fast_result) is np.ndarray and fast_result.dtype == np.float64
    np.testing.assert_array_equal(fast_result, slow_result)
    assert fast.__getstate__() == slow.__getstate__()
    # Decoding reads its input the same two ways.
    probe = np.nan_to_num(fast_result, nan=0.0)
    np.testing.assert_array_equal(fast.decode(probe), slow.decode(probe))
    decoded, decoded_slow = fast.decode(array), slow.decode(array.view(ndarray))
    assert repr(decoded.tolist()) == repr(decoded_slow.tolist())  # NaN cells alike


# Code units with what makes reading hard: NULs (inside and trailing),
# quotes and backslashes (escaped by bytes' repr), the markers' letters,
# non-ASCII of every UTF-8 width, lone surrogates, and past U+10FFFF.
UNITS = st.sampled_from([0, 0x22, 0x27, 0x5C, 0x3C, 0x3E, 0x41, 0x4E, 0x61, 0x6E, 0x0A, 0x7F, 0xE9, 0x20AC,
                         0xD800, 0xDFFF, 0x1F600, 0x10FFFF]) | st.integers(0, 0x10FFFF)
BYTES = st.sampled_from([0, 0x09, 0x0D, 0x22, 0x27, 0x5C, 0x61, 0x6E, 0x4E, 0x7F, 0x80, 0xFF]) | st.integers(0, 255)
MARKERS = ["nan", "NaN", "<NA>", "None", ""]


def laid_out(array, layout):
    """The same cells in another memory layout."""
    if layout == "F":
        return np.asfortranarray(array)
    if layout == "transposed":
        return np.ascontiguousarray(array.T).T
    if layout == "strided":
        wide = np.repeat(np.repeat(array, 2, axis=0), 3, axis=1)
        return wide[::2, ::3]
    if layout == "reversed":
        return np.ascontiguousarray(array[::-1, ::-1])[::-1, ::-1]
    if layout == "read-only":
        array = array.copy()
        array.flags.writeable = False
    return array


LAYOUTS = st.sampled_from(["C", "F", "transposed", "strided", "reversed", "read-only"])


@st.composite
def unit_arrays(draw):
    """'U' arrays of any width and byte order, built from raw code units so
    that lone surrogates and units past U+10FFFF can be in them."""
    rows, cols, width = draw(st.integers(0, 7)), draw(st.integers(1, 3)), draw(st.integers(1, 5))
    # Mostly a few distinct cells, so that texts repeat.
    pool = draw(st.lists(st.lists(UNITS, min_size=0, max_size=width), min_size=1, max_size=5))
    pool += [[ord(ch) for ch in marker][:width] for marker in MARKERS]
    cells = draw(st.lists(st.sampled_from(pool), min_size=rows * cols, max_size=rows * cols))
    if not draw(st.booleans()):  # most arrays hold only real characters
        cells = [[u for u in cell if u <= 0x10FFFF] for cell in cells]
    units = np.zeros((rows * cols, width), dtype="<u4")
    for k, cell in enumerate(cells):
        units[k, : len(cell)] = cell
    order = draw(st.sampled_from(["<", ">"]))
    array = units.astype(order + "u4").view(f"{order}U{width}").reshape(rows, cols)
    return laid_out(array, draw(LAYOUTS))


@st.composite
def bytes_arrays(draw):
    rows, cols, width = draw(st.integers(0, 7)), draw(st.integers(1, 3)), draw(st.integers(1, 5))
    pool = draw(st.lists(st.binary(max_size=width) | st.lists(BYTES, max_size=width).map(bytes), min_size=1, max_size=5))
    pool += [m.encode()[:width] for m in MARKERS]
    cells = draw(st.lists(st.sampled_from(pool), min_size=rows * cols, max_size=rows * cols))
    array = np.array(cells, dtype=f"S{width}").reshape(rows, cols)
    return laid_out(array, draw(LAYOUTS))


@settings(max_examples=examples(300), deadline=None)
@given(unit_arrays())
def test_unicode_arrays_read_like_item_access(array):
    assert array.dtype.kind == "U"
    assert_same_as_read_cell_by_cell(array)


@settings(max_examples=examples(200), deadline=None)
@given(bytes_arrays())
def test_bytes_arrays_read_like_item_access(array):
    assert array.dtype.kind == "S"
    assert_same_as_read_cell_by_cell(array)


NA_OBJECTS = ["none", float("nan"), None, "pandas-NA", "MISSING", "nan"]


@st.composite
def string_arrays(draw):
    """StringDType arrays with or without an na_object, short texts (inside
    the array's own buffer) and long ones (in its arena) alike."""
    import pandas as pd

    na = draw(st.sampled_from(NA_OBJECTS))
    dtype = StringDType() if na == "none" else StringDType(na_object=pd.NA if na == "pandas-NA" else na)
    rows, cols = draw(st.integers(0, 7)), draw(st.integers(1, 3))
    text = st.text(st.characters(exclude_categories=["Cs"]), max_size=4) | st.sampled_from(MARKERS + ["x" * 40, "é" * 30])
    cell = text if na == "none" else text | st.just(dtype.na_object)
    pool = draw(st.lists(cell, min_size=1, max_size=5))
    cells = draw(st.lists(st.sampled_from(pool), min_size=rows * cols, max_size=rows * cols))
    if na != "none" and draw(st.booleans()):
        # A column whose first rows (or all) are missing.
        cells = [dtype.na_object if k % cols == 0 and k < cols * draw(st.integers(0, rows)) else v
                 for k, v in enumerate(cells)]
    array = np.empty((rows, cols), dtype=dtype)
    for k, value in enumerate(cells):
        array[k // cols, k % cols] = value
    return laid_out(array, draw(LAYOUTS))


@needs_string_dtype
@settings(max_examples=examples(300), deadline=None)
@given(string_arrays())
def test_string_dtype_arrays_read_like_item_access(array):
    assert array.dtype.kind == "T"
    assert_same_as_read_cell_by_cell(array)


@pytest.mark.parametrize(
    "array",
    [
        np.zeros((0, 3), dtype="U4"),
        np.zeros((3, 0), dtype="S2"),
        np.zeros((2, 2), dtype="U0"),
        np.zeros((2, 3), dtype="S0"),
        np.array([["a" * 100_000, "b"], ["a" * 100_000, "a" * 99_999 + "b"]]),
        np.array([[b"x" * 50_000, b"\x00x"]]),
    ],
    ids=["empty", "no-columns", "U0", "S0", "U100000", "S50000"],
)
def test_unusual_shapes_and_widths(array):
    assert_same_as_read_cell_by_cell(array)


@pytest.mark.parametrize("kind", ["<U3", ">U3", "S3"])
@pytest.mark.parametrize("offset", [0, 24])
def test_memmaps_with_an_offset(tmp_path, kind, offset):
    cells = np.array([["b", "a", "nan"], ["a", "é" if kind != "S3" else "\\", "c"]] * 50, dtype=kind)
    path = tmp_path / "cells.bin"
    path.write_bytes(b"\x01" * offset + cells.tobytes())
    mapped = np.memmap(path, dtype=kind, mode="r", offset=offset, shape=cells.shape)
    assert type(mapped) is np.memmap
    fast, slow = quorix.Encoder(), quorix.Encoder()
    np.testing.assert_array_equal(fast.encode(mapped), slow.encode(cells.view(ndarray)))
    assert fast.__getstate__() == slow.__getstate__()


def test_memmap_shorter_than_its_shape_is_refused_by_numpy(tmp_path):
    path = tmp_path / "short.bin"
    path.write_bytes(b"a\x00\x00\x00" * 5)
    with pytest.raises(ValueError, match="mmap length is greater than file size"):
        np.memmap(path, dtype="<U1", mode="r", shape=(3, 2))


def test_units_past_the_last_code_point_fail_as_item_access_does():
    units = np.array([[0x41, 0x110000]], dtype="<u4").view("<U1")
    error = outcome(lambda: quorix.Encoder().encode(units))
    assert error == outcome(lambda: quorix.Encoder().encode(units.view(ndarray)))
    assert error[0].__name__ == "PanicException"
    assert "invalid maximum character" in error[1]


@pytest.mark.parametrize("rows", [1, 5000, 40_000])
def test_many_rows_and_both_strategies_of_the_engine(rows):
    # Past the engine's hashing threshold and across many blocks of the reader.
    rng = np.random.default_rng(rows)
    texts = np.array([f"t{v}" for v in rng.integers(0, rows // 3 + 2, size=2 * rows)], dtype="U7").reshape(rows, 2)
    texts[rows // 2, 0] = "nan"
    assert_same_as_read_cell_by_cell(texts)
    assert_same_as_read_cell_by_cell(texts.astype("S7"))
    if StringDType is not None:
        assert_same_as_read_cell_by_cell(texts.astype(StringDType()))


@needs_string_dtype
def test_other_na_objects_are_read_cell_by_cell():
    array = np.array([["a", 1.5]], dtype=StringDType(na_object=1.5))
    assert_same_as_read_cell_by_cell(array)
