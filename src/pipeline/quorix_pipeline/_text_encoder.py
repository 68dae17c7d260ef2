"""TextEncoder: what quorix.Encoder learns, applied again to new tables."""

from __future__ import annotations

import copy
import dataclasses
import importlib
import math
import numbers
import sys
import threading
import warnings
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

import numpy as np

import quorix

from . import _arrow, _dask, _native

_T = TypeVar("_T")

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


@dataclasses.dataclass(frozen=True, eq=False)
class _Fitted:
    """Everything a fit learned, never changed once made (but for its parts
    giving way to their union, which no reader can tell).

    Every fit, refit, partial_fit and merge builds a new one and swaps it in
    with a single assignment; every call takes the one it finds as it starts
    and reads only that. So a call never sees half a refit (the labels of one
    fit beside the texts of another), a part added meanwhile is never lost,
    and a lazy dask graph codes with the state it was built with.
    """

    # What was learned, in the order learned; merged when first read.
    parts: tuple[_native.Learned, ...]
    string_columns: tuple[int, ...]
    # n_features_in_; None for a state from a quorix.Encoder.
    columns: int | None = None
    # A frame's labels, and the same as its Index (compared at once).
    labels: tuple[Any, ...] | None = None
    index: Any = None
    # feature_names_in_: the labels, when every one is a str.
    names: np.ndarray | None = None

    @classmethod
    def of(cls, learned: _native.Learned, X: Any) -> _Fitted:
        """The state of one fit of X (None: a state from outside)."""
        string_columns = tuple(learned.string_columns())
        if X is None:
            return cls((learned,), string_columns)
        if _kind(X) != "frame":
            return cls((learned,), string_columns, int(X.shape[1]))
        labels = _labels(X)
        return cls((learned,), string_columns, int(X.shape[1]), tuple(labels), X.columns, _string_labels(labels))

    def with_part(self, part: _native.Learned) -> _Fitted:
        return dataclasses.replace(
            self,
            parts=(*self.parts, part),
            string_columns=tuple(sorted({*self.string_columns, *part.string_columns()})),
        )

    @property
    def learned(self) -> _native.Learned:
        """The union of the parts. partial_fit only checks that its part
        merges, so that learning in many chunks merges once, here."""
        parts = self.parts
        if len(parts) == 1:
            return parts[0]
        union = _native.merge(list(parts), self.bound(), self.message_labels())
        # From now on the union stands for its parts, which are let go: the
        # one change a state ever sees, and none that a reader can tell (two
        # threads that both merge put the same union there).
        object.__setattr__(self, "parts", (union,))
        return union

    def bound(self) -> int:
        """A column count the string columns lie below."""
        if self.columns is not None:
            return self.columns
        return 1 + max(self.string_columns, default=-1)

    def message_labels(self) -> list[str] | None:
        return None if self.labels is None else [str(label) for label in self.labels]

    def __reduce__(self) -> tuple[Any, ...]:
        # The union travels as its state bytes.
        learned = self.learned
        return (_Fitted._restored, (learned.state(), learned.numbers_read(), self.columns, self.labels, self.index,
                                    self.names))

    @classmethod
    def _restored(cls, state: bytes, numbers_read: bytes, *rest: Any) -> _Fitted:
        learned = _native.from_state(state, numbers_read)
        return cls((learned,), tuple(learned.string_columns()), *rest)


