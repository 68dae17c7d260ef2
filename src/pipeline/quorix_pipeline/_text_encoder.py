"""TextEncoder: what quorix.Encoder learns, applied again to new tables."""

from __future__ import annotations

import importlib
import math
import numbers
import sys
import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np

import quorix

from . import _arrow, _dask, _native

_UNSET: Any = object()


class NotFittedError(ValueError, AttributeError):
    """Raised when a TextEncoder is used before it learned anything."""


def _not_fitted(name: str) -> Exception:
    message = f"This {name} instance is not fitted yet. Call 'fit' with appropriate arguments before using this estimator."
    # scikit-learn's own class when it is loaded, so that its checks recognise it.
    exceptions = sys.modules.get("sklearn.exceptions")
    kind = getattr(exceptions, "NotFittedError", NotFittedError)
    return kind(message)


def _pandas_frame_type() -> type | None:
    pandas = sys.modules.get("pandas")
    return None if pandas is None else pandas.DataFrame


def _kind(X: Any) -> str:
    """'frame' or 'array' for a table the engine reads; TypeError or
    ValueError for anything else. Every entry point reads its input here, so
    that a new kind of table is added in this one place."""
    frame_type = _pandas_frame_type()
    if frame_type is not None and isinstance(X, frame_type):
        return "frame"
    if isinstance(X, np.ndarray):
        if X.ndim != 2:
            raise ValueError(
                f"Expected a 2-D array, got a {X.ndim}-D array of shape {X.shape}. Reshape your data with "
                "X.reshape(-1, 1) if it has a single column, or X.reshape(1, -1) if it is a single row."
            )
        return "array"
    if hasattr(X, "tocsr") and hasattr(X, "nnz"):
        raise TypeError(
            f"TextEncoder does not take sparse matrices ({type(X).__name__}); pass a dense 2-D numpy.ndarray "
            "or a pandas.DataFrame"
        )
    if hasattr(X, "__array__") and not isinstance(X, (list, tuple)):
        # Array-likes that are not tables of their own are read as the arrays they give.
        return _kind(np.asarray(X))
    raise TypeError(
        f"TextEncoder takes a 2-D numpy.ndarray or a pandas.DataFrame, not {type(X).__name__}; convert it "
        "first, e.g. with numpy.asarray(X, dtype=object)"
    )


def _plain_array(X: np.ndarray) -> np.ndarray:
    # The engine knows arrays by their type's name; other subclasses are read
    # as the arrays they are.
    return X if type(X).__name__ in ("ndarray", "memmap") else np.asarray(X)


def _labels(X: Any) -> list[Any]:
    return X.columns.tolist()  # type: ignore[no-any-return]


def _string_labels(labels: list[Any]) -> np.ndarray | None:
    """feature_names_in_ as scikit-learn keeps them: only when every label is a str."""
    kinds = {type(label) is str for label in labels}
    if kinds == {True}:
        return np.asarray(labels, dtype=object)
    if kinds == {True, False}:
        raise TypeError(
            "Feature names are only supported if all input features have string names, but your input has "
            f"{sorted({type(label).__name__ for label in labels})} as feature name / column name types. Convert "
            "the column names to str with X.columns = X.columns.astype(str)."
        )
    return None


