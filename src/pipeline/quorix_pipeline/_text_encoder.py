"""TextEncoder: what quorix.Encoder learns, applied again to new tables."""

from __future__ import annotations

import copy
import dataclasses
import importlib
import inspect
import math
import numbers
import struct
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
    # A frame's labels, and the same as its Index (compared at once; not
    # pickled, so that a pickle holds no pandas object).
    labels: tuple[Any, ...] | None = None
    index: Any = None
    # feature_names_in_: the labels, when every one is a str.
    names: np.ndarray | None = None
    # What shapes the codes, as set at fit: categories, min_frequency,
    # max_categories. The defaults leave the learned byte order.
    grouping: tuple[Any, Any, Any] = ("auto", None, None)
    # Per part, when min_frequency or max_categories asked for them: per text
    # column its texts ascending and how many cells held each. None when
    # not counted. Missing values are never counted.
    part_counts: tuple[dict[int, tuple[np.ndarray, np.ndarray]], ...] | None = None
    # The rows learned from, all parts together.
    rows: int = 0

    @classmethod
    def of(cls, learned: _native.Learned, X: Any, grouping: tuple[Any, Any, Any] = ("auto", None, None),
           counts: dict[int, tuple[np.ndarray, np.ndarray]] | None = None) -> _Fitted:
        """The state of one fit of X (None: a state from outside)."""
        string_columns = tuple(learned.string_columns())
        part_counts = None if counts is None else (counts,)
        rows = 0 if X is None else int(X.shape[0])
        if X is None:
            return cls((learned,), string_columns, grouping=grouping)
        if _kind(X) != "frame":
            return cls((learned,), string_columns, int(X.shape[1]), grouping=grouping, part_counts=part_counts,
                       rows=rows)
        labels = _labels(X)
        return cls((learned,), string_columns, int(X.shape[1]), tuple(labels), X.columns, _string_labels(labels),
                   grouping, part_counts, rows)

    def with_part(self, part: _Fitted, grouping: tuple[Any, Any, Any]) -> _Fitted:
        counts = None if self.part_counts is None or part.part_counts is None else (
            *self.part_counts, *part.part_counts)
        return dataclasses.replace(
            self,
            parts=(*self.parts, *part.parts),
            string_columns=tuple(sorted({*self.string_columns, *part.string_columns})),
            grouping=grouping,
            part_counts=counts,
            rows=self.rows + part.rows,
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

    def column_name(self, column: int) -> str:
        return repr(self.labels[column]) if self.labels is not None else str(column)

    def learned_texts(self, column: int) -> np.ndarray:
        """A text column's learned texts in byte order, made once and read-only."""
        made: dict[int, np.ndarray] = self.__dict__.setdefault("_texts", {})
        texts = made.get(column)
        if texts is None:
            texts = _read_only(np.asarray(self.learned.categories(column), dtype=object))
            made[column] = texts
        return texts

    def categories(self, column: int) -> np.ndarray:
        """categories_ of a text column: the given list, else the texts learned."""
        given = self.grouping[0]
        if isinstance(given, (list, tuple)) and given[column] is not None and not _is_auto(given[column]):
            return self.__dict__.setdefault("_given", {}).setdefault(
                column, _read_only(np.asarray(list(given[column]), dtype=object)))
        return self.learned_texts(column)

    def counts(self, column: int) -> np.ndarray:
        """How many cells held each learned text of a column, in byte order:
        the parts' counts added up by text."""
        made: dict[int, np.ndarray] = self.__dict__.setdefault("_counts", {})
        total = made.get(column)
        if total is not None:
            return total
        if self.part_counts is None:
            raise ValueError("min_frequency and max_categories need the count of each text, which this encoder did "
                             "not learn (it was fitted without them, or made from a quorix.Encoder): fit it again")
        texts = self.learned_texts(column)
        total = np.zeros(len(texts), dtype=np.int64)
        for part in self.part_counts:
            if column in part:
                part_texts, part_counts = part[column]
                total[np.searchsorted(texts, part_texts)] += part_counts
        made[column] = total
        return total

    def infrequent(self, column: int) -> np.ndarray | None:
        """The positions in categories(column) of the texts grouped as
        infrequent, as scikit-learn picks them; None when none are."""
        made: dict[int, np.ndarray | None] = self.__dict__.setdefault("_infrequent", {})
        if column in made:
            return made[column]
        _, min_frequency, max_categories = self.grouping
        found = None
        if min_frequency is not None or max_categories is not None:
            categories = self.categories(column)
            learned = self.counts(column)
            if categories is self.learned_texts(column):
                count = learned
            else:
                # A given list: the count of each of its texts, 0 for one never seen.
                texts = self.learned_texts(column)
                at = np.searchsorted(texts, categories) if len(texts) else np.zeros(len(categories), dtype=np.intp)
                at = np.minimum(at, max(len(texts) - 1, 0))
                seen = (texts[at] == categories) if len(texts) else np.zeros(len(categories), dtype=bool)
                count = np.where(seen, learned[at] if len(texts) else 0, 0)
            found = _infrequent_positions(count, self.rows, min_frequency, max_categories)
        made[column] = found
        return found

    def cardinality(self, column: int) -> int:
        """How many codes a text column uses: the infrequent texts share one."""
        infrequent = self.infrequent(column)
        size = len(self.categories(column))
        return size if infrequent is None else size - len(infrequent) + 1

    def recoding(self, column: int) -> np.ndarray:
        """Per learned text of a column (byte order), its code under the
        options; _UNSEEN for one a given list lacks."""
        categories = self.categories(column)
        infrequent = self.infrequent(column)
        final = np.arange(len(categories), dtype=np.float64)
        if infrequent is not None:
            grouped = np.zeros(len(categories), dtype=bool)
            grouped[infrequent] = True
            final = np.where(grouped, float((~grouped).sum()), np.cumsum(~grouped) - 1.0)
        learned = self.learned_texts(column)
        if categories is learned:
            return final
        index = {text: position for position, text in enumerate(categories)}
        at = np.fromiter((index.get(text, -1) for text in learned), dtype=np.intp, count=len(learned))
        out = np.full(len(learned), _UNSEEN)
        out[at >= 0] = final[at[at >= 0]]
        return out

    @property
    def coding(self) -> _native.Learned:
        """What transform and inverse_transform look codes up in: the union
        itself when the codes are its byte order, else a state of the codes
        the options give (made once)."""
        if self.grouping == ("auto", None, None):
            return self.learned
        coding = self.__dict__.get("_coding")
        if coding is None:
            coding = self._coding_state()
            self.__dict__["_coding"] = coding
        return coding

    def _coding_state(self) -> _native.Learned:
        text_to_code: dict[int, tuple[list[str], list[int]]] = {}
        code_to_text: dict[int, tuple[list[int], list[str]]] = {}
        for c in self.string_columns:
            texts = list(self.categories(c))
            infrequent = self.infrequent(c)
            if infrequent is None:
                codes = list(range(len(texts)))
                text_to_code[c] = (texts, codes)
                code_to_text[c] = (codes, texts)
                continue
            grouped = np.zeros(len(texts), dtype=bool)
            grouped[infrequent] = True
            frequent = int((~grouped).sum())
            numbered = np.cumsum(~grouped) - 1
            codes = np.where(grouped, frequent, numbered).tolist()
            text_to_code[c] = (texts, codes)
            kept = [t for t, g in zip(texts, grouped) if not g]
            code_to_text[c] = ([*range(frequent), frequent], [*kept, INFREQUENT])
        return _native.from_state(_state_bytes(self.string_columns, text_to_code, code_to_text),
                                  self.learned.numbers_read())

    def runs(self) -> _native._Runs | None:
        """The union as runs (each text once, in byte order) with each text's
        count when counted; None for maps that only state bytes keep (a
        state given from outside, numbered otherwise)."""
        runs = self.learned.runs()
        if runs is None or self.part_counts is None:
            return runs
        numbers_read, has_state, columns = runs
        return numbers_read, has_state, tuple(
            (c, texts, ends, self.counts(c).astype("<i8").tobytes()) for c, texts, ends, _ in columns)

    @classmethod
    def of_runs(cls, runs: _native._Runs, columns: int | None, labels: tuple[Any, ...] | None,
                names: tuple[str, ...] | None, grouping: tuple[Any, Any, Any], rows: int, index: Any = None) -> _Fitted:
        """The state of runs: the maps built once, the counts kept as they came."""
        learned = _native.learn_runs([runs], 1 + max((c[0] for c in runs[2]), default=-1), None)
        fitted = cls((learned,), tuple(learned.string_columns()), columns, labels, index,
                     None if names is None else np.asarray(names, dtype=object), tuple(grouping), None, rows)
        counted = [(c, counts) for c, _, _, counts in runs[2]]
        if counted and all(counts is not None for _, counts in counted):
            part = {c: (fitted.learned_texts(c), np.frombuffer(counts, dtype="<i8").astype(np.int64))  # type: ignore[arg-type]
                    for c, counts in counted}
            object.__setattr__(fitted, "part_counts", (part,))
        return fitted

    def __reduce__(self) -> tuple[Any, ...]:
        # The union travels as its runs (each text once), else as its state
        # bytes; the labels as built-in objects, the counts as int64 bytes or
        # NumPy arrays: no pandas object, so that a pickle loads under every
        # supported pandas and NumPy.
        names = None if self.names is None else tuple(self.names.tolist())
        runs = self.runs()
        if runs is not None:
            return (_Fitted.of_runs, (runs, self.columns, self.labels, names, self.grouping, self.rows))
        learned = self.learned
        counts = None
        if self.part_counts is not None:
            counts = {c: self.counts(c) for c in self.string_columns}
        return (_Fitted._restored, (learned.state(), learned.numbers_read(), self.columns, self.labels, names,
                                    self.grouping, counts, self.rows))

    @classmethod
    def _restored(cls, state: bytes, numbers_read: bytes, columns: int | None, labels: tuple[Any, ...] | None,
                  names: tuple[str, ...] | None, grouping: tuple[Any, Any, Any] = ("auto", None, None),
                  counts: dict[int, np.ndarray] | None = None, rows: int = 0) -> _Fitted:
        learned = _native.from_state(state, numbers_read)
        fitted = cls((learned,), tuple(learned.string_columns()), columns, labels, None,
                     None if names is None else np.asarray(names, dtype=object), tuple(grouping), None, rows)
        if counts is not None:
            part = {c: (fitted.learned_texts(c), np.asarray(n, dtype=np.int64)) for c, n in counts.items()}
            object.__setattr__(fitted, "part_counts", (part,))
        return fitted


# What inverse_transform gives for the code infrequent texts share, as scikit-learn names it.
INFREQUENT = "infrequent_sklearn"


def _read_only(array: np.ndarray) -> np.ndarray:
    array.flags.writeable = False
    return array


def _is_auto(entry: Any) -> bool:
    return isinstance(entry, str) and entry == "auto"


def _infrequent_positions(count: np.ndarray, rows: int, min_frequency: Any, max_categories: Any) -> np.ndarray | None:
    """The infrequent categories of a column, by their counts, as scikit-learn
    picks them: rarer than min_frequency (a count, or a fraction of the rows),
    then the rarest beyond max_categories - 1 (ties broken by a stable sort of
    the counts, so the later category goes first)."""
    if min_frequency is None:
        infrequent = np.zeros(len(count), dtype=bool)
    elif isinstance(min_frequency, numbers.Integral):
        infrequent = count < min_frequency
    else:
        infrequent = count < rows * min_frequency
    kept = len(count) - int(infrequent.sum()) + 1
    if max_categories is not None and max_categories < kept:
        frequent = max_categories - 1
        if frequent == 0:
            infrequent[:] = True
        else:
            infrequent[np.argsort(count, kind="mergesort")[:-frequent]] = True
    found = np.flatnonzero(infrequent)
    return found if found.size else None


def _state_bytes(string_columns: Sequence[int], text_to_code: dict[int, tuple[list[str], list[int]]],
                 code_to_text: dict[int, tuple[list[int], list[str]]]) -> bytes:
    """quorix's state bytes of these maps (little-endian, headerless)."""
    u64 = struct.Struct("<Q").pack

    def text(t: str) -> bytes:
        raw = t.encode("utf-8", "surrogatepass")
        return u64(len(raw)) + raw

    out = [b"\x01", u64(len(string_columns)), *(u64(c) for c in string_columns), u64(len(text_to_code))]
    for c, (texts, codes) in text_to_code.items():
        out += [u64(c), u64(len(texts))]
        out += [text(t) + b"\x01" + u64(k) for t, k in zip(texts, codes)]
    out.append(u64(len(code_to_text)))
    for c, (codes, texts) in code_to_text.items():
        out += [u64(c), u64(len(codes))]
        out += [u64(k) + text(t) for k, t in zip(codes, texts)]
    out.append(b"\x00\x00\x00\x00")
    return b"".join(out)


# The code an unseen text is looked up as when it must be told apart from a
# missing value: no learned text has a negative or fractional code.
_UNSEEN = -0.5


def _same(a: Any, b: Any) -> bool:
    """A parameter still at its default (NaN is NaN)."""
    if a is b:
        return True
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    try:
        return type(a) is type(b) and bool(a == b)
    except (TypeError, ValueError):
        return False


def _number(value: Any) -> float | None:
    """A real number (not a bool) as a float, else None."""
    if isinstance(value, numbers.Real) and not isinstance(value, bool):
        try:
            return float(value)
        except OverflowError:
            return None
    return None


def _holds(dtype: np.dtype, value: float) -> bool:
    """Whether `dtype` holds `value` exactly."""
    if math.isnan(value):
        return dtype.kind == "f"
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        return value.is_integer() and info.min <= value <= info.max
    with np.errstate(over="ignore"):
        return float(dtype.type(value)) == value


_MISSING_TEXTS = ("nan", "NaN", "<NA>")


def _checked_categories(categories: Any) -> Any:
    """'auto', or a tuple with one entry per column: 'auto' (or None), or a
    tuple of distinct texts holding no missing value."""
    if _is_auto(categories):
        return "auto"
    if isinstance(categories, (str, bytes)) or not isinstance(categories, (list, tuple, np.ndarray)):
        raise TypeError(f"categories must be 'auto' or a list with one entry per column, got {categories!r}")
    checked: list[Any] = []
    for c, entry in enumerate(categories):
        if entry is None or _is_auto(entry):
            checked.append("auto")
            continue
        if isinstance(entry, (str, bytes)) or not isinstance(entry, (list, tuple, np.ndarray)):
            raise TypeError(f"categories[{c}] must be 'auto' or a list of texts, got {entry!r}")
        texts = list(entry.tolist() if isinstance(entry, np.ndarray) else entry)
        for text in texts:
            if text is None or (isinstance(text, float) and math.isnan(text)) or text in _MISSING_TEXTS:
                raise ValueError(f"categories[{c}] holds the missing value {text!r}: missing values are never "
                                 "a category")
            if not isinstance(text, str):
                raise TypeError(f"categories[{c}] holds {text!r}, which is not a str")
        if len(set(texts)) != len(texts):
            seen: set[str] = set()
            twice = next(t for t in texts if t in seen or seen.add(t))  # type: ignore[func-returns-value]
            raise ValueError(f"In column {c}, the predefined categories contain duplicate elements: {twice!r} "
                             "(categories)")
        checked.append(tuple(texts))
    return tuple(checked)


def _checked_min_frequency(min_frequency: Any) -> Any:
    if min_frequency is None:
        return None
    if isinstance(min_frequency, numbers.Integral) and not isinstance(min_frequency, bool):
        if int(min_frequency) >= 1:
            return int(min_frequency)
    elif isinstance(min_frequency, numbers.Real) and not isinstance(min_frequency, bool):
        if 0.0 < float(min_frequency) < 1.0:
            return float(min_frequency)
    else:
        raise TypeError(f"min_frequency must be None, an int or a float, got {min_frequency!r}")
    raise ValueError(f"min_frequency must be an int >= 1 (a count) or a float in (0.0, 1.0) (a fraction of the "
                     f"rows), got {min_frequency!r}")


def _checked_max_categories(max_categories: Any) -> Any:
    if max_categories is None:
        return None
    if not isinstance(max_categories, numbers.Integral) or isinstance(max_categories, bool):
        raise TypeError(f"max_categories must be None or an int, got {max_categories!r}")
    if max_categories < 1:
        raise ValueError(f"max_categories must be an int >= 1, got {max_categories!r}")
    return int(max_categories)


@dataclasses.dataclass(frozen=True)
class _Options:
    """The parameters that shape the codes, checked."""

    unknown: float | None  # None: an unseen text is an error
    missing: float  # encoded_missing_value
    dtype: np.dtype
    given: dict[str, Any]  # as passed, for messages
    # categories, min_frequency, max_categories: what a fit keeps in its state.
    grouping: tuple[Any, Any, Any] = ("auto", None, None)

    @property
    def counting(self) -> bool:
        """Whether a fit counts each text's cells."""
        return self.grouping[1] is not None or self.grouping[2] is not None

    @classmethod
    def of(cls, unknown: Any, missing: Any, dtype: Any, categories: Any = "auto", min_frequency: Any = None,
           max_categories: Any = None) -> _Options:
        rule = None if isinstance(unknown, str) and unknown == "error" else _number(unknown)
        if rule is None and not (isinstance(unknown, str) and unknown == "error"):
            raise ValueError(f"unknown must be 'error' or a number (such as float('nan') or -1), got {unknown!r}")
        missing_value = _number(missing)
        if missing_value is None:
            raise TypeError(f"encoded_missing_value must be a number (NaN by default, or e.g. -1), got {missing!r}")
        try:
            kind = np.dtype(dtype)
        except TypeError:
            kind = None
        if kind is None or kind.kind not in "fiu":
            raise TypeError(f"dtype must be a NumPy float or integer dtype (such as numpy.float32), got {dtype!r}")
        if kind.kind in "iu" and rule is not None and math.isnan(rule):
            raise ValueError(f"When unknown is NaN, the dtype parameter should be a float dtype. Got {kind}.")
        if kind.kind in "iu" and math.isnan(missing_value):
            raise ValueError(f"encoded_missing_value is NaN, which dtype {kind} cannot hold: set "
                             "encoded_missing_value to an integer (such as -1), or dtype to a float dtype")
        for name, value, given in (("unknown", rule, unknown), ("encoded_missing_value", missing_value, missing)):
            if value is not None and not _holds(kind, value):
                raise ValueError(f"{name}={given!r} cannot be held by dtype {kind}")
        grouping = (_checked_categories(categories), _checked_min_frequency(min_frequency),
                    _checked_max_categories(max_categories))
        return cls(rule, missing_value, kind, {"unknown": unknown, "encoded_missing_value": missing}, grouping)

    def only_plain(self, method: str) -> None:
        """polars and Arrow tables are coded in byte order, NaN for a missing
        value, as float64: the other options are refused there."""
        if (self.grouping != ("auto", None, None) or not math.isnan(self.missing)
                or self.dtype != np.float64):
            raise ValueError(f"TextEncoder.{method} of a polars or Arrow table takes no categories, "
                             "encoded_missing_value, dtype, min_frequency or max_categories yet; convert the "
                             "table with .to_pandas() first")

    def unseen_apart(self) -> bool:
        """Whether unseen texts and missing values get different numbers
        that the lookup alone would give alike."""
        return self.unknown is not None and math.isnan(self.unknown) and not math.isnan(self.missing)

    def check(self, fitted: _Fitted) -> None:
        """What only the learned codes tell: an ``unknown`` or
        ``encoded_missing_value`` equal to a code in use, a dtype too narrow
        for the codes. Read only when such an option is set."""
        def may_clash(value: float | None) -> bool:
            return value is not None and not math.isnan(value) and value >= 0

        unknown, missing, dtype = self.unknown, self.missing, self.dtype
        self._check_given(fitted)
        if dtype.kind in "iu" and fitted.labels is None and fitted.columns is not None:
            numeric = sorted(set(range(fitted.columns)) - set(fitted.string_columns))
            if numeric:
                raise ValueError(f"dtype {dtype} cannot hold column {numeric[0]}, learned as numeric, whose numbers "
                                 "pass through: use a float dtype, or pass a DataFrame (its numeric columns stay "
                                 "float64)")
        if not (may_clash(unknown) or may_clash(missing) or dtype != np.float64):
            return
        sizes = {c: fitted.cardinality(c) for c in fitted.string_columns}
        if may_clash(unknown) and any(0 <= unknown < size for size in sizes.values()):  # type: ignore[operator]
            raise ValueError(f"The used value for unknown {self.given['unknown']} is one of the values already "
                             "used for encoding the seen categories.")
        if may_clash(missing):
            clashing = [c for c, size in sizes.items() if 0 <= missing < size]
            if clashing:
                named = clashing if fitted.labels is None else [fitted.labels[c] for c in clashing]
                raise ValueError(f"encoded_missing_value ({self.given['encoded_missing_value']}) is already used "
                                 f"to encode a known category in features: {named}")
        for c, size in sizes.items():
            if size and not _holds(dtype, float(size - 1)):
                name = repr(fitted.labels[c]) if fitted.labels is not None else str(c)
                raise ValueError(f"dtype {dtype} cannot hold the codes of column {name}, up to {size - 1}")

    def _check_given(self, fitted: _Fitted) -> None:
        """A given categories list against what was learned: one entry per
        column, none for a numeric column, and with unknown="error" every
        learned text in its column's list."""
        given = fitted.grouping[0]
        if _is_auto(given):
            return
        if fitted.columns is not None and len(given) != fitted.columns:
            raise ValueError(f"categories has {len(given)} entries, but the table has {fitted.columns} columns: "
                             "give one per column ('auto' for a column to keep the learned byte order)")
        texts = set(fitted.string_columns)
        for c, entry in enumerate(given):
            if entry is None or _is_auto(entry):
                continue
            if c not in texts:
                raise ValueError(f"categories lists texts for column {fitted.column_name(c)}, which was learned as "
                                 "numeric; give 'auto' for it")
            if self.unknown is None:
                listed = set(fitted.categories(c))
                unlisted = [t for t in fitted.learned_texts(c) if t not in listed]
                if unlisted:
                    raise ValueError(f"Found unknown categories {unlisted} in column {c} during fit")
        fitted.coding  # noqa: B018 - built now, so that a failure leaves what was learned

    def shaped(self, codes: Any, fitted: _Fitted, apart: bool) -> Any:
        """The codes of the text columns with their missing values as
        ``encoded_missing_value``, unseen texts told apart, in ``dtype``."""
        plain = math.isnan(self.missing) and not apart
        if plain and self.dtype == np.float64:
            return codes
        columns = [c for c in fitted.string_columns if c < codes.shape[1]]
        if _kind(codes) == "frame":
            # A frame's numeric columns keep their float64.
            for c in columns:
                values = codes.iloc[:, c].to_numpy(dtype=np.float64, copy=True)
                self._fill(values, apart)
                codes.isetitem(c, values.astype(self.dtype, copy=False))
            return codes
        if self.dtype.kind in "iu" and len(columns) < codes.shape[1]:
            raise ValueError(f"dtype {self.dtype} cannot hold the numbers of the columns learned as numeric: use a "
                             "float dtype, or pass a DataFrame")
        if not plain:
            block = codes[:, columns]
            self._fill(block, apart)
            codes[:, columns] = block
        return codes if self.dtype == np.float64 else codes.astype(self.dtype)

    def _fill(self, values: np.ndarray, apart: bool) -> None:
        if not math.isnan(self.missing):
            values[np.isnan(values)] = self.missing
        if apart:
            values[values == _UNSEEN] = np.nan


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
            options.only_plain("fit_transform")
            return _arrow.fit_transform(self, X, arrow)
        X = _table(X)
        learned, codes = _native.learn_and_encode(X)
        fitted = _Fitted.of(learned, X, options.grouping, _counted(learned, codes) if options.counting else None)
        options.check(fitted)
        if fitted.grouping != ("auto", None, None):
            # A text outside the given categories codes as unknown.
            codes = _recoded(codes, fitted, _UNSEEN if options.unseen_apart() else options.unknown)
        self._fitted = fitted
        return self._finish(X, options.shaped(codes, fitted, options.unseen_apart()), fitted)

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
                options.only_plain("partial_fit")
                arrow_part, width = _arrow.learn_part(self, fitted, X, arrow)
                part = _Fitted((arrow_part,), tuple(arrow_part.string_columns()), width)
            else:
                X = self._read(X, fitted)
                part = self._fit(X, options)
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
            partitions: TextEncoder = _dask.learn(self.get_params(), _dask.require_dataframe(X, "fit"))
            return partitions._state()
        if (arrow := _arrow.kind_of(X)) is not None:
            options.only_plain("fit")
            return _arrow.fit(X, arrow)
        X = _table(X)
        if not options.counting:
            return _Fitted.of(_native.learn(X), X, options.grouping)
        # The counts come with the codes of the one pass that learns the texts.
        learned, codes = _native.learn_and_encode(X)
        return _Fitted.of(learned, X, options.grouping, _counted(learned, codes))

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
            options.only_plain("transform")
            return _arrow.transform(self, fitted, X, arrow)
        X = self._read(X, fitted)
        # An unseen text is looked up as a code no text has when it must be
        # told apart from a missing value; shaped() gives it its number.
        apart = options.unseen_apart()
        unknown = _UNSEEN if apart else options.unknown
        rows = X.index if _kind(X) == "frame" else None
        codes = fitted.coding.transform(X, unknown, rows)
        return self._finish(X, options.shaped(codes, fitted, apart), fitted)

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
            options.only_plain("inverse_transform")
            return _arrow.inverse_transform(self, fitted, X, arrow)
        # Codes carry the labels encode gave them: only their count is checked.
        X = self._read(X, fitted, check_labels=False)
        learned = fitted.coding
        unknown, missing = options.unknown, options.missing
        if (unknown is None or math.isnan(unknown)) and math.isnan(missing):
            return self._keep_index(X, learned.inverse_transform(X))
        columns = list(fitted.string_columns)
        try:
            values = (X.to_numpy(dtype=np.float64, copy=True) if _kind(X) == "frame"
                      else np.array(X, dtype=np.float64))
        except (TypeError, ValueError):
            # Texts among the codes: the decoder names the column and the text.
            learned.inverse_transform(X)
            raise
        block = values[:, columns]
        unseen = np.zeros(block.shape, dtype=bool) if unknown is None else block == unknown
        block[unseen | (block == missing)] = np.nan
        values[:, columns] = block
        if _kind(X) == "frame":
            values = type(X)(values, columns=X.columns)
        texts = learned.inverse_transform(values)
        if not unseen.any():
            return self._keep_index(X, texts)
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

    def _options(self) -> _Options:
        """The parameters, checked: a TypeError or ValueError naming the one
        that is wrong, before anything is read or learned."""
        return _Options.of(self.unknown, self.encoded_missing_value, self.dtype, self.categories, self.min_frequency,
                           self.max_categories)

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


def _code_columns(codes: Any) -> Callable[[int], np.ndarray]:
    if _kind(codes) == "frame":
        return lambda c: codes.iloc[:, c].to_numpy(dtype=np.float64)
    return lambda c: codes[:, c]


def _counted(learned: _native.Learned, codes: Any) -> dict[int, tuple[np.ndarray, np.ndarray]]:
    """Per text column its texts and how many cells held each, read off the
    codes of the pass that learned them (missing cells are NaN, not counted)."""
    column = _code_columns(codes)
    counts = {}
    for c in learned.string_columns():
        texts = _read_only(np.asarray(learned.categories(c), dtype=object))
        values = column(c)
        counts[c] = (texts, np.bincount(values[~np.isnan(values)].astype(np.intp), minlength=len(texts)))
    return counts


def _recoded(codes: Any, fitted: _Fitted, unseen: float | None) -> Any:
    """Byte-order codes turned into the codes of the options: each column
    through a table from one to the other; `unseen` for a text the options
    do not know."""
    frame = _kind(codes) == "frame"
    column = _code_columns(codes)
    for c in fitted.string_columns:
        table = fitted.recoding(c)
        table[table == _UNSEEN] = math.nan if unseen is None else unseen
        values = column(c)
        known = ~np.isnan(values)
        recoded = values.copy()
        recoded[known] = table[values[known].astype(np.intp)]
        if frame:
            codes.isetitem(c, recoded)
        else:
            codes[:, c] = recoded
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
    merged = TextEncoder(**encoders[0].get_params())
    counts = None if any(fitted.part_counts is None for fitted in states) else tuple(
        {c: (fitted.learned_texts(c), fitted.counts(c)) for c in fitted.string_columns} for fitted in states)
    merged.__dict__.update({k: v for k, v in encoders[0].__dict__.items() if k in ("_sklearn_output_config",)})
    options = merged._options()
    fitted = _Fitted((learned,), tuple(learned.string_columns()), count, named.labels, named.index, named.names,
                     options.grouping, counts, sum(fitted.rows for fitted in states))
    options.check(fitted)
    merged._fitted = fitted
    return merged
