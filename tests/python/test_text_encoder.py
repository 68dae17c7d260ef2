"""quorix_pipeline.TextEncoder against quorix.Encoder and a Python model of the
lookup: fit/transform, unseen texts, learning in parts, decoding, messages."""

import copy
import math
import pickle
import threading

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorix
from quorix_pipeline import TextEncoder, merge

from conftest import examples
from output_model import state_bytes
from test_extraction import MARKERS, model_column, model_encode, model_number_text, object_table, tables
from test_frame_columns import frames

SLOW = [HealthCheck.too_slow]


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


def nan_for_none(columns):
    """Cells as TextEncoder reads them: None is a missing value, as a float NaN is."""
    return [[math.nan if cell is None else cell for cell in cells] for cells in columns]


def none_as_nan(table):
    """The table with every None cell a float NaN: what encode reads as TextEncoder reads the table."""
    is_none = np.frompyfunc(lambda cell: cell is None, 1, 1)
    if isinstance(table, pd.DataFrame):
        table = table.copy()
        for position, dtype in enumerate(table.dtypes):
            if dtype == object:
                cells = table.iloc[:, position].to_numpy(dtype=object, copy=True)
                cells[is_none(cells).astype(bool)] = math.nan
                table.isetitem(position, pd.Series(cells, index=table.index, dtype=object))
        return table
    if table.dtype == object:
        table = table.copy()
        table[is_none(table).astype(bool)] = math.nan
    return table


# ---------------------------------------------------------------------------
# fit and transform against encode


@settings(max_examples=examples(150), deadline=None, suppress_health_check=SLOW)
@given(st.one_of(frames(), tables().map(lambda t: object_table(t[1], t[0]))))
def test_fit_transform_and_fit_then_transform_are_encode(table):
    encoder = quorix.Encoder()
    expected = encoder.encode(none_as_nan(table))
    index = table.index if isinstance(table, pd.DataFrame) else None
    fitted = TextEncoder().fit(table)
    same_result(fitted.transform(table), expected, index)
    assert fitted.encoder_.__getstate__() == encoder.__getstate__()
    same_result(fitted.inverse_transform(expected), encoder.decode(expected))
    at_once = TextEncoder()
    same_result(at_once.fit_transform(table), expected, index)
    assert at_once.encoder_.__getstate__() == encoder.__getstate__()


def model_lookup(train_columns, rows, test_columns, test_rows, unknown):
    """The matrix transform gives, or the column index whose text is refused."""
    _, string_columns, maps = model_encode(train_columns, rows)
    matrix = [[0.0] * len(test_columns) for _ in range(test_rows)]
    for c, cells in enumerate(test_columns):
        kind, values = model_column(cells)
        if c not in string_columns:
            if kind == "texts":
                if any(t not in MARKERS for t in values):
                    return ("refused", c)
                values = [math.nan] * test_rows
            for r, v in enumerate(values):
                matrix[r][c] = v
            continue
        if kind == "numbers":
            values = [model_number_text(v) for v in values]
        codes = {t: float(i) for i, t in enumerate(maps[c])}
        for r, t in enumerate(values):
            if t in codes:
                matrix[r][c] = codes[t]
            elif t in MARKERS:
                matrix[r][c] = math.nan
            elif unknown is None:
                return ("unknown", c)
            else:
                matrix[r][c] = unknown
    return ("codes", matrix)


