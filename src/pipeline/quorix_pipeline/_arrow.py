"""TextEncoder on Arrow tables: polars DataFrames and LazyFrames, pyarrow
Tables, RecordBatches and RecordBatchReaders, and any other object that
hands out an Arrow C stream (``__arrow_c_stream__``).

Columns are read where their Arrow buffers lie, by the native part, on the
pool; the codes come back as the kind of table that came in. polars and
pyarrow are never imported here: an object of theirs is recognised through
the modules its owner already imported, and the modules are taken from
``sys.modules`` when a result is built.
"""

from __future__ import annotations

import importlib
import math
import sys
import weakref
from collections.abc import Callable, Iterable, Iterator
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _native
from ._fitted import _UNSEEN, _Fitted, _Options, _recoded

if TYPE_CHECKING:
    from ._text_encoder import TextEncoder

# The kinds of Arrow input, by how they are read and what comes back.
EAGER = ("polars", "table", "batch", "arrow")
STREAMS = ("lazy", "reader")

# A stream's batches are learned together until they hold this many rows:
# fewer, larger parts to merge, for a few batches held at a time.
_PIECE_ROWS = 1 << 19

# The RecordBatchReaders read to their end here: one handed over again would
# read as an empty table, which is never what was meant.
_read_readers: weakref.WeakSet[Any] = weakref.WeakSet()


# Per library: its table classes and the kind each is, then the classes of
# one column, refused with the way to a table.
_TABLE_CLASSES = (
    ("polars", {"DataFrame": "polars", "LazyFrame": "lazy"}, ("Series",), "use series.to_frame()"),
    (
        "pyarrow",
        {"Table": "table", "RecordBatch": "batch", "RecordBatchReader": "reader"},
        ("Array", "ChunkedArray"),
        "use pyarrow.table(...)",
    ),
)


def kind_of(X: Any) -> str | None:
    """The kind of Arrow table X is, or None for anything else (pandas
    frames included: they keep their own reader)."""
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(X, (pandas.DataFrame, pandas.Series)):
        return None
    for library, kinds, column_classes, remedy in _TABLE_CLASSES:
        module = sys.modules.get(library)
        if module is None:
            continue
        for name, kind in kinds.items():
            if isinstance(X, getattr(module, name)):
                return kind
        if isinstance(X, tuple(getattr(module, name) for name in column_classes)):
            raise TypeError(f"TextEncoder takes a table, not a {library} {type(X).__name__}; {remedy}")
    if hasattr(type(X), "__arrow_c_stream__"):
        return "arrow"
    return None


# -- the columns' names --------------------------------------------------------


def _names_before(X: Any, kind: str) -> list[str] | None:
    """The column names, from the schema alone, when the kind shows them
    without reading the data."""
    if kind == "polars":
        return list(X.columns)
    if kind == "lazy":
        return list(X.collect_schema().names())
    if kind in ("table", "batch", "reader"):
        return list(X.schema.names)
    return None


def _check_columns(encoder: TextEncoder, fitted: _Fitted, names: list[str]) -> None:
    """The column count and names against what was learned."""
    count = fitted.columns
    if count is not None and len(names) != count:
        raise ValueError(f"X has {len(names)} features, but {type(encoder).__name__} is expecting {count} features as input.")
    encoder._check_labels(names, fitted)


def _fitted(learned: _native.Learned, names: list[str], rows: int, options: _Options) -> _Fitted:
    """The state of one fit of a table of `rows` rows whose columns are `names`."""
    return _Fitted((learned,), tuple(learned.string_columns()), len(names), tuple(names), None,
                   np.asarray(names, dtype=object), options.grouping, rows)


# -- learning ------------------------------------------------------------------


def _with_batch_note(error: BaseException, index: int, last: int | None = None) -> BaseException:
    where = f"batch {index}" if last is None or last == index else f"batches {index} to {last}"
    error.add_note(f"in {where} of the stream")
    return error


