"""TextEncoder: learned codes applied to a new table, beside scikit-learn,
pandas and polars doing the same, timed in one process.

    make bench-text-encoder     # or: .venv/bin/python bench/text_encoder.py [--quick]

Fit on one W1 frame (4 float64 columns; 4 pyarrow text columns of 10, 1,000,
100,000 and about `rows` distinct values; 1% missing), then transform a
second: the first's rows shuffled, 1% of each text column's cells replaced by
texts the first never held, coded as NaN by every tool. Every peer's codes
are checked against TextEncoder's. Then one-row latency, partial_fit over 10
chunks beside one fit, and transform's peak extra memory beside its output
(in a fresh process). Then fit and transform with min_frequency,
max_categories and dtype=float32 beside the same without them and beside
OrdinalEncoder with them. Writes bench/results/text_encoder.md and .png.
"""

import argparse
import gc
import json
import statistics
import subprocess
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))
from frames import build, text_columns  # noqa: E402

import quorix  # noqa: E402
from quorix_pipeline import TextEncoder  # noqa: E402
from measure import interleaved_seconds, median_seconds, peak_extra_kib

RESULTS = Path(__file__).resolve().parent / "results"
TARGETS = {"encode": 1 / 0.7, "scikit-learn": 30.0, "pandas": 8.0, "polars": 5.0}


def unseen_frame(frame, seed=7):
    """The rows shuffled, 1% of each text column's cells replaced by new texts."""
    rng = np.random.default_rng(seed)
    rows = len(frame)
    shuffled = frame.iloc[rng.permutation(rows)].reset_index(drop=True)
    out = {}
    for name in shuffled.columns:
        column = shuffled[name]
        if name in text_columns(frame):
            cells = column.to_numpy(dtype=object, na_value=None)
            replaced = rng.random(rows) < 0.01
            # Upper case: the training texts are lower-case letters only.
            cells[replaced] = [f"NEW{i}" for i in range(int(replaced.sum()))]
            column = pd.array(cells, dtype=column.dtype)
        out[name] = column
    second = pd.DataFrame(out)
    for name in text_columns(frame):
        assert second[name].dtype == frame[name].dtype
    return second


def text_codes(result, names):
    return np.column_stack([np.asarray(result[name], dtype=np.float64) for name in names])


def run_pandas(frame, names, categories):
    with warnings.catch_warnings():
        # Cells outside the categories become missing, which is the point here.
        warnings.simplefilter("ignore")
        return pandas_codes(frame, names, categories)


def pandas_codes(frame, names, categories):
    return pd.DataFrame(
        {
            name: np.where(codes < 0, np.nan, codes.astype(np.float64))
            for name, codes in (
                (name, pd.Categorical(frame[name], categories=categories[name]).codes) for name in names
            )
        }
    )


def run_polars(frame, names, categories):
    import polars as pl

    table = pl.from_pandas(frame[names])
    table = table.with_columns(
        [pl.col(name).cast(pl.Enum(categories[name]), strict=False).to_physical().cast(pl.Float64) for name in names]
    )
    return table.to_pandas()


def memory_child(rows):
    """Peak resident memory of one transform beyond what was there before."""
    first = build(rows, "pyarrow-str")
    second = unseen_frame(first)
    encoder = TextEncoder(unknown=np.nan).fit(first)
    encoder.transform(second.iloc[:1000])
    gc.collect()
    result, extra = peak_extra_kib(lambda: encoder.transform(second))
    output = result.memory_usage(index=False, deep=True).sum()
    print(json.dumps({"extra_mib": extra / 1024, "output_mib": output / 2**20}))


