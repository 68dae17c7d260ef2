"""TextEncoder on a local dask cluster, beside copying the files and dask-ml.

    make bench-dask            # or: .venv/bin/python bench/dask_cluster.py [--rows N] [--files K]

A W1-shaped table (4 float64 columns with 1% NaN, 4 text columns of 3 to 12
ASCII letters with 10, 1,000, 100,000 and 1,000,000 distinct values, 1%
missing) is written as Parquet files, then each job reads them on
LocalCluster(n_workers=2, processes=True, threads_per_worker=1) and writes
its result back to Parquet:

- copy: read_parquet + to_parquet, unchanged (the floor: what any job costs);
- quorix: TextEncoder fit (one pass) + transform (a second pass) + to_parquet;
- dask-ml: categorize() of the text columns + OrdinalEncoder fit + transform + to_parquet;
- single process: pandas.read_parquet + TextEncoder.fit + transform + to_parquet.

Each cluster job starts on freshly restarted workers, so each worker's peak
resident memory (ru_maxrss) is that job's. The quorix job's steps are timed
from the client (fit; transform + write) and from the workers' task stream
(seconds of work per kind of task, both workers added). Writes
bench/results/dask.md.
"""

import argparse
import collections
import pickle
import os
import resource
import shutil
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
from measure import write_result
from tables import letter_texts

TEXT_DISTINCTS = (10, 1_000, 100_000, 1_000_000)
TEXT_COLUMNS = [f"t{d}" for d in TEXT_DISTINCTS]


def write_table(folder, rows, files):
    """The table as `files` Parquet files of equal rows; kept between runs."""
    stamp = folder / f".rows-{rows}-files-{files}"
    if stamp.exists():
        return
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    rng = np.random.default_rng(2026)
    pools = {d: letter_texts(rng, d) for d in TEXT_DISTINCTS}
    per_file = rows // files
    for index in range(files):
        columns = {}
        for i in range(4):
            values = rng.normal(size=per_file)
            values[rng.random(per_file) < 0.01] = np.nan
            columns[f"f{i}"] = values
        for d in TEXT_DISTINCTS:
            values = pools[d][rng.integers(0, d, per_file)]
            values[rng.random(per_file) < 0.01] = None
            columns[f"t{d}"] = pd.array(values, dtype="str")
        pd.DataFrame(columns).to_parquet(folder / f"part-{index:03}.parquet", index=False)
    stamp.touch()


def resident_now():
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    raise KeyError("VmRSS")


def resident_peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def warm_up(sample):
    """What every job loads first (pandas, pyarrow's Parquet reader, dask,
    quorix_pipeline), so that a worker's idle memory includes it."""
    import dask.dataframe  # noqa: F401
    import quorix_pipeline  # noqa: F401

    pd.read_parquet(sample)


def timed(client, job, sample):
    """Seconds of `job` on freshly started workers, and each worker's
    (peak resident memory, peak above its resident memory when idle)."""
    client.restart()
    client.run(warm_up, sample)
    idle = client.run(resident_now)
    start = time.perf_counter()
    job()
    seconds = time.perf_counter() - start
    peaks = client.run(resident_peak)
    return seconds, sorted((peaks[w], peaks[w] - idle[w]) for w in peaks)


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=4_000_000)
    parser.add_argument("--files", type=int, default=16)
    parser.add_argument("--skip-dask-ml", action="store_true")
    return parser.parse_args()


def bench_folder():
    return Path(os.environ.get("QUORIX_BENCH_DIR", Path(__file__).resolve().parent.parent / "build" / "bench-dask"))


def cleared(folder):
    """`folder`, with what an earlier run wrote there removed."""
    shutil.rmtree(folder, ignore_errors=True)
    return folder


def take_stock(source):
    """Before any job: the file every worker warms up on, the load average,
    and one partition's bytes in memory and dtypes."""
    sample = str(sorted(source.glob("*.parquet"))[0])
    load = os.getloadavg()[0]
    one_partition = pd.read_parquet(sample)
    return sample, load, int(one_partition.memory_usage(deep=True).sum()), one_partition.dtypes


def copy_job(work):
    import dask.dataframe as dd

    dd.read_parquet(work / "table").to_parquet(cleared(work / "out-copy"))