def _batches(X: Any, kind: str) -> Iterator[Any]:
    """The stream's batches as they are read (polars frames or pyarrow
    record batches), each failure noted with the batch it stopped at, each
    batch's schema checked against the stream's."""
    if kind == "reader":
        if X in _read_readers:
            raise ValueError(
                "this RecordBatchReader was already read to its end (by an earlier fit or transform); "
                "make a new reader for each pass over the data"
            )
        _read_readers.add(X)
        schema = X.schema
    else:
        schema = X.collect_schema()
    source: Iterable[Any] = X.collect_batches() if kind == "lazy" else X
    iterator = iter(source)
    index = 0
    while True:
        try:
            batch = next(iterator)
        except StopIteration:
            return
        except Exception as error:
            raise _with_batch_note(error, index)
        if batch.schema != schema:
            raise ValueError(_schema_change(schema, batch.schema, index))
        yield batch
        index += 1


def _schema_change(schema: Any, got: Any, index: int) -> str:
    names, types = list(schema.names()) if callable(schema.names) else list(schema.names), list(_types(schema))
    got_names, got_types = list(got.names()) if callable(got.names) else list(got.names), list(_types(got))
    for name, kind, got_name, got_kind in zip(names, types, got_names, got_types):
        if name != got_name:
            return f"batch {index} of the stream has the column {got_name!r} where the schema has {name!r}"
        if kind != got_kind:
            return f"column {name!r} is {kind} in the stream's schema but {got_kind} in batch {index}"
    return f"batch {index} of the stream has the columns {got_names}, the schema {names}"


def _types(schema: Any) -> list[Any]:
    return list(schema.dtypes()) if callable(getattr(schema, "dtypes", None)) else list(schema.types)


def _empty_of(X: Any, kind: str) -> Any:
    """A table of no rows with the stream's schema."""
    if kind == "lazy":
        return sys.modules["polars"].DataFrame(schema=X.collect_schema())
    return sys.modules["pyarrow"].Table.from_batches([], schema=X.schema)


def _learn_stream(X: Any, kind: str, labels: list[str] | None, count: bool) -> tuple[_native.Learned, list[str], int]:
    """What one fit of the whole stream learns, learned piece by piece: the
    batches gathered into pieces of at least _PIECE_ROWS rows, each piece
    learned, and the learned parts merged as a binary counter merges (two
    parts of about the same size become one), so the parts waiting are few
    and together hold at most about twice the state learned so far."""
    names = _names_before(X, kind)
    assert names is not None
    message_labels = [str(name) for name in (labels if labels is not None else names)]
    parts: list[tuple[_native.Learned, int]] = []  # (part, rows learned), rows decreasing
    waiting: list[Any] = []
    waiting_rows = 0
    first = 0  # the index of the first waiting batch

    def learn_waiting(last: int) -> None:
        nonlocal waiting, waiting_rows
        try:
            part, piece_names, _ = _native.learn_arrow(_piece(waiting, kind), count=count)
            if piece_names != names:
                raise ValueError(f"the stream's columns changed: {piece_names}, the schema {names}")
            parts.append((part, waiting_rows))
            while len(parts) > 1 and parts[-2][1] <= 2 * parts[-1][1]:
                (older, older_rows), (newer, newer_rows) = parts[-2], parts[-1]
                parts[-2:] = [(_native.merge([older, newer], len(names), message_labels), older_rows + newer_rows)]
        except Exception as error:
            raise _with_batch_note(error, first, last)
        waiting, waiting_rows = [], 0

    batches = 0
    for index, batch in enumerate(_batches(X, kind)):
        if not waiting:
            first = index
        waiting.append(batch)
        waiting_rows += len(batch) if kind == "lazy" else batch.num_rows
        batches += 1
        if waiting_rows >= _PIECE_ROWS:
            learn_waiting(index)
    if waiting or batches == 0:
        if batches == 0:
            waiting = [_empty_of(X, kind)]
        learn_waiting(max(batches - 1, 0))
    learned = [part for part, _ in parts]
    rows = sum(part_rows for _, part_rows in parts)
    return (learned[0] if len(learned) == 1 else _native.merge(learned, len(names), message_labels)), names, rows


def _piece(batches: list[Any], kind: str) -> Any:
    """Batches as one table, their chunks where they lie."""
    if len(batches) == 1:
        return batches[0]
    if kind == "lazy":
        return sys.modules["polars"].concat(batches, rechunk=False)
    return sys.modules["pyarrow"].Table.from_batches(batches)


def _exporter(X: Any, kind: str) -> Any:
    if kind == "batch" and not hasattr(type(X), "__arrow_c_stream__"):
        return sys.modules["pyarrow"].Table.from_batches([X])
    return X


