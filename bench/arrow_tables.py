"""TextEncoder on polars frames and Arrow streams, beside polars-ds,
scikit-learn and quorix through to_pandas(), timed in one process; then a
LazyFrame over Parquet files coded and sunk to Parquet, beside polars' own
copy of the files and the same job on the whole table in memory, each with
its peak memory in a fresh process.

    make bench-arrow            # or: .venv/bin/python bench/arrow_tables.py [--quick]

W1 (4 float64 columns; 4 text columns of 10, 1,000, 100,000 and about `rows`
distinct texts; 1% missing) as a polars DataFrame: fit on it, transform a
second frame of its rows shuffled with 1% unseen texts (NaN for every
tool). Every peer's codes are checked against TextEncoder's. Writes
bench/results/arrow_tables.md.
"""

import argparse
import gc
import json
import shutil
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import polars as pl

sys.path.insert(0, str(Path(__file__).resolve().parent))
from frames import build, text_columns  # noqa: E402
from measure import child_json, median_seconds, peak_extra_kib, write_result  # noqa: E402
from text_encoder import unseen_frame  # noqa: E402

import quorix  # noqa: E402
from quorix_pipeline import TextEncoder  # noqa: E402

WORK = Path(__file__).resolve().parent.parent / "build" / "bench-arrow"


def w1_frames(rows):
    """W1 and its shuffled copy with unseen texts: pandas (pyarrow strings) and polars."""
    first = build(rows, "pyarrow-str")
    second = unseen_frame(first)
    return first, second, pl.from_pandas(first), pl.from_pandas(second)


def polars_ds_fit(frame, names):
    from polars_ds.pipeline.transforms import ordinal_encode

    return ordinal_encode(frame, names, unknown_value=float("nan"), null_value=float("nan"))


def text_matrix(frame, names):
    return np.column_stack([frame[name].to_numpy().astype(np.float64) for name in names])


def memory_child(rows):
    """Peak resident memory of one transform of the polars frame beyond what was there before."""
    _, _, train, test = w1_frames(rows)
    encoder = TextEncoder(unknown=np.nan).fit(train)
    encoder.transform(test.head(1000))
    gc.collect()
    result, extra = peak_extra_kib(lambda: encoder.transform(test))
    print(json.dumps({"extra_mib": extra / 1024, "output_mib": result.estimated_size() / 2**20}))


def lazy_job(job, source, out):
    files = str(Path(source) / "*.parquet")
    if job == "copy":
        pl.scan_parquet(files).sink_parquet(out)
    elif job == "lazy":
        lazy = pl.scan_parquet(files)
        TextEncoder(unknown=np.nan).fit(lazy).transform(lazy).sink_parquet(out)
    else:  # the whole table in memory
        table = pl.read_parquet(files)
        TextEncoder(unknown=np.nan).fit_transform(table).write_parquet(out)


def lazy_child(job, source, out):
    """One Parquet-to-Parquet job; its time and peak memory beyond the imports."""
    gc.collect()
    start = time.perf_counter()
    _, extra = peak_extra_kib(lambda: lazy_job(job, source, out))
    seconds = time.perf_counter() - start
    print(json.dumps({"seconds": seconds, "extra_mib": extra / 1024}))


def run_child(*args):
    return child_json(__file__, *args)


def peer_versions():
    # Imported here, not at the top, so that the child processes go without them.
    import polars_ds
    import sklearn

    return f"polars {pl.__version__}, polars-ds {polars_ds.__version__}, scikit-learn {sklearn.__version__}"


def announce(rows):
    """Prints the versions, size and load at start; the load, for the report."""
    versions = peer_versions()
    load = Path("/proc/loadavg").read_text().split()[0]
    print(f"{versions}, {rows:,} rows, load {load}", flush=True)
    return load


def ordinal_encoder():
    from sklearn.preprocessing import OrdinalEncoder

    return OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=np.nan, encoded_missing_value=np.nan)


def fit_quorix(first, second, train, test, names):
    """TextEncoder fitted on the polars frame and on the same table as a pandas
    frame, checked to give the same categories and codes; both encoders and the
    polars frame's text codes as a matrix."""
    encoder = TextEncoder(unknown=np.nan).fit(train)
    ours = encoder.transform(test)
    assert isinstance(ours, pl.DataFrame) and ours.columns == train.columns
    expected = text_matrix(ours, names)
    assert np.isnan(expected).mean() > 0.015  # 1% missing and 1% unseen
    pandas_encoder = TextEncoder(unknown=np.nan).fit(first)
    assert len(pandas_encoder.categories_) == len(encoder.categories_)
    assert all(np.array_equal(a, b) for a, b in zip(pandas_encoder.categories_, encoder.categories_))
    assert np.array_equal(ours.to_numpy(), pandas_encoder.transform(second).to_numpy(), equal_nan=True)
    return encoder, pandas_encoder, expected


