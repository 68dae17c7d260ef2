"""Benchmarks of quorix from Python, beside the usual alternatives, measured in one run.

    make bench                      # or: .venv/bin/python bench/run.py [--quick]

Writes bench/results/python.md (a markdown table) and bench/results/python.png (a chart).
"""

import argparse
import os
import pickle
import string
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd

import quorix
from measure import median_seconds, peak_extra_kib, status_kib

RESULTS = Path(__file__).resolve().parent / "results"


def random_texts(rng, count, distinct):
    """`count` texts of 3 to 12 ASCII letters drawn from `distinct` different ones."""
    alphabet = np.frombuffer(string.ascii_letters.encode(), dtype=np.uint8)
    lengths = rng.integers(3, 13, distinct)
    pool = set()
    while len(pool) < distinct:
        need = distinct - len(pool)
        chars = alphabet[rng.integers(0, len(alphabet), (need, 12))]
        for row, length in zip(chars, rng.integers(3, 13, need)):
            pool.add(row[:length].tobytes().decode())
    pool = np.array(sorted(pool), dtype=object)
    del lengths
    return pool[rng.integers(0, distinct, count)] if count != distinct else rng.permutation(pool)


def with_missing(rng, values, share=0.01):
    values = values.copy()
    values[rng.random(len(values)) < share] = np.nan
    return values


def workloads(rows, quick):
    rng = np.random.default_rng(2026)
    floats = {f"f{i}": with_missing(rng, rng.normal(size=rows)) for i in range(4)}
    distincts = [10, 1_000, 100_000, rows]
    texts = {f"t{d}": with_missing(rng, random_texts(rng, rows, d)) for d in distincts}
    w1 = pd.DataFrame({**floats, **texts})
    w2 = np.column_stack(list(texts.values())).astype(object)
    w3 = rng.normal(size=(rows * 10 if not quick else rows, 4))
    return w1, w2, w3, list(texts)


def factorize_frame(frame, text_columns):
    columns = {}
    for name in frame.columns:
        if name in text_columns:
            codes, _ = pd.factorize(frame[name], sort=True)
            column = codes.astype(np.float64)
            column[codes < 0] = np.nan
            columns[name] = column
        else:
            columns[name] = frame[name].to_numpy(dtype=np.float64, copy=True)
    return pd.DataFrame(columns)


def factorize_array(array):
    out = np.empty(array.shape, dtype=np.float64)
    for c in range(array.shape[1]):
        codes, _ = pd.factorize(array[:, c], sort=True)
        out[:, c] = codes
        out[codes < 0, c] = np.nan
    return out


def pandas_decode_calls(codes_frame, text_columns, texts_by_column):
    """The pandas calls a decode of the frame must make: frame, astype, setitem and loc per text column."""
    frame = pd.DataFrame(codes_frame.to_numpy(), columns=list(codes_frame.columns))
    for name in text_columns:
        frame[name] = frame[name].astype("object")
        frame.loc[:, name] = texts_by_column[name]
    return frame