def fit(X: Any, kind: str, options: _Options) -> _Fitted:
    if kind in STREAMS:
        learned, names, rows = _learn_stream(X, kind, None, options.counting)
    else:
        learned, names, rows = _native.learn_arrow(_exporter(X, kind), count=options.counting)
    return _fitted(learned, names, rows, options)


def fit_transform(encoder: TextEncoder, X: Any, kind: str, options: _Options) -> Any:
    if kind in STREAMS:
        fitted = fit(X, kind, options)
        options.check(fitted)
        encoder._fitted = fitted
        return transform(encoder, fitted, X, kind, options)
    learned, names, codes = _native.learn_and_encode_arrow(_exporter(X, kind), count=options.counting)
    fitted = _fitted(learned, names, codes.shape[0], options)
    options.check(fitted)
    apart = options.unseen_apart()
    if fitted.grouping != ("auto", None, None):
        # A text outside the given categories codes as unknown.
        codes = _recoded(codes, False, fitted, _UNSEEN if apart else options.unknown)
    encoder._fitted = fitted
    return _output(encoder, X, kind, names, _shaped(codes, fitted, options, apart))


def learn_part(encoder: TextEncoder, fitted: _Fitted, X: Any, kind: str, options: _Options) -> _Fitted:
    """What partial_fit adds: X's part, its columns checked against what was learned."""
    names = _names_before(X, kind)
    if names is not None:
        _check_columns(encoder, fitted, names)
    if kind in STREAMS:
        part, names, rows = _learn_stream(X, kind, None if fitted.labels is None else list(fitted.labels),
                                          options.counting)
    else:
        part, names, rows = _native.learn_arrow(_exporter(X, kind), count=options.counting)
        _check_columns(encoder, fitted, names)
    return _Fitted((part,), tuple(part.string_columns()), len(names), grouping=options.grouping, rows=rows)


def _shaped(codes: np.ndarray, fitted: _Fitted, options: _Options, apart: bool) -> list[np.ndarray]:
    """The codes as one array per column: a text column's as the options
    shape them (missing values, unseen texts told apart, dtype), the others'
    float64 numbers as they are."""
    texts = set(fitted.string_columns)
    plain = math.isnan(options.missing) and not apart
    columns = []
    for c in range(codes.shape[1]):
        values = codes[:, c]
        if c in texts:
            if not plain:
                values = values.copy()
                options.fill(values, apart)
            if options.dtype != np.float64:
                values = values.astype(options.dtype)
        columns.append(values)
    return columns


# -- applying ------------------------------------------------------------------


def transform(encoder: TextEncoder, fitted: _Fitted, X: Any, kind: str, options: _Options) -> Any:
    names = _names_before(X, kind)
    if names is not None:
        _check_columns(encoder, fitted, names)
    code = _coder(fitted, options)
    if kind == "lazy":
        polars = sys.modules["polars"]
        schema = polars.Schema({name: _polars_type(polars, _dtype_of(fitted, options, c))
                                for c, name in enumerate(names or [])})

        def code_frame(frame: Any) -> Any:
            frame_names, columns = code(frame)
            return _polars_frame(frame_names, columns)

        return X.map_batches(code_frame, schema=schema, streamable=True)
    if kind == "reader":
        pyarrow = sys.modules["pyarrow"]
        schema = pyarrow.schema([(name, pyarrow.from_numpy_dtype(_dtype_of(fitted, options, c)))
                                 for c, name in enumerate(names or [])])

        def coded() -> Iterator[Any]:
            for batch in _batches(X, "reader"):
                batch_names, columns = code(_exporter(batch, "batch"))
                yield _arrow_table(batch_names, columns, batch=True)

        return pyarrow.RecordBatchReader.from_batches(schema, coded())
    names, columns = code(_exporter(X, kind))
    if kind == "arrow":
        _check_columns(encoder, fitted, names)
    return _output(encoder, X, kind, names, columns)


def _coder(fitted: _Fitted, options: _Options) -> Callable[[Any], tuple[list[str], list[np.ndarray]]]:
    """What codes one eager table: its names and one array per column.
    Texts are looked up in the learned maps through the options' tables; an
    unseen text is looked up as a code no text has when it must be told
    apart from a missing value."""
    apart = options.unseen_apart()
    unknown = _UNSEEN if apart else options.unknown
    learned, recode = fitted.lookup(unknown)

    def code(table: Any) -> tuple[list[str], list[np.ndarray]]:
        names, codes = _native.transform_arrow(learned, table, unknown, recode)
        return names, _shaped(codes, fitted, options, apart)

    return code


