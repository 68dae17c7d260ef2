"""The strs a decode makes for learned texts, kept beside the learned state:
what later decodes give (the same as a fresh decode of the same state), the
reference counts they hold, and their release when the state is replaced."""

import math
import sys
import threading

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorix
from quorix_pipeline import TextEncoder

from conftest import examples
from output_model import LARGEST, assert_same_cells, learned


def assert_same(actual, expected):
    if isinstance(expected, pd.DataFrame):
        pd.testing.assert_frame_equal(actual, expected)
        for got, want in zip(actual.to_numpy().ravel(), expected.to_numpy().ravel()):
            assert type(got) is type(want)
    else:
        assert_same_cells(actual, expected)


def text_cells(decoded):
    """Every cell of a decode that holds a str, as one list."""
    cells = decoded.to_numpy().ravel() if isinstance(decoded, pd.DataFrame) else decoded.ravel()
    return [v for v in cells if type(v) is str]


@pytest.mark.parametrize("replace", ["encode", "__setstate__", "del"])
def test_kept_strs_are_counted_through_decodes_until_the_state_goes(replace):
    # While the Encoder lives, a learned text's str has one reference per cell
    # holding it plus the Encoder's; encode, __setstate__ and the Encoder's end
    # give that one back, and the results then hold the only ones.
    encoder = learned([0], {0: {0: "leak probe", 1: "other text"}})
    state = encoder.__getstate__()
    matrix = np.array([[0.0], [1.0], [0.0], [7.0], [math.nan]] * 10)
    frame = pd.DataFrame(matrix, columns=["p"])
    counts_before = sys.getrefcount(matrix), sys.getrefcount(frame)
    results, kept = [], None
    for table in (matrix, frame) * 3:
        decoded = encoder.decode(table)
        assert sys.getrefcount(decoded) == 2
        made = {id(v): v for v in text_cells(decoded) if v != "NaN"}
        kept = kept or sorted(made.values())
        # Every decode takes the same two strs.
        assert sorted(map(id, made.values())) == sorted(map(id, kept))
        results.append(decoded)
        del made
        for text in kept:
            held = sum(v is text for r in results for v in text_cells(r))
            # The cells, the Encoder, `kept`, the loop variable and the argument.
            assert sys.getrefcount(text) == held + 4
    if replace == "encode":
        encoder.encode(np.array([["leak probe"], ["other text"]], dtype=object))
    elif replace == "__setstate__":
        encoder.__setstate__(state)
    else:
        del encoder
    for text in kept:
        assert sys.getrefcount(text) == sum(v is text for r in results for v in text_cells(r)) + 3
    if replace != "del":
        # The new state's decode makes its own.
        again = encoder.decode(matrix)
        assert again[0, 0] == "leak probe" and again[0, 0] is not kept[0]
        del again
    del results, decoded, table
    for text in kept:
        assert sys.getrefcount(text) == 3
    assert (sys.getrefcount(matrix), sys.getrefcount(frame)) == counts_before


# Texts of a learned column, the empty one and non-ASCII ones included.
TEXTS = st.text(max_size=5).filter(lambda t: t not in ("nan", "NaN", "<NA>"))
# Cells of the codes: learned codes, codes without a text, NaN, fractions,
# values below 0 and beyond 2^64.
CELLS = st.one_of(
    st.integers(0, 12).map(float), st.sampled_from([math.nan, -1.0, 0.5, 2.5, 1e30, math.inf, float(LARGEST)])
)


def tables(data, cols, max_rows):
    rows = data.draw(st.integers(0, max_rows))
    return np.array(data.draw(st.lists(st.lists(CELLS, min_size=cols, max_size=cols), min_size=rows,
                                       max_size=rows)), dtype=np.float64).reshape(rows, cols)


