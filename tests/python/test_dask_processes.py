"""TextEncoder on a dask cluster of separate processes over TCP, started as
the README's multi-machine recipe starts one: `dask scheduler`, then `dask
worker tcp://...` per machine (each here in a working directory of its
own), and `Client("tcp://...")`. Compared with one process on the same files."""

import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest

from quorix_pipeline import TextEncoder

from models.text_encoder import same_result

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("dask.distributed")

pytestmark = [pytest.mark.cluster, pytest.mark.xdist_group("dask-processes")]


def start(args, folder):
    folder.mkdir()
    return subprocess.Popen([sys.executable, "-m", "dask", *args], cwd=folder, stdout=subprocess.DEVNULL,
                            stderr=open(folder / "log", "wb"))


def worker(address, folder):
    # No nanny: a killed worker stays dead, as a lost machine would.
    return start(["worker", address, "--nthreads", "1", "--no-nanny", "--no-dashboard"], folder)


def write_folder(folder, files=12, rows=400):
    rng = np.random.default_rng(29)
    texts = np.array([f"w{i:03}" for i in range(300)] + ["nan", "Île", ""], dtype=object)
    folder.mkdir()
    for part in range(files):
        island = texts[rng.integers(0, len(texts), rows)]
        island[rng.random(rows) < 0.05] = None
        pd.DataFrame({
            "island": pd.array(island, dtype="str"),
            "mass": rng.normal(4000, 500, rows),
            "sex": pd.Series(texts[rng.integers(0, 20, rows)], dtype=object),
        }).to_parquet(folder / f"part-{part:02}.parquet", index=False)


def test_fit_transform_to_parquet_with_a_worker_lost_and_one_joining(tmp_path):
    from quorix_pipeline import _dask

    source, out = tmp_path / "table", tmp_path / "codes"
    write_folder(source)
    scheduler_file = tmp_path / "scheduler" / "address.json"
    processes = [start(["scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                        "--scheduler-file", str(scheduler_file)], tmp_path / "scheduler")]
    try:
        deadline = time.monotonic() + 30
        while not scheduler_file.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        address = json.loads(scheduler_file.read_text())["address"]
        assert address.startswith("tcp://")
        processes += [worker(address, tmp_path / "machine-a"), worker(address, tmp_path / "machine-b")]
        with dask.config.set({"dataframe.convert-string": False}), distributed.Client(address, timeout=30) as client:
            client.wait_for_workers(2, timeout=30)
            ddf = dd.read_parquet(source)
            fitted = TextEncoder(unknown=-1.0, min_frequency=3).fit(ddf)

            # A third machine joins after the fit.
            first = set(client.scheduler_info()["workers"])
            processes.append(worker(address, tmp_path / "machine-c"))
            client.wait_for_workers(3, timeout=30)
            (late,) = set(client.scheduler_info()["workers"]) - first

            codes = fitted.transform(ddf).persist()
            distributed.wait(codes)
            held = client.has_what()
            # A first machine dies holding codes already made: the scheduler makes them again.
            lost = next(w for w in held if w != late and any("transform_partition" in str(key) for key in held[w]))
            victim = next(p for p in processes[1:3] if str(p.pid) in str(client.run(os.getpid, workers=[lost])))
            victim.send_signal(signal.SIGKILL)
            victim.wait()
            deadline = time.monotonic() + 30
            while lost in client.scheduler_info()["workers"] and time.monotonic() < deadline:
                time.sleep(0.1)
            codes.to_parquet(out, name_function=lambda i: f"part-{i:02}.parquet", write_index=False)
            # The late machine got the fitted state when it first needed it, and decoded it once.
            decoded = client.run(lambda: _dask.decoded_count)
            assert decoded[late] == 1 and all(count <= 1 for count in decoded.values()), decoded

        frame = pd.read_parquet(source)
        single = TextEncoder(unknown=-1.0, min_frequency=3).fit(frame)
        assert [list(c) for c in fitted.categories_] == [list(c) for c in single.categories_]
        assert [None if c is None else list(c) for c in fitted.infrequent_categories_] == [
            None if c is None else list(c) for c in single.infrequent_categories_]
        same_result(pd.read_parquet(out), single.transform(frame), frame.index)
    finally:
        for process in reversed(processes):
            if process.poll() is None:
                process.terminate()
        for process in processes:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