def _dtype_of(fitted: _Fitted, options: _Options, column: int) -> np.dtype:
    return options.dtype if column in fitted.string_columns else np.dtype(np.float64)


def _polars_type(polars: Any, dtype: np.dtype) -> Any:
    return polars.Series(np.empty(0, dtype=dtype)).dtype


def _output(encoder: TextEncoder, X: Any, kind: str, names: list[str], columns: list[np.ndarray]) -> Any:
    """The codes (one array per column, handed out without a copy where its
    dtype allows) as the kind that came in, or as set_output asks."""
    config = getattr(encoder, "_sklearn_output_config", {}).get("transform", "default")
    if config == "pandas":
        pandas = importlib.import_module("pandas")
        frame = pandas.DataFrame(dict(enumerate(columns)), copy=False)
        frame.columns = names
        return frame
    if config == "polars" or kind in ("polars", "lazy"):
        return _polars_frame(names, columns)
    return _arrow_table(names, columns, batch=kind == "batch")


def _polars_frame(names: list[str], columns: list[np.ndarray]) -> Any:
    polars = importlib.import_module("polars")
    return polars.DataFrame([polars.Series(name, column) for name, column in zip(names, columns)])


def _arrow_table(names: list[str], columns: list[np.ndarray], batch: bool = False) -> Any:
    pyarrow = importlib.import_module("pyarrow")
    arrays = [pyarrow.array(column, type=pyarrow.from_numpy_dtype(column.dtype)) for column in columns]
    if batch:
        return pyarrow.RecordBatch.from_arrays(arrays, names=names)
    return pyarrow.Table.from_arrays(arrays, names=names)


def inverse_transform(encoder: TextEncoder, fitted: _Fitted, X: Any, kind: str, options: _Options) -> Any:
    """The texts back as the kind that came in: text columns as strings
    (null for a missing code and for the numeric `unknown`), the others as
    float64."""
    if kind in STREAMS:
        raise TypeError(f"inverse_transform takes an eager table, not a {type(X).__name__}; collect it first")
    names = _names_before(X, kind)
    if kind == "polars":
        values = X.to_numpy(order="fortran").astype(np.float64, copy=False)
    else:
        table = importlib.import_module("pyarrow").table(_exporter(X, kind))
        names = list(table.column_names)
        values = np.column_stack([np.asarray(column.to_numpy(), dtype=np.float64) for column in table.columns]) \
            if table.num_columns else np.empty((table.num_rows, 0))
    assert names is not None
    count = fitted.columns
    if count is not None and len(names) != count:
        raise ValueError(f"X has {len(names)} features, but {type(encoder).__name__} is expecting {count} features as input.")
    unknown, missing = options.unknown, options.missing
    string_columns = list(fitted.string_columns)
    texts: Any = fitted.decoding.inverse_transform(np.ascontiguousarray(values)) if string_columns else None
    columns: list[tuple[str, Any, bool]] = []
    for c, name in enumerate(names):
        if c not in string_columns:
            columns.append((name, values[:, c], False))
            continue
        codes = values[:, c]
        absent = np.isnan(codes)
        if unknown is not None and not math.isnan(unknown):
            absent |= codes == unknown
        if not math.isnan(missing):
            absent |= codes == missing
        column: Any = np.array(texts[:, c], dtype=object)
        column[absent] = None
        columns.append((name, column, True))
    if kind == "polars" or getattr(encoder, "_sklearn_output_config", {}).get("transform") == "polars":
        polars = importlib.import_module("polars")
        return polars.DataFrame([
            polars.Series(name, column.tolist(), dtype=polars.String) if text else polars.Series(name, column)
            for name, column, text in columns
        ])
    pyarrow = importlib.import_module("pyarrow")
    arrays = [pyarrow.array(column, type=pyarrow.string() if text else pyarrow.float64()) for _, column, text in columns]
    if kind == "batch":
        return pyarrow.RecordBatch.from_arrays(arrays, names=names)
    return pyarrow.Table.from_arrays(arrays, names=names)
