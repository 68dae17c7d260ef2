"""TextEncoder on dask DataFrames: each partition learned where it lies, the
learned states merged in a tree, the codes applied partition by partition.

dask is imported only here, and only once the caller has handed over a dask
object, so quorix_pipeline imports without it.
"""

from __future__ import annotations

import collections
import pickle
import sys
import threading
import uuid
from typing import Any

from . import _native
from ._fitted import _Fitted, _Options, _string_labels, learn_with_params

# How many learned states one merge task takes: a wide tree keeps the number
# of levels (and so of round trips) small; the states are small beside the data.
MERGE_FAN_IN = 8


def is_dask_collection(obj: object) -> bool:
    """True for any dask collection, without importing dask: an object of
    dask's can exist only once dask has been imported."""
    if "dask" not in sys.modules:
        return False
    import dask

    return bool(dask.is_dask_collection(obj))


def dask_dataframe_module() -> Any:
    try:
        import dask.dataframe
    except ImportError as error:  # dask without its DataFrame extras
        raise ImportError(
            "TextEncoder needs dask's DataFrame support for dask input: "
            "pip install 'dask[dataframe]'"
        ) from error
    return dask.dataframe


def require_dataframe(obj: object, method: str) -> Any:
    """Returns `obj` if it is a dask DataFrame, else raises TypeError."""
    dd = dask_dataframe_module()
    if isinstance(obj, dd.DataFrame):
        return obj
    kind = type(obj).__name__
    hint = " (series.to_frame() makes one)" if isinstance(obj, dd.Series) else ""
    raise TypeError(
        f"TextEncoder.{method} takes a dask DataFrame, not a dask {kind}{hint}"
    )


def _carrying(work: Any, note: str) -> Any:
    """Runs one task's work on a worker, `note` (where it ran) on any error.
    An error that is not an Exception (an internal error of the engine) is
    carried as a RuntimeError: dask's workers pass on only Exceptions, and
    would leave the caller waiting for the others."""
    try:
        return work()
    except Exception as error:
        error.add_note(note)
        raise
    except BaseException as error:
        carried = RuntimeError(f"{type(error).__name__}: {error}")
        carried.add_note(note)
        raise carried from error


def _in_partition(work: Any, index: int | str, count: int) -> Any:
    return _carrying(work, f"in partition {index} of {count} of the dask DataFrame")


def _learn_partition(params: dict[str, Any], frame: Any, index: int, count: int) -> Any:
    """One partition learned on the worker holding it, checked as a fit
    checks it. What travels back is what the merge reads: per text column its
    distinct texts in byte order in one buffer, their counts when the options
    ask for them, what was read as numbers, and the partition's column count,
    labels and rows."""

    def work() -> Any:
        fitted = learn_with_params(params, frame)
        runs = fitted.runs()
        if runs is None:  # never for a fit: its maps are a fit's
            raise RuntimeError("a partition's maps are not in byte order")
        return runs, fitted.columns, fitted.labels, fitted.rows

    return _in_partition(work, index, count)


def _merged(parts: list[Any]) -> Any:
    """The union of learned parts, in order: their runs merged as sorted runs
    (no map is built, the counts added up by text), the rows added up."""
    first_runs, columns, labels, _ = parts[0]
    for position, (_, other_columns, other_labels, _) in enumerate(parts[1:], 1):
        # Partitions of one DataFrame share its columns, unless the meta lied.
        if other_columns != columns or other_labels != labels:
            raise ValueError(f"part {position} learned the columns {list(other_labels or ())}, part 0 learned "
                             f"{list(labels or ())}")
    named = None if labels is None else [str(label) for label in labels]
    runs = _native.merge_runs([part[0] for part in parts], columns, named) if len(parts) > 1 else first_runs
    return runs, columns, labels, sum(part[3] for part in parts)


def _merge_learned(spans: list[tuple[int, int]], *learned: Any) -> Any:
    # The merge counts its parts from 0; the note says which partitions each holds.
    shown = ", ".join(
        f"part {part}: partition {first}" if first == last else f"part {part}: partitions {first} to {last}"
        for part, (first, last) in enumerate(spans)
    )
    return _carrying(lambda: _merged(list(learned)), f"in the merge of the dask DataFrame's partitions ({shown})")


def learn(params: dict[str, Any], ddf: Any) -> Any:
    """What TextEncoder(**params) learns from every partition of `ddf`, in
    partition order, as its fitted state: the parts merged in a tree on the
    workers, the maps built once, here."""
    import dask

    parts = ddf.to_delayed()
    count = len(parts)
    learn_task = dask.delayed(_learn_partition, pure=True)
    merge_task = dask.delayed(_merge_learned, pure=True)
    level = [learn_task(params, part, i, count) for i, part in enumerate(parts)]
    spans = [(i, i) for i in range(count)]
    while len(level) > 1:
        groups = range(0, len(level), MERGE_FAN_IN)
        level = [merge_task(spans[g : g + MERGE_FAN_IN], *level[g : g + MERGE_FAN_IN]) for g in groups]
        spans = [(spans[g][0], spans[min(g + MERGE_FAN_IN, len(spans)) - 1][1]) for g in groups]
    runs, columns, labels, rows = level[0].compute()
    names = None if labels is None else _string_labels(list(labels))
    index = ddf._meta.columns if labels is not None and list(ddf._meta.columns) == list(labels) else None
    return _Fitted.of_runs(runs, columns, labels, names, _Options.of_params(params).grouping, rows, index)


