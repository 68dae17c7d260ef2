"""TextEncoder: what quorix.Encoder learns, applied again to new tables."""

from __future__ import annotations

import copy
import importlib
import inspect
import math
import sys
import threading
import warnings
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

import numpy as np

import quorix

from . import _arrow, _dask, _fitted, _native
from ._fitted import (_UNSEEN, _Fitted, _kind, _labels, _Options, _plain_array, _recoded, _same, _string_labels,
                      _table)

_T = TypeVar("_T")

class NotFittedError(ValueError, AttributeError):
    """Raised when a TextEncoder is used before it learned anything."""


def _not_fitted(name: str) -> Exception:
    message = f"This {name} instance is not fitted yet. Call 'fit' with appropriate arguments before using this estimator."
    # scikit-learn's own class when it is loaded, so that its checks recognise it.
    exceptions = sys.modules.get("sklearn.exceptions")
    kind = getattr(exceptions, "NotFittedError", NotFittedError)
    return kind(message)


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

    def __init__(self, unknown: float | str = "error", *, categories: Any = "auto",
                 encoded_missing_value: float = np.nan, dtype: Any = np.float64, min_frequency: int | float | None = None,
                 max_categories: int | None = None) -> None:
        self.unknown = unknown
        self.categories = categories
        self.encoded_missing_value = encoded_missing_value
        self.dtype = dtype
        self.min_frequency = min_frequency
        self.max_categories = max_categories

    # -- scikit-learn's estimator conventions ------------------------------

    @classmethod
    def _parameter_names(cls) -> list[str]:
        return [name for name in inspect.signature(cls.__init__).parameters if name != "self"]

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        return {name: getattr(self, name) for name in self._parameter_names()}

    def set_params(self, **params: Any) -> TextEncoder:
        names = self._parameter_names()
        for name, value in params.items():
            if name not in names:
                raise ValueError(f"Invalid parameter {name!r} for estimator {self}. Valid parameters are: "
                                 f"{sorted(names)!r}.")
            setattr(self, name, value)
        return self

    def __repr__(self) -> str:
        defaults = inspect.signature(type(self).__init__).parameters
        shown = [f"{name}={value!r}" for name, value in self.get_params().items()
                 if not _same(value, defaults[name].default)]
        return f"{type(self).__name__}({', '.join(shown)})"

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
        """Learns what ``quorix.Encoder().encode(X)`` learns (None cells
        being missing values)."""
        options = self._options()
        fitted = self._fit(X, options)
        options.check(fitted)
        self._fitted = fitted
        return self

    def fit_transform(self, X: Any, y: Any = None) -> Any:
        """One encode: the codes of X, and what it learned kept. A dask
        DataFrame is learned, then coded lazily."""
        options = self._options()
        if _dask.is_dask_collection(X):
            return self.fit(X).transform(X)
        if (arrow := _arrow.kind_of(X)) is not None:
            return _arrow.fit_transform(self, X, arrow, options)
        kind = _kind(X)
        X = _table(X, kind)
        learned, codes = _native.learn_and_encode(X, count=options.counting)
        fitted = _Fitted.of(learned, X, kind, options.grouping)
        options.check(fitted)
        frame = kind == "frame"
        if fitted.grouping != ("auto", None, None):
            # A text outside the given categories codes as unknown.
            codes = _recoded(codes, frame, fitted, _UNSEEN if options.unseen_apart() else options.unknown)
        self._fitted = fitted
        return self._finish(X, frame, options.shaped(codes, frame, fitted, options.unseen_apart()), fitted)

    def partial_fit(self, X: Any, y: Any = None) -> TextEncoder:
        """Learns the union of what it knows and X's texts, each column
        renumbered in byte order. On failure what was learned stays."""
        options = self._options()
        # The state is read and its successor swapped in under one lock, so
        # that two partial_fits at once each add their part. Readers take no
        # lock: they keep the state they started with.
        with self.__dict__.setdefault("_partial_fit_lock", threading.Lock()):
            fitted = self.__dict__.get("_fitted")
            if fitted is None:
                fitted = self._fit(X, options)
                options.check(fitted)
                self._fitted = fitted
                return self
            if _dask.is_dask_collection(X):
                self._read(_dask.require_dataframe(X, "partial_fit")._meta, fitted)
                part = self._fit(X, options)
            elif (arrow := _arrow.kind_of(X)) is not None:
                part = _arrow.learn_part(self, fitted, X, arrow, options)
            else:
                X, kind = self._read(X, fitted)
                part = _fitted.learn(X, kind, options)
            grown = fitted.with_part(part, options.grouping)
            # Refused now, from the column kinds alone; the texts are merged,
            # all parts at once, when the union is first read.
            count = part.bound() if fitted.columns is None else fitted.columns
            _native.check_merge(list(grown.parts), count, grown.message_labels())
            options.check(grown)
            self._fitted = grown
        return self

    def _fit(self, X: Any, options: _Options) -> _Fitted:
        if _dask.is_dask_collection(X):
            state: _Fitted = _dask.learn(self.get_params(), _dask.require_dataframe(X, "fit"))
            return state
        if (arrow := _arrow.kind_of(X)) is not None:
            return _arrow.fit(X, arrow, options)
        return _fitted.learn(X, _kind(X), options)

    @property
    def _learned(self) -> _native.Learned:
        return self._state().learned

    @classmethod
    def from_encoder(cls, encoder: quorix.Encoder, unknown: float | str = "error") -> TextEncoder:
        """A TextEncoder that starts from a quorix.Encoder's learned state."""
        if not isinstance(encoder, quorix.Encoder):
            raise TypeError(f"from_encoder takes a quorix.Encoder, not {type(encoder).__name__}")
        made = cls(unknown=unknown)
        made._fitted = _Fitted.of(_native.from_state(encoder.__getstate__(), b""), None, None)
        return made

    @property
    def encoder_(self) -> quorix.Encoder:
        """A quorix.Encoder holding the learned state."""
        state = self._state().learned.state()
        encoder = quorix.Encoder()
        encoder.__setstate__(state)
        return encoder

    @property
    def categories_(self) -> list[np.ndarray]:
        """One array per input column: a text column's texts (object dtype),
        the given list or those learned in byte order, infrequent ones
        included; an empty float64 array for a column learned as numeric,
        whose numbers pass through."""
        fitted = self._state()
        texts = set(fitted.string_columns)
        return [fitted.categories(c) if c in texts else np.empty(0, dtype=np.float64) for c in range(fitted.bound())]

    @property
    def infrequent_categories_(self) -> list[np.ndarray | None]:
        """Per input column the texts that share the last code (min_frequency,
        max_categories), or None."""
        fitted = self._state()
        if fitted.grouping[1] is None and fitted.grouping[2] is None:
            raise AttributeError("'TextEncoder' object has no attribute 'infrequent_categories_' (set "
                                 "min_frequency or max_categories)")
        texts = set(fitted.string_columns)
        found: list[np.ndarray | None] = []
        for c in range(fitted.bound()):
            positions = fitted.infrequent(c) if c in texts else None
            found.append(None if positions is None else fitted.categories(c)[positions])
        return found

    # -- applying -----------------------------------------------------------

    def transform(self, X: Any) -> Any:
        """X coded with the learned maps."""
        fitted = self._state()
        options = self._options()
        if _dask.is_dask_collection(X):
            frame = _dask.require_dataframe(X, "transform")
            self._read(frame._meta, fitted)
            return _dask.transform(self._frozen(fitted), frame)
        if (arrow := _arrow.kind_of(X)) is not None:
            return _arrow.transform(self, fitted, X, arrow, options)
        X, kind = self._read(X, fitted)
        frame = kind == "frame"
        # An unseen text is looked up as a code no text has when it must be
        # told apart from a missing value; shaped() gives it its number.
        apart = options.unseen_apart()
        unknown = _UNSEEN if apart else options.unknown
        learned, recode = fitted.lookup(unknown)
        codes = learned.transform(X, unknown, X.index if frame else None, recode)
        return self._finish(X, frame, options.shaped(codes, frame, fitted, apart), fitted)

    def inverse_transform(self, X: Any) -> Any:
        """The texts back: quorix.Encoder.decode with the learned state (a
        frame keeps the codes' index). A cell holding the numeric ``unknown``
        comes back as None, as does one holding ``encoded_missing_value``."""
        fitted = self._state()
        options = self._options()
        if _dask.is_dask_collection(X):
            frame = _dask.require_dataframe(X, "inverse_transform")
            self._read(frame._meta, fitted, check_labels=False)
            return _dask.inverse_transform(self._frozen(fitted), frame)
        if (arrow := _arrow.kind_of(X)) is not None:
            return _arrow.inverse_transform(self, fitted, X, arrow, options)
        # Codes carry the labels encode gave them: only their count is checked.
        X, kind = self._read(X, fitted, check_labels=False)
        frame = kind == "frame"
        learned = fitted.decoding
        unknown, missing = options.unknown, options.missing
        if (unknown is None or math.isnan(unknown)) and math.isnan(missing):
            return self._keep_index(X, frame, learned.inverse_transform(X))
        columns = list(fitted.string_columns)
        try:
            values = (X.to_numpy(dtype=np.float64, copy=True) if frame
                      else np.array(X, dtype=np.float64))
        except (TypeError, ValueError):
            # Texts among the codes: the decoder names the column and the text.
            learned.inverse_transform(X)
            raise
        block = values[:, columns]
        unseen = np.zeros(block.shape, dtype=bool) if unknown is None else block == unknown
        block[unseen | (block == missing)] = np.nan
        values[:, columns] = block
        if frame:
            values = type(X)(values, columns=X.columns)
        texts = learned.inverse_transform(values)
        if not unseen.any():
            return self._keep_index(X, frame, texts)
        if frame:
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
    def _keep_index(X: Any, frame: bool, texts: Any) -> Any:
        if frame:
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

    def _options(self) -> _Options:
        """The parameters, checked: a TypeError or ValueError naming the one
        that is wrong, before anything is read or learned."""
        return _Options.of(self.unknown, self.encoded_missing_value, self.dtype, self.categories, self.min_frequency,
                           self.max_categories)

    def _read(self, X: Any, fitted: _Fitted, check_labels: bool = True) -> tuple[Any, str]:
        """X as the engine reads it, and its kind, checked against what was learned."""
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
        return X, kind

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

    def _finish(self, X: Any, is_frame: bool, codes: Any, fitted: _Fitted) -> Any:
        """The codes as the output configuration asks; a frame keeps X's index."""
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
    for encoder in encoders:
        if not isinstance(encoder, TextEncoder):
            raise TypeError(f"merge takes TextEncoders, not {type(encoder).__name__}")
    if not encoders:
        raise ValueError("merge needs at least one TextEncoder")
    merged = TextEncoder(**encoders[0].get_params())
    merged.__dict__.update({k: v for k, v in encoders[0].__dict__.items() if k in ("_sklearn_output_config",)})
    options = merged._options()
    fitted = _fitted.merged([encoder._state() for encoder in encoders], options.grouping)
    options.check(fitted)
    merged._fitted = fitted
    return merged
