"""quorix on a real table: the Palmer penguins.

Encodes the text columns of the table, shows the codes and the mapping learned,
decodes them back, checks the round trip, pickles the Encoder, and times
encode and decode on a generated table of a million rows.
"""

import pickle
import time
from importlib import resources

import numpy as np
import pandas as pd

import quorix


def load_penguins() -> pd.DataFrame:
    # The package ships the table as a CSV file; read it directly, which works
    # whatever the state of the package's own loader.
    try:
        package = resources.files("palmerpenguins")
    except ModuleNotFoundError:
        raise SystemExit("the quickstart reads the Palmer penguins table: pip install palmerpenguins") from None
    with package.joinpath("data/penguins.csv").open("rb") as csv:
        return pd.read_csv(csv)


def learned_mapping(original: pd.DataFrame, encoded: pd.DataFrame, column: str) -> pd.DataFrame:
    pairs = pd.DataFrame({"text": original[column].astype(object), "code": encoded[column]})
    return pairs.dropna().drop_duplicates().sort_values("code").reset_index(drop=True)


def same_texts(decoded: pd.Series, original: pd.Series) -> bool:
    expected = [None if pd.isna(v) else str(v) for v in original]
    return list(decoded) == expected


def main() -> None:
    pd.set_option("display.width", 120)
    pd.set_option("display.max_columns", 10)
    penguins = load_penguins()
    print(f"Palmer penguins: {penguins.shape[0]} rows x {penguins.shape[1]} columns")
    print(penguins.head(), "\n")

    encoder = quorix.Encoder()
    codes = encoder.encode(penguins)
    print("Encoded (every column float64, texts replaced by codes, missing values NaN):")
    print(codes.head(), "\n")
    text_columns = [c for c in penguins.columns if not pd.api.types.is_numeric_dtype(penguins[c])]
    for column in text_columns:
        print(f"Learned mapping of {column!r}:")
        print(learned_mapping(penguins, codes, column).to_string(index=False), "\n")

    decoded = encoder.decode(codes)
    for column in penguins.columns:
        if column in text_columns:
            assert same_texts(decoded[column], penguins[column]), column
        else:
            assert np.array_equal(decoded[column].to_numpy(), penguins[column].to_numpy(dtype=float), equal_nan=True)
    print("decode(encode(penguins)) gives the table back: text columns as texts, missing values as None.\n")

    state = pickle.dumps(encoder)
    restored = pickle.loads(state)
    # Map order is random per map, so compare what the state does, not its bytes.
    assert len(restored.__getstate__()) == len(encoder.__getstate__())
    assert restored.decode(codes).equals(decoded)
    print(f"The Encoder pickles to {len(state)} bytes and decodes the same after restoring.\n")

    rows = 1_000_000
    rng = np.random.default_rng(7)
    words = np.array([f"item-{i:05d}" for i in range(10_000)], dtype=object)
    big = pd.DataFrame(
        {
            "amount": rng.normal(size=rows),
            "city": rng.choice(words[:100], rows),
            "product": rng.choice(words, rows),
            "score": rng.integers(0, 100, rows).astype(float),
        }
    )
    timer = quorix.Encoder()
    start = time.perf_counter()
    big_codes = timer.encode(big)
    encode_seconds = time.perf_counter() - start
    start = time.perf_counter()
    timer.decode(big_codes)
    decode_seconds = time.perf_counter() - start
    print(f"A generated table of {rows:,} rows x {big.shape[1]} columns (2 text columns):")
    print(f"  encode {encode_seconds:.3f} s ({rows / encode_seconds / 1e6:.1f} M rows/s)")
    print(f"  decode {decode_seconds:.3f} s ({rows / decode_seconds / 1e6:.1f} M rows/s)")


if __name__ == "__main__":
    main()
