"""Unusual text columns at full size, checked exactly against a model, with
time and peak memory beside pandas.factorize.

    make bench-unusual         # or: .venv/bin/python bench/unusual_at_scale.py [--quick]

Every case is one text column, first as a one-column object array and, where
that is cheap and pyarrow is installed, as a DataFrame with a pandas `str`
column stored in Arrow:

1. long: texts of 1 MiB that differ only in their last byte, texts that share
   their first 1 MiB - 1 bytes (the bare shared part, one byte more, a two-byte
   character more), and a marker, over 2,000 rows;
2. prefix: 10,000,000 rows whose texts all start with the same 100 bytes, with
   4,000,000 distinct suffixes of varying length;
3. one-text: 10,000,000 copies of one text;
4. markers: 10,000,000 rows of nothing but missing-value markers ("nan",
   "NaN", "<NA>", float NaN; in the `str` column also None);
5. nul: 10,000,000 rows of texts with embedded and trailing NUL bytes,
   non-ASCII texts, and (object array only) a lone surrogate, whose text is
   three U+FFFD and so equals another text of the column.

The model is worked out in Python from the texts alone: the code of a cell is
the rank of its text's UTF-8 bytes among the column's distinct texts that are
not markers, and a marker's code is NaN. Each case checks the codes, that
`decode` gives the texts back (markers as "NaN" from an array, None from a
DataFrame), and that an unpickled copy of the Encoder decodes the same.

Each tool runs each case in a fresh process; the peak is the highest resident
memory during the one call beyond what the process held just before it (the
column already built). Exits with status 1 when any result is wrong or a run
fails. Writes bench/results/unusual_at_scale.md (-quick.md with --quick, which
takes 100 times fewer rows).
"""

import argparse
import gc
import json
import math
import pickle
import subprocess
import sys
import time

import numpy as np
from measure import peak_extra_kib, status_kib, write_result

MARKERS = {"nan", "NaN", "<NA>"}
MIB = 1 << 20


# The columns: a pool of distinct cell values and, per row, the index of its value.

def long_pool(rows, arrow, rng):
    letters = np.frombuffer(b"abcdefghijklmnopqrstuvwxyz", dtype=np.uint8)
    shared = letters[rng.integers(0, 26, MIB - 1)].tobytes().decode()
    last = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz!~"
    pool = [shared + ch for ch in last]  # 64 texts of 1 MiB
    pool += [shared, shared + "zz", shared + "\u00e9", "nan"]
    return pool, spread(len(pool), rows, rng)


