"""pandas DataFrames with columns of every storage the column readers know,
drawn for the property tests."""

import numpy as np
import pandas as pd
from hypothesis import strategies as st

PANDAS_3 = int(pd.__version__.split(".")[0]) >= 3


def text_dtypes():
    dtypes = [object, pd.StringDtype("python"), pd.StringDtype("pyarrow")]
    if PANDAS_3:
        dtypes += ["str", pd.StringDtype("python", na_value=np.nan)]
    else:
        dtypes += [pd.StringDtype("pyarrow_numpy")]
    return dtypes


texts = st.one_of(
    st.sampled_from(["", "a", "b", "nan", "NaN", "<NA>", "None", "1.5", "é", "日本", "a longer text here"]),
    st.text(max_size=20),
)
missing = st.sampled_from([None, np.nan, pd.NA])


@st.composite
def columns(draw, rows):
    kind = draw(st.sampled_from(["float", "int", "uint", "bool", "f32", "object", "text", "category",
                                 "masked", "datetime", "empty"]))
    if kind == "float":
        return np.array(draw(st.lists(st.floats(), min_size=rows, max_size=rows)), dtype=float)
    if kind == "int":
        return np.array(draw(st.lists(st.integers(-2**63, 2**63 - 1), min_size=rows, max_size=rows)), dtype=np.int64)
    if kind == "uint":
        return np.array(draw(st.lists(st.integers(0, 2**64 - 1), min_size=rows, max_size=rows)), dtype=np.uint64)
    if kind == "bool":
        return np.array(draw(st.lists(st.booleans(), min_size=rows, max_size=rows)), dtype=bool)
    if kind == "f32":
        return np.array(draw(st.lists(st.floats(width=32), min_size=rows, max_size=rows)), dtype=np.float32)
    if kind == "object":
        cells = st.one_of(texts, missing, st.floats(), st.integers(-2**70, 2**70), st.booleans())
        column = np.empty(rows, dtype=object)
        column[:] = draw(st.lists(cells, min_size=rows, max_size=rows))
        return column
    if kind == "text":
        cells = draw(st.lists(st.one_of(texts, st.none()), min_size=rows, max_size=rows))
        # Arrow holds UTF-8 only: lone surrogates are left to object columns.
        cells = [c.encode("utf-8", "replace").decode("utf-8") if c is not None else None for c in cells]
        return pd.array(cells, dtype=draw(st.sampled_from(text_dtypes())))
    if kind == "category":
        pool = draw(st.sampled_from([["x", "y", "z", "nan", "unused"], [1, 2, 3], [1.5, 2.5], ["b", "a"]]))
        values = draw(st.lists(st.one_of(st.sampled_from(pool), st.none()), min_size=rows, max_size=rows))
        categories = pool
        if isinstance(pool[0], str) and draw(st.booleans()):
            categories = pd.Index(pool, dtype=draw(st.sampled_from(text_dtypes()[1:])))
        return pd.Categorical(values, categories=categories)
    if kind == "masked":
        dtype = draw(st.sampled_from(["Int64", "UInt8", "Int32", "Float64", "Float32", "boolean"]))
        if dtype == "boolean":
            element = st.booleans()
        elif dtype.startswith("Float"):
            element = st.floats(width=32 if dtype == "Float32" else 64, allow_nan=False)
        elif dtype == "UInt8":
            element = st.integers(0, 255)
        elif dtype == "Int32":
            element = st.integers(-2**31, 2**31 - 1)
        else:
            element = st.integers(-2**63, 2**63 - 1)
        cells = draw(st.lists(st.one_of(element, st.none()) if draw(st.booleans()) else element,
                              min_size=rows, max_size=rows))
        return pd.array(cells, dtype=dtype)
    if kind == "datetime":
        return pd.array(pd.to_datetime(np.arange(rows), unit="D"))
    # A column with nothing but missing cells.
    return pd.array([None] * rows, dtype=draw(st.sampled_from(text_dtypes() + ["Int64"])))


@st.composite
def frames(draw):
    rows = draw(st.integers(0, 6))
    count = draw(st.integers(1, 4))
    data = [draw(columns(rows)) for _ in range(count)]
    labels = draw(st.sampled_from(["text", "int", "duplicate"]))
    frame = pd.DataFrame({i: column for i, column in enumerate(data)})
    if labels == "text":
        frame.columns = [f"c{i}" for i in range(count)]
    elif labels == "duplicate":
        frame.columns = ["same"] * count
    if rows > 1 and draw(st.booleans()):
        frame = frame.iloc[1:]
    if rows > 0 and draw(st.booleans()):
        # Arrow columns of several chunks.
        frame = pd.concat([frame, frame], ignore_index=True)
    return frame