@settings(max_examples=examples(200), deadline=None, suppress_health_check=SLOW)
@given(tables(), st.data(), st.sampled_from([None, -1.0, math.nan, 7.5]))
def test_transform_of_another_table_follows_the_lookup_model(train, data, unknown):
    rows, columns = train
    test_rows = data.draw(st.integers(0, 6))
    pool = [cell for column in columns for cell in column] + ["unseen", "nan", 1.0]
    test_columns = [
        data.draw(st.lists(st.sampled_from(pool), min_size=test_rows, max_size=test_rows)) for _ in columns
    ]
    encoder = TextEncoder(unknown="error" if unknown is None else unknown).fit(object_table(columns, rows))
    expected = model_lookup(nan_for_none(columns), rows, nan_for_none(test_columns), test_rows, unknown)
    if expected[0] != "codes":
        with pytest.raises(ValueError, match=f"^column {expected[1]} "):
            encoder.transform(object_table(test_columns, test_rows))
        return
    result = encoder.transform(object_table(test_columns, test_rows))
    want = np.array(expected[1], dtype=np.float64).reshape(test_rows, len(columns))
    assert np.array_equal(result, want, equal_nan=True)
    if unknown is not None and not math.isnan(unknown):
        # A numeric unknown decodes to None; every other code to its text.
        decoded = encoder.inverse_transform(result)
        for c in encoder.string_columns_:
            for r in range(test_rows):
                if result[r, c] == unknown:
                    assert decoded[r, c] is None


# ---------------------------------------------------------------------------
# Learning in parts against learning the whole


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


@settings(max_examples=examples(200), deadline=None, suppress_health_check=SLOW)
@given(tables(cell=part_cells), st.data(), st.booleans())
def test_partial_fit_and_merge_match_one_fit(table, data, by_merge):
    rows, columns = table
    cuts = sorted(data.draw(st.lists(st.integers(0, rows), max_size=3)))
    bounds = [0, *cuts, rows]
    parts = [object_table([cells[a:b] for cells in columns], b - a) for a, b in zip(bounds, bounds[1:])]
    whole = object_table(columns, rows)
    fitted = TextEncoder(unknown=-1.0).fit(whole)
    expected = fitted.transform(whole)
    try:
        if by_merge:
            learned = merge([TextEncoder(unknown=-1.0).fit(part) for part in parts])
        else:
            learned = TextEncoder(unknown=-1.0)
            for part in parts:
                before = learned.encoder_.__getstate__() if hasattr(learned, "string_columns_") else None
                try:
                    learned.partial_fit(part)
                except ValueError:
                    # A failed partial_fit keeps what was learned.
                    assert before is None or learned.encoder_.__getstate__() == before
                    raise
    except ValueError as error:
        assert not parts_can_be_merged(nan_for_none(columns), bounds)
        assert "read as numbers" in str(error) and str(error).startswith("column ")
        return
    assert parts_can_be_merged(nan_for_none(columns), bounds)
    assert learned.string_columns_ == fitted.string_columns_
    assert np.array_equal(learned.transform(whole), expected, equal_nan=True)


def test_partial_fit_over_frame_chunks_renumbers_in_byte_order():
    frame = pd.DataFrame({"island": ["Dream", "Biscoe", "Torgersen", "Dream"], "mass": [1.0, 2.0, 3.0, 4.0]})
    encoder = TextEncoder()
    for start in range(0, 4, 2):
        encoder.partial_fit(frame.iloc[start : start + 2])
    assert encoder.transform(frame)["island"].tolist() == [1.0, 0.0, 2.0, 1.0]
    assert list(encoder.feature_names_in_) == ["island", "mass"]
    with pytest.raises(ValueError, match="column 'mass' holds texts in part 1 and numbers read as numbers in part 0"):
        encoder.partial_fit(pd.DataFrame({"island": ["x"], "mass": ["heavy"]}))
    assert encoder.transform(frame)["island"].tolist() == [1.0, 0.0, 2.0, 1.0]


# ---------------------------------------------------------------------------
# States from outside, pickling, threads


def test_from_encoder_looks_up_the_map_as_stored():
    # Sparse and repeated codes, a code near 2^64, a marker with a code.
    encoder = quorix.Encoder()
    encoder.__setstate__(state_bytes([1], {1: {5: "x", 2**64 - 1: "y", 9: "nan", 7: "x"}}))
    text_encoder = TextEncoder.from_encoder(encoder, unknown=-1)
    table = np.array([[0.5, "x"], [1.5, "y"], [2.5, "nan"], [3.5, "q"], [4.5, "NaN"]], dtype=object)
    result = text_encoder.transform(table)
    assert result[:, 0].tolist() == [0.5, 1.5, 2.5, 3.5, 4.5]
    assert result[1:, 1].tolist()[:1] == [float(2**64 - 1)]
    assert result[2, 1] == 9.0 and result[3, 1] == -1.0 and math.isnan(result[4, 1])
    assert result[0, 1] in (5.0, 7.0)
    assert text_encoder.encoder_.__getstate__() == encoder.__getstate__()


