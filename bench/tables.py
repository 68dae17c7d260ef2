"""The tables the benchmarks share."""

import string

import numpy as np

W1_DISTINCTS = (10, 1_000, 100_000)


def w1_columns(rows, rng, pool):
    """The W1 table's columns as (name, cells): 4 float64 columns f0..f3 of
    normal numbers, then 4 text columns t10, t1000, t100000 and t<rows> of as
    many distinct texts, drawn from `pool(count, distinct)` (`count` is
    `distinct` capped at `rows`); 1% of every column missing."""
    for i in range(4):
        values = rng.normal(size=rows)
        values[rng.random(rows) < 0.01] = np.nan
        yield f"f{i}", values
    for distinct in (*W1_DISTINCTS, rows):
        texts = pool(min(distinct, rows), distinct)
        cells = texts[rng.integers(0, len(texts), rows)]
        cells[rng.random(rows) < 0.01] = None
        yield f"t{distinct}", cells


def letter_texts(rng, distinct):
    """`distinct` different texts of 3 to 12 ASCII letters, sorted, as an object array."""
    alphabet = np.frombuffer(string.ascii_letters.encode(), dtype=np.uint8)
    pool = set()
    while len(pool) < distinct:
        need = distinct - len(pool)
        chars = alphabet[rng.integers(0, len(alphabet), (need, 12))]
        for row, length in zip(chars, rng.integers(3, 13, need)):
            pool.add(row[:length].tobytes().decode())
    return np.array(sorted(pool), dtype=object)