class TextEncoder:
    """Label-encodes the text columns of tables with codes learned once.

    ``fit`` learns what ``quorix.Encoder().encode`` learns; ``transform`` codes
    any table of the same columns with those codes. A text a column never
    learned becomes ``unknown`` (a number, e.g. ``float("nan")`` or ``-1``),
    or with ``unknown="error"`` raises ValueError naming the column and the text.
    """

    # Set by fitting (declared here for type checkers; none is a class attribute).
    string_columns_: tuple[int, ...]
    n_features_in_: int
    feature_names_in_: np.ndarray
    _parts: list[_native.Learned]
    _part_columns: int
    _frame_labels: list[Any]
    _columns_index: Any
    _sklearn_output_config: dict[str, str]

    def __init__(self, unknown: float | str = "error") -> None:
        self.unknown = unknown

    # -- scikit-learn's estimator conventions ------------------------------

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        return {"unknown": self.unknown}

    def set_params(self, **params: Any) -> TextEncoder:
        for name, value in params.items():
            if name != "unknown":
                raise ValueError(
                    f"Invalid parameter {name!r} for estimator {self}. Valid parameters are: ['unknown']."
                )
            self.unknown = value
        return self

    def __repr__(self) -> str:
        return "TextEncoder()" if self.unknown == "error" else f"TextEncoder(unknown={self.unknown!r})"

    def __sklearn_tags__(self) -> Any:
        # Only scikit-learn asks, so it is importable here.
        utils = importlib.import_module("sklearn.utils")
        Tags, TargetTags, TransformerTags, InputTags = (
            utils.Tags, utils.TargetTags, utils.TransformerTags, utils.InputTags
        )
        return Tags(
            estimator_type=None,
            target_tags=TargetTags(required=False),
            transformer_tags=TransformerTags(preserves_dtype=[]),
            input_tags=InputTags(two_d_array=True, allow_nan=True, string=True, categorical=True),
            requires_fit=True,
        )

    def set_output(self, *, transform: str | None = None) -> TextEncoder:
        """The container transform returns: "default" (what encode returns),
        "pandas" (a DataFrame, for arrays too) or "polars"."""
        if transform is None:
            return self
        if transform not in ("default", "pandas", "polars"):
            raise ValueError(f"output config must be 'default', 'pandas' or 'polars', got {transform!r}")
        # The attribute scikit-learn's pipelines read back.
        self._sklearn_output_config = {"transform": transform}
        return self

    def get_feature_names_out(self, input_features: Sequence[str] | None = None) -> np.ndarray:
        self._check_fitted()
        learned = getattr(self, "feature_names_in_", None)
        count = getattr(self, "n_features_in_", None)
        if input_features is not None:
            names = np.asarray(input_features, dtype=object)
            if learned is not None and not np.array_equal(names, learned):
                raise ValueError("input_features is not equal to feature_names_in_")
            if count is not None and len(names) != count:
                raise ValueError(f"input_features should have length equal to number of features ({count}), "
                                 f"got {len(names)}")
            return names
        if learned is not None:
            return np.asarray(learned, dtype=object)
        if count is None:
            raise ValueError("the column count is unknown: this encoder was made from a quorix.Encoder's state")
        return np.asarray([f"x{i}" for i in range(count)], dtype=object)

    # -- learning -----------------------------------------------------------

    def fit(self, X: Any, y: Any = None) -> TextEncoder:
        """Learns what ``quorix.Encoder().encode(X)`` learns."""
        self._unknown_rule()
        if _dask.is_dask_collection(X):
            return self._adopt(_dask.learn(self.get_params(), _dask.require_dataframe(X, "fit")))
        if (arrow := _arrow.kind_of(X)) is not None:
            _arrow.fit(self, X, arrow)
            return self
        X = self._read(X, reset=True)
        self._set_learned(_native.learn(X), X)
        return self

    def fit_transform(self, X: Any, y: Any = None) -> Any:
        """One encode: the codes of X, and what it learned kept. A dask
        DataFrame is learned, then coded lazily."""
        self._unknown_rule()
        if _dask.is_dask_collection(X):
            return self.fit(X).transform(X)
        if (arrow := _arrow.kind_of(X)) is not None:
            return _arrow.fit_transform(self, X, arrow)
        X = self._read(X, reset=True)
        learned, codes = _native.learn_and_encode(X)
        self._set_learned(learned, X)
        return self._finish(X, codes)

    def partial_fit(self, X: Any, y: Any = None) -> TextEncoder:
        """Learns the union of what it knows and X's texts, each column
        renumbered in byte order. On failure what was learned stays."""
        if "_parts" not in self.__dict__:
            return self.fit(X)
        self._unknown_rule()
        if _dask.is_dask_collection(X):
            frame = _dask.require_dataframe(X, "partial_fit")
            X = self._read(frame._meta, reset=False)
            part = _dask.learn(self.get_params(), frame)._learned
        elif (arrow := _arrow.kind_of(X)) is not None:
            _arrow.partial_fit(self, X, arrow)
            return self
        else:
            X = self._read(X, reset=False)
            part = _native.learn(X)
        parts = [*self._parts, part]
        count = self._column_count(X)
        # Refused now, from the column kinds alone; the texts are merged, all
        # parts at once, when the union is first used.
        _native.check_merge(parts, count, self._message_labels())
        self._parts, self._part_columns = parts, count
        self.string_columns_ = tuple(sorted({*self.string_columns_, *part.string_columns()}))
        return self

    @property
    def _learned(self) -> _native.Learned:
        parts: list[_native.Learned] = self.__dict__["_parts"]
        if len(parts) > 1:
            merged = _native.merge(parts, self._part_columns, self._message_labels())
            self.__dict__["_parts"] = parts = [merged]
        return parts[0]

    @classmethod
    def from_encoder(cls, encoder: quorix.Encoder, unknown: float | str = "error") -> TextEncoder:
        """A TextEncoder that starts from a quorix.Encoder's learned state."""
        if not isinstance(encoder, quorix.Encoder):
            raise TypeError(f"from_encoder takes a quorix.Encoder, not {type(encoder).__name__}")
        made = cls(unknown=unknown)
        made._set_learned(_native.from_state(encoder.__getstate__(), b""), None)
        return made

    @property
    def encoder_(self) -> quorix.Encoder:
        """A quorix.Encoder holding the learned state."""
        self._check_fitted()
        encoder = quorix.Encoder()
        encoder.__setstate__(self._learned.state())
        return encoder

    @property
    def categories_(self) -> dict[int, list[str]]:
        """Each string column's learned texts (by position), in the order of their codes."""
        self._check_fitted()
        return {column: self._learned.categories(column) for column in self.string_columns_}

    # -- applying -----------------------------------------------------------

    def transform(self, X: Any) -> Any:
        """X coded with the learned maps."""
        self._check_fitted()
        unknown = self._unknown_rule()
        if _dask.is_dask_collection(X):
            frame = _dask.require_dataframe(X, "transform")
            self._read(frame._meta, reset=False)
            return _dask.transform(self, frame)
        if (arrow := _arrow.kind_of(X)) is not None:
            return _arrow.transform(self, X, arrow)
        X = self._read(X, reset=False)
        return self._finish(X, self._learned.transform(X, unknown))

    def inverse_transform(self, X: Any) -> Any:
        """The texts back: quorix.Encoder.decode with the learned state (a
        frame keeps the codes' index). A cell holding the numeric ``unknown``
        comes back as None."""
        self._check_fitted()
        unknown = self._unknown_rule()
        if _dask.is_dask_collection(X):
            frame = _dask.require_dataframe(X, "inverse_transform")
            self._read(frame._meta, reset=False, check_labels=False)
            return _dask.inverse_transform(self, frame)
        if (arrow := _arrow.kind_of(X)) is not None:
            return _arrow.inverse_transform(self, X, arrow)
        # Codes carry the labels encode gave them: only their count is checked.
        X = self._read(X, reset=False, check_labels=False)
        if unknown is None or math.isnan(unknown):
            return self._keep_index(X, self._learned.inverse_transform(X))
        columns = list(self.string_columns_)
        values = X.to_numpy(dtype=np.float64, copy=True) if _kind(X) == "frame" else np.array(X, dtype=np.float64)
        unseen = values[:, columns] == unknown
        if not unseen.any():
            return self._keep_index(X, self._learned.inverse_transform(X))
        block = values[:, columns]
        block[unseen] = np.nan
        values[:, columns] = block
        if _kind(X) == "frame":
            values = type(X)(values, columns=X.columns)
        texts = self._learned.inverse_transform(values)
        if _kind(texts) == "frame":
            texts.index = X.index
            for position, column in enumerate(columns):
                rows = np.flatnonzero(unseen[:, position])
                if len(rows):
                    texts.iloc[rows, column] = None
            return texts
        for position, column in enumerate(columns):
            texts[unseen[:, position], column] = None
        return texts

    @staticmethod
    def _keep_index(X: Any, texts: Any) -> Any:
        if _kind(X) == "frame":
            texts.index = X.index
        return texts

    # -- pickling: the learned record travels as its state bytes --------------

    def __getstate__(self) -> dict[str, Any]:
        state = dict(self.__dict__)
        if state.pop("_parts", None) is not None:
            learned = self._learned
            state["_learned_state"] = (learned.state(), learned.numbers_read())
        state.pop("_part_columns", None)
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        state = dict(state)
        stored = state.pop("_learned_state", None)
        self.__dict__.update(state)
        if stored is not None:
            self._parts = [_native.from_state(*stored)]

    # -- inside -------------------------------------------------------------

    def _unknown_rule(self) -> float | None:
        """None when an unseen text is an error, else the number it becomes."""
        unknown = self.unknown
        if isinstance(unknown, str) and unknown == "error":
            return None
        if isinstance(unknown, numbers.Real) and not isinstance(unknown, bool):
            return float(unknown)
        raise ValueError(f"unknown must be 'error' or a number (such as float('nan') or -1), got {unknown!r}")

    def _check_fitted(self) -> None:
        if "_parts" not in self.__dict__:
            raise _not_fitted(type(self).__name__)

    def _read(self, X: Any, reset: bool, check_labels: bool = True) -> Any:
        kind = _kind(X)
        if kind == "array":
            X = _plain_array(np.asarray(X))
        if reset:
            for name in ("n_features_in_", "feature_names_in_", "_frame_labels", "_columns_index"):
                self.__dict__.pop(name, None)
            return X
        count = getattr(self, "n_features_in_", None)
        if count is not None and X.shape[1] != count:
            raise ValueError(
                f"X has {X.shape[1]} features, but {type(self).__name__} is expecting {count} features as input."
            )
        if check_labels:
            # The learned labels themselves, compared at once: a request of
            # one row should not pay for a list of them.
            learned_index = self.__dict__.get("_columns_index")
            if kind != "frame" or learned_index is None or not X.columns.equals(learned_index):
                self._check_labels(_labels(X) if kind == "frame" else None)
        return X

    def _check_labels(self, labels: list[Any] | None) -> None:
        learned = getattr(self, "_frame_labels", None)
        if labels is None:
            if learned is not None and getattr(self, "feature_names_in_", None) is not None:
                warnings.warn(
                    f"X does not have valid feature names, but {type(self).__name__} was fitted with feature names",
                    UserWarning,
                    stacklevel=3,
                )
            return
        if learned is None:
            if hasattr(self, "n_features_in_") and _string_labels(labels) is not None:
                warnings.warn(
                    f"X has feature names, but {type(self).__name__} was fitted without feature names",
                    UserWarning,
                    stacklevel=3,
                )
            return
        if labels == learned:
            return
        message = "The feature names should match those that were passed during fit.\n"
        unseen = [label for label in labels if label not in learned]
        missing = [label for label in learned if label not in labels]
        if unseen:
            message += "Feature names unseen at fit time:\n" + "".join(f"- {label}\n" for label in unseen)
        if missing:
            message += "Feature names seen at fit time, yet now missing:\n" + "".join(
                f"- {label}\n" for label in missing
            )
        if not unseen and not missing:
            column = next(i for i, (a, b) in enumerate(zip(labels, learned)) if a != b)
            message += (
                f"Feature names must be in the same order as they were in fit: column {column} is "
                f"{labels[column]!r}, learned {learned[column]!r}.\n"
            )
        raise ValueError(message)

    def _set_learned(self, learned: Any, X: Any) -> None:
        self._parts = [learned]
        self.string_columns_ = tuple(learned.string_columns())
        if X is None:
            return
        self.n_features_in_ = int(X.shape[1])
        if _kind(X) == "frame":
            labels = _labels(X)
            self._frame_labels, self._columns_index = labels, X.columns
            names = _string_labels(labels)
            if names is not None:
                self.feature_names_in_ = names

    def _adopt(self, learned: TextEncoder) -> TextEncoder:
        """Takes what `learned` learned (elsewhere: on dask's workers)."""
        for name in ("n_features_in_", "feature_names_in_", "_frame_labels"):
            self.__dict__.pop(name, None)
        self._set_learned(learned._learned, None)
        for name in ("n_features_in_", "feature_names_in_", "_frame_labels"):
            if hasattr(learned, name):
                setattr(self, name, getattr(learned, name))
        return self

    def _column_count(self, X: Any) -> int:
        return int(getattr(self, "n_features_in_", X.shape[1]))

    def _message_labels(self) -> list[str] | None:
        labels = getattr(self, "_frame_labels", None)
        return None if labels is None else [str(label) for label in labels]

    def _finish(self, X: Any, codes: Any) -> Any:
        """The codes as the output configuration asks; a frame keeps X's index."""
        is_frame = _kind(X) == "frame"
        if is_frame:
            codes.index = X.index
        config = getattr(self, "_sklearn_output_config", {}).get("transform", "default")
        if config == "default":
            return codes
        if not is_frame:
            import pandas as pd

            codes = pd.DataFrame(codes, columns=self.get_feature_names_out(), copy=False)
        if config == "polars":
            return importlib.import_module("polars").from_pandas(codes, nan_to_null=False)
        return codes


