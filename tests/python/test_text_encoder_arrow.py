"""TextEncoder on Arrow tables (pyarrow, polars) against the pandas model:
the same table as a pandas frame whose text columns are pandas `str` and
whose numeric columns are float64 with NaN for null."""

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import quorix
from quorix_pipeline import TextEncoder, _arrow, merge

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")

from conftest import examples  # noqa: E402

TEXTS = ["a", "b", "Zebra", "é", "", "nan", "NaN", "<NA>", "None", "a long text past twelve bytes", "10", "9"]
TEXT_TYPES = [pa.string(), pa.large_string(), pa.string_view()]
INDEX_TYPES = [pa.int8(), pa.uint8(), pa.int16(), pa.uint16(), pa.int32(), pa.uint32(), pa.int64(), pa.uint64()]
NUMBER_TYPES = [pa.int8(), pa.uint8(), pa.int32(), pa.uint64(), pa.float32(), pa.float64(), pa.bool_()]



def texts_of(encoder):
    """categories_ as lists, to compare."""
    return [list(texts) for texts in encoder.categories_]

def str_dtype():
    try:
        return pd.StringDtype("pyarrow", na_value=np.nan)
    except TypeError:  # pandas 2.2
        return "string[pyarrow_numpy]"


def model_frame(table):
    """The pandas model of an Arrow table."""
    columns = {}
    for field, column in zip(table.schema, table.columns):
        values = column.to_pylist()
        kind = field.type.value_type if pa.types.is_dictionary(field.type) else field.type
        if pa.types.is_string(kind) or pa.types.is_large_string(kind) or pa.types.is_string_view(kind):
            columns[field.name] = pd.array(values, dtype=str_dtype())
        else:
            columns[field.name] = np.array([np.nan if v is None else float(v) for v in values], dtype=np.float64)
    return pd.DataFrame(columns, index=pd.RangeIndex(table.num_rows))


@st.composite
def text_column(draw, rows):
    values = draw(st.lists(st.one_of(st.none(), st.sampled_from(TEXTS)), min_size=rows, max_size=rows))
    if draw(st.booleans()):
        # A dictionary: unused entries, a null entry, any index width.
        entries = sorted({v for v in values if v is not None} | set(draw(st.lists(st.sampled_from(TEXTS), max_size=3))))
        entries = draw(st.permutations(entries))
        null_entry = draw(st.booleans())
        # pyarrow converts no dictionary of string_view; polars' Categorical is one.
        dictionary = pa.array(list(entries) + ([None] if null_entry else []), type=draw(st.sampled_from(TEXT_TYPES[:2])))
        index_type = draw(st.sampled_from(INDEX_TYPES))
        indices = []
        for v in values:
            if v is None and null_entry and draw(st.booleans()):
                indices.append(len(entries))  # a row pointing at the null entry
            else:
                indices.append(None if v is None else entries.index(v))
        return pa.DictionaryArray.from_arrays(pa.array(indices, type=index_type), dictionary)
    return pa.array(values, type=draw(st.sampled_from(TEXT_TYPES)))


@st.composite
def number_column(draw, rows):
    kind = draw(st.sampled_from(NUMBER_TYPES))
    if pa.types.is_boolean(kind):
        element = st.booleans()
    elif pa.types.is_floating(kind):
        element = st.sampled_from([0.5, -2.0, 3.0, float("nan"), 1e30 if kind == pa.float64() else 7.0])
    else:
        element = st.integers(0 if pa.types.is_unsigned_integer(kind) else -5, 100)
    return pa.array(draw(st.lists(st.one_of(st.none(), element), min_size=rows, max_size=rows)), type=kind)