def chart(seconds, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels = list(seconds)
    fig, ax = plt.subplots(figsize=(7, 3))
    ax.barh(labels, [seconds[k] for k in labels], color=["#1f77b4"] + ["#999999"] * (len(labels) - 1))
    ax.set_xscale("log")
    ax.set_xlabel("seconds (log scale)")
    ax.set_title("Coding a 1,000,000-row frame with learned categories")
    for y, k in enumerate(labels):
        ax.text(seconds[k], y, f" {seconds[k]:.3g} s", va="center")
    fig.tight_layout()
    fig.savefig(path, dpi=120)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="small sizes, to check the script")
    parser.add_argument("--memory-child", type=int)
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.memory_child)
        return
    if args.quick:
        args.rows, args.repeats = 20_000, 1
    load = Path("/proc/loadavg").read_text().split()[0]
    print(f"pandas {pd.__version__}, {args.rows:,} rows, load {load}", flush=True)

    first = build(args.rows, "pyarrow-str")
    second = unseen_frame(first)
    names = text_columns(first)
    encoder = TextEncoder(unknown=np.nan).fit(first)
    learned = encoder.categories_
    categories = {name: list(learned[list(first.columns).index(name)]) for name in names}

    # Every tool's codes of the text columns, checked against TextEncoder's.
    ours = encoder.transform(second)
    assert list(ours.dtypes) == [np.float64] * 8 and ours.shape == second.shape and ours.index.equals(second.index)
    expected = text_codes(ours, names)
    assert np.isnan(expected).mean() > 0.015  # 1% missing and 1% unseen

    from sklearn.preprocessing import OrdinalEncoder

    ordinal = OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=np.nan).fit(first[names])
    # Its categories hold NaN last for the missing cells; the texts before it are TextEncoder's.
    assert all(list(c[:-1]) == categories[n] for c, n in zip(ordinal.categories_, names))
    peers = {
        "scikit-learn": lambda: ordinal.transform(second[names]),
        "pandas": lambda: run_pandas(second, names, categories),
        "polars": lambda: run_polars(second, names, categories),
    }
    for tool, run in peers.items():
        codes = run()
        got = codes if isinstance(codes, np.ndarray) else text_codes(codes, names)
        assert got.dtype == np.float64 and got.shape == expected.shape, tool
        assert np.array_equal(got, expected, equal_nan=True), f"{tool} codes differ"

    seconds = {
        "quorix_pipeline transform": median_seconds(lambda: encoder.transform(second), args.repeats),
        "quorix encode (same frame)": median_seconds(lambda: quorix.Encoder().encode(second), args.repeats),
    }
    print(f"  transform {seconds['quorix_pipeline transform']:.3f} s, encode "
          f"{seconds['quorix encode (same frame)']:.3f} s", flush=True)
    for tool, run in peers.items():
        seconds[tool] = median_seconds(run, 1 if tool == "scikit-learn" else args.repeats)
        print(f"  {tool} {seconds[tool]:.3f} s", flush=True)

    # One row: a frame and an object array.
    row_frame = second.iloc[[5]]
    row_array = second[names].to_numpy(dtype=object, na_value=np.nan)[5:6]
    array_encoder = TextEncoder(unknown=np.nan).fit(first[names].to_numpy(dtype=object, na_value=np.nan))
    assert np.array_equal(array_encoder.transform(row_array), text_codes(encoder.transform(row_frame), names),
                          equal_nan=True)
    single = 1000 if not args.quick else 50
    calls = {
        "frame transform": lambda: encoder.transform(row_frame),
        "frame encode": lambda: quorix.Encoder().encode(row_frame),
        "array transform": lambda: array_encoder.transform(row_array),
        "array encode": lambda: quorix.Encoder().encode(row_array),
    }
    # Interleaved, so that a burst of other work on the machine meets every call alike.
    times = {name: [] for name in calls}
    for _ in range(single):
        for name, call in calls.items():
            start = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - start)
    latency = {name: statistics.median(values) for name, values in times.items()}
    latency["frame scikit-learn"] = median_seconds(lambda: ordinal.transform(row_frame[names]), 2)
    for k, v in latency.items():
        print(f"  one row, {k}: {v * 1e6:.0f} us", flush=True)

    # Learning in 10 chunks beside one fit.
    chunk = -(-args.rows // 10)

    def in_chunks():
        learning = TextEncoder(unknown=np.nan)
        for start in range(0, args.rows, chunk):
            learning.partial_fit(first.iloc[start : start + chunk])
        # The parts' texts are merged when the union is first used: timed here too.
        learning._learned
        return learning

    chunked = in_chunks()
    assert np.array_equal(text_codes(chunked.transform(second), names), expected, equal_nan=True)
    fit_seconds = median_seconds(lambda: TextEncoder().fit(first), args.repeats)
    partial_seconds = median_seconds(in_chunks, args.repeats)
    print(f"  fit {fit_seconds:.3f} s, partial_fit x10 {partial_seconds:.3f} s", flush=True)

    # The options scikit-learn users reach for, beside the same without them
    # and beside OrdinalEncoder with them.
    options = {"min_frequency": 5, "max_categories": 255, "dtype": np.float32}
    with_options = TextEncoder(unknown=np.nan, **options).fit(first)
    coded = with_options.transform(second)
    assert all(coded[name].dtype == np.float32 for name in names)
    assert all(np.nanmax(coded[name]) <= 254 for name in names)
    ordinal_options = OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=np.nan, **options)
    # Each pair timed call after call, with and without, several times: the
    # machine is shared, and a ratio of two runs apart says little.
    option_repeats = max(args.repeats, 5) if not args.quick else 1
    option_seconds, option_cpu = interleaved_seconds({
        "fit": lambda: TextEncoder(unknown=np.nan).fit(first),
        "fit with options": lambda: TextEncoder(unknown=np.nan, **options).fit(first),
        "fit_transform": lambda: TextEncoder(unknown=np.nan).fit_transform(first),
        "fit_transform with options": lambda: TextEncoder(unknown=np.nan, **options).fit_transform(first),
    }, option_repeats)
    timed, timed_cpu = interleaved_seconds({
        "transform": lambda: encoder.transform(second),
        "transform with options": lambda: with_options.transform(second),
    }, option_repeats)
    option_seconds.update(timed)
    option_cpu.update(timed_cpu)
    option_seconds["scikit-learn fit with options"] = median_seconds(lambda: ordinal_options.fit(first[names]), 1)
    option_seconds["scikit-learn transform with options"] = median_seconds(
        lambda: ordinal_options.transform(second[names]), 1)
    for k, v in option_seconds.items():
        print(f"  {k} {v:.3f} s" + (f" ({option_cpu[k]:.3f} s CPU)" if k in option_cpu else ""), flush=True)

    out = subprocess.run([sys.executable, __file__, "--memory-child", str(args.rows)], check=True,
                         capture_output=True, text=True).stdout
    memory = json.loads(out.strip().splitlines()[-1])
    print(f"  transform peak extra {memory['extra_mib']:.0f} MiB, output {memory['output_mib']:.0f} MiB", flush=True)

    t = seconds["quorix_pipeline transform"]
    figures = [
        ("transform / quorix encode of the same frame", f"{t / seconds['quorix encode (same frame)']:.2f}x", "<= 0.7x",
         t / seconds["quorix encode (same frame)"] <= 0.7),
    ]
    for tool in peers:
        ratio = seconds[tool] / t
        figures.append((f"{tool} / transform", f"{ratio:.1f}x", f">= {TARGETS[tool]:g}x", ratio >= TARGETS[tool]))
    figures += [
        ("one-row frame: transform / encode", f"{latency['frame transform'] * 1e6:.0f} / "
         f"{latency['frame encode'] * 1e6:.0f} us", "<= 1x", latency["frame transform"] <= latency["frame encode"]),
        ("one-row object array: transform / encode", f"{latency['array transform'] * 1e6:.0f} / "
         f"{latency['array encode'] * 1e6:.0f} us", "<= 1x", latency["array transform"] <= latency["array encode"]),
        ("one-row frame: scikit-learn / transform", f"{latency['frame scikit-learn'] / latency['frame transform']:.0f}x",
         ">= 1000x", latency["frame scikit-learn"] / latency["frame transform"] >= 1000),
        ("partial_fit x10 / fit", f"{partial_seconds / fit_seconds:.2f}x", "<= 1.5x",
         partial_seconds / fit_seconds <= 1.5),
        ("transform peak extra memory / output", f"{memory['extra_mib'] / memory['output_mib']:.2f}x", "<= 1.2x",
         memory["extra_mib"] / memory["output_mib"] <= 1.2),
    ]
    o = option_seconds
    figures += [
        ("fit with options / without", f"{o['fit with options'] / o['fit']:.2f}x", "<= 1.1x",
         o["fit with options"] / o["fit"] <= 1.1),
        ("transform with options / without", f"{o['transform with options'] / o['transform']:.2f}x", "<= 1.1x",
         o["transform with options"] / o["transform"] <= 1.1),
        ("fit with options / without, CPU", f"{option_cpu['fit with options'] / option_cpu['fit']:.2f}x", "<= 1.1x",
         option_cpu["fit with options"] / option_cpu["fit"] <= 1.1),
        ("transform with options / without, CPU",
         f"{option_cpu['transform with options'] / option_cpu['transform']:.2f}x", "<= 1.1x",
         option_cpu["transform with options"] / option_cpu["transform"] <= 1.1),
        ("scikit-learn fit with options / fit with options", f"{o['scikit-learn fit with options'] / o['fit with options']:.1f}x",
         ">= 30x", o["scikit-learn fit with options"] / o["fit with options"] >= 30),
        ("scikit-learn transform with options / transform with options",
         f"{o['scikit-learn transform with options'] / o['transform with options']:.1f}x", ">= 30x",
         o["scikit-learn transform with options"] / o["transform with options"] >= 30),
    ]
    lines = [
        f"Fit on a {args.rows:,}-row W1 frame (pyarrow strings), transform of its rows shuffled with 1% of each "
        f"text column replaced by unseen texts; median of {args.repeats} (scikit-learn: one run), one process, "
        f"load average {load} at the start, pandas {pd.__version__}.",
        "",
        "| tool | seconds |",
        "|---|---:|",
        *[f"| {k} | {v:.3f} |" for k, v in seconds.items()],
        "",
        "| figure | measured | target | met |",
        "|---|---:|---:|:---:|",
        *[f"| {name} | {value} | {target} | {'yes' if met else 'no'} |" for name, value, target, met in figures],
        "",
        f"fit {fit_seconds:.3f} s, partial_fit over 10 chunks {partial_seconds:.3f} s; transform's peak extra "
        f"memory {memory['extra_mib']:.0f} MiB beside its {memory['output_mib']:.0f} MiB output.",
        "",
        f"Options: {', '.join(f'{k}={v.__name__ if isinstance(v, type) else v}' for k, v in options.items())}, "
        "unknown=NaN (scikit-learn: one run each).",
        "",
        "| with the options | seconds | CPU seconds (all threads) |",
        "|---|---:|---:|",
        *[f"| {k} | {v:.3f} | {option_cpu[k]:.3f} |" if k in option_cpu else f"| {k} | {v:.3f} | |"
          for k, v in option_seconds.items()],
    ]
    suffix = "-quick" if args.quick else ""
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / f"text_encoder{suffix}.md").write_text("\n".join(lines) + "\n")
    chart(seconds, RESULTS / f"text_encoder{suffix}.png")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
