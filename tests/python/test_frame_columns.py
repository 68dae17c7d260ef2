"""A pandas DataFrame read column by column from its own storage gives exactly
what reading its `values` gives. Reading `values` is what is done for any object
whose type is named "DataFrame" but is not pandas' own class, so a subclass of
that name is the reference."""

import ctypes

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings

import quorix

from conftest import examples
from models.frames import frames, text_dtypes

pa = pytest.importorskip("pyarrow")

PANIC = next(c for c in BaseException.__subclasses__() if c.__module__ == "quorix" and c.__name__ == "PanicException")


class DataFrame(pd.DataFrame):
    """Reaches the reading of `values`."""


def encoded(frame, reference):
    encoder = quorix.Encoder()
    source = DataFrame(frame) if reference else frame
    result = encoder.encode(source)
    return encoder, result, encoder.__getstate__(), encoder.decode(source)


@settings(max_examples=examples(300), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(frames())
def test_column_readers_match_reading_values(frame):
    _, codes, state, decoded = encoded(frame, reference=False)
    _, expected_codes, expected_state, expected_decoded = encoded(frame, reference=True)
    assert list(codes.columns) == list(expected_codes.columns)
    np.testing.assert_array_equal(codes.to_numpy(), expected_codes.to_numpy())
    assert state == expected_state
    pd.testing.assert_frame_equal(decoded, expected_decoded)


@pytest.mark.parametrize("dtype", text_dtypes())
def test_missing_text_cells_show_as_values_shows_them(dtype):
    # NaN cells before the first text read as numbers, then "NaN"; after it "nan".
    frame = pd.DataFrame({"t": pd.array([np.nan, "b", np.nan, "a"], dtype=dtype)})
    encoder, result, state, _ = encoded(frame, reference=False)
    np.testing.assert_array_equal(result["t"].to_numpy(), [np.nan, 1, np.nan, 0])
    assert state == encoded(frame, reference=True)[2]
    marker = b"NaN" if pd.StringDtype is not type(pd.array([], dtype=dtype).dtype) or \
        pd.array([], dtype=dtype).dtype.na_value is not pd.NA else b"<NA>"
    assert marker in state


def test_large_arrow_frame_matches_reading_values():
    rng = np.random.default_rng(8)
    pool = np.array([f"text {i}" for i in range(5000)], dtype=object)
    cells = pool[rng.integers(0, 5000, 20000)]
    cells[rng.random(20000) < 0.01] = None
    arrow = pd.Series(pd.array(cells, dtype="string[pyarrow]"))
    arrow = pd.concat([arrow.iloc[3:], arrow.iloc[:3]], ignore_index=True)  # sliced and chunked
    frame = pd.DataFrame({"a": arrow, "c": pd.Categorical(cells), "x": rng.random(20000)})
    for result, reference in zip(encoded(frame, False)[1:], encoded(frame, True)[1:]):
        if isinstance(result, pd.DataFrame):
            pd.testing.assert_frame_equal(result, reference)
        else:
            # Maps this large are collected in parallel: their entries come in
            # an order that varies from run to run, either way.
            assert sorted(result) == sorted(reference)


# ---------------------------------------------------------------------------
# Arrow data that breaks its format, handed over through a fake exporter.


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


SCHEMA_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
ARRAY_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
ArrowSchema._fields_ = [("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
                        ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
                        ("children", ctypes.c_void_p), ("dictionary", ctypes.c_void_p),
                        ("release", SCHEMA_RELEASE), ("private_data", ctypes.c_void_p)]
ArrowArray._fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
                       ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
                       ("buffers", ctypes.POINTER(ctypes.c_void_p)), ("children", ctypes.c_void_p),
                       ("dictionary", ctypes.c_void_p), ("release", ARRAY_RELEASE),
                       ("private_data", ctypes.c_void_p)]


class ArrowArrayStream(ctypes.Structure):
    pass


GET_SCHEMA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))
GET_NEXT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))
GET_ERROR = ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.POINTER(ArrowArrayStream))
STREAM_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))
ArrowArrayStream._fields_ = [("get_schema", GET_SCHEMA), ("get_next", GET_NEXT), ("get_last_error", GET_ERROR),
                             ("release", STREAM_RELEASE), ("private_data", ctypes.c_void_p)]