def fit_peers(train, test, names, expected):
    """polars-ds' expressions and scikit-learn's OrdinalEncoder fitted on the
    polars frame, their codes checked against `expected`."""
    exprs = polars_ds_fit(train, names)
    ordinal = ordinal_encoder().fit(train.select(names))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peers = {
            "polars-ds": text_matrix(test.with_columns(exprs), names),
            "scikit-learn": np.asarray(ordinal.transform(test.select(names)), dtype=np.float64),
        }
    # scikit-learn takes polars' nulls for a category of their own (None, coded last).
    nulls = test.select(pl.col(names).is_null()).to_numpy()
    peers["scikit-learn"][nulls] = np.nan
    for tool, codes in peers.items():
        assert np.array_equal(codes, expected, equal_nan=True), f"{tool} codes differ"
    return exprs, ordinal


def print_seconds(key, value):
    print(f"  {key[0]}, {key[1]}: {value:.3f} s", flush=True)


def time_calls(timed, repeats):
    """Each call's median seconds, printed as it is taken."""
    seconds = {}
    for key, run in timed.items():
        seconds[key] = median_seconds(run, repeats)
        print_seconds(key, seconds[key])
    return seconds


def time_scikit_learn(train, test, names, ordinal):
    """scikit-learn's fit and transform, once each (they take seconds), its warnings silenced."""
    seconds = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        seconds[("fit", "scikit-learn OrdinalEncoder")] = median_seconds(
            lambda: ordinal_encoder().fit(train.select(names)), 1)
        seconds[("transform", "scikit-learn OrdinalEncoder")] = median_seconds(
            lambda: ordinal.transform(test.select(names)), 1)
    for key, value in seconds.items():
        print_seconds(key, value)
    return seconds


def compare_on_polars_frames(rows, repeats):
    """Seconds per (operation, tool) on W1 as polars frames, in this process,
    once every peer's codes are checked against TextEncoder's."""
    first, second, train, test = w1_frames(rows)
    names = text_columns(first)
    encoder, pandas_encoder, expected = fit_quorix(first, second, train, test, names)
    exprs, ordinal = fit_peers(train, test, names, expected)
    timed = {
        ("fit", "quorix on the polars frame"): lambda: TextEncoder(unknown=np.nan).fit(train),
        ("fit", "quorix encode, same table as a pandas frame (pyarrow str)"): lambda: quorix.Encoder().encode(first),
        ("fit", "polars-ds ordinal_encode"): lambda: polars_ds_fit(train, names),
        ("fit", "quorix through to_pandas() (conversion + fit)"): lambda: TextEncoder(unknown=np.nan).fit(train.to_pandas()),
        ("transform", "quorix on the polars frame"): lambda: encoder.transform(test),
        ("transform", "quorix on the same table as a pandas frame (pyarrow str)"): lambda: pandas_encoder.transform(second),
        ("transform", "polars-ds with_columns"): lambda: test.with_columns(exprs),
        ("transform", "quorix through to_pandas() (conversion + transform)"): lambda: pandas_encoder.transform(test.to_pandas()),
        ("fit_transform", "quorix on the polars frame"): lambda: TextEncoder(unknown=np.nan).fit_transform(train),
    }
    seconds = time_calls(timed, repeats)
    seconds.update(time_scikit_learn(train, test, names, ordinal))
    return seconds


def measure_transform_memory(rows):
    """Peak extra and output MiB of one transform of the polars frame, in a fresh process."""
    memory = run_child("--memory-child", str(rows))
    print(f"  transform peak extra {memory['extra_mib']:.0f} MiB, output {memory['output_mib']:.0f} MiB", flush=True)
    return memory


