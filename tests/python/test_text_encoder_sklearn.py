"""TextEncoder in scikit-learn: its estimator checks, clone, Pipeline and
ColumnTransformer on the Palmer penguins table, set_output."""

import numpy as np
import pandas as pd
import pytest

from quorix_pipeline import TextEncoder

sklearn = pytest.importorskip("sklearn")
from sklearn.base import clone  # noqa: E402
from sklearn.compose import ColumnTransformer  # noqa: E402
from sklearn.pipeline import Pipeline  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

# fit must learn what quorix.Encoder().encode learns from every table encode
# accepts, and encode reads complex cells as texts and takes tables of no
# rows or no columns: these two checks ask for the refusals of a numeric
# estimator instead. Lists are refused with a TypeError (a list of rows has
# no column storage to read), which the third check feeds.
NOT_APPLICABLE = {
    "check_complex_data": "complex cells are texts to encode, which fit must learn alike",
    "check_estimators_empty_data_messages": "encode takes tables of no rows or no columns, and so does fit",
    "check_transformer_data_not_an_array": "lists of rows are refused with a TypeError",
}


@pytest.mark.filterwarnings("ignore::UserWarning")
@parametrize_with_checks([TextEncoder(), TextEncoder(unknown=np.nan)], expected_failed_checks=lambda e: NOT_APPLICABLE)
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)


def penguins():
    palmerpenguins = pytest.importorskip("palmerpenguins")
    return palmerpenguins.load_penguins()


def test_pipeline_and_column_transformer_on_penguins():
    from sklearn.ensemble import HistGradientBoostingClassifier

    frame = penguins()
    features = frame.drop(columns=["species"])
    text_columns = ["island", "sex"]
    train, test = features.iloc[::2], features.iloc[1::2]
    columns = ColumnTransformer(
        [("texts", TextEncoder(unknown=np.nan), text_columns)], remainder="passthrough"
    ).set_output(transform="pandas")
    model = Pipeline([("columns", columns), ("model", HistGradientBoostingClassifier(max_iter=20))])
    model.fit(train, frame["species"].iloc[::2])
    assert model.score(test, frame["species"].iloc[1::2]) > 0.8
    coded = model[:-1].transform(test)
    assert coded.index.equals(test.index)
    assert list(coded.columns[:2]) == ["texts__island", "texts__sex"]
    learned = model.named_steps["columns"].named_transformers_["texts"]
    expected = TextEncoder().fit(train[text_columns]).transform(test[text_columns])
    assert np.array_equal(coded.iloc[:, :2].to_numpy(), expected.to_numpy(), equal_nan=True)

    copy = clone(learned)
    assert copy.get_params() == learned.get_params() and not hasattr(copy, "string_columns_")
    assert list(learned.get_feature_names_out()) == text_columns


def test_set_output_pandas_for_arrays_names_the_features():
    table = np.array([["b", 1.0], ["a", 2.0]], dtype=object)
    out = TextEncoder().set_output(transform="pandas").fit(table).transform(table)
    assert isinstance(out, pd.DataFrame) and list(out.columns) == ["x0", "x1"]
    assert out["x0"].tolist() == [1.0, 0.0]