def first_decode_seconds(state, codes, repeats):
    """Median time of a first decode: each call by a new Encoder holding
    `state` (made outside the timing), so that every str is made."""
    times = []
    for _ in range(repeats):
        encoder = quorix.Encoder()
        encoder.__setstate__(state)
        times.append(median_seconds(lambda: encoder.decode(codes), 1))
        del encoder
    return sorted(times)[len(times) // 2]


def kept_bytes(decoded_columns):
    """What an Encoder keeps after decoding: per distinct text its str and one
    8-byte slot (every learned text occurs in these columns)."""
    distinct = {}
    for column in decoded_columns:
        for value in column:
            if type(value) is str:
                distinct[id(value)] = sys.getsizeof(value)
    return len(distinct), sum(distinct.values()) + 8 * len(distinct)


def decode_memory_child(rows):
    """Peak extra memory of a first and of a later W1 decode (the codes frame
    and the Encoder already made), beside the frame returned and the strs
    the Encoder keeps; printed as JSON."""
    import gc
    import json

    rng = np.random.default_rng(2026)
    floats = {f"f{i}": with_missing(rng, rng.normal(size=rows)) for i in range(4)}
    texts = {f"t{d}": with_missing(rng, random_texts(rng, rows, d)) for d in [10, 1_000, 100_000, rows]}
    encoder = quorix.Encoder()
    codes = encoder.encode(pd.DataFrame({**floats, **texts}))
    del floats, texts
    gc.collect()
    import ctypes

    ctypes.CDLL("libc.so.6").malloc_trim(0)  # freed memory back to the system, so that RSS is what is in use
    # What a call leaves resident: the first its frame and the kept strs,
    # a later one its frame alone.
    before = status_kib("VmRSS")
    decoded, extra = peak_extra_kib(lambda: encoder.decode(codes))
    held = status_kib("VmRSS") - before
    _, kept = kept_bytes(decoded[name].to_numpy() for name in decoded.columns if decoded[name].dtype == object)
    del decoded
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    before = status_kib("VmRSS")
    again, later_extra = peak_extra_kib(lambda: encoder.decode(codes))
    later_held = status_kib("VmRSS") - before
    print(json.dumps({"peak_extra": extra * 1024, "held": held * 1024, "later_peak_extra": later_extra * 1024,
                      "later_held": later_held * 1024, "kept": kept}))


def decode_memory(rows):
    child = subprocess.run([sys.executable, __file__, "--memory-child", str(rows)],
                           capture_output=True, text=True, check=True)
    import json

    return json.loads(child.stdout)


def run(quick):
    rows = 100_000 if quick else 1_000_000
    repeats = 3 if quick else 5
    w1, w2, w3, text_columns = workloads(rows, quick)
    from sklearn.preprocessing import OrdinalEncoder

    rows_out = []

    def record(workload, operation, tool, seconds):
        rows_out.append((workload, operation, tool, seconds))
        print(f"{workload:3} {operation:7} {tool:38} {seconds:9.4f} s", flush=True)

    # W1: the mixed frame.
    encoder = quorix.Encoder()
    record("W1", "encode", "quorix", median_seconds(lambda: encoder.encode(w1), repeats))
    record("W1", "encode", "pandas.factorize(sort=True) + frame", median_seconds(lambda: factorize_frame(w1, text_columns), repeats))
    ordinal = OrdinalEncoder()
    text_part = w1[text_columns].astype(object)
    record("W1", "encode", "OrdinalEncoder.fit_transform", median_seconds(lambda: ordinal.fit_transform(text_part), max(1, repeats // 2)))
    codes_w1 = encoder.encode(w1)
    encoder.decode(codes_w1)  # the strs made once, kept for the calls timed next
    record("W1", "decode", "quorix", median_seconds(lambda: encoder.decode(codes_w1), repeats))
    record("W1", "decode", "quorix, first call", first_decode_seconds(encoder.__getstate__(), codes_w1, repeats))
    decoded_w1 = encoder.decode(codes_w1)
    texts_by_column = {name: list(decoded_w1[name]) for name in text_columns}
    record("W1", "decode", "pandas calls (frame, astype, loc)", median_seconds(lambda: pandas_decode_calls(codes_w1, text_columns, texts_by_column), repeats))

    # W2: the text columns as an object array.
    encoder2 = quorix.Encoder()
    record("W2", "encode", "quorix", median_seconds(lambda: encoder2.encode(w2), repeats))
    record("W2", "encode", "pandas.factorize(sort=True)", median_seconds(lambda: factorize_array(w2), repeats))
    ordinal2 = OrdinalEncoder()
    record("W2", "encode", "OrdinalEncoder.fit_transform", median_seconds(lambda: ordinal2.fit_transform(w2), max(1, repeats // 2)))
    codes_w2 = encoder2.encode(w2)
    decoded_w2 = encoder2.decode(codes_w2)
    record("W2", "decode", "quorix", median_seconds(lambda: encoder2.decode(codes_w2), repeats))
    record("W2", "decode", "quorix, first call", first_decode_seconds(encoder2.__getstate__(), codes_w2, repeats))
    # What each keeps to decode with: quorix its strs (and a slot each), scikit-learn its categories_.
    distinct_w2, kept_w2 = kept_bytes(decoded_w2[:, c] for c in range(decoded_w2.shape[1]))
    categories_w2 = sum(c.nbytes + sum(sys.getsizeof(v) for v in c if type(v) is str) for c in ordinal2.categories_)
    kept = {"distinct": distinct_w2, "quorix": kept_w2, "sklearn": categories_w2}
    del decoded_w2
    ordinal_codes = ordinal2.transform(w2)
    record("W2", "decode", "OrdinalEncoder.inverse_transform", median_seconds(lambda: ordinal2.inverse_transform(ordinal_codes), repeats))

    # W3: a large float64 array.
    encoder3 = quorix.Encoder()
    record("W3", "encode", "quorix", median_seconds(lambda: encoder3.encode(w3), repeats))
    record("W3", "encode", "numpy.array(copy=True)", median_seconds(lambda: np.array(w3, copy=True), repeats))

    # The state bytes of a large learned state beside pickling the same maps as dicts.
    big_state = pd.DataFrame({f"s{i}": random_texts(np.random.default_rng(i), rows // 4, rows // 4) for i in range(4)})
    encoder4 = quorix.Encoder()
    encoder4.encode(big_state)
    state = encoder4.__getstate__()
    decoded = encoder4.decode(encoder4.encode(big_state))
    as_dict = {}
    for i, name in enumerate(big_state.columns):
        codes = encoder4.encode(big_state)[name].to_numpy()
        texts = list(big_state[name])
        # Markers such as "nan" have no code: in the first map only, as in the state.
        as_dict[i] = (
            {t: (None if c != c else int(c)) for t, c in zip(texts, codes)},
            {int(c): t for t, c in zip(texts, codes) if c == c},
        )
    del decoded
    pickled = pickle.dumps(as_dict, protocol=pickle.HIGHEST_PROTOCOL)
    record("S", "write", "quorix __getstate__", median_seconds(encoder4.__getstate__, repeats))
    record("S", "write", "pickle.dumps(dict)", median_seconds(lambda: pickle.dumps(as_dict, protocol=pickle.HIGHEST_PROTOCOL), repeats))
    target = quorix.Encoder()
    record("S", "read", "quorix __setstate__", median_seconds(lambda: target.__setstate__(state), repeats))
    record("S", "read", "pickle.loads(dict)", median_seconds(lambda: pickle.loads(pickled), repeats))
    memory_rows = rows * 4
    memory = decode_memory(memory_rows)
    return rows_out, len(state), len(pickled), rows, memory, memory_rows, kept


def ratio(results, workload, operation, tool):
    mine = next(s for w, o, t, s in results if (w, o, t) == (workload, operation, "quorix") or (w, o) == (workload, operation) and t.startswith("quorix"))
    theirs = next(s for w, o, t, s in results if (w, o, t) == (workload, operation, tool))
    return theirs / mine


def seconds_of(results, workload, operation, tool):
    return next(s for w, o, t, s in results if (w, o, t) == (workload, operation, tool))


def write_report(results, state_bytes, pickled_bytes, rows, memory, memory_rows, kept):
    RESULTS.mkdir(exist_ok=True)
    lines = [
        f"Median seconds on this machine ({os.cpu_count()} cores), {rows:,} rows; "
        "ratio = the other tool's time / quorix's time (above 1: quorix is faster).",
        "",
        "| workload | operation | tool | median s | ratio |",
        "|---|---|---|---:|---:|",
    ]
    for workload, operation, tool, seconds in results:
        shown = "" if tool.startswith("quorix") else f"{ratio(results, workload, operation, tool):.2f}"
        lines.append(f"| {workload} | {operation} | {tool} | {seconds:.4f} | {shown} |")
    lines += [
        "",
        f"State bytes: {state_bytes / 1e6:.1f} MB; the same maps pickled as dicts: {pickled_bytes / 1e6:.1f} MB. "
        f"__getstate__ {state_bytes / 1e6 / next(s for w, o, t, s in results if t == 'quorix __getstate__'):.0f} MB/s, "
        f"__setstate__ {state_bytes / 1e6 / next(s for w, o, t, s in results if t == 'quorix __setstate__'):.0f} MB/s.",
        "",
        f"W1 decode at {memory_rows:,} rows, peak extra memory (VmHWM over VmRSS before the call) beside what "
        f"the call leaves resident: the first call {memory['peak_extra'] / 1e6:.0f} MB beside "
        f"{memory['held'] / 1e6:.0f} MB (the frame and the kept strs, {memory['kept'] / 1e6:.0f} MB of them), "
        f"{memory['peak_extra'] / memory['held']:.2f}x; a later call {memory['later_peak_extra'] / 1e6:.0f} MB beside "
        f"{memory['later_held'] / 1e6:.0f} MB (its frame), {memory['later_peak_extra'] / memory['later_held']:.2f}x.",
        "",
        f"Kept to decode W2 ({kept['distinct']:,} distinct texts): quorix's kept strs and slots "
        f"{kept['quorix'] / kept['distinct']:.1f} bytes per distinct text, scikit-learn's fitted categories_ "
        f"{kept['sklearn'] / kept['distinct']:.1f}.",
        "",
        "| figure | measured | target |",
        "|---|---:|---:|",
        f"| W2 decode, later calls: inverse_transform / quorix | "
        f"{seconds_of(results, 'W2', 'decode', 'OrdinalEncoder.inverse_transform') / seconds_of(results, 'W2', 'decode', 'quorix'):.2f}x | >= 1.5x |",
        f"| W2 decode, first call: inverse_transform / quorix | "
        f"{seconds_of(results, 'W2', 'decode', 'OrdinalEncoder.inverse_transform') / seconds_of(results, 'W2', 'decode', 'quorix, first call'):.2f}x | >= 1.0x |",
        f"| W1 decode, later calls: pandas calls / quorix | "
        f"{seconds_of(results, 'W1', 'decode', 'pandas calls (frame, astype, loc)') / seconds_of(results, 'W1', 'decode', 'quorix'):.2f}x | >= 1.2x |",
        f"| W1 decode, first call: peak extra memory / (result + kept strs) | "
        f"{memory['peak_extra'] / memory['held']:.2f}x | <= 1x |",
        f"| W1 decode, later call: peak extra memory / result | "
        f"{memory['later_peak_extra'] / memory['later_held']:.2f}x | <= 1x |",
    ]
    (RESULTS / "python.md").write_text("\n".join(lines) + "\n")
    print("\n".join(lines))
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    labels = [f"{w} {o}\n{t}" for w, o, t, _ in results]
    seconds = [s for *_, s in results]
    colors = ["tab:blue" if t.startswith("quorix") else "tab:gray" for _, _, t, _ in results]
    figure, axis = plt.subplots(figsize=(10, 0.42 * len(results) + 1))
    axis.barh(range(len(results)), seconds, color=colors)
    axis.set_yticks(range(len(results)), labels, fontsize=7)
    axis.invert_yaxis()
    axis.set_xscale("log")
    axis.set_xlabel("median seconds (log scale; blue: quorix)")
    figure.tight_layout()
    figure.savefig(RESULTS / "python.png", dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="a tenth of the rows, for a smoke run")
    parser.add_argument("--memory-child", type=int, metavar="ROWS", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        return decode_memory_child(args.memory_child)
    write_report(*run(args.quick))


if __name__ == "__main__":
    sys.exit(main())