def prefix_pool(rows, arrow, rng):
    prefix = "p" * 97 + "/\u00e9"  # 100 bytes in UTF-8
    distinct = max(1, rows * 2 // 5)
    keys = np.unique(rng.integers(0, 1 << 40, distinct + distinct // 50 + 10))
    rng.shuffle(keys)
    pool = [prefix + format(k, "x") for k in keys[:distinct].tolist()]
    return pool, spread(len(pool), rows, rng)


def one_text_pool(rows, arrow, rng):
    return ["the same text, \u00fcber and \u65e5\u672c"], np.zeros(rows, dtype=np.int64)


def marker_pool(rows, arrow, rng):
    pool = [float("nan"), "nan", "NaN", "<NA>", np.float64("nan")]
    if arrow:
        pool.append(None)  # missing in a `str` column, like NaN
    picks = spread(len(pool), rows, rng)
    picks[0] = 0  # a float NaN before the first text
    return pool, picks


def nul_pool(rows, arrow, rng):
    pool = ["a\0", "a", "a\0\0", "\0", "\0\0", "", "a\0b", "ab", "\0a", "a\x01", "b\0",
            "\u00e9", "e\u0301", "\u65e5\u672c\u8a9e", "\U0001f600", "\uffff", "\U0010ffff",
            "\u03a9\0", "\x7f", "\x80", "\ufffd\ufffd\ufffd", "nan", "nan\0", "NaN\0"]
    if not arrow:
        pool.append("\ud800")  # one lone surrogate: three U+FFFD, as the text before it
    return pool, spread(len(pool), rows, rng)


def spread(size, rows, rng):
    """Row picks that use every pool entry (while rows allow) in random order."""
    picks = rng.integers(0, size, rows)
    picks[: min(size, rows)] = np.arange(min(size, rows))
    rng.shuffle(picks)
    return picks


CASES = {  # name: (pool builder, full rows, also as a pandas `str` column)
    "long": (long_pool, 2_000, False),
    "prefix": (prefix_pool, 10_000_000, True),
    "one-text": (one_text_pool, 10_000_000, True),
    "markers": (marker_pool, 10_000_000, True),
    "nul": (nul_pool, 10_000_000, True),
}


def build(case, storage, rows):
    pool, picks = CASES[case][0](rows, storage == "str", np.random.default_rng(2026))
    values = np.empty(len(pool), dtype=object)
    values[:] = pool
    column = values[picks]
    if storage == "object":
        return pool, picks, column.reshape(-1, 1)
    import pandas as pd

    return pool, picks, pd.DataFrame({"t": pd.Series(column, dtype="str")})


# The model, from the pool alone.

def text_of(value):
    """The cell's text as the encoder reads it, or None for a missing value."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return None  # a float NaN reads as "NaN" or "nan"; None only occurs where it is missing
    return str(value).encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def model(pool, picks, frame):
    """Expected codes and decoded cells per row."""
    used = np.unique(picks)
    texts = [text_of(pool[i]) for i in range(len(pool))]
    distinct = sorted({texts[i].encode() for i in used.tolist()
                       if texts[i] is not None and texts[i] not in MARKERS})
    rank = {b: n for n, b in enumerate(distinct)}
    missing = None if frame else "NaN"
    pool_codes = np.full(len(pool), np.nan)
    pool_decoded = np.empty(len(pool), dtype=object)
    for i in used.tolist():
        text = texts[i]
        if text is None or text in MARKERS:
            pool_decoded[i] = missing
        else:
            pool_codes[i] = rank[text.encode()]
            pool_decoded[i] = text
    return pool_codes[picks], pool_decoded[picks], len(distinct)


# Measuring.

def measured(function):
    """(result, seconds, resident MiB before, peak extra MiB) of one call."""
    gc.collect()
    before = status_kib("VmRSS")
    start = time.perf_counter()
    result, extra = peak_extra_kib(function)
    seconds = time.perf_counter() - start
    return result, seconds, before / 1024, max(0, extra) / 1024


def first_difference(got, want):
    for i in range(len(want)):
        g, w = got[i], want[i]
        same = (g == w) or (isinstance(g, float) and isinstance(w, float) and math.isnan(g) and math.isnan(w))
        if not same:
            return f"row {i}: got {short(g)}, expected {short(w)}"
    return None


def short(value):
    text = repr(value)
    return text if len(text) <= 60 else f"{text[:40]}...{text[-12:]} ({len(value)} chars)"


def check_column(what, got, want, faults):
    if len(got) != len(want):
        faults.append(f"{what}: {len(got)} rows, expected {len(want)}")
        return
    if want.dtype == np.float64:
        if np.array_equal(np.asarray(got, dtype=np.float64), want, equal_nan=True):
            return
    elif np.all(got == want):  # object cells compared one by one
        return
    faults.append(f"{what}: {first_difference(got, want)}")


def child_quorix(case, storage, rows):
    import quorix

    pool, picks, table = build(case, storage, rows)
    frame = storage == "str"
    quorix.Encoder().encode(table[:3])  # first use: the worker pool
    encoder = quorix.Encoder()
    codes, seconds, input_mib, extra_mib = measured(lambda: encoder.encode(table))
    start = time.perf_counter()
    decoded = encoder.decode(codes)
    decode_seconds = time.perf_counter() - start
    del table
    gc.collect()

    want_codes, want_decoded, distinct = model(pool, picks, frame)
    faults = []
    got_codes = codes["t"].to_numpy() if frame else codes[:, 0]
    if codes.shape != (rows, 1):
        faults.append(f"encode: shape {codes.shape}")
    check_column("codes", got_codes, want_codes, faults)
    got_decoded = decoded["t"].to_numpy(dtype=object) if frame else decoded[:, 0]
    check_column("decode", got_decoded, want_decoded, faults)
    del decoded, got_decoded
    del want_codes, got_codes
    state = pickle.dumps(encoder)
    state_mib = len(state) / MIB
    del encoder  # the copy alone holds the maps from here on
    copy = pickle.loads(state)
    del state
    again = copy.decode(codes)
    check_column("decode after pickle", again["t"].to_numpy(dtype=object) if frame else again[:, 0],
                 want_decoded, faults)
    return {"seconds": seconds, "input_mib": input_mib, "extra_mib": extra_mib,
            "whole_mib": status_kib("VmHWM") / 1024,  # the check's own peak: model, decode, pickle
            "decode_seconds": decode_seconds, "distinct": distinct, "state_mib": state_mib,
            "faults": faults}


def child_factorize(case, storage, rows):
    import pandas as pd

    _, _, table = build(case, storage, rows)
    column = table["t"] if storage == "str" else table[:, 0]
    pd.factorize(column[:3], sort=True)
    _, seconds, input_mib, extra_mib = measured(lambda: pd.factorize(column, sort=True))
    return {"seconds": seconds, "input_mib": input_mib, "extra_mib": extra_mib}


def run_child(tool, case, storage, rows):
    done = subprocess.run([sys.executable, __file__, "--child", tool, case, storage, str(rows)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        tail = " | ".join(line[:200] for line in done.stderr.strip().splitlines()[-3:])
        return {"failed": f"{tool} exited with status {done.returncode}: {tail}"}
    return json.loads(done.stdout.strip().splitlines()[-1])


REPORT_HEADER = [
    "Each tool on each case in a fresh process; time and peak resident memory of the one call "
    "(encode, or pandas.factorize(sort=True) on the same column), the peak beyond what the process "
    "held just before it, with the column built (resident before). decode is quorix's, of the codes "
    "just made; state is the Encoder's pickled size; check peak is the quorix process's highest "
    "resident memory from the encode to the end of the checks.",
    "",
    "| case | stored as | rows | distinct | quorix s | factorize s | quorix peak MiB | factorize peak MiB "
    "| resident before MiB | decode s | state MiB | check peak MiB | result |",
    "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|",
]


def available_storages():
    """object always; pandas' Arrow-backed str when pyarrow is there."""
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        return ["object"]
    return ["object", "str"]


def table_line(case, storage, rows, q, f, found):
    """One row of the report: the two children's figures and what the checks found."""
    result = "; ".join(found) if found else "exact"
    figures = ("—",) * 9 if "failed" in q else (
        f"{q['distinct']:,}", f"{q['seconds']:.2f}", f"{f.get('seconds', math.nan):.2f}",
        f"{q['extra_mib']:.0f}", f"{f.get('extra_mib', math.nan):.0f}", f"{q['input_mib']:.0f}",
        f"{q['decode_seconds']:.2f}", f"{q['state_mib']:.1f}", f"{q['whole_mib']:.0f}")
    return f"| {case} | {storage} | {rows:,} | " + " | ".join(figures) + f" | {result} |"


def run_cases(cases, storages, quick):
    """Each case and storage through both tools, each in a fresh process: the
    report's rows, and every fault the checks found."""
    lines, faults = [], []
    for case in cases:
        _, rows, arrow_too = CASES[case]
        rows = max(1, rows // 100) if quick else rows
        for storage in storages if arrow_too else ["object"]:
            q = run_child("quorix", case, storage, rows)
            f = run_child("factorize", case, storage, rows)
            found = [q["failed"]] if "failed" in q else q["faults"]
            if "failed" in f:
                found.append(f["failed"])
            faults += [f"{case} ({storage}): {fault}" for fault in found]
            line = table_line(case, storage, rows, q, f, found)
            print(line, flush=True)
            lines.append(line)
    return lines, faults


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="100 times fewer rows, to try the script")
    parser.add_argument("--cases", nargs="+", choices=list(CASES), default=list(CASES))
    parser.add_argument("--child", nargs=4, metavar=("TOOL", "CASE", "STORAGE", "ROWS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        tool, case, storage, rows = args.child
        run = child_quorix if tool == "quorix" else child_factorize
        print(json.dumps(run(case, storage, int(rows))))
        return
    lines, faults = run_cases(args.cases, available_storages(), args.quick)
    report = "\n".join(REPORT_HEADER + lines) + "\n"
    print()
    print(report)
    write_result(f"unusual_at_scale{'-quick' if args.quick else ''}.md", report)
    if faults:
        print("WRONG RESULTS:", *faults, sep="\n  ", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
