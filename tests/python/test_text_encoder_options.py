"""TextEncoder's options against scikit-learn's OrdinalEncoder, the pickle's
contents across the two test environments, None as missing, messages.

Where the two differ on purpose, the differential expects the sound rule:
- scikit-learn 1.9 codes None in an object array as a category; TextEncoder
  reads it as missing (as pandas and polars do): the reference gets NaN there.
- scikit-learn refuses an encoded_missing_value equal to a code (or NaN with
  an integer dtype) only for columns that held a missing value at fit;
  TextEncoder for every text column, since any of them may meet one later.
- A missing value in a column that held none at fit is unknown to
  scikit-learn (an error, or unknown_value); to TextEncoder it stays missing.
  Only columns that held one at fit meet one here.
- scikit-learn lets unknown_value equal the code infrequent texts share,
  which then decodes as unknown; TextEncoder refuses it as a code in use.
- scikit-learn counts a missing value as a category when it groups
  infrequent ones (None coded 2 with min_frequency=2), and its
  inverse_transform raises IndexError on a NaN code when they are on: those
  tables hold no missing cell, and a NaN code decodes as missing here.
- A given categories list takes missing values here; scikit-learn only
  when the list ends with NaN, which its lists here do.
- The texts "nan", "NaN" and "<NA>" are missing values to TextEncoder and
  texts to scikit-learn: the tables here hold none of them. An array's
  missing cell decodes to "NaN", as quorix's decode writes it (None in a frame).
"""

import ast
import hashlib
import io
import math
import pickle
import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorix_pipeline
from quorix_pipeline import TextEncoder

from conftest import examples

sklearn_preprocessing = pytest.importorskip("sklearn.preprocessing")

TEXTS = st.text(alphabet=st.characters(codec="utf-8"), max_size=3).filter(lambda t: t not in ("nan", "NaN", "<NA>"))


@st.composite
def text_tables(draw):
    """(ours, reference, unseen): an object table whose missing cells are None
    in ours and NaN in the reference's, and texts neither learned."""
    rows = draw(st.integers(1, 12))
    cols = draw(st.integers(1, 3))
    columns = []
    for _ in range(cols):
        pool = draw(st.lists(TEXTS, min_size=1, max_size=5, unique=True))
        cells = draw(st.lists(st.one_of(st.sampled_from(pool), st.none()), min_size=rows, max_size=rows))
        cells[draw(st.integers(0, rows - 1))] = pool[0]  # every column a text column
        columns.append(cells)
    ours = np.array(columns, dtype=object).T.copy()
    reference = ours.copy()
    reference[np.frompyfunc(lambda cell: cell is None, 1, 1)(reference).astype(bool)] = np.nan
    return ours, reference


options = st.fixed_dictionaries({
    "unknown": st.sampled_from(["error", math.nan, -1, 0, 2, 50]),
    "encoded_missing_value": st.sampled_from([math.nan, -2, 0, 1]),
    "dtype": st.sampled_from([np.float64, np.float32, np.int64, np.int32]),
    "min_frequency": st.sampled_from([None, None, 1, 2, 3, 0.2, 0.5]),
    "max_categories": st.sampled_from([None, None, 1, 2, 3]),
})


def reference_encoder(unknown, **rest):
    rule = {"handle_unknown": "error"} if unknown == "error" else {
        "handle_unknown": "use_encoded_value", "unknown_value": unknown}
    return sklearn_preprocessing.OrdinalEncoder(**rest, **rule)


def given_categories(data, table):
    """'auto', or per column 'auto' or its texts shuffled, with a few
    dropped (texts met at fit that the list lacks) and new ones added."""
    if data.draw(st.booleans()):
        return "auto"
    given = []
    for cells in table.T:
        texts = sorted({t for t in cells if t is not None})
        listed = data.draw(st.permutations(texts + ["\x7fnever", "Aa-never"]))
        given.append(listed[: data.draw(st.integers(max(1, len(listed) - 3), len(listed)))])
    return given


def outcome(call):
    try:
        return "ok", call()
    except (ValueError, TypeError) as error:
        return type(error).__name__, str(error)