class TextEncoder:
    """Label-encodes the text columns of tables with codes learned once.

    ``fit`` learns what ``quorix.Encoder().encode`` learns; ``transform`` codes
    any table of the same columns with those codes. A text a column never
    learned becomes ``unknown`` (a number, e.g. ``float("nan")`` or ``-1``),
    or with ``unknown="error"`` raises ValueError naming the column and the text.
    """

    _fitted: _Fitted
    _sklearn_output_config: dict[str, str]

    # scikit-learn's learned attributes: views of the fitted state.

    @property
    def string_columns_(self) -> tuple[int, ...]:
        """The positions of the columns learned as text."""
        return self._learned_attribute("string_columns_", lambda fitted: fitted.string_columns)

    @property
    def n_features_in_(self) -> int:
        """The column count learned (absent for a state from a quorix.Encoder)."""
        return self._learned_attribute("n_features_in_", lambda fitted: fitted.columns)

    @property
    def feature_names_in_(self) -> np.ndarray:
        """The frame labels learned, when every one is a str."""
        return self._learned_attribute("feature_names_in_", lambda fitted: fitted.names)

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

    def __sklearn_is_fitted__(self) -> bool:
        return "_fitted" in self.__dict__

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
        return _feature_names_out(self._state(), input_features)

    # -- learning -----------------------------------------------------------

    def fit(self, X: Any, y: Any = None) -> TextEncoder:
        """Learns what ``quorix.Encoder().encode(X)`` learns."""
        self._unknown_rule()
        self._fitted = self._fit(X)
        return self

    def fit_transform(self, X: Any, y: Any = None) -> Any:
        """One encode: the codes of X, and what it learned kept. A dask
        DataFrame is learned, then coded lazily."""
        self._unknown_rule()
        if _dask.is_dask_collection(X):
            return self.fit(X).transform(X)
        if (arrow := _arrow.kind_of(X)) is not None:
            return _arrow.fit_transform(self, X, arrow)
        X = _table(X)
        learned, codes = _native.learn_and_encode(X)
        self._fitted = fitted = _Fitted.of(learned, X)
        return self._finish(X, codes, fitted)

    def partial_fit(self, X: Any, y: Any = None) -> TextEncoder:
        """Learns the union of what it knows and X's texts, each column
        renumbered in byte order. On failure what was learned stays."""
        self._unknown_rule()
        # The state is read and its successor swapped in under one lock, so
        # that two partial_fits at once each add their part. Readers take no
        # lock: they keep the state they started with.
        with self.__dict__.setdefault("_partial_fit_lock", threading.Lock()):
            fitted = self.__dict__.get("_fitted")
            if fitted is None:
                self._fitted = self._fit(X)
                return self
            if _dask.is_dask_collection(X):
                frame = _dask.require_dataframe(X, "partial_fit")
                X = self._read(frame._meta, fitted)
                learned: TextEncoder = _dask.learn(self.get_params(), frame)
                part, width = learned._state().learned, X.shape[1]
            elif (arrow := _arrow.kind_of(X)) is not None:
                part, width = _arrow.learn_part(self, fitted, X, arrow)
            else:
                X = self._read(X, fitted)
                part, width = _native.learn(X), X.shape[1]
            grown = fitted.with_part(part)
            # Refused now, from the column kinds alone; the texts are merged,
            # all parts at once, when the union is first read.
            count = width if fitted.columns is None else fitted.columns
            _native.check_merge(list(grown.parts), count, grown.message_labels())
            self._fitted = grown
        return self

    def _fit(self, X: Any) -> _Fitted:
        if _dask.is_dask_collection(X):
            learned: TextEncoder = _dask.learn(self.get_params(), _dask.require_dataframe(X, "fit"))
            return learned._state()
        if (arrow := _arrow.kind_of(X)) is not None:
            return _arrow.fit(X, arrow)
        X = _table(X)
        return _Fitted.of(_native.learn(X), X)

    @property
    def _learned(self) -> _native.Learned:
        return self._state().learned

    @classmethod
    def from_encoder(cls, encoder: quorix.Encoder, unknown: float | str = "error") -> TextEncoder:
        """A TextEncoder that starts from a quorix.Encoder's learned state."""
        if not isinstance(encoder, quorix.Encoder):
            raise TypeError(f"from_encoder takes a quorix.Encoder, not {type(encoder).__name__}")
        made = cls(unknown=unknown)
        made._fitted = _Fitted.of(_native.from_state(encoder.__getstate__(), b""), None)
        return made

    @property
    def encoder_(self) -> quorix.Encoder:
        """A quorix.Encoder holding the learned state."""
        state = self._state().learned.state()
        encoder = quorix.Encoder()
        encoder.__setstate__(state)
        return encoder

    @property
    def categories_(self) -> dict[int, list[str]]:
        """Each string column's learned texts (by position), in the order of their codes."""
        fitted = self._state()
        learned = fitted.learned
        return {column: learned.categories(column) for column in fitted.string_columns}

    # -- applying -----------------------------------------------------------

    def transform(self, X: Any) -> Any:
        """X coded with the learned maps."""
        fitted = self._state()
        unknown = self._unknown_rule()
        if _dask.is_dask_collection(X):
            frame = _dask.require_dataframe(X, "transform")
            self._read(frame._meta, fitted)
            return _dask.transform(self._frozen(fitted), frame)
        if (arrow := _arrow.kind_of(X)) is not None:
            return _arrow.transform(self, fitted, X, arrow)
        X = self._read(X, fitted)
        return self._finish(X, fitted.learned.transform(X, unknown), fitted)

    def inverse_transform(self, X: Any) -> Any:
        """The texts back: quorix.Encoder.decode with the learned state (a
        frame keeps the codes' index). A cell holding the numeric ``unknown``
        comes back as None."""
        fitted = self._state()
        unknown = self._unknown_rule()
        if _dask.is_dask_collection(X):
            frame = _dask.require_dataframe(X, "inverse_transform")
            self._read(frame._meta, fitted, check_labels=False)
            return _dask.inverse_transform(self._frozen(fitted), frame)
        if (arrow := _arrow.kind_of(X)) is not None:
            return _arrow.inverse_transform(self, fitted, X, arrow)
        # Codes carry the labels encode gave them: only their count is checked.
        X = self._read(X, fitted, check_labels=False)
        learned = fitted.learned
        if unknown is None or math.isnan(unknown):
            return self._keep_index(X, learned.inverse_transform(X))
        columns = list(fitted.string_columns)
        try:
            values = (X.to_numpy(dtype=np.float64, copy=True) if _kind(X) == "frame"
                      else np.array(X, dtype=np.float64))
        except (TypeError, ValueError):
            # Texts among the codes: the decoder names the column and the text.
            learned.inverse_transform(X)
            raise
        unseen = values[:, columns] == unknown
        if not unseen.any():
            return self._keep_index(X, learned.inverse_transform(X))
        block = values[:, columns]
        block[unseen] = np.nan
        values[:, columns] = block
        if _kind(X) == "frame":
            values = type(X)(values, columns=X.columns)
        texts = learned.inverse_transform(values)
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

    # -- pickling: the fitted state travels as its union's state bytes ---------

    def __getstate__(self) -> dict[str, Any]:
        state = dict(self.__dict__)
        state.pop("_partial_fit_lock", None)
        return state

    # -- inside -------------------------------------------------------------

    def _state(self) -> _Fitted:
        """The fitted state, read once per call."""
        fitted: _Fitted | None = self.__dict__.get("_fitted")
        if fitted is None:
            raise _not_fitted(type(self).__name__)
        return fitted

    def _learned_attribute(self, name: str, read: Callable[[_Fitted], _T | None]) -> _T:
        """What `read` finds in the fitted state; absent (AttributeError)
        before a fit, or when the fit did not learn it."""
        fitted: _Fitted | None = self.__dict__.get("_fitted")
        value = None if fitted is None else read(fitted)
        if value is None:
            raise AttributeError(f"'{type(self).__name__}' object has no attribute '{name}'")
        return value

    def _frozen(self, fitted: _Fitted) -> TextEncoder:
        """A copy holding `fitted` and today's parameters: what a lazy dask
        graph codes with, whichever scheduler runs it, whatever is fitted
        meanwhile."""
        frozen = copy.copy(self)
        frozen._fitted = fitted
        return frozen

    def _unknown_rule(self) -> float | None:
        """None when an unseen text is an error, else the number it becomes."""
        unknown = self.unknown
        if isinstance(unknown, str) and unknown == "error":
            return None
        if isinstance(unknown, numbers.Real) and not isinstance(unknown, bool):
            try:
                return float(unknown)
            except OverflowError:
                pass
        raise ValueError(f"unknown must be 'error' or a number (such as float('nan') or -1), got {unknown!r}")

    def _read(self, X: Any, fitted: _Fitted, check_labels: bool = True) -> Any:
        kind = _kind(X)
        if kind == "array":
            X = _plain_array(np.asarray(X))
        count = fitted.columns
        if count is not None and X.shape[1] != count:
            raise ValueError(
                f"X has {X.shape[1]} features, but {type(self).__name__} is expecting {count} features as input."
            )
        if check_labels:
            # The learned labels themselves, compared at once: a request of
            # one row should not pay for a list of them.
            if kind != "frame" or fitted.index is None or not X.columns.equals(fitted.index):
                self._check_labels(_labels(X) if kind == "frame" else None, fitted)
        return X

    def _check_labels(self, labels: list[Any] | None, fitted: _Fitted) -> None:
        learned = None if fitted.labels is None else list(fitted.labels)
        if labels is None:
            if learned is not None and fitted.names is not None:
                warnings.warn(
                    f"X does not have valid feature names, but {type(self).__name__} was fitted with feature names",
                    UserWarning,
                    stacklevel=3,
                )
            return
        if learned is None:
            if fitted.columns is not None and _string_labels(labels) is not None:
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

    def _finish(self, X: Any, codes: Any, fitted: _Fitted) -> Any:
        """The codes as the output configuration asks; a frame keeps X's index."""
        is_frame = _kind(X) == "frame"
        if is_frame:
            codes.index = X.index
        config = getattr(self, "_sklearn_output_config", {}).get("transform", "default")
        if config == "default":
            return codes
        if not is_frame:
            import pandas as pd

            codes = pd.DataFrame(codes, columns=_feature_names_out(fitted, None), copy=False)
        if config == "polars":
            return importlib.import_module("polars").from_pandas(codes, nan_to_null=False)
        return codes