@pytest.mark.parametrize("copy", [lambda e: pickle.loads(pickle.dumps(e)), copy.copy, copy.deepcopy])
def test_pickled_and_copied_encoders_transform_alike(copy):
    frame = pd.DataFrame({"t": ["b", "a", None], "n": [1, 2, 3]})
    encoder = TextEncoder(unknown=-1).fit(frame).set_output(transform="pandas")
    restored = copy(encoder)
    same_result(restored.transform(frame), encoder.transform(frame))
    assert repr(restored.get_params()) == repr(encoder.get_params())


def test_two_threads_transform_with_one_encoder():
    rng = np.random.default_rng(3)
    texts = np.array([f"t{i}" for i in range(500)], dtype=object)
    table = texts[rng.integers(0, 500, (20000, 3))]
    encoder = TextEncoder().fit(table)
    expected = quorix.Encoder().encode(table)
    results = []
    threads = [threading.Thread(target=lambda: results.append(encoder.transform(table))) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 4 and all(np.array_equal(r, expected) for r in results)


# ---------------------------------------------------------------------------
# Messages users see


@pytest.mark.parametrize(
    ("text", "shown"),
    [("", "''"), ("a\x00b", "'a\\x00b'"), ("日本", "'日本'"), ("x" * 100, "'" + "x" * 60 + "'... (100 characters)")],
)
def test_unseen_text_message_names_column_and_text(text, shown):
    encoder = TextEncoder().fit(pd.DataFrame({"n": [1.0], "island": ["Dream"]}))
    with pytest.raises(ValueError) as raised:
        encoder.transform(pd.DataFrame({"n": [1.0, 2.0], "island": ["Dream", text]}))
    assert str(raised.value) == (
        f"column 'island' holds the text {shown} (row 1), which was not learned for it; "
        "pass unknown=float('nan') (or another number) to code unseen texts"
    )


@pytest.mark.parametrize(
    ("table", "error", "message"),
    [
        (np.array(["a", "b"], dtype=object), ValueError, "Expected a 2-D array, got a 1-D array"),
        (np.zeros((1, 2, 2)), ValueError, "Expected a 2-D array, got a 3-D array"),
        ([["a", 1.0]], TypeError, "TextEncoder takes a 2-D numpy.ndarray or a pandas.DataFrame, not list"),
        (np.zeros((1, 3)), ValueError, "X has 3 features, but TextEncoder is expecting 2 features as input."),
        (pd.DataFrame({"mass": [1.0], "island": ["a"]}), ValueError, "must be in the same order as they were in fit: "
         "column 0 is 'mass', learned 'island'"),
        (pd.DataFrame({"island": ["a"], "beak": [1.0]}), ValueError, "unseen at fit time:\n- beak\n"),
        (pd.DataFrame({"island": ["Dream"], "mass": ["heavy"]}), ValueError,
         "column 'mass' was learned as numeric but holds the text 'heavy' (row 0)"),
    ],
)
def test_bad_tables_are_clear_errors(table, error, message):
    encoder = TextEncoder(unknown=np.nan).fit(pd.DataFrame({"island": ["Dream"], "mass": [1.0]}))
    with pytest.raises(error) as raised:
        encoder.transform(table)
    assert message in str(raised.value)


def test_sparse_matrices_and_bad_unknown_are_refused():
    scipy_sparse = pytest.importorskip("scipy.sparse")
    with pytest.raises(TypeError, match="does not take sparse matrices"):
        TextEncoder().fit(scipy_sparse.csr_matrix(np.eye(2)))
    with pytest.raises(ValueError, match="unknown must be 'error' or a number"):
        TextEncoder(unknown="ignore").fit(np.zeros((1, 1)))