@st.composite
def arrow_tables(draw, max_rows=12):
    """A table of random columns, sliced and split into chunks (empty ones too)."""
    rows = draw(st.integers(0, max_rows))
    pad_front, pad_back = draw(st.integers(0, 3)), draw(st.integers(0, 3))
    count = draw(st.integers(1, 4))
    arrays = [
        draw(text_column(pad_front + rows + pad_back) if draw(st.booleans()) else number_column(pad_front + rows + pad_back))
        for _ in range(count)
    ]
    whole = pa.table(arrays, names=[f"c{i}" for i in range(count)]).slice(pad_front, rows)
    cuts = sorted(draw(st.lists(st.integers(0, rows), max_size=3)))
    pieces = [whole.slice(a, b - a) for a, b in zip([0, *cuts], [*cuts, rows])]
    table = pa.concat_tables(pieces) if len(pieces) > 1 else whole
    # Each column's chunks, not only the table's batches, may differ.
    if draw(st.booleans()) and rows > 1:
        table = pa.table({
            name: pa.chunked_array(col.slice(0, 1).chunks + col.slice(1).chunks, type=col.type)
            for name, col in zip(table.column_names, table.columns)
        })
    return table


def assert_codes_equal(got, want):
    np.testing.assert_array_equal(np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64))


def polars_of(table):
    # polars has no half floats nor unsigned-64 dictionaries; it reads the rest as it is.
    return pl.from_arrow(table, rechunk=False)


@settings(max_examples=examples(300), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(table=arrow_tables(), as_polars=st.booleans(), unknown=st.sampled_from(["error", -1.0]))
def test_arrow_tables_code_as_the_pandas_model(table, as_polars, unknown):
    model = model_frame(table)
    want = quorix.Encoder().encode(model)
    model_encoder = TextEncoder(unknown=unknown).fit(model)
    source = polars_of(table) if as_polars else table

    encoder = TextEncoder(unknown=unknown)
    coded = encoder.fit_transform(source)
    assert type(coded) is (pl.DataFrame if as_polars else pa.Table)
    assert list(coded.columns if as_polars else coded.column_names) == list(table.column_names)
    assert_codes_equal(to_matrix(coded), want.to_numpy())

    fitted = TextEncoder(unknown=unknown).fit(source)
    assert fitted.string_columns_ == model_encoder.string_columns_
    assert texts_of(fitted) == texts_of(model_encoder)
    assert list(fitted.feature_names_in_) == list(table.column_names)
    again = fitted.transform(source)
    assert_codes_equal(to_matrix(again), want.to_numpy())

    # The texts back: strings, null where the model has no text.
    texts = fitted.inverse_transform(again)
    model_texts = model_encoder.inverse_transform(want)
    for c, name in enumerate(table.column_names):
        got = texts[name].to_list() if as_polars else texts.column(name).to_pylist()
        expected = model_texts[name].tolist()
        if c in fitted.string_columns_:
            assert got == [v if isinstance(v, str) else None for v in expected]
        else:
            assert_codes_equal([math.nan if v is None else v for v in got], expected)

    # Learned in two parts, batch by batch: the codes of one fit.
    half = table.num_rows // 2
    parts = TextEncoder(unknown=unknown)
    for part in (table.slice(0, half), table.slice(half)):
        parts.partial_fit(polars_of(part) if as_polars else part)
    assert texts_of(parts) == texts_of(model_encoder)
    apart = merge([TextEncoder().fit(table.slice(0, half)), TextEncoder().fit(table.slice(half))])
    assert texts_of(apart) == texts_of(model_encoder)
    # A stream, read batch by batch (pieces of a few rows learned, then merged), learns the same.
    reader = pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=2))
    piece_rows, _arrow._PIECE_ROWS = _arrow._PIECE_ROWS, 3
    try:
        streamed = TextEncoder().fit(reader)
    finally:
        _arrow._PIECE_ROWS = piece_rows
    assert texts_of(streamed) == texts_of(model_encoder)


def to_matrix(coded):
    if isinstance(coded, pl.DataFrame):
        return coded.to_numpy()
    if coded.num_columns == 0:
        return np.empty((coded.num_rows, 0))
    return np.column_stack([column.to_numpy() for column in coded.columns])