# Fitted states decoded in this process, by token: a worker decodes one (and
# builds its lookup index) once, however many tasks or transfers bring it.
# A few are kept, the latest last, so that memory does not grow with the
# number of transforms.
_DECODED: collections.OrderedDict[str, Any] = collections.OrderedDict()
_DECODED_KEPT = 2
_DECODED_LOCK = threading.Lock()
# How many states this process decoded (read by the tests).
decoded_count = 0


def _decoded(token: str, payload: bytes) -> Any:
    global decoded_count
    with _DECODED_LOCK:
        fitted = _DECODED.get(token)
        if fitted is not None:
            _DECODED.move_to_end(token)
            return fitted
        fitted = pickle.loads(payload)
        decoded_count += 1
        _DECODED[token] = fitted
        while len(_DECODED) > _DECODED_KEPT:
            _DECODED.popitem(last=False)
        return fitted


def _arrived(token: str, params: dict[str, Any], extra: dict[str, Any], payload: bytes) -> Shipped:
    from ._text_encoder import TextEncoder

    encoder = TextEncoder(**params)
    encoder.__dict__.update(extra)
    encoder._fitted = _decoded(token, payload)
    return Shipped(encoder, token)


def _parts_of(encoder: Any, token: str) -> tuple[str, dict[str, Any], dict[str, Any], bytes]:
    """What _arrived makes the encoder again from: plain objects and the
    fitted state's pickle (its runs)."""
    extra = {k: v for k, v in encoder.__dict__.items() if k == "_sklearn_output_config"}
    payload = pickle.dumps(encoder._state(), protocol=pickle.HIGHEST_PROTOCOL)
    return token, encoder.get_params(), extra, payload


class Shipped:
    """A frozen encoder as it travels between workers: its parameters, and
    its fitted state as runs under a token of that state. A process that
    already decoded the state under that token takes it (and its lookup
    index) from its cache rather than decoding it again."""

    def __init__(self, encoder: Any, token: str) -> None:
        self.encoder = encoder
        self.token = token

    def __reduce__(self) -> tuple[Any, ...]:
        return (_arrived, _parts_of(self.encoder, self.token))


def _token(fitted: Any) -> str:
    """One token per fitted state, made once: the same state sent again is
    known by it."""
    token: str = fitted.__dict__.setdefault("_token", uuid.uuid4().hex)
    return token


def _encoder_once(encoder: Any) -> Any:
    """The fitted encoder as one task of the graph that every partition's
    task names: it is made on one worker and reaches each other worker once,
    as a piece of data workers pass on. Being a task of the graph, it is made
    again should every worker holding it be lost, which data sent ahead of
    the graph would not be. The graph holds its parameters and its state's
    runs as bytes, which the scheduler does not decode."""
    import dask

    token = _token(encoder._state())
    return dask.delayed(_arrived, pure=False)(*_parts_of(encoder, token),
                                              dask_key_name=f"text-encoder-{token}-{uuid.uuid4().hex}")


def _transform_partition(frame: Any, shipped: Shipped, count: int, partition_info: Any = None) -> Any:
    index = partition_info["number"] if partition_info else "?"
    return _in_partition(lambda: shipped.encoder.transform(frame), index, count)


def _inverse_transform_partition(frame: Any, shipped: Shipped, count: int, partition_info: Any = None) -> Any:
    index = partition_info["number"] if partition_info else "?"
    return _in_partition(lambda: shipped.encoder.inverse_transform(frame), index, count)


def transform(encoder: Any, ddf: Any) -> Any:
    """The codes of `ddf`, lazily: a dask DataFrame of float64 columns (the
    text columns in the encoder's dtype) with ddf's labels and each partition's own index. `encoder` is the caller's
    frozen copy, so the graph codes with the state it was built with."""
    import numpy as np
    import pandas as pd

    empty = ddf._meta
    # The meta is made, not computed: a transform of dask's empty meta would
    # look up its placeholder categories. Text columns take the codes' dtype.
    texts = set(encoder._state().string_columns)
    dtype = encoder._options().dtype
    meta = pd.DataFrame({label: np.empty(0, dtype=dtype if position in texts else np.float64)
                         for position, label in enumerate(empty.columns)}, index=empty.index)
    return ddf.map_partitions(_transform_partition, _encoder_once(encoder), ddf.npartitions, meta=meta)


def inverse_transform(encoder: Any, ddf: Any) -> Any:
    """The texts of the codes in `ddf`, lazily."""
    meta = encoder.inverse_transform(ddf._meta.astype("float64"))
    return ddf.map_partitions(
        _inverse_transform_partition, _encoder_once(encoder), ddf.npartitions, meta=meta
    )
