"""TextEncoder on dask DataFrames, on a local cluster of two worker processes,
against the single-process TextEncoder on the computed frame."""

import os
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorix_pipeline import TextEncoder, merge

from conftest import examples
from models.reading import tables
from models.text_encoder import part_cells, parts_can_be_merged, same_result

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("dask.distributed")

# One cluster for the module, so its tests share one pytest worker.
pytestmark = [pytest.mark.cluster, pytest.mark.xdist_group("dask-cluster")]


@pytest.fixture(scope="module")
def client():
    import logging

    # dask would otherwise turn object columns into Arrow strings as it builds
    # partitions (1.0 becomes "1.0"); these tests choose each storage themselves.
    settings = {"dataframe.convert-string": False}
    with dask.config.set(settings), distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0", silence_logs=logging.CRITICAL
    ) as cluster, distributed.Client(cluster) as client:
        yield client


def as_storage(cells, storage):
    """A column of texts and missing values in one of pandas' text storages."""
    if storage == "object":
        return pd.Series(cells, dtype=object)
    if storage == "category":
        return pd.Series(cells, dtype="category")
    return pd.Series(cells, dtype=pd.StringDtype(storage, na_value=np.nan))


def partitioned(columns, bounds, storages):
    """A dask DataFrame of the parts [a, b) of the columns: each part a
    partition (empty ones too), each text column in the storage drawn for it
    in that part, the index running on across parts, divisions unknown."""
    parts = []
    for (a, b), part_storages in zip(zip(bounds, bounds[1:]), storages):
        data = {}
        for c, cells in enumerate(columns):
            piece = cells[a:b]
            # Only a column of texts alone reads the same in every storage
            # (None is the text "None" in an object column, missing in the others).
            texts_only = all(isinstance(v, str) for v in piece)
            data[f"c{c}"] = as_storage(piece, part_storages[c] if texts_only else "object")
        part = pd.DataFrame(data)
        part.index = pd.RangeIndex(a, b)
        parts.append(part)
    meta = pd.DataFrame({f"c{c}": pd.Series([], dtype=object) for c in range(len(columns))})
    ddf = dd.from_delayed([dask.delayed(p) for p in parts], meta=meta, verify_meta=False)
    return ddf, parts


