"""Encoding columns of millions of distinct texts, beside polars, in one run.

    make bench-cardinality     # or: .venv/bin/python bench/cardinality.py [--quick]

1. One column of 1M and of 10M all-distinct texts (3 to 12 ASCII letters) as
   a one-column object array: quorix's encode against polars' rank("dense")
   on the same texts already in Arrow.
2. The mixed table (4 float64 columns, 4 object text columns of 10, 1,000,
   100,000 and about `rows` distinct values, 1% missing) of 1M and 4M rows,
   each encoded cold in a fresh process, by quorix and by polars.
3. The resident bytes per distinct text that a learned Encoder holds after
   encoding the 10M-distinct column, measured as the growth of resident
   memory once the input and the result are freed, against the texts' own
   bytes.

Every case runs in a fresh process of its own. Writes bench/results/cardinality.md.
"""

import argparse
import gc
import json
import string
import time

import numpy as np

from measure import child_json, status_kib, write_result
from tables import w1_columns

TARGETS = {
    "speedup_10m": 3.0,  # quorix at least this much faster than polars' rank dense
    "growth_rows": 4.6,  # mixed table, 1M -> 4M rows
    "growth_distinct": 11.0,  # one column, 1M -> 10M distinct
    "bytes_per_text": 48.0,  # held by the Encoder beyond the texts' own bytes
}


def distinct_texts(count, seed=2026):
    """`count` different texts of 3 to 12 ASCII letters, in random order."""
    rng = np.random.default_rng(seed)
    alphabet = np.frombuffer(string.ascii_letters.encode(), dtype=np.uint8)
    pool = set()
    while len(pool) < count:
        need = count - len(pool) + count // 50
        chars = alphabet[rng.integers(0, len(alphabet), (need, 12))]
        lengths = rng.integers(3, 13, need)
        pool.update(row[:n].tobytes().decode() for row, n in zip(chars, lengths))
    texts = np.array(list(pool)[:count], dtype=object)
    rng.shuffle(texts)
    return texts


def mixed_table(rows, seed=2026):
    import pandas as pd

    rng = np.random.default_rng(seed)
    pool = lambda count, distinct: distinct_texts(count, seed + distinct)  # noqa: E731
    return pd.DataFrame(dict(w1_columns(rows, rng, pool)))


def child(case, tool, size):
    """Runs one case in this (fresh) process; prints a JSON line."""
    result = {}
    if case == "column":
        texts = distinct_texts(size)
        if tool == "quorix":
            import quorix

            column = texts.reshape(-1, 1)
            start = time.perf_counter()
            quorix.Encoder().encode(column)
            result["seconds"] = time.perf_counter() - start
        else:
            import polars as pl

            series = pl.Series("t", texts.tolist(), dtype=pl.String)  # in Arrow before the clock starts
            start = time.perf_counter()
            (series.rank("dense") - 1).cast(pl.Float64)
            result["seconds"] = time.perf_counter() - start
    elif case == "table":
        frame = mixed_table(size)
        if tool == "quorix":
            import quorix

            start = time.perf_counter()
            quorix.Encoder().encode(frame)
            result["seconds"] = time.perf_counter() - start
        else:
            import polars as pl

            start = time.perf_counter()
            table = pl.from_pandas(frame)
            texts = [c for c in frame.columns if c.startswith("t")]
            table = table.with_columns([(pl.col(c).rank("dense") - 1).cast(pl.Float64) for c in texts])
            table.to_pandas()
            result["seconds"] = time.perf_counter() - start
    elif case == "memory":
        import quorix

        encoder = quorix.Encoder()
        gc.collect()
        before = status_kib("VmRSS") * 1024
        texts = distinct_texts(size)
        result["text_bytes"] = sum(len(t) for t in texts)  # ASCII: one byte a character
        out = encoder.encode(texts.reshape(-1, 1))
        result["peak_during"] = status_kib("VmHWM") * 1024 - before
        del texts, out
        gc.collect()
        result["held"] = status_kib("VmRSS") * 1024 - before
        result["distinct"] = size
    print(json.dumps(result))


def run_child(case, tool, size):
    return child_json(__file__, "--child", case, tool, size)


def case_sizes(quick):
    """Distinct texts of the small and large column, rows of the small and large table."""
    return (100_000, 1_000_000, 100_000, 400_000) if quick else (1_000_000, 10_000_000, 1_000_000, 4_000_000)


def time_cases(small, large, table_small, table_large):
    """Each case's seconds by (case, tool, size), each in a fresh process."""
    seconds = {}
    for case, sizes in (("column", (small, large)), ("table", (table_small, table_large))):
        for size in sizes:
            for tool in ("quorix", "polars"):
                seconds[case, tool, size] = run_child(case, tool, size)["seconds"]
                print(f"{case} {size:>10,} {tool:>7}: {seconds[case, tool, size]:.2f} s", flush=True)
    return seconds


def report(seconds, memory, small, large, table_small, table_large):
    q_large, p_large = seconds["column", "quorix", large], seconds["column", "polars", large]
    growth_distinct = q_large / seconds["column", "quorix", small]
    growth_rows = seconds["table", "quorix", table_large] / seconds["table", "quorix", table_small]
    held_per_text = memory["held"] / memory["distinct"]
    own_per_text = memory["text_bytes"] / memory["distinct"]
    lines = [
        "Each case in a fresh process (cold); other work may have shared the machine.",
        "",
        "| case | quorix s | polars s | polars / quorix |",
        "|---|---:|---:|---:|",
    ]
    for case, label, sizes in (("column", "one column, {:,} distinct", (small, large)),
                               ("table", "mixed table, {:,} rows", (table_small, table_large))):
        for size in sizes:
            q, p = seconds[case, "quorix", size], seconds[case, "polars", size]
            lines.append(f"| {label.format(size)} | {q:.2f} | {p:.2f} | {p / q:.2f} |")
    lines += [
        "",
        "| figure | measured | target |",
        "|---|---:|---:|",
        f"| {large:,} distinct: polars' rank dense / quorix | {p_large / q_large:.2f}x "
        f"| >= {TARGETS['speedup_10m']:g}x |",
        f"| growth, one column {small:,} -> {large:,} distinct | {growth_distinct:.2f}x "
        f"| <= {TARGETS['growth_distinct']:g}x |",
        f"| growth, mixed table {table_small:,} -> {table_large:,} rows | {growth_rows:.2f}x "
        f"| <= {TARGETS['growth_rows']:g}x |",
        f"| resident bytes per distinct text held by the Encoder, beyond the text's own "
        f"{own_per_text:.1f} | {held_per_text - own_per_text:.1f} | <= {TARGETS['bytes_per_text']:g} |",
        f"| peak resident growth (input and result included), per distinct text | "
        f"{memory['peak_during'] / memory['distinct']:.1f} | |",
    ]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller sizes, to try the script")
    parser.add_argument("--child", nargs=3, metavar=("CASE", "TOOL", "SIZE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], args.child[1], int(args.child[2]))
        return
    small, large, table_small, table_large = case_sizes(args.quick)
    seconds = time_cases(small, large, table_small, table_large)
    memory = run_child("memory", "quorix", large)
    text = report(seconds, memory, small, large, table_small, table_large)
    print()
    print(text)
    if not args.quick:
        write_result("cardinality.md", text)


if __name__ == "__main__":
    main()