def write_parquet_files(rows, files):
    """W1 of `rows` rows (another seed) cut into `files` Parquet files in a
    fresh WORK/w1; that directory."""
    source = WORK / "w1"
    shutil.rmtree(WORK, ignore_errors=True)
    source.mkdir(parents=True)
    per_file = -(-rows // files)
    whole = pl.from_pandas(build(rows, "pyarrow-str", seed=11))
    for k in range(files):
        whole.slice(k * per_file, per_file).write_parquet(source / f"part-{k:02d}.parquet")
    del whole
    gc.collect()
    return source


def run_lazy_jobs(rows, files):
    """The polars copy, the LazyFrame job and the in-memory job over the same
    Parquet files, each in a fresh process: seconds and peak extra MiB per job
    (the two coding jobs checked to agree), and the MiB of the state learned
    from the files."""
    source = write_parquet_files(rows, files)
    jobs = {}
    for job in ("copy", "lazy", "memory"):
        jobs[job] = run_child("--lazy-child", job, str(source), str(WORK / f"{job}.parquet"))
        print(f"  {job}: {jobs[job]['seconds']:.2f} s, peak extra {jobs[job]['extra_mib']:.0f} MiB", flush=True)
    lazy_codes = pl.read_parquet(WORK / "lazy.parquet")
    memory_codes = pl.read_parquet(WORK / "memory.parquet")
    assert np.array_equal(lazy_codes.to_numpy(), memory_codes.to_numpy(), equal_nan=True), "lazy codes differ"
    state = TextEncoder().fit(pl.scan_parquet(str(source / "*.parquet")))
    state_mib = len(state._learned.state()) / 2**20
    shutil.rmtree(WORK, ignore_errors=True)
    return jobs, state_mib


def figures(seconds, memory, jobs):
    """(name, ratio, target, test of the ratio) for each figure with a target."""
    def s(kind, tool):
        return seconds[(kind, tool)]

    fit = s("fit", "quorix on the polars frame")
    transform = s("transform", "quorix on the polars frame")
    return [
        ("polars-ds fit / quorix fit", s("fit", "polars-ds ordinal_encode") / fit, ">= 2x", lambda r: r >= 2),
        ("quorix fit / quorix encode of the pandas frame", fit / s("fit", "quorix encode, same table as a pandas frame (pyarrow str)"),
         "<= 0.6x", lambda r: r <= 0.6),
        ("polars-ds transform / quorix transform", s("transform", "polars-ds with_columns") / transform, ">= 2x",
         lambda r: r >= 2),
        ("scikit-learn transform / quorix transform", s("transform", "scikit-learn OrdinalEncoder") / transform,
         ">= 30x", lambda r: r >= 30),
        ("quorix transform: polars frame / pandas frame",
         transform / s("transform", "quorix on the same table as a pandas frame (pyarrow str)"), "<= 1x",
         lambda r: r <= 1),
        ("transform peak extra memory / output", memory["extra_mib"] / memory["output_mib"], "<= 1.2x",
         lambda r: r <= 1.2),
        ("LazyFrame job / polars copy (time)", jobs["lazy"]["seconds"] / jobs["copy"]["seconds"], "<= 3x",
         lambda r: r <= 3),
        ("LazyFrame job / in-memory job (peak memory)", jobs["lazy"]["extra_mib"] / jobs["memory"]["extra_mib"],
         "<= 0.5x", lambda r: r <= 0.5),
    ]


def report(args, load, seconds, memory, jobs, state_mib):
    lines = [
        "# TextEncoder on polars frames and Arrow streams",
        "",
        f"`bench/arrow_tables.py`, {args.rows:,} rows (W1), {peer_versions()}; median of {args.repeats} "
        f"(scikit-learn: 1); load at start {load}.",
        "",
        "| operation | tool | seconds |",
        "|---|---|---:|",
        *[f"| {kind} | {tool} | {value:.3f} |" for (kind, tool), value in seconds.items()],
        "",
        f"Transform of the polars frame: peak extra memory {memory['extra_mib']:.0f} MiB for an output of "
        f"{memory['output_mib']:.0f} MiB.",
        "",
        f"LazyFrame job: {args.lazy_rows:,} rows in {args.files} Parquet files, fitted (one pass) then coded and sunk "
        f"to Parquet (a second pass); learned state {state_mib:.1f} MiB as bytes.",
        "",
        "| job | seconds | peak extra MiB |",
        "|---|---:|---:|",
        f"| polars scan_parquet(...).sink_parquet(...) copy | {jobs['copy']['seconds']:.2f} | {jobs['copy']['extra_mib']:.0f} |",
        f"| quorix LazyFrame: fit(lazy), transform(lazy).sink_parquet | {jobs['lazy']['seconds']:.2f} | {jobs['lazy']['extra_mib']:.0f} |",
        f"| quorix on the whole table read into memory | {jobs['memory']['seconds']:.2f} | {jobs['memory']['extra_mib']:.0f} |",
        "",
        "| figure | value | target | met |",
        "|---|---:|---|---|",
        *[f"| {name} | {value:.2f}x | {target} | {'yes' if ok(value) else 'no'} |"
          for name, value, target, ok in figures(seconds, memory, jobs)],
        "",
    ]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--lazy-rows", type=int, default=4_000_000)
    parser.add_argument("--files", type=int, default=16)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="small sizes, to check the script")
    parser.add_argument("--memory-child", type=int)
    parser.add_argument("--lazy-child", nargs=3)
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.memory_child)
        return
    if args.lazy_child:
        lazy_child(*args.lazy_child)
        return
    if args.quick:
        args.rows, args.lazy_rows, args.repeats = 20_000, 80_000, 1
    load = announce(args.rows)
    seconds = compare_on_polars_frames(args.rows, args.repeats)
    memory = measure_transform_memory(args.rows)
    jobs, state_mib = run_lazy_jobs(args.lazy_rows, args.files)
    text = report(args, load, seconds, memory, jobs, state_mib)
    write_result("arrow_tables.md", text)
    print(text)


if __name__ == "__main__":
    main()