@settings(max_examples=examples(12), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(tables(cell=part_cells | st.text(max_size=3)), st.data())
def test_cluster_learns_and_codes_as_one_process(client, table, data):
    rows, columns = table
    if not columns:
        return
    cuts = sorted(data.draw(st.lists(st.integers(0, rows), max_size=4)))
    bounds = [0, *cuts, rows]
    storage = st.sampled_from(["object", "python", "pyarrow", "category"])
    storages = [[data.draw(storage) for _ in columns] for _ in bounds[1:]]
    ddf, parts = partitioned(columns, bounds, storages)
    whole = pd.concat(parts)
    try:
        # The partitions merged here, in order, are the model of the tree of merges.
        local = merge([TextEncoder(unknown=-1.0).fit(part) for part in parts])
    except ValueError:
        with pytest.raises(ValueError, match="read as numbers"):
            TextEncoder(unknown=-1.0).fit(ddf)
        assert not parts_can_be_merged(columns, bounds)
        return
    fitted = TextEncoder(unknown=-1.0).fit(ddf)
    assert fitted.string_columns_ == local.string_columns_
    assert list(fitted.feature_names_in_) == list(whole.columns)
    expected = local.transform(whole)
    same_result(fitted.transform(whole), expected, whole.index)
    if parts_can_be_merged(columns, bounds):
        # Where no column's numbers were read apart from its texts, one fit
        # of the whole gives the same codes.
        same_result(TextEncoder(unknown=-1.0).fit(whole).transform(whole), expected, whole.index)
    lazy = fitted.transform(ddf)
    assert list(lazy.dtypes) == [np.float64] * len(columns)
    same_result(lazy.compute(), expected, whole.index)
    codes = dd.from_pandas(expected, npartitions=max(1, len(parts)))
    same_result(fitted.inverse_transform(codes).compute(), fitted.inverse_transform(expected), expected.index)


def test_parquet_folder_and_partial_fit(client, tmp_path):
    rng = np.random.default_rng(7)
    islands = np.array(["Biscoe", "Dream", "Torgersen", "nan", None, "Île"], dtype=object)
    for part in range(4):
        rows = 0 if part == 2 else 50
        pd.DataFrame({
            "island": pd.array(islands[rng.integers(0, 6, rows)], dtype="str"),
            "mass": rng.normal(4000, 500, rows),
            "sex": pd.Series(islands[rng.integers(0, 3, rows)], dtype="category"),
        }).to_parquet(tmp_path / f"part-{part}.parquet", index=False)
    ddf = dd.read_parquet(tmp_path)
    frame = pd.read_parquet(tmp_path)
    fitted = TextEncoder().fit(ddf)
    single = TextEncoder().fit(frame)
    assert [list(texts) for texts in fitted.categories_] == [list(texts) for texts in single.categories_]
    codes = fitted.fit_transform(ddf)
    expected = single.transform(frame)
    same_result(codes.compute().reset_index(drop=True), expected, frame.index)
    same_result(fitted.inverse_transform(codes).compute().reset_index(drop=True), single.inverse_transform(expected), frame.index)
    # partial_fit of more partitions: the union, renumbered.
    more = dd.from_pandas(pd.DataFrame({"island": ["Aa"], "mass": [1.0], "sex": ["Biscoe"]}), npartitions=1)
    fitted.partial_fit(more)
    assert fitted.categories_[0][0] == "Aa"


class Cell:
    """A cell whose text is made by a method of its own. The workers import
    this module to unpickle it: they start with this process's sys.path."""

    def __init__(self, text, marker=None, fail=False):
        self.text, self.marker, self.fail = text, marker, fail

    def __str__(self):
        if self.fail:
            raise RuntimeError(f"no text for {self.text}")
        if self.marker is not None and not Path(self.marker).exists():
            # The worker dies the first time, as a worker lost to its machine would.
            Path(self.marker).touch()
            os._exit(1)
        return self.text


def object_partitions(cells_per_part):
    parts = [pd.DataFrame({"t": pd.Series(cells, dtype=object), "x": np.arange(len(cells), dtype=float)})
             for cells in cells_per_part]
    return dd.from_delayed([dask.delayed(p) for p in parts], meta=parts[0].iloc[:0], verify_meta=False)


def test_a_worker_lost_during_fit_is_retried(client, tmp_path):
    marker = tmp_path / "died-once"
    ddf = object_partitions([["b", "a"], [Cell("c", marker)], ["a", Cell("d")]])
    fitted = TextEncoder().fit(ddf)
    assert marker.exists()
    assert [list(texts) for texts in fitted.categories_] == [["a", "b", "c", "d"], []]


def test_errors_name_the_partition_and_the_column(client):
    with pytest.raises(RuntimeError, match="no text for y") as raised:
        TextEncoder().fit(object_partitions([["a"], ["b", Cell("y", fail=True)]]))
    assert raised.value.__notes__ == ["in partition 1 of 2 of the dask DataFrame"]

    fitted = TextEncoder().fit(pd.DataFrame({"t": ["a"], "x": [1.0]}))
    codes = fitted.transform(object_partitions([["a"], ["a"]]).assign(x=lambda f: f.x.astype(object)))
    codes.compute()
    texts_in_numbers = object_partitions([["a", "a"], ["a"]]).assign(x=lambda f: f.t)
    with pytest.raises(ValueError, match="column 'x'") as raised:
        fitted.transform(texts_in_numbers).compute()
    # Both partitions fail; the first to fail is the one reported.
    assert raised.value.__notes__ in (["in partition 0 of 2 of the dask DataFrame"], ["in partition 1 of 2 of the dask DataFrame"])

    frame = dd.from_pandas(pd.DataFrame({"t": ["a"], "x": [1.0]}), npartitions=1)
    with pytest.raises(TypeError, match=r"takes a dask DataFrame, not a dask Series \(series.to_frame\(\) makes one\)"):
        fitted.transform(frame.t)
    with pytest.raises(TypeError, match="takes a dask DataFrame, not a dask Array"):
        TextEncoder().fit(frame.to_dask_array())
    with pytest.raises(ValueError, match="Feature names unseen at fit time"):
        fitted.transform(frame.rename(columns={"x": "y"}))


def test_the_fitted_state_is_decoded_once_per_worker(client):
    from quorix_pipeline import _dask

    client.wait_for_workers(2)  # one may be back from the test that killed it
    fitted = TextEncoder().fit(pd.DataFrame({"t": ["a", "b"]}))
    ddf = dd.from_pandas(pd.DataFrame({"t": ["a", "b"] * 8}), npartitions=8)
    lazy = fitted.transform(ddf)
    graph = dict(lazy.__dask_graph__())
    # One task of the graph carries the state, as bytes, and no encoder object.
    assert len([key for key in graph if "text-encoder" in str(key)]) == 1
    assert not any("TextEncoder" in repr(task) for task in graph.values())
    again = fitted.transform(ddf)
    # Fitted again once the graphs are built: they code with the state of their call.
    fitted.fit(pd.DataFrame({"t": ["0", "a", "b"]}))
    decoded = client.run(lambda: _dask.decoded_count)
    for _ in range(2):
        assert lazy.compute()["t"].tolist() == [0.0, 1.0] * 8
    assert again.compute()["t"].tolist() == [0.0, 1.0] * 8
    # However many tasks, computes and transforms of the same state: each
    # worker process decoded it at most once.
    grown = {worker: count - decoded[worker] for worker, count in client.run(lambda: _dask.decoded_count).items()}
    assert all(count <= 1 for count in grown.values()) and sum(grown.values()) >= 1, grown
    assert fitted.transform(ddf).compute()["t"].tolist() == [1.0, 2.0] * 8
