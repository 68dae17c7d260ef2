"""Encoding NumPy's own text arrays ('U', 'S', StringDType) beside the same
texts as an object array and beside pandas.factorize(sort=True), timed in
one process; then a 'U12' memmap of about 3.8 GB on disk encoded cold in a
fresh process, with its peak extra anonymous resident memory (RssAnon: a
memmap's pages are the file's) beside what the call leaves resident (the
result and the learned maps).

    make bench-numpy-text     # or: .venv/bin/python bench/numpy_text.py [--quick]

The table: 1,000,000 x 4 texts of 8 ASCII letters, 100,000 distinct values
per column. The memmap: 40,000,000 x 2 texts of 12 ASCII characters,
1,000,000 distinct values per column, written under build/ and deleted
afterwards. Writes bench/results/numpy_text.md.
"""

import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

import quorix
from measure import median_seconds, write_result

ROOT = Path(__file__).resolve().parent.parent
STORAGES = ["object", "<U8", "S8", "StringDType"]
FACTORIZE_TARGET = 4.0  # least speed-up over factorize, per text dtype
MEMORY_TARGET = 1.3  # most peak extra RssAnon over what the call leaves resident


def words(rng, distinct, length):
    letters = np.frombuffer(b"abcdefghijklmnopqrstuvwxyz", dtype="S1")
    found = set()
    while len(found) < distinct:
        chars = letters[rng.integers(0, 26, (distinct, length))]
        found.update(chars.view(f"S{length}").ravel().tolist())
    return np.array(sorted(found)[:distinct], dtype=f"S{length}")


def table(rows, distinct, storage, seed=2026):
    rng = np.random.default_rng(seed)
    pool = words(rng, distinct, 8)
    cells = pool[rng.integers(0, distinct, (rows, 4))]  # S8
    if storage == "S8":
        return cells
    unicode = cells.astype("<U8")
    if storage == "<U8":
        return unicode
    if storage == "object":
        return unicode.astype(object)
    return unicode.astype(np.dtypes.StringDType())


def factorize_columns(array):
    return [pd.factorize(array[:, c], sort=True)[0] for c in range(array.shape[1])]