@settings(max_examples=examples(150), deadline=None)
@given(
    maps=st.lists(st.dictionaries(st.one_of(st.integers(0, 12), st.just(LARGEST)), TEXTS, max_size=10),
                  min_size=1, max_size=3),
    data=st.data(),
)
def test_kept_strs_never_change_a_decode(maps, data):
    # One Encoder decodes table after table (arrays and frames, few rows
    # beside many texts and many beside few), its state replaced now and
    # then; each result must be cell for cell what a fresh Encoder holding
    # the same state gives.
    cols = len(maps) + 1
    # The same maps in another entry order, and with their texts moved round.
    states = [maps, [dict(reversed(list(m.items()))) for m in maps],
              [dict(zip(m, list(m.values())[1:] + list(m.values())[:1])) for m in maps]]
    encoder, current = learned(list(range(len(maps))), dict(enumerate(maps))), maps
    for _ in range(data.draw(st.integers(1, 6))):
        if data.draw(st.integers(0, 4)) == 0:
            current = data.draw(st.sampled_from(states))
            encoder.__setstate__(learned(list(range(len(current))), dict(enumerate(current))).__getstate__())
        codes = tables(data, cols, data.draw(st.sampled_from([3, 40])))
        if data.draw(st.booleans()):
            codes = pd.DataFrame(codes, columns=[f"c{k}" for k in range(cols)])
        fresh = learned(list(range(len(current))), dict(enumerate(current)))
        assert_same(encoder.decode(codes), fresh.decode(codes))


def test_text_encoder_keeps_its_strs_and_gives_what_a_fresh_one_gives():
    rng = np.random.default_rng(7)
    texts = np.array(["x", "yy", "zzz", "é", "", "nan", None], dtype=object)
    train = pd.DataFrame({"a": texts[rng.integers(0, 7, 300)], "n": rng.normal(size=300),
                          "b": texts[rng.integers(0, 3, 300)]})
    encoder = TextEncoder(unknown=np.nan).fit(train)
    codes = encoder.transform(train).to_numpy(copy=True)
    codes[rng.random(codes.shape) < 0.1] = np.nan
    codes[::17, 0] = 42.0
    results = [encoder.inverse_transform(table) for table in (codes, pd.DataFrame(codes, columns=train.columns)) * 2]
    for table, result in zip((codes, pd.DataFrame(codes, columns=train.columns)) * 2, results):
        assert_same(result, TextEncoder.from_encoder(encoder.encoder_).inverse_transform(table))
    # One str per learned text of a column across the calls, held by the
    # cells and the fitted state.
    cells = [v for r in results for v in (r.iloc[:, 0].to_numpy() if isinstance(r, pd.DataFrame) else r[:, 0])]
    text = next(v for v in cells if v == "zzz")
    held = sum(v is text for v in cells)
    assert held == sum(v == text for v in cells)
    del cells
    assert sys.getrefcount(text) == held + 1 + 2  # the variable and the argument
    del encoder
    assert sys.getrefcount(text) == held + 2


def test_decodes_on_one_thread_while_another_encodes():
    # encode replaces the state and drops the kept strs; a decode running
    # meanwhile holds the borrow flag, so the one refused is told so, and
    # every decode that runs gives the texts of the one state both use.
    table = np.array([[f"text {i % 97}", f"other {i % 13}"] for i in range(5_000)], dtype=object)
    encoder = quorix.Encoder()
    codes = encoder.encode(table)
    expected = quorix.Encoder()
    expected.encode(table)
    expected = expected.decode(codes)
    stop, failures, refusals = threading.Event(), [], []

    def encode_again():
        try:
            while not stop.is_set():
                try:
                    encoder.encode(table)
                except RuntimeError as error:
                    refusals.append(str(error))
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    thread = threading.Thread(target=encode_again)
    thread.start()
    try:
        for _ in range(60):
            try:
                decoded = encoder.decode(pd.DataFrame(codes) if _ % 2 else codes)
            except RuntimeError as error:
                refusals.append(str(error))
                continue
            values = decoded.to_numpy() if isinstance(decoded, pd.DataFrame) else decoded
            assert np.array_equal(values, expected)
    finally:
        stop.set()
        thread.join()
    assert not failures
    assert set(refusals) <= {"Already borrowed", "Already mutably borrowed"}
