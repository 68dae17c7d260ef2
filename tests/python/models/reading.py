"""A small model of the reading rules and of label encoding, and the tables
the property tests draw for it."""

import math
from decimal import Decimal

import numpy as np
from hypothesis import strategies as st

MARKERS = {"nan", "NaN", "<NA>"}


def model_number_text(value):
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    text = format(Decimal(repr(value)), "f")  # repr: shortest round trip
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


def model_text(cell):
    return str(cell).encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def model_float(cell):
    """float conversion without string parsing; None when it fails."""
    kind = type(cell)
    if isinstance(cell, float):
        return float.__float__(cell)
    try:
        if hasattr(kind, "__float__"):
            return kind.__float__(cell)
        if hasattr(kind, "__index__"):
            return float(kind.__index__(cell))
    except (OverflowError, TypeError, ValueError):
        return None
    return None


def model_column(cells):
    """('numbers', [...]) or ('texts', [...]) as the reading rules give them."""
    numbers, texts = [], None
    for cell in cells:
        if texts is not None:
            texts.append(model_text(cell))
            continue
        value = model_float(cell)
        if value is not None:
            numbers.append(value)
        else:
            texts = [model_number_text(v) for v in numbers] + [model_text(cell)]
    return ("numbers", numbers) if texts is None else ("texts", texts)


def model_encode(columns, rows):
    """The encoded matrix (list of rows), the string columns and their code-to-text maps."""
    matrix = [[0.0] * len(columns) for _ in range(rows)]
    string_columns, maps = [], {}
    for c, cells in enumerate(columns):
        kind, values = model_column(cells)
        if kind == "numbers":
            for r, v in enumerate(values):
                matrix[r][c] = v
            continue
        distinct = sorted({t for t in values if t not in MARKERS}, key=lambda t: t.encode())
        codes = {t: float(i) for i, t in enumerate(distinct)}
        for r, t in enumerate(values):
            matrix[r][c] = codes.get(t, math.nan)
        string_columns.append(c)
        maps[c] = distinct
    return matrix, string_columns, maps


def object_table(columns, rows):
    table = np.empty((rows, len(columns)), dtype=object)
    for c, cells in enumerate(columns):
        for r, cell in enumerate(cells):
            table[r, c] = cell
    return table


texts = st.text(max_size=6) | st.sampled_from(["nan", "NaN", "<NA>", "", "\ud800", "a\udfffb", "é", "1.5"])
numbers = st.floats(allow_nan=True, allow_infinity=True) | st.integers(-(2**70), 2**70) | st.booleans()
cells = numbers | texts | st.none() | st.just(10**400)


@st.composite
def tables(draw, cell=cells):
    rows = draw(st.integers(0, 6))
    cols = draw(st.integers(0, 4))
    # Columns that are mostly numbers with a late text exercise promotion.
    columns = [draw(st.lists(cell, min_size=rows, max_size=rows)) for _ in range(cols)]
    return rows, columns
