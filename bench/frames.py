"""Encoding DataFrames whose text columns are stored four ways, beside polars
and pandas.factorize, timed in one process; then the peak extra resident
memory of each tool, each in a fresh process.

    make bench-frames          # or: .venv/bin/python bench/frames.py [--quick]

The frame: 4 float64 columns and 4 text columns of 10, 1,000, 100,000 and
about `rows` distinct values, 1% of every column missing. Writes
bench/results/frames.md and bench/results/frames.png.
"""

import argparse
import gc
import json

import numpy as np
import pandas as pd
from measure import RESULTS, child_json, median_seconds, peak_extra_kib, write_result
from tables import w1_columns

STORAGES = ["object", "python-str", "pyarrow-str", "category"]
TOOLS = ["quorix", "polars", "factorize"]
TARGETS = {  # least speed-up of quorix over each peer
    "polars": {s: 3.0 for s in STORAGES},
    "factorize": {"object": 8.0, "python-str": 8.0, "pyarrow-str": 4.0, "category": 1.5},
}
MEMORY_TARGET = 1.5  # quorix's peak extra memory at most this times polars' (pyarrow-str)


def text_pool(rng, distinct):
    letters = np.array(list("abcdefghijklmnopqrstuvwxyz"))
    words = set()
    while len(words) < distinct:
        need = distinct - len(words)
        lengths = rng.integers(4, 13, need)
        chars = letters[rng.integers(0, 26, (need, 12))]
        words.update("".join(row[:n]) for row, n in zip(chars, lengths))
    return np.array(sorted(words), dtype=object)


def build(rows, storage, seed=2026):
    rng = np.random.default_rng(seed)
    data = {}
    for name, cells in w1_columns(rows, rng, lambda count, _: text_pool(rng, count)):
        if name.startswith("f"):
            data[name] = cells
        elif storage == "object":
            # An object ndarray alone would be inferred as str by pandas 3.
            data[name] = pd.Series(cells, dtype=object)
        elif storage == "python-str":
            data[name] = pd.array(cells, dtype=pd.StringDtype("python", na_value=np.nan))
        elif storage == "pyarrow-str":
            data[name] = pd.array(cells, dtype=pd.StringDtype("pyarrow", na_value=np.nan))
        else:
            data[name] = pd.Categorical(cells)
    frame = pd.DataFrame(data)
    check_storage(frame, storage)
    return frame


def check_storage(frame, storage):
    """Fails unless every text column is stored as `storage` says."""
    for name in text_columns(frame):
        dtype = frame[name].dtype
        if storage == "object":
            stored = dtype == np.dtype(object)
        elif storage == "category":
            stored = isinstance(dtype, pd.CategoricalDtype)
        else:
            stored = isinstance(dtype, pd.StringDtype) and dtype.storage == storage.removesuffix("-str")
        if not stored:
            raise SystemExit(f"column {name} is stored as {dtype!r}, not {storage}")


def text_columns(frame):
    return [c for c in frame.columns if c.startswith("t")]


def run_quorix(frame):
    import quorix

    return quorix.Encoder().encode(frame)


def run_polars(frame):
    import polars as pl

    table = pl.from_pandas(frame)
    table = table.with_columns([(pl.col(c).rank("dense") - 1).cast(pl.Float64) for c in text_columns(frame)])
    return table.to_pandas()


def run_factorize(frame):
    out = {}
    for c in frame.columns:
        if c.startswith("t"):
            codes, _ = pd.factorize(frame[c], sort=True)
            codes = codes.astype(np.float64)
            codes[codes < 0] = np.nan
            out[c] = codes
        else:
            out[c] = frame[c].to_numpy(dtype=np.float64)
    return pd.DataFrame(out)


RUNNERS = {"quorix": run_quorix, "polars": run_polars, "factorize": run_factorize}


def memory_child(tool, storage, rows):
    """Peak resident memory of one run beyond what the frame already took."""
    frame = build(rows, storage)
    RUNNERS[tool](frame.iloc[:1000].copy())  # imports and first-use set-up
    gc.collect()
    result, extra = peak_extra_kib(lambda: RUNNERS[tool](frame))
    del result
    print(json.dumps({"extra_mib": extra / 1024}))