def _table(X: Any) -> Any:
    """X as the engine reads it, for a fit: nothing learned to check it against."""
    return _plain_array(np.asarray(X)) if _kind(X) == "array" else X


def _feature_names_out(fitted: _Fitted, input_features: Sequence[str] | None) -> np.ndarray:
    learned, count = fitted.names, fitted.columns
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


def merge(encoders: Sequence[TextEncoder]) -> TextEncoder:
    """The union of several TextEncoders fitted apart (in other processes,
    say), in the order given: what partial_fit over their tables learns."""
    encoders = list(encoders)
    if not encoders:
        raise ValueError("merge needs at least one TextEncoder")
    for encoder in encoders:
        if not isinstance(encoder, TextEncoder):
            raise TypeError(f"merge takes TextEncoders, not {type(encoder).__name__}")
    states = [encoder._state() for encoder in encoders]
    # Every encoder that learned a column count, and every one that learned
    # labels, must agree with the first that did.
    counted = [(position, fitted) for position, fitted in enumerate(states) if fitted.columns is not None]
    labelled = [(position, fitted) for position, fitted in enumerate(states) if fitted.labels is not None]
    for position, fitted in counted[1:]:
        first, against = counted[0]
        if fitted.columns != against.columns:
            raise ValueError(f"encoder {position} learned {fitted.columns} columns, encoder {first} learned "
                             f"{against.columns}")
    for position, fitted in labelled[1:]:
        first, against = labelled[0]
        if fitted.labels != against.labels:
            raise ValueError(f"encoder {position} learned the columns {list(fitted.labels or ())}, encoder {first} "
                             f"learned {list(against.labels or ())}")
    named = labelled[0][1] if labelled else states[0]
    count = counted[0][1].columns if counted else None
    # The bound only checks the parts' columns; the merge is sized by what
    # they hold, however large an index a state names.
    bound = count if count is not None else 1 + max((c for f in states for c in f.string_columns), default=-1)
    learned = _native.merge([fitted.learned for fitted in states], bound, named.message_labels())
    merged = TextEncoder(unknown=encoders[0].unknown)
    merged.__dict__.update({k: v for k, v in encoders[0].__dict__.items() if k in ("_sklearn_output_config",)})
    merged._fitted = _Fitted((learned,), tuple(learned.string_columns()), count, named.labels, named.index,
                             named.names)
    return merged