def bench_table(rows, repeat):
    results = {}
    reference = None
    for storage in STORAGES:
        array = table(rows, min(100_000, rows // 10), storage)
        assert array.shape == (rows, 4), array.shape
        expected = np.dtypes.StringDType() if storage == "StringDType" else np.dtype(storage)
        assert array.dtype == expected, (storage, array.dtype)
        codes = quorix.Encoder().encode(array)
        # ASCII letters: b'...' sorts as the letters do, so every storage gives the same codes.
        if reference is None:
            reference = codes
        assert np.array_equal(codes, reference), storage
        factorized = factorize_columns(array)
        assert np.array_equal(np.column_stack(factorized), codes.astype(np.int64)), storage
        results[storage] = {
            "quorix": median_seconds(lambda: quorix.Encoder().encode(array), repeat),
            "factorize": median_seconds(lambda: factorize_columns(array), repeat),
        }
        del array
    return results


# ---------------------------------------------------------------------------
# The memmap, in a fresh process.


def write_memmap(path, rows, distinct, seed=7):
    rng = np.random.default_rng(seed)
    pool = words(rng, distinct, 12).astype("<U12")
    chunk = 1_000_000
    with open(path, "wb") as out:
        for begin in range(0, rows, chunk):
            n = min(chunk, rows - begin)
            out.write(pool[rng.integers(0, distinct, (n, 2))].tobytes())
    assert path.stat().st_size == rows * 2 * 48


def rss_anon(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no RssAnon")


def memmap_child(path, rows):
    """Runs in the fresh process: waits for the go, encodes, reports."""
    mapped = np.memmap(path, dtype="<U12", mode="r", shape=(rows, 2))
    assert type(mapped) is np.memmap and mapped.dtype == np.dtype("<U12")
    encoder = quorix.Encoder()
    print("ready", flush=True)
    sys.stdin.readline()
    start = time.perf_counter()
    codes = encoder.encode(mapped)
    seconds = time.perf_counter() - start
    assert codes.shape == (rows, 2) and codes.dtype == np.float64
    state = len(encoder.__getstate__())
    print(f"done {seconds} {codes.nbytes} {state}", flush=True)
    sys.stdin.readline()  # the parent reads RssAnon with the result still held


def bench_memmap(rows, distinct):
    path = ROOT / "build" / "numpy_text_memmap.bin"
    path.parent.mkdir(exist_ok=True)
    try:
        write_memmap(path, rows, distinct)
        # Cold: the file's pages leave the page cache.
        fd = os.open(path, os.O_RDONLY)
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        os.close(fd)
        child = subprocess.Popen(
            [sys.executable, __file__, "--memmap-child", str(path), str(rows)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        assert child.stdout.readline().strip() == "ready"
        before = rss_anon(child.pid)
        child.stdin.write("go\n")
        child.stdin.flush()
        peak = before
        os.set_blocking(child.stdout.fileno(), False)
        line = ""
        while not line.endswith("\n"):
            peak = max(peak, rss_anon(child.pid))
            time.sleep(0.005)
            line += child.stdout.readline() or ""
        after = rss_anon(child.pid)
        child.stdin.write("end\n")
        child.stdin.flush()
        child.wait(timeout=60)
        _, seconds, result_bytes, state_bytes = line.split()
        return {
            "seconds": float(seconds),
            "peak_extra": peak - before,
            "held": after - before,
            "result": int(result_bytes),
            "state_bytes": int(state_bytes),
            "file": path.stat().st_size,
        }
    finally:
        path.unlink(missing_ok=True)


def load_average():
    with open("/proc/loadavg") as load:
        return load.read().split()[0]


def report(rows, repeat, scale, results, memmap, loads):
    lines = [
        f"Encoding a {rows:,} x 4 array of 8-letter texts, {min(100_000, rows // 10):,} distinct per column, median of {repeat} in one "
        f"process (NumPy {np.__version__}, pandas {pd.__version__}; load average {loads[0]} before, "
        f"{loads[1]} after). Speed-up: factorize's time over quorix's.",
        "",
        "| stored as | quorix | factorize(sort=True) per column | vs object array (target <= 1x) "
        f"| vs factorize (target >= {FACTORIZE_TARGET:g}x) |",
        "|---|---:|---:|---:|---:|",
    ]
    object_seconds = results["object"]["quorix"]
    for storage in STORAGES:
        q, f = results[storage]["quorix"], results[storage]["factorize"]
        lines.append(f"| {storage} | {q:.3f} s | {f:.3f} s | {q / object_seconds:.2f}x | {f / q:.1f}x |")
    held = memmap["held"]
    lines += [
        "",
        f"A {memmap['file'] / 1e9:.2f} GB '<U12' memmap, {40_000_000 // scale:,} x 2, encoded cold in a fresh process:",
        "",
        "| seconds | peak extra RssAnon | held after (result + maps) | result | state bytes "
        f"| peak / held (target <= {MEMORY_TARGET:g}) |",
        "|---:|---:|---:|---:|---:|---:|",
        f"| {memmap['seconds']:.2f} | {memmap['peak_extra'] / 2**20:.0f} MiB | {held / 2**20:.0f} MiB "
        f"| {memmap['result'] / 2**20:.0f} MiB | {memmap['state_bytes'] / 2**20:.0f} MiB "
        f"| {memmap['peak_extra'] / held:.2f} |",
    ]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="100 times fewer rows")
    parser.add_argument("--memmap-child", nargs=2, metavar=("PATH", "ROWS"))
    args = parser.parse_args()
    if args.memmap_child:
        memmap_child(Path(args.memmap_child[0]), int(args.memmap_child[1]))
        return
    scale = 100 if args.quick else 1
    rows, repeat = 1_000_000 // scale, 3
    load_before = load_average()
    results = bench_table(rows, repeat)
    memmap = bench_memmap(40_000_000 // scale, 1_000_000 // scale)
    text = report(rows, repeat, scale, results, memmap, (load_before, load_average()))
    print(text)
    if not args.quick:
        write_result("numpy_text.md", text)


if __name__ == "__main__":
    main()