def measure_memory(tool, storage, rows):
    return child_json(__file__, "--memory-child", tool, storage, rows)["extra_mib"]


def time_encodes(rows, repeats):
    """Each tool's median seconds per storage, in this process."""
    print(f"pandas {pd.__version__}, {rows:,} rows x 8 columns, median of {repeats}", flush=True)
    seconds = {}
    for storage in STORAGES:
        frame = build(rows, storage)
        for tool in TOOLS:
            RUNNERS[tool](frame.iloc[:1000].copy())
            seconds[storage, tool] = median_seconds(lambda: RUNNERS[tool](frame), repeats)
            print(f"  {storage:12} {tool:10} {seconds[storage, tool]:.3f} s", flush=True)
        del frame
        gc.collect()
    return seconds


def measure_memories(rows):
    """Each tool's peak extra MiB per storage, each in a fresh process."""
    memory = {}
    for storage in STORAGES:
        for tool in TOOLS:
            memory[storage, tool] = measure_memory(tool, storage, rows)
            print(f"  {storage:12} {tool:10} {memory[storage, tool]:.0f} MiB extra", flush=True)
    return memory


def report(args, seconds, memory):
    lines = [
        f"Encoding a {args.rows:,} x 8 frame (4 float64 columns; 4 text columns of 10, 1,000, 100,000 and about "
        f"{args.rows:,} distinct values; 1% missing), median of {args.repeats} in one process, pandas "
        f"{pd.__version__}. Speed-up is the peer's time over quorix's, beside its target.",
        "",
        "| text columns stored as | quorix | polars job | factorize per column | vs polars (target) "
        "| vs factorize (target) |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for storage in STORAGES:
        q = seconds[storage, "quorix"]
        p, f = seconds[storage, "polars"], seconds[storage, "factorize"]
        lines.append(f"| {storage} | {q:.3f} s | {p:.3f} s | {f:.3f} s | {p / q:.1f}x (>= "
                     f"{TARGETS['polars'][storage]:g}x) | {f / q:.1f}x (>= {TARGETS['factorize'][storage]:g}x) |")
    lines += [
        "",
        f"Peak extra resident memory of one encode at {args.memory_rows:,} rows, each tool in a fresh process "
        f"(target for pyarrow-str: quorix at most {MEMORY_TARGET:g}x polars'):",
        "",
        "| text columns stored as | quorix | polars job | factorize per column | quorix / polars |",
        "|---|---:|---:|---:|---:|",
    ]
    for storage in STORAGES:
        q, p, f = (memory[storage, t] for t in TOOLS)
        lines.append(f"| {storage} | {q:.0f} MiB | {p:.0f} MiB | {f:.0f} MiB | {q / p:.2f} |")
    return "\n".join(lines) + "\n"


def plot(args, seconds, memory, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    figure, (left, right) = plt.subplots(1, 2, figsize=(11, 4))
    x = np.arange(len(STORAGES))
    for k, tool in enumerate(TOOLS):
        left.bar(x + (k - 1) * 0.27, [seconds[s, tool] for s in STORAGES], 0.27, label=tool)
        right.bar(x + (k - 1) * 0.27, [memory[s, tool] for s in STORAGES], 0.27, label=tool)
    for axis, title in ((left, f"encode time, {args.rows:,} rows (s)"),
                        (right, f"peak extra memory, {args.memory_rows:,} rows (MiB)")):
        axis.set_xticks(x, STORAGES)
        axis.set_title(title)
        axis.legend()
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--memory-rows", type=int, default=4_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="small sizes, to check the script")
    parser.add_argument("--memory-child", nargs=3, metavar=("TOOL", "STORAGE", "ROWS"))
    args = parser.parse_args()
    if args.memory_child:
        tool, storage, rows = args.memory_child
        memory_child(tool, storage, int(rows))
        return
    if args.quick:
        args.rows, args.memory_rows, args.repeats = 50_000, 200_000, 1
    seconds = time_encodes(args.rows, args.repeats)
    memory = measure_memories(args.memory_rows)
    text = report(args, seconds, memory)
    suffix = "-quick" if args.quick else ""
    write_result(f"frames{suffix}.md", text)
    print(text, end="")
    plot(args, seconds, memory, RESULTS / f"frames{suffix}.png")


if __name__ == "__main__":
    main()
