"""TextEncoder under threads, refits and hostile states: a state listing its
string columns out of order or naming a huge one, a partial_fit racing a
reader, labels that disagree, lazy dask graphs outliving a fit, parts that
vanish under the native merge, and the smaller refusals."""

import math
import threading

import numpy as np
import pandas as pd
import pytest

import quorix
from quorix_pipeline import TextEncoder, _dask, _native, merge

from models.output import state_bytes


def from_state(string_columns, maps):
    encoder = quorix.Encoder()
    encoder.__setstate__(state_bytes(string_columns, maps))
    return TextEncoder.from_encoder(encoder, unknown=-1)


def sync_dask():
    """dask's DataFrame module and its config set to the calling thread's scheduler."""
    dd = pytest.importorskip("dask.dataframe")
    import dask

    return dd, dask.config.set(scheduler="sync")


def test_a_state_listing_its_string_columns_out_of_order_reads_them_as_a_set():
    maps = {0: {0: "a", 1: "b"}, 1: {0: "x", 1: "y"}}
    listed, ascending = from_state([1, 0, 1], maps), from_state([0, 1], maps)
    table = np.array([["b", "x"], ["a", "y"], ["q", "x"]], dtype=object)
    assert listed.string_columns_ == (0, 1)
    assert [list(texts) for texts in listed.categories_] == [["a", "b"], ["x", "y"]]
    assert listed.transform(table).tolist() == ascending.transform(table).tolist() == [[1, 0], [0, 1], [-1, 0]]
    listed.partial_fit(np.array([["c", "z"]], dtype=object))
    assert [list(texts) for texts in listed.categories_] == [["a", "b", "c"], ["x", "y", "z"]]


def test_a_partial_fit_while_another_thread_reads_the_union_loses_nothing(monkeypatch):
    def frame(texts):
        return pd.DataFrame({"t": texts})

    encoder = TextEncoder().fit(frame(["a"]))
    encoder.partial_fit(frame(["b"]))  # two parts, merged when first read
    merging, go = threading.Event(), threading.Event()
    real_merge = _native.merge

    def merge_pausing(*args):
        # The reader stops inside the merge of the parts it read.
        if threading.current_thread() is reader and not merging.is_set():
            merging.set()
            assert go.wait(30)
        return real_merge(*args)

    monkeypatch.setattr(_native, "merge", merge_pausing)
    results = []
    reader = threading.Thread(target=lambda: results.append(encoder.transform(frame(["b", "a"]))))
    reader.start()
    try:
        assert merging.wait(30)
        encoder.partial_fit(frame(["c"]))
    finally:
        go.set()
        reader.join()
    assert results[0]["t"].tolist() == [1.0, 0.0]
    assert [list(texts) for texts in encoder.categories_] == [["a", "b", "c"]]
    assert encoder.transform(frame(["c", "a"]))["t"].tolist() == [2.0, 0.0]


def test_labels_are_checked_after_a_refit_and_across_every_merged_encoder():
    dd, sync = sync_dask()
    encoder = TextEncoder().fit(pd.DataFrame({"A": ["x"], "B": ["y"]}))
    with sync:
        encoder.fit(dd.from_pandas(pd.DataFrame({"C": ["x", "z"], "D": ["y", "w"]}), npartitions=2))
    with pytest.raises(ValueError, match="Feature names unseen at fit time:\n- A\n- B\n"):
        encoder.transform(pd.DataFrame({"A": ["x"], "B": ["y"]}))

    on_array = TextEncoder().fit(np.array([["x", "y"]], dtype=object))
    ordered = TextEncoder().fit(pd.DataFrame({"A": ["x"], "B": ["y"]}))
    swapped = TextEncoder().fit(pd.DataFrame({"B": ["q"], "A": ["r"]}))
    with pytest.raises(ValueError) as raised:
        merge([on_array, ordered, swapped])
    assert str(raised.value) == "encoder 2 learned the columns ['B', 'A'], encoder 1 learned ['A', 'B']"
    with pytest.raises(ValueError, match="^encoder 2 learned 3 columns, encoder 0 learned 2$"):
        merge([on_array, ordered, TextEncoder().fit(np.array([["x", "y", "z"]], dtype=object))])