def task_seconds(tasks):
    """Seconds of work by kind of task, most first: compute time by task
    prefix (every TextEncoder task counted as text-encoder), and transfers."""
    work = collections.Counter()
    for task in tasks:
        prefix = str(task["key"][0] if isinstance(task["key"], tuple) else task["key"]).rsplit("-", 1)[0]
        prefix = prefix.split("-text-encoder")[0] if prefix.startswith("text-encoder") else prefix
        for part in task["startstops"]:
            if part["action"] == "compute":
                work["text-encoder" if prefix.startswith("text-encoder") else prefix] += part["stop"] - part["start"]
            elif part["action"] == "transfer":
                work["transfers"] += part["stop"] - part["start"]
    return dict(work.most_common())


def quorix_job(client, work):
    """TextEncoder fit + transform + to_parquet; its steps timed from the
    client and from the workers' task stream, and the sizes of what it learned."""
    import dask.dataframe as dd
    from distributed import get_task_stream
    from quorix_pipeline import TextEncoder

    with get_task_stream(client) as stream:
        start = time.perf_counter()
        frame = dd.read_parquet(work / "table")
        encoder = TextEncoder(unknown=float("nan")).fit(frame)
        fitted = time.perf_counter()
        encoder.transform(frame).to_parquet(cleared(work / "out-quorix"))
        steps = {"fit (client)": fitted - start, "transform + to_parquet (client)": time.perf_counter() - fitted}
    measured = {"steps": steps, "task_seconds": task_seconds(stream.data)}
    measured["state_bytes"] = len(encoder.encoder_.__getstate__())
    measured["pickle_bytes"] = len(pickle.dumps(encoder))
    texts = [run for run in encoder._state().learned.runs()[2]]
    measured["text_bytes"] = sum(len(run[1]) for run in texts)
    measured["texts"] = sum(len(run[2]) // 8 for run in texts)
    return measured


def dask_ml_job(work):
    import dask.dataframe as dd
    from dask_ml.preprocessing import OrdinalEncoder

    frame = dd.read_parquet(work / "table").categorize(columns=TEXT_COLUMNS)
    OrdinalEncoder(columns=TEXT_COLUMNS).fit(frame).transform(frame).to_parquet(cleared(work / "out-dask-ml"))


def cluster_jobs(work, sample, skip_dask_ml):
    """Each cluster job's (seconds, worker peaks) by name, in the order run,
    and what the quorix job measured besides."""
    # Loaded before any job, so that no job's seconds include importing them.
    import dask.dataframe  # noqa: F401
    import quorix_pipeline  # noqa: F401
    from dask.distributed import Client, LocalCluster

    jobs, measured = {}, {}
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, memory_limit=0, dashboard_address=":0") as cluster, Client(cluster) as client:
        def run(name, job):
            jobs[name] = timed(client, job, sample)
            print(f"{name:10} {jobs[name][0]:8.2f} s", flush=True)

        run("copy", lambda: copy_job(work))
        run("quorix", lambda: measured.update(quorix_job(client, work)))
        if not skip_dask_ml:
            run("dask-ml", lambda: dask_ml_job(work))
    return jobs, measured


def single_process_job(work):
    """The same job in this one process, where the table fits: its seconds
    and the seconds of each step."""
    from quorix_pipeline import TextEncoder

    steps = {}
    start = time.perf_counter()
    frame = pd.read_parquet(work / "table")
    steps["read_parquet"] = time.perf_counter() - start
    step = time.perf_counter()
    encoder = TextEncoder(unknown=float("nan")).fit(frame)
    steps["fit"] = time.perf_counter() - step
    step = time.perf_counter()
    codes = encoder.transform(frame)
    steps["transform"] = time.perf_counter() - step
    step = time.perf_counter()
    codes.to_parquet(cleared(work / "out-single").with_suffix(".parquet"))
    steps["to_parquet"] = time.perf_counter() - step
    seconds = time.perf_counter() - start
    del codes, encoder
    print(f"single     {seconds:8.2f} s", flush=True)
    return seconds, steps


def check_outputs(work, rows, partition_dtypes):
    """What was timed is what was meant: the files, their rows and dtypes, and
    codes that came back as float64."""
    import dask.dataframe as dd

    check = dd.read_parquet(work / "out-quorix")
    assert len(check) == rows, len(check)
    assert all(dtype == np.float64 for dtype in check.dtypes), check.dtypes
    assert [str(t) for t in partition_dtypes[TEXT_COLUMNS]] == ["str"] * 4, partition_dtypes


