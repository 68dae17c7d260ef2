"""What the column readers read stays what they read: Python code that runs
while a frame is read (pandas' own, a hook, another thread) cannot free or
change a buffer under the engine, and data that makes no str is refused as
reading `values` refuses it."""

import gc
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pandas as pd
import pytest

import quorix

pa = pytest.importorskip("pyarrow")

PANIC = next(c for c in BaseException.__subclasses__() if c.__module__ == "quorix" and c.__name__ == "PanicException")


class DataFrame(pd.DataFrame):
    """Reaches the reading of `values`."""


def outcome(call):
    """What a call gives: its result, or the type and message of what it raised."""
    try:
        return call()
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        return type(error), str(error)


@pytest.fixture
def column_array_hook(monkeypatch):
    """Runs `hook(frame, i)` whenever pandas is asked for column i of a frame."""
    original = pd.DataFrame._get_column_array

    def install(hook):
        def hooked(self, i):
            hook(self, i)
            return original(self, i)

        monkeypatch.setattr(pd.DataFrame, "_get_column_array", hooked)

    return install


def fresh_texts(rows, tag):
    # Made at run time, so each str is its own object and freed with its cell.
    return [f"{tag}-{r % 97}-" * 3 for r in range(rows)]


@pytest.mark.parametrize("dtype", [object, pd.StringDtype("python")], ids=["object", "python-str"])
def test_cells_replaced_while_later_columns_are_read(column_array_hook, dtype):
    rows = 400
    frame = pd.DataFrame({"t": pd.array(fresh_texts(rows, "old"), dtype=dtype)})
    for k in range(3):
        frame[f"x{k}"] = np.arange(rows, dtype=float)
    before = quorix.Encoder().encode(DataFrame(frame.copy()))

    def replace_texts(target, i):
        if target is frame and i == frame.shape[1] - 1:
            for r in range(rows):
                frame.iat[r, 0] = f"new-{r % 89}-" * 3
            gc.collect()
            [f"{r}-junk-" * 3 for r in range(4 * rows)]  # noqa: B018 - reuses the freed memory

    column_array_hook(replace_texts)
    encoder = quorix.Encoder()
    codes = encoder.encode(frame)
    after = quorix.Encoder().encode(DataFrame(frame.copy()))
    # Either the cells as they were or as they became, never a mix or garbage.
    assert codes.equals(after) or codes.equals(before)
    decoded = encoder.decode(codes)
    assert set(decoded["t"]) <= set(fresh_texts(rows, "old")) | {f"new-{r % 89}-" * 3 for r in range(rows)}


def test_cells_written_by_another_thread():
    rows, stop = 200, threading.Event()
    frame = pd.DataFrame({"t": pd.Series(fresh_texts(rows, "a"), dtype=object)})
    frame = pd.concat([frame, pd.DataFrame(np.zeros((rows, 300)), columns=[f"x{k}" for k in range(300)])], axis=1)
    written = set(fresh_texts(rows, "a")) | {f"b-{r}-" * 3 for r in range(rows)}

    def write_cells():
        r = 0
        while not stop.is_set():
            frame.iat[r % rows, 0] = f"b-{r % rows}-" * 3
            r += 1

    writer = threading.Thread(target=write_cells)
    writer.start()
    try:
        for _ in range(3):
            encoder = quorix.Encoder()
            decoded = encoder.decode(encoder.encode(frame))
            assert set(decoded.iloc[:, 0]) <= written
    finally:
        stop.set()
        writer.join()


@pytest.mark.parametrize(
    ("categories", "code_dtype", "bad_code"),
    [(3, np.int8, 100), (3, np.int8, -2), (40_000, np.int32, 2**31 - 1)],
)
def test_category_codes_written_after_they_were_taken(column_array_hook, categories, code_dtype, bad_code):
    codes = np.zeros(6, dtype=code_dtype)
    codes[1] = 1
    column = pd.Categorical.from_codes(codes, categories=[f"c{k}" for k in range(categories)])
    frame = pd.DataFrame({"c": column, "x": np.ones(6)}, copy=False)
    if not np.shares_memory(frame._get_column_array(0).codes, codes):
        pytest.skip("this pandas copies the codes it is given")

    def write_code(target, i):
        if target is frame and i == 1:
            codes[0] = bad_code

    column_array_hook(write_code)
    message = f"category code {bad_code} at row 0 out of range for {categories} categories"
    with pytest.raises(ValueError, match=f"^{message}$"):
        quorix.Encoder().encode(frame)


class _ClearingBuffer:
    """A buffer whose `address` getter empties the lists that hold it."""

    def __init__(self, buffer, lists):
        self._buffer, self._lists = buffer, lists

    @property
    def address(self):
        for held in self._lists:
            held.clear()
        gc.collect()
        return self._buffer.address

    @property
    def size(self):
        return self._buffer.size


class _ShrinkingExporter:
    """Exports a chunked array, showing chunks whose buffer lists shrink while read."""

    def __init__(self, chunked):
        self._chunked = chunked
        self.chunks = [_ShrinkingChunk(chunk, self) for chunk in chunked.chunks]

    def __arrow_c_stream__(self, requested_schema=None):
        return self._chunked.__arrow_c_stream__(requested_schema)


class _ShrinkingChunk:
    def __init__(self, chunk, exporter):
        self._chunk, self._exporter = chunk, exporter

    def buffers(self):
        shown = []
        shown.extend(None if b is None else _ClearingBuffer(b, [shown, self._exporter.chunks])
                     for b in self._chunk.buffers())
        return shown