def test_a_merge_is_sized_by_what_its_parts_hold_not_by_the_columns_they_name():
    # Sized by the largest index named, this merge would ask for 2**62 bytes.
    huge = 2**62
    parts = [from_state([huge], {huge: {0: "b"}}), from_state([huge], {huge: {0: "a"}})]
    merged = merge(parts)
    assert merged.string_columns_ == (huge,)
    assert merged.encoder_.__getstate__() == state_bytes([huge], {huge: {0: "a", 1: "b"}})


def test_a_lazy_dask_transform_codes_with_the_state_it_was_built_with():
    dd, sync = sync_dask()
    frame = pd.DataFrame({"t": ["b", "c", "b"]})
    ddf = dd.from_pandas(frame, npartitions=2)
    encoder = TextEncoder().fit(frame)
    codes = encoder.transform(ddf)
    texts = encoder.inverse_transform(codes)
    with sync:
        encoder.partial_fit(pd.DataFrame({"t": ["a"]}))  # renumbers b and c
        assert codes.compute()["t"].tolist() == [0.0, 1.0, 0.0]
        encoder.fit(pd.DataFrame({"u": ["x"]}))
        assert codes.compute()["t"].tolist() == [0.0, 1.0, 0.0]
        assert texts.compute()["t"].tolist() == ["b", "c", "b"]


@pytest.mark.parametrize("call", [_native.merge, _native.check_merge])
@pytest.mark.parametrize("hostile", ["generator", "label emptying the parts", "label emptying the labels"])
def test_the_native_merge_holds_every_part_it_reads(call, hostile):
    def fresh_parts():
        # Held by nothing but what the merge is handed.
        yield TextEncoder().fit(np.array([["a", np.nan]], dtype=object))._learned
        yield TextEncoder().fit(np.array([[np.nan, "b"]], dtype=object))._learned

    if hostile == "generator":
        result = call(fresh_parts(), 2, None)
    else:
        parts = list(fresh_parts())
        labels: list = []

        class Emptying:
            def __str__(self):
                (parts if hostile == "label emptying the parts" else labels).clear()
                return "x"

        labels += [Emptying(), "y"]
        result = call(parts, 2, labels)
    if call is _native.check_merge:
        assert result is None
        return
    assert result.string_columns() == (0, 1)
    assert [result.categories(0), result.categories(1)] == [["a"], ["b"]]


def test_an_overflowing_unknown_and_texts_given_as_codes_are_clear_errors():
    with pytest.raises(ValueError, match="^unknown must be 'error' or a number"):
        TextEncoder(unknown=10**400).fit(np.zeros((1, 1)))
    frame = pd.DataFrame({"n": [1.0, 2.0], "island": ["Dream", "Biscoe"]})
    for unknown in (math.nan, -1):
        encoder = TextEncoder(unknown=unknown).fit(frame)
        for table, name in ((frame, "'island'"), (frame.to_numpy(), "1")):
            with pytest.raises(TypeError) as raised:
                encoder.inverse_transform(table)
            assert str(raised.value) == (
                f"inverse_transform expects codes, but column {name} holds the text 'Biscoe'; "
                "pass what transform returned"
            )


def test_the_dask_merge_step_carries_an_internal_error_as_a_runtime_error(monkeypatch):
    dd, sync = sync_dask()

    class Panic(BaseException):
        pass

    def panicking(parts, cols, labels):
        raise Panic("engine fault")

    monkeypatch.setattr(_native, "merge_runs", panicking)
    ddf = dd.from_pandas(pd.DataFrame({"t": ["a", "b"]}), npartitions=2)
    assert ddf.npartitions == 2
    with sync, pytest.raises(RuntimeError) as raised:
        TextEncoder().fit(ddf)
    assert str(raised.value) == "Panic: engine fault"
    assert raised.value.__notes__ == [
        "in the merge of the dask DataFrame's partitions (part 0: partition 0, part 1: partition 1)"
    ]
