"""Learned parts as sorted runs of texts, the form they travel in between
processes and in a pickle: merged runs against the merge of learned records
and a count model, and damaged runs refused with a message."""

import collections
import pickle
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorix
from quorix_pipeline import TextEncoder, _native

from conftest import examples
from models.output import state_bytes
from models.reading import object_table, tables
from models.text_encoder import part_cells


def fitted_parts(columns, bounds):
    return [TextEncoder(unknown=-1.0, min_frequency=1).fit(object_table([c[a:b] for c in columns], b - a))._state()
            for a, b in zip(bounds, bounds[1:])]


def texts_of(run):
    _, texts, ends, _ = run
    offsets = [0, *struct.unpack(f"<{len(ends) // 8}Q", ends)]
    return [texts[a:b].decode("utf-8", "surrogatepass") for a, b in zip(offsets, offsets[1:])]


@settings(max_examples=examples(200), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(tables(cell=part_cells | st.text(max_size=3)), st.data())
def test_merged_runs_are_the_merge_of_the_records_and_add_up_the_counts(table, data):
    rows, columns = table
    cuts = sorted(data.draw(st.lists(st.integers(0, rows), max_size=4)))
    bounds = [0, *cuts, rows]
    parts = fitted_parts(columns, bounds)
    runs = [part.runs() for part in parts]
    width = len(columns)
    try:
        expected = _native.merge([part.learned for part in parts], width, None)
    except ValueError as error:
        with pytest.raises(ValueError) as raised:
            _native.merge_runs(runs, width, None)
        assert str(raised.value) == str(error)
        return
    merged = _native.merge_runs(runs, width, None)
    if len(runs) > 1:
        # A tree of merges (the dask layer's) gives what one merge of them all gives.
        split = data.draw(st.integers(1, len(runs) - 1))
        halves = [_native.merge_runs(runs[:split], width, None), _native.merge_runs(runs[split:], width, None)]
        assert _native.merge_runs(halves, width, None) == merged
    learned = _native.learn_runs([merged], width, None)
    assert learned.state() == expected.state()
    assert learned.numbers_read() == expected.numbers_read()
    for run in merged[2]:
        c, counts = run[0], run[3]
        assert texts_of(run) == sorted({t for part in runs for r in part[2] if r[0] == c for t in texts_of(r)},
                                       key=lambda t: t.encode("utf-8", "surrogatepass"))
        model = collections.Counter()
        for part in parts:
            if c in part.string_columns:
                model.update(dict(zip(part.learned_texts(c).tolist(), part.counts(c).tolist())))
        assert np.frombuffer(counts, "<i8").tolist() == [model[t] for t in expected.categories(c)]


@settings(max_examples=examples(100), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(tables(cell=part_cells | st.text(max_size=12)), st.sampled_from([{}, {"min_frequency": 2}]))
def test_a_pickle_holds_each_text_once(table, options):
    rows, columns = table
    encoder = TextEncoder(unknown=-1.0, **options).fit(object_table(columns, rows))
    fitted = encoder._state()
    restored = pickle.loads(pickle.dumps(encoder))
    assert restored.encoder_.__getstate__() == encoder.encoder_.__getstate__()
    assert [list(c) for c in restored.categories_] == [list(c) for c in encoder.categories_]
    if options:
        assert all((restored._state().counts(c) == fitted.counts(c)).all() for c in fitted.string_columns)
    texts = [t for c in fitted.string_columns for t in fitted.learned.runs()[2] if t[0] == c]
    text_bytes = sum(len(run[1]) for run in texts)
    count = sum(len(run[2]) // 8 for run in texts)
    # The texts, 16 bytes a text (its end, its count), and a fixed frame.
    assert len(pickle.dumps(encoder)) <= 1.1 * text_bytes + 16 * count + 1200


def test_a_state_numbered_otherwise_travels_as_its_state_bytes():
    encoder = quorix.Encoder()
    encoder.__setstate__(state_bytes([0], {0: {1: "a", 0: "b"}}))
    text_encoder = TextEncoder.from_encoder(encoder, unknown=-1)
    assert text_encoder._state().runs() is None
    restored = pickle.loads(pickle.dumps(text_encoder))
    assert restored.encoder_.__getstate__() == encoder.__getstate__()
    assert restored.transform(np.array([["a"], ["b"]], dtype=object)).tolist() == [[1.0], [0.0]]


GOOD = (b"\x00", True, ((0, b"ab", struct.pack("<2Q", 1, 2), struct.pack("<2q", 3, 4)),))


def damaged(column):
    return (b"\x00", True, (column,))


@pytest.mark.parametrize("runs, message", [
    (damaged((0, b"ba", struct.pack("<2Q", 1, 2), None)), "the texts of column 0 are not ascending"),
    (damaged((0, b"aa", struct.pack("<2Q", 1, 2), None)), "the texts of column 0 are not ascending"),
    (damaged((0, b"ab", struct.pack("<2Q", 1, 9), None)), "a text ends outside the texts"),
    (damaged((0, b"abc", struct.pack("<2Q", 1, 2), None)), "bytes after the last text"),
    (damaged((0, b"ab", b"\x01", None)), "ends is not a whole number of uint64"),
    (damaged((0, b"ab", struct.pack("<2Q", 1, 2), b"\x00" * 8)), "not one count per coded text"),
    (damaged((0, "ab", struct.pack("<2Q", 1, 2), None)), "texts is not bytes"),
    (damaged((0, b"ab")), "a column is not a tuple of 4"),
    ((b"\x00", True, (GOOD[2][0], GOOD[2][0])), "columns not ascending"),
    ((b"", False, GOOD[2]), "columns without a state"),
    ((b"",), "a part is not a tuple of 3"),
])
def test_damaged_runs_are_refused(runs, message):
    assert _native.learn_runs([GOOD], 1, None).categories(0) == ["a", "b"]
    with pytest.raises(ValueError, match=f"^damaged learned runs: {message}$"):
        _native.merge_runs([GOOD, runs], 1, None)
    with pytest.raises(ValueError, match="^a part learned column 0 as text, beyond the 0 columns$"):
        _native.learn_runs([GOOD], 0, None)
