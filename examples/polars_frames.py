"""quorix_pipeline.TextEncoder on polars frames: the Palmer penguins.

Learns the codes of the text columns from the penguins of 2007 and 2008 as a
polars DataFrame, codes those of 2009 (a polars DataFrame comes back), then
does the same job lazily, Parquet file to Parquet file, with a LazyFrame.
"""

import tempfile
from importlib import resources
from pathlib import Path

import polars as pl

from quorix_pipeline import TextEncoder


def load_penguins() -> pl.DataFrame:
    with resources.files("palmerpenguins").joinpath("data/penguins.csv").open("rb") as csv:
        frame = pl.read_csv(csv, null_values="NA")
    # Species as a polars Categorical: read through its dictionary.
    return frame.with_columns(pl.col("species").cast(pl.Categorical))


def main() -> None:
    penguins = load_penguins()
    table = penguins.select("species", "island", "sex", "body_mass_g", "year")
    train = table.filter(pl.col("year") < 2009).drop("year")
    test = table.filter(pl.col("year") == 2009).drop("year")
    # A site the training years never visited.
    test = test.with_columns(
        pl.when(pl.int_range(pl.len()) < 3).then(pl.lit("Anvers")).otherwise(pl.col("island")).alias("island")
    )
    print(f"train: {len(train)} penguins of 2007-2008, test: {len(test)} of 2009\n")

    encoder = TextEncoder(unknown=-1).fit(train)
    print("learned from the schema:", list(encoder.feature_names_in_))
    codes = encoder.transform(test)
    print("test coded (a polars DataFrame; the new island is -1, a missing sex NaN):")
    print(codes.head(5), "\n")
    print("and back (the unknown island and the missing sex are null):")
    print(encoder.inverse_transform(codes).head(5), "\n")

    # The same job on files, lazily: fit reads them batch by batch, transform
    # codes each batch as the sink asks for it.
    with tempfile.TemporaryDirectory() as folder:
        parts = Path(folder) / "parts"
        parts.mkdir()
        for year in (2007, 2008, 2009):
            penguins.filter(pl.col("year") == year).select(train.columns).write_parquet(parts / f"{year}.parquet")
        lazy = pl.scan_parquet(parts / "*.parquet")
        lazy_encoder = TextEncoder(unknown=-1).fit(lazy)
        lazy_encoder.transform(lazy).sink_parquet(Path(folder) / "codes.parquet")
        written = pl.read_parquet(Path(folder) / "codes.parquet")
        assert written.equals(lazy_encoder.transform(lazy.collect()))
        print(f"LazyFrame job: {len(written)} rows coded from 3 Parquet files into one, "
              f"the same codes as the eager frame: {lazy_encoder.categories_[1]}")


if __name__ == "__main__":
    main()