def table_of_parts(seed, rows):
    rng = np.random.default_rng(seed)
    words = np.array(["ant", "bee", "cat", "dog", "nan", "élan", "a text longer than twelve"], dtype=object)
    texts = words[rng.integers(0, len(words), rows)]
    return pl.DataFrame({
        "word": pl.Series([None if i % 7 == 3 else t for i, t in enumerate(texts)], dtype=pl.String),
        "kind": pl.Series(words[rng.integers(0, 3, rows)].tolist(), dtype=pl.Categorical),
        "size": rng.normal(size=rows),
        "count": pl.Series(rng.integers(0, 9, rows), dtype=pl.UInt8),
    })


def test_a_lazy_frame_over_parquet_files_codes_as_the_eager_frame(tmp_path):
    for part in range(5):
        table_of_parts(part, 1000 + 37 * part).write_parquet(tmp_path / f"part-{part}.parquet")
    lazy = pl.scan_parquet(tmp_path / "*.parquet")
    eager = lazy.collect()
    want = TextEncoder().fit(eager)
    got = TextEncoder().fit(lazy)
    assert texts_of(got) == texts_of(want)
    assert list(got.feature_names_in_) == eager.columns
    coded = got.transform(lazy)
    assert isinstance(coded, pl.LazyFrame)
    assert coded.collect_schema() == pl.Schema({name: pl.Float64 for name in eager.columns})
    coded.sink_parquet(tmp_path / "codes.parquet")
    assert_codes_equal(pl.read_parquet(tmp_path / "codes.parquet").to_numpy(), want.transform(eager).to_numpy())
    # fit_transform: one pass to learn, the codes lazily.
    assert_codes_equal(TextEncoder().fit_transform(lazy).collect().to_numpy(), want.transform(eager).to_numpy())


def test_a_record_batch_reader_is_coded_batch_by_batch():
    table = table_of_parts(1, 500).to_arrow()
    encoder = TextEncoder().fit(table)
    reader = pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=64))
    coded = encoder.transform(reader)
    assert isinstance(coded, pa.RecordBatchReader)
    assert coded.schema == pa.schema([(name, pa.float64()) for name in table.column_names])
    assert_codes_equal(to_matrix(coded.read_all()), to_matrix(encoder.transform(table)))
    with pytest.raises(ValueError, match="already read to its end"):
        encoder.transform(reader).read_all()


class Broken(Exception):
    pass


@pytest.mark.parametrize("k", [0, 2])
def test_a_stream_failing_at_batch_k_names_it_and_leaves_what_was_learned(k):
    table = table_of_parts(2, 300).to_arrow()
    batches = table.to_batches(max_chunksize=50)

    def failing():
        for index, batch in enumerate(batches):
            if index == k:
                raise Broken(f"disk gone at {index}")
            yield batch

    encoder = TextEncoder().fit(table.slice(0, 10))
    learned = texts_of(encoder)
    for method in (encoder.fit, encoder.partial_fit):
        with pytest.raises(Broken, match=f"disk gone at {k}") as raised:
            method(pa.RecordBatchReader.from_batches(table.schema, failing()))
        assert f"in batch {k} of the stream" in raised.value.__notes__
        assert texts_of(encoder) == learned
    # The same failure read through the C stream, as one table.
    with pytest.raises(Exception, match=f"disk gone at {k}"):
        TextEncoder().fit(ArrowStream(pa.RecordBatchReader.from_batches(table.schema, failing())))


class ArrowStream:
    """An object that only hands out an Arrow C stream."""

    def __init__(self, source):
        self.source = source

    def __arrow_c_stream__(self, requested_schema=None):
        return self.source.__arrow_c_stream__(requested_schema)


