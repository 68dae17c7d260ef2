"""What the TextEncoder tests compare with: results bit for bit, and which
parts of a table a merge accepts."""

import math

import numpy as np
import pandas as pd
from hypothesis import strategies as st

from models.reading import model_column


def same_result(actual, expected, index=None):
    """Values bit for bit, dtypes, labels and kind; a frame's index is `index`."""
    assert type(actual) is type(expected)
    if isinstance(expected, pd.DataFrame):
        assert list(actual.columns) == list(expected.columns)
        assert list(actual.dtypes) == list(expected.dtypes)
        assert actual.index.equals(expected.index if index is None else index)
        actual, expected = actual.to_numpy(), expected.to_numpy()
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    if actual.dtype == np.float64:
        assert actual.tobytes() == expected.tobytes()
    else:
        assert [[repr(v) for v in row] for row in actual.tolist()] == [[repr(v) for v in row] for row in expected.tolist()]


def numbers_read(cells):
    """Whether a part of a column holds a non-missing number read as a number
    (None is a missing value to TextEncoder)."""
    cells = [math.nan if cell is None else cell for cell in cells]
    kind, _ = model_column(cells)
    read = []
    for cell in cells:
        value = model_column([cell])
        if value[0] == "texts":
            break
        read.append(value[1][0])
    return any(not math.isnan(v) for v in read), kind == "texts"


def parts_can_be_merged(columns, bounds):
    for cells in columns:
        flags = [numbers_read(cells[a:b]) for a, b in zip(bounds, bounds[1:])]
        texts = [p for p, (_, has_texts) in enumerate(flags) if has_texts]
        if texts and any(read and p != texts[0] for p, (read, _) in enumerate(flags)):
            return False
    return True


part_cells = st.sampled_from(["a", "b", "é", "", "nan", "<NA>", None, 1.0, 2, math.nan, "zz", "1"])