def stricter_check(message, reference, opts):
    """The refusals TextEncoder makes where scikit-learn goes on."""
    if message.startswith("encoded_missing_value"):
        return True
    if message.startswith("The used value for unknown") and hasattr(reference, "infrequent_categories_"):
        # The code infrequent texts share.
        shared = {len(texts) - len(infrequent) for texts, infrequent in
                  zip(reference.categories_, reference.infrequent_categories_) if infrequent is not None}
        return opts["unknown"] in shared
    return False


@settings(max_examples=examples(300), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(text_tables(), options, st.data())
def test_codes_categories_and_decoding_follow_ordinal_encoder(tables, opts, data):
    ours_table, reference_table = tables
    opts["categories"] = given_categories(data, ours_table)
    infrequent_on = opts["min_frequency"] is not None or opts["max_categories"] is not None
    if infrequent_on:
        # scikit-learn counts a missing value as a category when grouping
        # infrequent ones: only tables without missing cells agree.
        filled = ours_table.copy()
        for c in range(filled.shape[1]):
            text = next(cell for cell in ours_table[:, c] if cell is not None)
            filled[:, c] = [text if cell is None else cell for cell in ours_table[:, c]]
        ours_table, reference_table = filled, filled.copy()
    ours = TextEncoder(**opts)
    reference_opts = dict(opts)
    if opts["categories"] != "auto" and not infrequent_on:
        # scikit-learn takes a missing value for one only when its list ends with NaN.
        reference_opts["categories"] = [[*texts, np.nan] for texts in opts["categories"]]
    reference = reference_encoder(**reference_opts)
    fitted = outcome(lambda: ours.fit(ours_table))
    expected = outcome(lambda: reference.fit(reference_table))
    if expected[0] != "ok":
        assert fitted[0] == expected[0]
        if expected[1].startswith("Found unknown categories") and fitted[1].startswith("Found unknown categories"):
            # scikit-learn lists them in the order of a set.
            texts = re.compile(r"\[.*\]")
            assert set(ast.literal_eval(texts.search(fitted[1])[0])) == set(ast.literal_eval(texts.search(expected[1])[0]))
            assert texts.sub("", fitted[1]) == texts.sub("", expected[1])
            return
        assert fitted[1] == expected[1].replace("unknown_value", "unknown").replace(
            "<class 'numpy.", "").replace("'>", "") or fitted[1].startswith(("encoded_missing_value", "When unknown"))
        return
    if fitted[0] != "ok":
        assert stricter_check(fitted[1], reference, opts), fitted
        return
    assert [list(texts) for texts in ours.categories_] == [
        [t for t in texts if not (isinstance(t, float) and math.isnan(t))] for texts in reference.categories_]
    if infrequent_on:
        assert [None if texts is None else list(texts) for texts in ours.infrequent_categories_] == [
            None if texts is None else list(texts) for texts in reference.infrequent_categories_]
    # One pass that learns and codes gives the codes of a fit, then a transform.
    assert np.array_equal(TextEncoder(**opts).fit_transform(ours_table), ours.transform(ours_table), equal_nan=True)

    # A table of learned texts, missing cells and (when allowed) unseen ones.
    rows = data.draw(st.integers(1, 8))  # scikit-learn refuses empty tables
    pools = []
    for cells in ours_table.T:
        pool = sorted({t for t in cells if t is not None})
        pool += [None] if any(t is None for t in cells) else []
        pool += ["\x00unseen", "zzz-unseen"] if opts["unknown"] != "error" else []
        pools.append(pool)
    test = np.array([[data.draw(st.sampled_from(pool)) for pool in pools] for _ in range(rows)],
                    dtype=object).reshape(rows, ours_table.shape[1])
    reference_test = test.copy()
    reference_test[np.frompyfunc(lambda cell: cell is None, 1, 1)(test).astype(bool)] = np.nan
    codes = ours.transform(test)
    want = reference.transform(reference_test)
    assert codes.dtype == want.dtype
    assert np.array_equal(codes, want, equal_nan=True)

    decoded = ours.inverse_transform(codes)
    if infrequent_on and np.isnan(want.astype(float)).any():
        # scikit-learn's inverse_transform raises IndexError on a NaN code
        # when infrequent categories are on: a NaN code is missing here.
        assert all(decoded[np.isnan(want.astype(float))] == "NaN")
        return
    back = reference.inverse_transform(want)
    same = np.frompyfunc(lambda a, b: (a in (None, "NaN") and (b is None or b != b)) or a == b, 2, 1)
    assert same(decoded, back).astype(bool).all(), (decoded, back)


@settings(max_examples=examples(100), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(text_tables(), st.sampled_from([{"min_frequency": 2}, {"min_frequency": 0.3}, {"max_categories": 2},
                                       {"min_frequency": 2, "max_categories": 3}]), st.data())
def test_parts_group_infrequent_texts_as_one_fit_does(tables, grouping, data):
    table = tables[0]
    rows = len(table)
    cuts = sorted(data.draw(st.lists(st.integers(0, rows), max_size=3)))
    bounds = [0, *cuts, rows]
    parts = [table[a:b] for a, b in zip(bounds, bounds[1:])]
    whole = TextEncoder(unknown=-1, **grouping).fit(table)
    expected = whole.transform(table)
    chunked = TextEncoder(unknown=-1, **grouping)
    for part in parts:
        chunked.partial_fit(part)
    merged = quorix_pipeline.merge([TextEncoder(unknown=-1, **grouping).fit(part) for part in parts])
    for learned in (chunked, merged, pickle.loads(pickle.dumps(chunked))):
        assert np.array_equal(learned.transform(table), expected, equal_nan=True)
        assert repr(learned.infrequent_categories_) == repr(whole.infrequent_categories_)
    dd = _dask_dataframe()
    if dd is None:
        return
    # Through dask: each part a partition, its texts and counts sent back as
    # runs and merged as runs; the pickle of the result (runs) keeps the counts.
    import dask

    labels = [f"c{c}" for c in range(table.shape[1])]
    frames = [pd.DataFrame(part, columns=labels) for part in parts]
    meta = pd.DataFrame({label: pd.Series([], dtype=object) for label in labels})
    with dask.config.set({"scheduler": "sync", "dataframe.convert-string": False}):
        ddf = dd.from_delayed([dask.delayed(frame) for frame in frames], meta=meta, verify_meta=False)
        fitted = TextEncoder(unknown=-1, **grouping).fit(ddf)
    frame = pd.DataFrame(table, columns=labels)
    for learned in (fitted, pickle.loads(pickle.dumps(fitted))):
        assert np.array_equal(learned.transform(frame).to_numpy(), expected, equal_nan=True)
        assert repr(learned.infrequent_categories_) == repr(whole.infrequent_categories_)


def _dask_dataframe():
    try:
        import dask.dataframe
    except ImportError:
        return None
    return dask.dataframe


def test_max_categories_lets_a_gradient_boosted_model_take_a_wide_column():
    ensemble = pytest.importorskip("sklearn.ensemble")
    pipeline = pytest.importorskip("sklearn.pipeline")
    rng = np.random.default_rng(3)
    cities = np.array([f"city-{k:04}" for k in range(3000)], dtype=object)
    frame = pd.DataFrame({"city": cities[rng.integers(0, 3000, 6000)], "x": rng.normal(size=6000)})
    target = (frame["x"] > 0).to_numpy()
    model = pipeline.make_pipeline(
        TextEncoder(unknown=np.nan, max_categories=255),
        ensemble.HistGradientBoostingClassifier(categorical_features=[0], max_iter=5))
    model.fit(frame, target)
    assert model[0].transform(frame)["city"].max() == 254
    assert model.score(frame, target) > 0.9


# ---------------------------------------------------------------------------
# The pickle: built-in objects, NumPy and bytes only, across environments


class OnlyPlainObjects(pickle.Unpickler):
    """Loads only built-in objects, NumPy's and the package's own."""

    allowed = ("builtins", "copyreg", "numpy", "quorix_pipeline")

    def find_class(self, module, name):
        if module.split(".")[0] not in self.allowed:
            raise pickle.UnpicklingError(f"the pickle holds {module}.{name}")
        return super().find_class(module, name)


def exchanged():
    """A fitted frame encoder, the same each run, and what it gives."""
    # Object columns: pandas 2.2's "str" dtype would keep None as the text 'None'.
    frame = pd.DataFrame({"island": pd.Series(["Dream", "Biscoe", None, "Île"], dtype=object),
                          "sex": pd.Series(["m", None, "f", "m"], dtype=object), "mass": [1.0, 2.0, 3.0, None]},
                         index=[10, 11, 12, 13])
    encoder = TextEncoder(unknown=-1, encoded_missing_value=-2, dtype=np.float32).fit(frame)
    return encoder, frame


EXCHANGE = Path(__file__).resolve().parents[2] / "build" / "pickle-exchange"


def exchange_name(major):
    # Named by the package's source, so that a file from another version is never read.
    package = Path(quorix_pipeline.__file__).parent
    source = b"".join((package / name).read_bytes() for name in ("_fitted.py", "_text_encoder.py"))
    return EXCHANGE / f"text-encoder-numpy{major}-{hashlib.sha256(source).hexdigest()[:12]}.pickle"


def test_the_pickle_holds_plain_objects_and_loads_under_the_other_environment():
    encoder, frame = exchanged()
    data = pickle.dumps(encoder)
    restored = OnlyPlainObjects(io.BytesIO(data)).load()
    pd.testing.assert_frame_equal(restored.transform(frame), encoder.transform(frame))
    assert list(restored.feature_names_in_) == ["island", "sex", "mass"]
    # `make test` runs the suite under NumPy 2 + pandas 3, then NumPy 1.26 +
    # pandas 2.2: each run leaves its pickle and reads the other's.
    major = int(np.__version__.split(".")[0])
    EXCHANGE.mkdir(parents=True, exist_ok=True)
    exchange_name(major).write_bytes(data)
    other = exchange_name(1 if major == 2 else 2)
    if not other.exists():
        pytest.skip(f"no pickle written under NumPy {1 if major == 2 else 2} yet")
    loaded = OnlyPlainObjects(io.BytesIO(other.read_bytes())).load()
    pd.testing.assert_frame_equal(loaded.transform(frame), encoder.transform(frame))
    pd.testing.assert_frame_equal(loaded.inverse_transform(encoder.transform(frame)),
                                  encoder.inverse_transform(encoder.transform(frame)))


# ---------------------------------------------------------------------------
# None as missing, rows by label, bad options


def test_none_is_missing_in_every_reading_of_a_table():
    with_none = pd.DataFrame({"t": pd.Series(["b", None, "a", None], dtype=object), "n": [None, 1, 2, 3]})
    with_nan = pd.DataFrame({"t": pd.Series(["b", math.nan, "a", math.nan], dtype=object), "n": [math.nan, 1, 2, 3]})
    encoder = TextEncoder(unknown=-1)
    expected = [[1.0, math.nan], [math.nan, 1.0], [0.0, 2.0], [math.nan, 3.0]]
    for table in (with_none, with_none.to_numpy(), with_none.to_numpy().copy(order="F")):
        for codes in (encoder.fit(table).transform(table), encoder.fit_transform(table)):
            assert np.array_equal(np.asarray(codes, dtype=float), expected, equal_nan=True)
            assert [list(texts) for texts in encoder.categories_[:1]] == [["a", "b"]]
    # All None: a column of missing numbers, as encode reads all-NaN.
    assert TextEncoder().fit(np.array([[None], [None]], dtype=object)).string_columns_ == ()
    assert TextEncoder().fit(with_none).transform(with_nan).equals(TextEncoder().fit(with_nan).transform(with_nan))
    # A None among codes decodes as missing.
    assert TextEncoder().fit(with_nan).inverse_transform(np.array([[None, 1.0]], dtype=object)).tolist() == [['NaN', 1.0]]
    if hasattr(np, "dtypes") and hasattr(np.dtypes, "StringDType"):
        strings = np.array([["b"], [None], ["a"]], dtype=np.dtypes.StringDType(na_object=None))
        assert TextEncoder().fit(strings).transform(strings)[:, 0].tolist()[::2] == [1.0, 0.0]
        assert math.isnan(TextEncoder().fit(strings).transform(strings)[1, 0])


def test_messages_name_the_row_by_its_index_label():
    encoder = TextEncoder().fit(pd.DataFrame({"island": ["Dream"]}))
    chunk = pd.DataFrame({"island": ["Dream", "Anvers"]}, index=[200000, 200001])
    with pytest.raises(ValueError, match=r"^column 'island' holds the text 'Anvers' \(row 200001\), "):
        encoder.transform(chunk)
    with pytest.raises(ValueError, match=r"\(row 'b'\)"):
        encoder.transform(chunk.set_axis(["a", "b"]))
    with pytest.raises(ValueError, match=r"\(row 1\)"):
        TextEncoder().fit(chunk.to_numpy()[:1]).transform(chunk.to_numpy())


@pytest.mark.parametrize("params, error, message", [
    ({"unknown": "ignore"}, ValueError, "unknown must be 'error' or a number"),
    ({"encoded_missing_value": "x"}, TypeError, "encoded_missing_value must be a number"),
    ({"dtype": str}, TypeError, "dtype must be a NumPy float or integer dtype"),
    ({"dtype": "no such dtype"}, TypeError, "dtype must be a NumPy float or integer dtype"),
    ({"dtype": np.int64}, ValueError, "encoded_missing_value is NaN, which dtype int64 cannot hold"),
    ({"dtype": np.int64, "unknown": math.nan, "encoded_missing_value": -1}, ValueError,
     "When unknown is NaN, the dtype parameter should be a float dtype. Got int64."),
    ({"dtype": np.uint8, "encoded_missing_value": -1}, ValueError, "encoded_missing_value=-1 cannot be held by dtype uint8"),
    ({"unknown": 1}, ValueError, "The used value for unknown 1 is one of the values already used for encoding the seen categories."),
    ({"encoded_missing_value": 0}, ValueError, "encoded_missing_value (0) is already used to encode a known category in features: ['island']"),
    ({"dtype": np.int8, "encoded_missing_value": -1}, ValueError, "dtype int8 cannot hold the codes of column 'island', up to 199"),
])
def test_bad_options_are_refused_at_fit_and_keep_what_was_learned(params, error, message):
    frame = pd.DataFrame({"island": [f"i{k:03}" for k in range(200)], "mass": np.arange(200.0)})
    encoder = TextEncoder().fit(frame.iloc[:2])
    encoder.set_params(**params)
    for learn in (encoder.fit, encoder.fit_transform, encoder.partial_fit):
        with pytest.raises(error, match=re.escape(message)):
            learn(frame)
        assert [list(texts) for texts in encoder.categories_][0] == ["i000", "i001"]


def test_parameters_follow_the_signature():
    encoder = TextEncoder(unknown=-1, dtype=np.float32)
    assert encoder.get_params() == {"unknown": -1, "categories": "auto",
                                    "encoded_missing_value": encoder.encoded_missing_value, "dtype": np.float32,
                                    "min_frequency": None, "max_categories": None}
    assert repr(encoder) == "TextEncoder(unknown=-1, dtype=<class 'numpy.float32'>)"
    assert repr(TextEncoder()) == "TextEncoder()"
    with pytest.raises(ValueError, match=r"Valid parameters are: \['categories', 'dtype', 'encoded_missing_value', 'max_categories', 'min_frequency', 'unknown'\]"):
        encoder.set_params(colour=1)
    # An integer dtype with an array's numeric column, which passes through.
    with pytest.raises(ValueError, match="^dtype int64 cannot hold column 1, learned as numeric"):
        TextEncoder(dtype=np.int64, encoded_missing_value=-1).fit(np.array([["a", 1.0]], dtype=object))
    codes = TextEncoder(dtype=np.int64, encoded_missing_value=-1).fit_transform(
        pd.DataFrame({"t": ["b", None, "a"], "n": [1.5, 2.5, None]}))
    assert list(codes.dtypes) == [np.int64, np.float64] and codes["t"].tolist() == [1, -1, 0]


def test_dask_partitions_group_infrequent_texts_as_one_fit_does():
    dd = pytest.importorskip("dask.dataframe")
    import dask

    rng = np.random.default_rng(5)
    texts = np.array([f"t{k}" for k in range(12)] + [None], dtype=object)
    frame = pd.DataFrame({"t": texts[np.minimum(rng.geometric(0.3, 400), 12)], "n": rng.normal(size=400)})
    params = {"unknown": -1, "min_frequency": 0.05, "max_categories": 5}
    whole = TextEncoder(**params).fit(frame)
    with dask.config.set(scheduler="sync"):
        fitted = TextEncoder(**params).fit(dd.from_pandas(frame, npartitions=4))
    pd.testing.assert_frame_equal(fitted.transform(frame), whole.transform(frame))
    assert repr(fitted.infrequent_categories_) == repr(whole.infrequent_categories_)
    # A lazy transform's meta gives the codes' dtype.
    narrow = TextEncoder(encoded_missing_value=-1, dtype=np.int32, **params).fit(frame)
    with dask.config.set(scheduler="sync"):
        lazy = narrow.transform(dd.from_pandas(frame, npartitions=4))
        assert list(lazy.dtypes) == [np.int32, np.float64]
        pd.testing.assert_frame_equal(lazy.compute(), narrow.transform(frame))


def counted(table):
    """The model of the counts: per column, each text's cells, in byte order of UTF-8."""
    counts = []
    for cells in table.T:
        seen = {}
        for cell in cells:
            if cell is not None:
                seen[cell] = seen.get(cell, 0) + 1
        counts.append([seen[t] for t in sorted(seen, key=lambda t: t.encode("utf-8", "surrogatepass"))])
    return counts


def readings(table):
    """The same cells read by each way a table can come: an object array, a
    frame of object columns, a frame of pandas str columns, a NumPy U array
    (coded where it lies; only without missing cells)."""
    yield table
    yield pd.DataFrame(table, columns=[f"c{i}" for i in range(table.shape[1])])
    yield pd.DataFrame(table, columns=[f"c{i}" for i in range(table.shape[1])]).astype("string")
    if not any(cell is None for cell in table.flat) and not any(
            "\x00" in cell or any(0xD800 <= ord(ch) < 0xE000 for ch in cell) for cell in table.flat):
        yield table.astype(str)


@settings(max_examples=examples(100), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(text_tables(), st.data())
def test_each_text_is_counted_in_the_pass_that_learns_it(tables, data):
    table = tables[0]
    rows = len(table)
    cuts = sorted(data.draw(st.lists(st.integers(0, rows), max_size=3)))
    bounds = [0, *cuts, rows]
    expected = counted(table)

    def counts_of(encoder):
        fitted = encoder._state()
        assert fitted.text_counts() is not None
        return [fitted.counts(c).tolist() for c in fitted.string_columns]

    for X in readings(table):
        parts = [X[a:b] for a, b in zip(bounds, bounds[1:])]
        chunked = TextEncoder(min_frequency=1)
        for part in parts:
            chunked.partial_fit(part)
        learners = [TextEncoder(min_frequency=1).fit(X), chunked, pickle.loads(pickle.dumps(chunked)),
                    quorix_pipeline.merge([TextEncoder(max_categories=9).fit(part) for part in parts])]
        fit_transformed = TextEncoder(max_categories=5)
        fit_transformed.fit_transform(X)
        for encoder in [*learners, fit_transformed]:
            assert counts_of(encoder) == expected, type(X)
    # Counting is asked for by the options that need it, and only then.
    assert TextEncoder().fit(table)._state().text_counts() is None


def test_options_checked_on_the_whole_table_not_on_its_parts():
    # Set to "error" after a fit that coded texts outside the list as unknown:
    # refused, never coded as missing.
    frame = pd.DataFrame({"a": ["x", "y", "z"]})
    encoder = TextEncoder(unknown=np.nan, categories=[["y", "z"]]).fit(frame)
    assert encoder.transform(frame)["a"].tolist()[1:] == [0.0, 1.0]
    encoder.set_params(unknown="error")
    with pytest.raises(ValueError, match=r"^column 'a' was fitted with texts outside its categories \(\['x'\]\)"):
        encoder.transform(frame)
    # A dask partition more varied than the whole: b and c are frequent in the
    # first nine rows only, so unknown=2 clashes there but not in the table.
    dd = pytest.importorskip("dask.dataframe")
    import dask

    table = pd.DataFrame({"t": ["a", "b", "c"] * 3 + ["a"] * 91})
    one = TextEncoder(unknown=2.0, min_frequency=0.3).fit(table)
    with dask.config.set(scheduler="sync"):
        parts = TextEncoder(unknown=2.0, min_frequency=0.3).fit(dd.from_pandas(table, chunksize=9, sort=False))
    assert parts.transform(table).equals(one.transform(table))
    assert [list(c) for c in parts.infrequent_categories_] == [["b", "c"]]