def test_buffer_list_that_shrinks_while_read():
    texts = ["b", None, "a", "é", "b"] * 3
    frame = pd.DataFrame({"t": pd.array(texts, dtype=pd.StringDtype("pyarrow")), "x": np.arange(15.0)})
    expected = quorix.Encoder().encode(frame)
    array = frame._get_column_array(0)
    array._pa_array = _ShrinkingExporter(pa.chunked_array([texts[:7], texts[7:]], type=pa.large_string()))
    assert quorix.Encoder().encode(frame).equals(expected)


def _string_array(data, offsets, validity=None):
    buffers = [None if validity is None else pa.py_buffer(np.packbits(validity, bitorder="little").tobytes()),
               pa.py_buffer(np.array(offsets, dtype=np.int32).tobytes()), pa.py_buffer(data)]
    return pa.Array.from_buffers(pa.string(), len(offsets) - 1, buffers)


@pytest.mark.parametrize(
    "array",
    [
        _string_array(b"ab\xffcd", [0, 2, 3, 5]),            # a byte that is never UTF-8
        _string_array(b"x\xc3\xa9y", [0, 1, 2, 4]),          # a character cut by a row boundary
        _string_array(b"ok\xffno", [0, 2, 3, 5], [1, 0, 1]),  # broken bytes under a null row
        _string_array(b"okfine\xc3\xa9", [0, 2, 6, 8]),      # all well formed
    ],
    ids=["broken-byte", "split-character", "under-null", "valid"],
)
@pytest.mark.parametrize("categorical", [False, True], ids=["str", "categories"])
def test_arrow_texts_that_are_not_utf8(array, categorical):
    texts = pd.arrays.ArrowStringArray(pa.chunked_array([array]))
    if categorical:
        try:
            texts = pd.Categorical.from_codes(np.arange(len(array)) % 2, categories=pd.Index(texts[:2]))
        except BaseException as error:  # noqa: BLE001
            pytest.skip(f"pandas refuses such categories: {error!r}")
    frame = pd.DataFrame({"t": texts, "x": np.arange(len(array), dtype=float)})
    encoder = quorix.Encoder()
    got = outcome(lambda: encoder.encode(frame))
    want = outcome(lambda: quorix.Encoder().encode(DataFrame(frame)))
    if isinstance(want, pd.DataFrame):
        assert isinstance(got, pd.DataFrame) and got.equals(want)
        # What was learned can be kept: the state reads back.
        restored = encoder.__class__()
        restored.__setstate__(encoder.__getstate__())
        assert restored.decode(got).equals(encoder.decode(got))
    else:
        assert got == want


def _run_child(script):
    """Runs `script` in a fresh interpreter; a hang shows as a timeout."""
    env = dict(os.environ, PYTHONFAULTHANDLER="1")
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          timeout=120, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_fork_from_another_thread_during_first_use():
    # The fork comes while the first call is finding NumPy's array API, which
    # runs Python code; the child's own first call must not wait for ever.
    _run_child("""
        import os, threading, numpy as np, numpy.lib
        import quorix

        forked, child = threading.Event(), []
        def fork_now():
            pid = os.fork()
            if pid == 0:
                codes = quorix.Encoder().encode(np.array([["b"], ["a"]], dtype=object))
                os._exit(0 if codes.tolist() == [[1.0], [0.0]] else 3)
            child.append(pid)
            forked.set()

        original = numpy.lib.NumpyVersion
        def version_with_a_fork(*args):
            numpy.lib.NumpyVersion = original
            threading.Thread(target=fork_now).start()
            forked.wait()
            return original(*args)
        numpy.lib.NumpyVersion = version_with_a_fork
        quorix.Encoder().encode(np.array([["x"]], dtype=object))

        for _ in range(600):
            pid, status = os.waitpid(child[0], os.WNOHANG)
            if pid:
                assert os.waitstatus_to_exitcode(status) == 0, status
                break
            threading.Event().wait(0.05)
        else:
            os.kill(child[0], 9)
            raise SystemExit("the child hung")
    """)


def test_wide_decode_lists_each_column_once():
    # Many text columns, some listed twice in the state: each decodes once, as listed first.
    cols = 3000
    table = np.array([[f"r{r}c{c % 7}" for c in range(cols)] for r in range(2)], dtype=object)
    encoder = quorix.Encoder()
    codes = encoder.encode(table)
    assert (encoder.decode(codes) == table).all()


@pytest.mark.parametrize("raised", [RuntimeError, AttributeError, MemoryError, KeyboardInterrupt])
def test_failing_pandas_call_falls_back_only_for_ordinary_errors(column_array_hook, raised):
    # An ordinary failure of a pandas call leaves the frame to reading
    # `values`; an interrupt or a refused allocation is never swallowed.
    frame = pd.DataFrame({"t": pd.Series(["b", "a"], dtype=object), "x": [1.0, 2.0]})
    want = quorix.Encoder().encode(DataFrame(frame))

    def fail(target, i):
        if target is frame and i == 1:
            raise raised("from a hook")

    column_array_hook(fail)
    if raised in (MemoryError, KeyboardInterrupt):
        with pytest.raises(raised, match="from a hook"):
            quorix.Encoder().encode(frame)
    else:
        assert quorix.Encoder().encode(frame).equals(want)