class FakeExporter:
    """One chunk with the given format, offsets, data and validity, as a stream."""

    def __init__(self, fmt, length, offsets, data, validity=None, null_count=0, offset=0):
        self.real = None  # the column's own data, for everything but the stream
        self.keep = []
        self.fmt = fmt
        self.buffers = (ctypes.c_void_p * 3)(
            self._buffer(validity), self._buffer(offsets), self._buffer(data))
        self.length, self.null_count, self.offset = length, null_count, offset
        self.given = False
        self.released = []

    def __getattr__(self, name):
        return getattr(self.__dict__["real"], name)

    def _buffer(self, raw):
        if raw is None:
            return None
        buffer = ctypes.create_string_buffer(bytes(raw), len(raw))
        self.keep.append(buffer)
        return ctypes.addressof(buffer)

    def __arrow_c_stream__(self, requested_schema=None):
        def get_schema(stream, out):
            out[0].format = self.fmt
            out[0].release = self.schema_release
            return 0

        def get_next(stream, out):
            if self.given:
                out[0].release = ARRAY_RELEASE()
                return 0
            self.given = True
            out[0].length, out[0].null_count, out[0].offset = self.length, self.null_count, self.offset
            out[0].n_buffers = 3
            out[0].buffers = self.buffers
            out[0].release = self.array_release
            return 0

        self.schema_release = SCHEMA_RELEASE(lambda schema: self.released.append("schema"))
        self.array_release = ARRAY_RELEASE(lambda array: self.released.append("array"))
        self.callbacks = (GET_SCHEMA(get_schema), GET_NEXT(get_next), GET_ERROR(lambda stream: None),
                          STREAM_RELEASE(lambda stream: None))
        self.stream = ArrowArrayStream(*self.callbacks, None)
        make = ctypes.pythonapi.PyCapsule_New
        make.restype, make.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        return make(ctypes.addressof(self.stream), b"arrow_array_stream", None)


def offsets32(*values):
    return np.array(values, dtype=np.int32).tobytes()


def frame_over(exporter, rows):
    frame = pd.DataFrame({"t": pd.array(["x"] * rows, dtype="string[pyarrow]")})
    array = frame._get_column_array(0)
    exporter.real = array._pa_array
    array._pa_array = exporter
    return frame


@pytest.mark.parametrize("exporter, rows, message", [
    (FakeExporter(b"u", 2, offsets32(0, 3, 1), b"abc"), 2, "offsets decrease at row 1"),
    (FakeExporter(b"u", 2, offsets32(-1, 0, 1), b"abc"), 2, "negative offset at row 0"),
    (FakeExporter(b"u", 2, offsets32(0, 1, 2), b"ab", validity=b"\x01", null_count=2), 2,
     "null count 2 but 1 rows are null"),
    (FakeExporter(b"u", 2, offsets32(0, 1, 2), b"ab", null_count=1), 2, "null rows without a validity buffer"),
    (FakeExporter(b"u", 3, offsets32(0, 1, 2, 3), b"abc"), 2, "Arrow column of 3 rows in a frame of 2"),
])
def test_broken_arrow_data_is_a_clear_error(exporter, rows, message):
    with pytest.raises(ValueError, match=message):
        quorix.Encoder().encode(frame_over(exporter, rows))
    assert sorted(exporter.released) == ["array", "schema"]


def test_arrow_data_read_through_the_stream_interface():
    exporter = FakeExporter(b"u", 3, offsets32(1, 2, 2, 5), b"_abbcc", validity=b"\x05", null_count=1)
    frame = frame_over(exporter, 3)
    result = quorix.Encoder().encode(frame)
    np.testing.assert_array_equal(result["t"].to_numpy(), [0, np.nan, 1])
    assert sorted(exporter.released) == ["array", "schema"]


def test_unknown_arrow_format_is_read_through_values():
    # Binary data ("z") is not read in place: the frame goes to `values`,
    # which pandas cannot build over the fake exporter.
    exporter = FakeExporter(b"z", 2, offsets32(0, 1, 2), b"ab")
    with pytest.raises(PANIC, match="FakeExporter"):
        quorix.Encoder().encode(frame_over(exporter, 2))
    assert sorted(exporter.released) == ["array", "schema"]


class Mutating:
    """A cell whose str() changes the frame it lies in."""

    def __init__(self, frame=None):
        self.frame = frame

    def __float__(self):
        raise TypeError("not a number")

    def __str__(self):
        if self.frame is not None:
            self.frame["n"] = ["changed"] * len(self.frame)
            self.frame.drop(columns=["t"], inplace=True)
        return "mutating"


def test_a_cell_that_changes_the_frame_reads_as_reading_values_does():
    def frame_of(kind):
        frame = kind({"n": [1.0, 2.0], "t": pd.array(["x", None], dtype="string[pyarrow]"), "o": ["a", "b"]})
        frame["o"] = np.array([Mutating(frame), "b"], dtype=object)
        return frame

    codes = quorix.Encoder().encode(frame_of(pd.DataFrame))
    expected = quorix.Encoder().encode(frame_of(DataFrame))
    pd.testing.assert_frame_equal(codes, expected)


def test_pyarrow_offsets_past_their_data_are_refused():
    # Valid when made, then changed in place where pandas holds it.
    offsets = np.array([0, 2, 4], dtype=np.int64)
    array = pa.Array.from_buffers(pa.large_string(), 2, [None, pa.py_buffer(offsets), pa.py_buffer(b"abcd")])
    frame = pd.DataFrame({"t": pd.arrays.ArrowStringArray(pa.chunked_array([array]))})
    np.testing.assert_array_equal(quorix.Encoder().encode(frame)["t"].to_numpy(), [0, 1])
    offsets[2] = 9
    with pytest.raises(ValueError, match="malformed Arrow array: offsets run past the data"):
        quorix.Encoder().encode(frame)