def test_bad_arrow_input_is_refused_naming_the_column():
    good = pa.table({"name": ["a", "b"], "when": pa.array([1, 2], pa.timestamp("us"))})
    with pytest.raises(TypeError, match=r"column 'when' has the Arrow type timestamp\[us\], which holds neither texts nor numbers"):
        TextEncoder().fit(good)
    for kind in (pa.binary(), pa.decimal128(5, 2), pa.list_(pa.int8()), pa.date32()):
        with pytest.raises(TypeError, match="column 'x' has the Arrow type"):
            TextEncoder().fit(pa.table({"x": pa.array([None], kind)}))
    broken = pa.array([b"ok", b"\xff\xfe"], pa.binary()).view(pa.string())
    with pytest.raises(ValueError, match=r"column 's' holds a text that is not UTF-8 \(batch 0\)"):
        TextEncoder().fit(pa.table({"s": broken}))
    # A capsule read once is released: a second reader finds it so.
    capsule = pa.table({"s": ["a"]}).__arrow_c_stream__()
    once = type("Once", (), {"__arrow_c_stream__": lambda self, requested_schema=None: capsule})()
    TextEncoder().fit(once)
    with pytest.raises(ValueError, match="the Arrow stream was already released"):
        TextEncoder().fit(once)
    encoder = TextEncoder().fit(pa.table({"s": ["a"], "n": [1.0]}))
    with pytest.raises(ValueError, match="X has 1 features, but TextEncoder is expecting 2 features as input"):
        encoder.transform(pl.DataFrame({"s": ["a"]}))
    with pytest.raises(ValueError, match="Feature names unseen at fit time:\n- t\n"):
        encoder.transform(pl.DataFrame({"t": ["a"], "n": [1.0]}))
    with pytest.raises(ValueError, match="column 's' holds the text 'b' \\(row 1\\)"):
        encoder.transform(pl.DataFrame({"s": ["a", "b"], "n": [1.0, 2.0]}))
    with pytest.raises(TypeError, match="not a polars Series"):
        encoder.transform(pl.Series("s", ["a"]))
    # A column whose type changes from one batch of a stream to the next.
    def changing():
        yield pa.record_batch({"s": ["a"], "n": [1.0]})
        yield pa.record_batch({"s": [1], "n": [1.0]})
    reader = pa.RecordBatchReader.from_batches(pa.schema([("s", pa.string()), ("n", pa.float64())]), changing())
    with pytest.raises(ValueError, match="column 's' is string in the stream's schema but int64 in batch 1"):
        TextEncoder().fit(reader)


@pytest.mark.parametrize("make", [
    lambda frame: frame,
    lambda frame: frame.to_arrow(),
    # NaN for missing: None in an object column is the text 'None' (pandas 2 gives one).
    lambda frame: frame.to_pandas().fillna(np.nan),
    lambda frame: frame.to_pandas().fillna(np.nan).to_numpy(dtype=object),
])
def test_set_output_polars_for_every_input(make):
    frame = pl.DataFrame({"s": ["b", None, "a"], "n": [1.0, None, 3.0]})
    coded = TextEncoder().set_output(transform="polars").fit_transform(make(frame))
    assert isinstance(coded, pl.DataFrame)
    assert coded.dtypes == [pl.Float64, pl.Float64]
    assert coded.null_count().row(0) == (0, 0)  # missing stays NaN
    assert_codes_equal(coded.to_numpy(), [[1.0, 1.0], [np.nan, np.nan], [0.0, 3.0]])


def outcome(call):
    try:
        return "ok", call()
    except (ValueError, TypeError) as error:
        return type(error).__name__, str(error)


def code_columns(coded):
    """Each column of codes as (dtype, values), whatever kind of table holds them."""
    if isinstance(coded, pd.DataFrame):
        return [(coded[c].dtype, coded[c].to_numpy()) for c in coded.columns]
    if isinstance(coded, pl.DataFrame):
        return [(np.dtype(s.to_numpy().dtype), s.to_numpy()) for s in coded.get_columns()]
    return [(np.dtype(column.type.to_pandas_dtype()), column.to_numpy()) for column in coded.columns]


