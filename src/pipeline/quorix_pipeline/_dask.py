"""TextEncoder on dask DataFrames: each partition learned where it lies, the
learned states merged in a tree, the codes applied partition by partition.

dask is imported only here, and only once the caller has handed over a dask
object, so quorix_pipeline imports without it.
"""

from __future__ import annotations

import sys
import uuid
from typing import Any

from ._fitted import learn_with_params, merged

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
    """One partition learned on the worker holding it; what travels back is
    the fitted state's pickle: its learned state bytes."""
    return _in_partition(lambda: learn_with_params(params, frame), index, count)


def _merge_learned(spans: list[tuple[int, int]], *learned: Any) -> Any:
    # The merge counts its parts from 0; the note says which partitions each holds.
    shown = ", ".join(
        f"part {part}: partition {first}" if first == last else f"part {part}: partitions {first} to {last}"
        for part, (first, last) in enumerate(spans)
    )
    return _carrying(lambda: merged(learned, learned[0].grouping),
                     f"in the merge of the dask DataFrame's partitions ({shown})")


def learn(params: dict[str, Any], ddf: Any) -> Any:
    """What TextEncoder(**params) learns from every partition of `ddf`, in
    partition order: its fitted state."""
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
    return level[0].compute()


def _encoder_once(encoder: Any) -> Any:
    """The fitted encoder as one piece of data that every partition's task
    names, so that it reaches each worker once, not once per partition. With
    a distributed client it is sent to the workers ahead (the graph stays
    small); otherwise it is one task of the graph."""
    import dask

    try:
        from distributed import default_client

        client = default_client()
    except (ImportError, ValueError):
        return dask.delayed(encoder, name=f"text-encoder-{uuid.uuid4().hex}", pure=False)
    return client.scatter(encoder, broadcast=True, hash=False)


def _transform_partition(frame: Any, encoder: Any, count: int, partition_info: Any = None) -> Any:
    index = partition_info["number"] if partition_info else "?"
    return _in_partition(lambda: encoder.transform(frame), index, count)


def _inverse_transform_partition(frame: Any, encoder: Any, count: int, partition_info: Any = None) -> Any:
    index = partition_info["number"] if partition_info else "?"
    return _in_partition(lambda: encoder.inverse_transform(frame), index, count)


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