def report(args, load, partition_bytes, jobs, measured, single_seconds, single_steps):
    results = dict(jobs, single=(single_seconds, None))
    copy_s = results["copy"][0]
    quorix_s, quorix_peaks = results["quorix"]
    lines = [
        f"{args.rows:,} rows in {args.files} Parquet files; LocalCluster(n_workers=2, processes=True, "
        f"threads_per_worker=1) on {os.cpu_count()} cores; one run each, seconds; load average at the start "
        f"{load:.2f}.",
        "",
        "| job | seconds | beside quorix | each worker's peak RSS (MB) | its peak above idle (MB) |",
        "|---|---:|---:|---|---|",
    ]
    for name, label in [("copy", "read_parquet + to_parquet (the floor)"), ("quorix", "TextEncoder fit + transform + to_parquet"),
                        ("dask-ml", "categorize + dask-ml OrdinalEncoder fit + transform + to_parquet"),
                        ("single", "one process: pandas read_parquet + TextEncoder fit + transform + to_parquet")]:
        if name not in results:
            continue
        seconds, peaks = results[name]
        shown_peaks = ", ".join(f"{p / 1e6:.0f}" for p, _ in peaks) if peaks else ""
        shown_extra = ", ".join(f"{e / 1e6:.0f}" for _, e in peaks) if peaks else ""
        lines.append(f"| {label} | {seconds:.2f} | {seconds / quorix_s:.2f}x | {shown_peaks} | {shown_extra} |")
    budget = partition_bytes + measured["state_bytes"]
    pickle_budget = 1.1 * measured["text_bytes"] + 16 * measured["texts"]
    growth = max(e for _, e in quorix_peaks) / budget
    figures = [
        ("cluster job / one process", f"{quorix_s / single_seconds:.2f}x", "<= 1.25x", quorix_s / single_seconds <= 1.25),
        ("cluster job / copy", f"{quorix_s / copy_s:.2f}x", "<= 2.5x", quorix_s / copy_s <= 2.5),
    ]
    if "dask-ml" in results:
        ratio = results["dask-ml"][0] / quorix_s
        figures.append(("dask-ml / cluster job", f"{ratio:.1f}x", ">= 4x", ratio >= 4))
    figures += [
        ("worker's peak rise / (one partition + learned state bytes)", f"{growth:.2f}x", "<= 3x", growth <= 3),
        ("pickle / (1.1 x text bytes + 16 B a text)", f"{measured['pickle_bytes'] / pickle_budget:.2f}x", "<= 1x",
         measured["pickle_bytes"] <= pickle_budget),
    ]
    lines += ["", "| figure | measured | target | met |", "|---|---:|---|:---:|"]
    lines += [f"| {name} | {value} | {target} | {'yes' if met else 'no'} |" for name, value, target, met in figures]
    lines += [
        "",
        f"One partition in memory: {partition_bytes / 1e6:.0f} MB; learned state bytes {measured['state_bytes'] / 1e6:.1f} MB; "
        f"the encoder's pickle {measured['pickle_bytes'] / 1e6:.1f} MB for {measured['texts']:,} texts of "
        f"{measured['text_bytes'] / 1e6:.1f} MB.",
        "",
        "Steps of the cluster job (client): " + ", ".join(f"{k} {v:.2f} s" for k, v in measured["steps"].items()) + ".",
        "Seconds of work on the workers, by kind of task (both workers): "
        + ", ".join(f"{k} {v:.2f}" for k, v in measured["task_seconds"].items()) + ".",
        "Steps in one process: " + ", ".join(f"{k} {v:.2f} s" for k, v in single_steps.items()) + ".",
    ]
    return "\n".join(lines) + "\n"


def main():
    args = parse_args()
    work = bench_folder()
    write_table(work / "table", args.rows, args.files)
    sample, load, partition_bytes, partition_dtypes = take_stock(work / "table")
    jobs, measured = cluster_jobs(work, sample, args.skip_dask_ml)
    single_seconds, single_steps = single_process_job(work)
    check_outputs(work, args.rows, partition_dtypes)
    text = report(args, load, partition_bytes, jobs, measured, single_seconds, single_steps)
    write_result("dask.md", text)
    print(text, end="")


if __name__ == "__main__":
    sys.exit(main())
