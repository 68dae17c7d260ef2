"""quorix_pipeline.TextEncoder on a real table: the Palmer penguins.

Learns the codes of the text columns from the penguins seen in 2007 and 2008,
applies them to those of 2009 (with an island the training years never saw),
learns the same codes from chunks of the table, pickles the encoder, and
decodes the codes back.
"""

import pickle
from importlib import resources

import pandas as pd

from quorix_pipeline import TextEncoder, merge


def load_penguins() -> pd.DataFrame:
    with resources.files("palmerpenguins").joinpath("data/penguins.csv").open("rb") as csv:
        return pd.read_csv(csv)


def main() -> None:
    pd.set_option("display.width", 120)
    penguins = load_penguins()
    text_columns = ["species", "island", "sex"]
    table = penguins[text_columns + ["body_mass_g"]]
    train = table[penguins["year"] < 2009]
    test = table[penguins["year"] == 2009].copy()
    # A site the training years never visited.
    test.loc[test.index[:3], "island"] = "Anvers"
    print(f"train: {len(train)} penguins of 2007-2008, test: {len(test)} of 2009\n")

    strict = TextEncoder().fit(train)
    try:
        strict.transform(test)
    except ValueError as error:
        print(f"unknown='error' refuses the new island:\n  {error}\n")

    encoder = TextEncoder(unknown=-1).fit(train)
    codes = encoder.transform(test)
    print("test coded with the training codes (the new island is -1; the index is the test's own):")
    print(codes.head(5), "\n")

    # The same codes learned from chunks, as from a table read in pieces...
    chunked = TextEncoder(unknown=-1)
    for start in range(0, len(train), 50):
        chunked.partial_fit(train.iloc[start : start + 50])
    assert chunked.transform(test).equals(codes)
    # ...or from parts learned apart and merged.
    parts = [train.iloc[start : start + 60] for start in range(0, len(train), 60)]
    merged = merge([TextEncoder(unknown=-1).fit(part) for part in parts])
    assert merged.transform(test).equals(codes)
    print("partial_fit over 50-row chunks and merge of 60-row parts give the same codes\n")

    restored = pickle.loads(pickle.dumps(encoder))
    assert restored.transform(test).equals(codes)
    decoded = restored.inverse_transform(codes)
    print("decoded after a pickle round trip (the new island comes back as None):")
    print(decoded.head(5))
    kept = test["island"] != "Anvers"
    assert decoded.loc[kept, "island"].tolist() == test.loc[kept, "island"].tolist()
    assert decoded.loc[~kept, "island"].isna().all()


if __name__ == "__main__":
    main()