def merge(encoders: Sequence[TextEncoder]) -> TextEncoder:
    """The union of several TextEncoders fitted apart (in other processes,
    say), in the order given: what partial_fit over their tables learns."""
    encoders = list(encoders)
    if not encoders:
        raise ValueError("merge needs at least one TextEncoder")
    for encoder in encoders:
        if not isinstance(encoder, TextEncoder):
            raise TypeError(f"merge takes TextEncoders, not {type(encoder).__name__}")
        encoder._check_fitted()
    first = encoders[0]
    count = getattr(first, "n_features_in_", None)
    labels = getattr(first, "_frame_labels", None)
    for position, encoder in enumerate(encoders[1:], start=1):
        other = getattr(encoder, "n_features_in_", None)
        if count is not None and other is not None and other != count:
            raise ValueError(f"encoder {position} learned {other} columns, encoder 0 learned {count}")
        if count is None:
            count = other
        if labels is not None and getattr(encoder, "_frame_labels", labels) != labels:
            raise ValueError(f"encoder {position} learned the columns {encoder._frame_labels}, encoder 0 learned {labels}")
    if count is None:
        count = 1 + max((max(e.string_columns_, default=-1) for e in encoders), default=-1)
    merged = TextEncoder(unknown=first.unknown)
    merged.__dict__.update({k: v for k, v in first.__dict__.items() if k in ("_sklearn_output_config",)})
    learned = _native.merge([e._learned for e in encoders], count, first._message_labels())
    merged._set_learned(learned, None)
    for name in ("n_features_in_", "feature_names_in_", "_frame_labels", "_columns_index"):
        for encoder in encoders:
            if hasattr(encoder, name):
                setattr(merged, name, getattr(encoder, name))
                break
    return merged