def assert_same_codes(got, want):
    got, want = code_columns(got), code_columns(want)
    assert [dtype for dtype, _ in got] == [dtype for dtype, _ in want]
    for (_, a), (_, b) in zip(got, want):
        np.testing.assert_array_equal(a, b)


@st.composite
def arrow_options(draw, table):
    """Options of every kind; a given list per text column from the texts it holds, some dropped, some added."""
    integer = draw(st.booleans())
    chosen = {
        "unknown": draw(st.sampled_from(["error", -1] if integer else ["error", -1.0, math.nan])),
        "encoded_missing_value": draw(st.sampled_from([-2] if integer else [math.nan, -2.0])),
        "dtype": draw(st.sampled_from([np.int32, np.int64] if integer else [np.float64, np.float32])),
        "min_frequency": draw(st.sampled_from([None, 1, 2, 0.3])),
        "max_categories": draw(st.sampled_from([None, 1, 2, 4])),
    }
    if draw(st.booleans()):
        given = []
        for column in table.columns:
            kind = column.type.value_type if pa.types.is_dictionary(column.type) else column.type
            if not (pa.types.is_string(kind) or pa.types.is_large_string(kind) or pa.types.is_string_view(kind)):
                given.append("auto")
                continue
            texts = sorted({v for v in column.to_pylist() if v is not None and v not in ("nan", "NaN", "<NA>")})
            listed = draw(st.permutations(texts + ["never seen"]))
            given.append(listed[: draw(st.integers(max(0, len(listed) - 2), len(listed)))])
        chosen["categories"] = given
    return chosen


@settings(max_examples=examples(200), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(table=arrow_tables(), as_polars=st.booleans(), data=st.data())
def test_arrow_tables_take_every_option_as_the_pandas_model(table, as_polars, data):
    options = data.draw(arrow_options(table))
    model = model_frame(table)
    source = polars_of(table) if as_polars else table
    expected = outcome(lambda: TextEncoder(**options).fit_transform(model))
    got = outcome(lambda: TextEncoder(**options).fit_transform(source))
    event(expected[0])
    assert got[0] == expected[0]
    if expected[0] != "ok":
        assert got[1] == expected[1]
        return
    assert_same_codes(got[1], expected[1])

    model_encoder = TextEncoder(**options).fit(model)
    # Learned in two parts as the model's halves are (a part may refuse what the whole takes), and as a stream.
    in_parts = outcome(lambda: parts_of(table, polars_of if as_polars else (lambda part: part), options))
    assert in_parts[0] == outcome(lambda: parts_of(table, model_frame, options))[0]
    learners = [TextEncoder(**options).fit(source), streamed(table, options)]
    for learned in learners + ([in_parts[1]] if in_parts[0] == "ok" else []):
        assert texts_of(learned) == texts_of(model_encoder)
        if options["min_frequency"] is not None or options["max_categories"] is not None:
            assert repr(learned.infrequent_categories_) == repr(model_encoder.infrequent_categories_)
        coded = learned.transform(source)
        assert_same_codes(coded, expected[1])

    # The texts back: infrequent ones as scikit-learn names them, null where the model has no text.
    texts = model_encoder.inverse_transform(expected[1])
    back = TextEncoder(**options).fit(source).inverse_transform(coded)
    for c, name in enumerate(table.column_names):
        values = back[name].to_list() if as_polars else back.column(name).to_pylist()
        if c in model_encoder.string_columns_:
            assert values == [v if isinstance(v, str) else None for v in texts[name].tolist()]


def parts_of(table, reading, options):
    half = table.num_rows // 2
    parts = TextEncoder(**options)
    for part in (table.slice(0, half), table.slice(half)):
        parts.partial_fit(reading(part))
    return parts


def streamed(table, options):
    reader = pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=2))
    piece_rows, _arrow._PIECE_ROWS = _arrow._PIECE_ROWS, 3
    try:
        return TextEncoder(**options).fit(reader)
    finally:
        _arrow._PIECE_ROWS = piece_rows
