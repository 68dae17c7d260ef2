"""What a TextEncoder learns and the options that shape its codes, apart from
the estimator: the fitted state, the checked parameters, learning a table and
merging states. _text_encoder, _arrow and _dask all build on this module, and
it imports none of them."""

from __future__ import annotations

import dataclasses
import math
import numbers
import struct
import sys
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from . import _native


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
    # The rows learned from, all parts together. (How many cells held each
    # text lives in the learned parts, when they were counted: see counts().)
    rows: int = 0

    @classmethod
    def of(cls, learned: _native.Learned, X: Any, kind: str | None,
           grouping: tuple[Any, Any, Any] = ("auto", None, None)) -> _Fitted:
        """The state of one fit of X, a table of that kind (None: a state from outside)."""
        string_columns = tuple(learned.string_columns())
        rows = 0 if X is None else int(X.shape[0])
        if X is None:
            return cls((learned,), string_columns, grouping=grouping)
        if kind != "frame":
            return cls((learned,), string_columns, int(X.shape[1]), grouping=grouping, rows=rows)
        labels = _labels(X)
        return cls((learned,), string_columns, int(X.shape[1]), tuple(labels), X.columns, _string_labels(labels),
                   grouping, rows)

    def with_part(self, part: _Fitted, grouping: tuple[Any, Any, Any]) -> _Fitted:
        return dataclasses.replace(
            self,
            parts=(*self.parts, *part.parts),
            string_columns=tuple(sorted({*self.string_columns, *part.string_columns})),
            grouping=grouping,
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

    def given(self, column: int) -> tuple[str, ...] | None:
        """The categories given for a column, or None for its learned byte order."""
        given = self.grouping[0]
        if isinstance(given, (list, tuple)) and given[column] is not None and not _is_auto(given[column]):
            return tuple(given[column])
        return None

    def categories(self, column: int) -> np.ndarray:
        """categories_ of a text column: the given list, else the texts learned."""
        given = self.given(column)
        if given is not None:
            return self.__dict__.setdefault("_given", {}).setdefault(
                column, _read_only(np.asarray(list(given), dtype=object)))
        return self.learned_texts(column)

    def size(self, column: int) -> int:
        """How many categories a text column has, read without its texts when it can be."""
        given = self.given(column)
        if given is not None:
            return len(given)
        if self.learned.counts(column) is not None:
            return len(self.counts(column))
        return len(self.learned_texts(column))

    def counts(self, column: int) -> np.ndarray:
        """How many cells held each learned text of a text column: one int64
        per code, in code order (the learned byte order), read-only. They are
        counted natively in the pass that learns the texts, and a merge of
        counted parts adds them up by text."""
        made: dict[int, np.ndarray] = self.__dict__.setdefault("_counts", {})
        total = made.get(column)
        if total is None:
            counted = self.learned.counts(column)
            if counted is None:
                raise ValueError("min_frequency and max_categories need the count of each text, which this encoder "
                                 "did not learn (it was fitted without them, or made from a quorix.Encoder): fit it "
                                 "again")
            total = np.frombuffer(counted, dtype=np.int64)
            made[column] = total
        return total

    def text_counts(self) -> dict[int, np.ndarray] | None:
        """Every text column's counts (see counts()) by column position, or
        None when they were not counted: what a pickle carries."""
        if any(self.learned.counts(c) is None for c in self.string_columns):
            return None
        return {c: self.counts(c) for c in self.string_columns}

    def infrequent(self, column: int) -> np.ndarray | None:
        """The positions in categories(column) of the texts grouped as
        infrequent, as scikit-learn picks them; None when none are."""
        made: dict[int, np.ndarray | None] = self.__dict__.setdefault("_infrequent", {})
        if column in made:
            return made[column]
        _, min_frequency, max_categories = self.grouping
        found = None
        if min_frequency is not None or max_categories is not None:
            learned = self.counts(column)
            if self.given(column) is None:
                count = learned
            else:
                categories = self.categories(column)
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
        size = self.size(column)
        return size if infrequent is None else size - len(infrequent) + 1

    def final_codes(self, column: int) -> np.ndarray:
        """Per category of a text column (categories(column) order), its code
        under the options: its position, or with infrequent texts grouped the
        frequent ones numbered in order and the others sharing the last."""
        size = self.size(column)
        infrequent = self.infrequent(column)
        if infrequent is None:
            return np.arange(size, dtype=np.float64)
        grouped = np.zeros(size, dtype=bool)
        grouped[infrequent] = True
        return np.where(grouped, float(size - len(infrequent)), np.cumsum(~grouped) - 1.0)

    def recoding(self, column: int) -> np.ndarray:
        """Per learned text of a column (byte order), its code under the
        options; _UNSEEN for one a given list lacks."""
        return self._recoding_over(column, self.learned_texts)

    def _recoding_over(self, column: int, texts_of: Callable[[int], np.ndarray]) -> np.ndarray:
        """Per text texts_of(column) gives, its code under the options."""
        final = self.final_codes(column)
        given = self.given(column)
        if given is None:
            return final
        index = {text: position for position, text in enumerate(given)}
        texts = texts_of(column)
        at = np.fromiter((index.get(text, -1) for text in texts), dtype=np.intp, count=len(texts))
        out = np.full(len(texts), _UNSEEN)
        out[at >= 0] = final[at[at >= 0]]
        return out

    def lookup(self, unseen: float | None) -> tuple[_native.Learned, dict[int, bytes] | None]:
        """What transform looks texts up in, and the tables its codes go
        through, `unseen` standing for a text the options do not know
        (None: NaN). The learned maps serve every option: with a given
        list they take in its texts (a union, made once), and each column's
        learned codes go through a table to the codes of the options."""
        if self.grouping == ("auto", None, None):
            return self.learned, None
        made = self.__dict__.get("_lookup")
        if made is None:
            learned = self.learned
            if any(self.given(c) is not None for c in self.string_columns):
                learned = _native.merge([learned, self._given_texts()], self.bound(), self.message_labels())

            def texts_of(c: int) -> np.ndarray:
                return np.asarray(learned.categories(c), dtype=object)

            made = (learned, {c: self._recoding_over(c, texts_of) for c in self.string_columns})
            self.__dict__["_lookup"] = made
        learned, tables = made
        key = "error" if unseen is None else ("nan" if math.isnan(unseen) else unseen)
        recode: dict[int, bytes] | None = self.__dict__.setdefault("_recode", {}).get(key)
        if recode is None:
            recode = {}
            for c, table in tables.items():
                if (table == _UNSEEN).any():
                    if unseen is None:
                        # Learned texts the given list leaves out, fitted
                        # under a numeric unknown that was then set to
                        # "error": they must not code as missing.
                        left_out = list(np.asarray(learned.categories(c), dtype=object)[table == _UNSEEN])
                        raise ValueError(f"column {self.column_name(c)} was fitted with texts outside its categories "
                                         f"({left_out}), which unknown='error' refuses: fit again")
                    table = np.where(table == _UNSEEN, unseen, table)
                recode[c] = table.tobytes()
            self.__dict__["_recode"][key] = recode
        return learned, recode

    def _given_texts(self) -> _native.Learned:
        """The given lists as a learned table: a column per given list, None
        (missing) below its last text; every other column missing only."""
        width = self.bound()
        lists = [self.given(c) or () if c in self.string_columns else () for c in range(width)]
        rows = max((len(texts) for texts in lists), default=0)
        table = np.full((rows, width), None, dtype=object)
        for c, texts in enumerate(lists):
            table[: len(texts), c] = texts
        return _native.learn(table)

    @property
    def decoding(self) -> _native.Learned:
        """What inverse_transform decodes with: the union itself when the
        codes are its byte order, else a map of the codes the options give
        to their texts (made once), the infrequent texts' code to
        INFREQUENT."""
        if self.grouping == ("auto", None, None):
            return self.learned
        decoding = self.__dict__.get("_decoding")
        if decoding is None:
            code_to_text: dict[int, tuple[list[int], list[str]]] = {}
            for c in self.string_columns:
                texts = self.categories(c)
                infrequent = self.infrequent(c)
                if infrequent is None:
                    code_to_text[c] = (list(range(len(texts))), list(texts))
                    continue
                kept = np.ones(len(texts), dtype=bool)
                kept[infrequent] = False
                frequent = texts[kept].tolist()
                code_to_text[c] = (list(range(len(frequent) + 1)), [*frequent, INFREQUENT])
            # Decoding reads only the codes' texts: no text-to-code map is written.
            decoding = _native.from_state(
                _state_bytes(self.string_columns, {c: ([], []) for c in self.string_columns}, code_to_text),
                self.learned.numbers_read())
            self.__dict__["_decoding"] = decoding
        return decoding

    def runs(self) -> _native._Runs | None:
        """The union as runs: each text once, in byte order, with its count
        when counted; None for maps that only state bytes keep (a state given
        from outside, numbered otherwise)."""
        return self.learned.runs()

    @classmethod
    def of_runs(cls, runs: _native._Runs, columns: int | None, labels: tuple[Any, ...] | None,
                names: Sequence[str] | np.ndarray | None, grouping: tuple[Any, Any, Any], rows: int,
                index: Any = None) -> _Fitted:
        """The state of runs: the maps built once, the counts kept as they came."""
        learned = _native.learn_runs([runs], 1 + max((c[0] for c in runs[2]), default=-1), None)
        return cls((learned,), tuple(learned.string_columns()), columns, labels, index,
                   None if names is None else np.asarray(names, dtype=object), tuple(grouping), rows)

    def __reduce__(self) -> tuple[Any, ...]:
        # The union travels as its runs (each text once, its count beside),
        # else as its state bytes with the counts as NumPy arrays; the labels
        # as built-in objects: no pandas object, so that a pickle loads under
        # every supported pandas and NumPy.
        names = None if self.names is None else tuple(self.names.tolist())
        runs = self.runs()
        if runs is not None:
            return (_Fitted.of_runs, (runs, self.columns, self.labels, names, self.grouping, self.rows))
        learned = self.learned
        return (_Fitted._restored, (learned.state(), learned.numbers_read(), self.columns, self.labels, names,
                                    self.grouping, self.text_counts(), self.rows))

    @classmethod
    def _restored(cls, state: bytes, numbers_read: bytes, columns: int | None, labels: tuple[Any, ...] | None,
                  names: tuple[str, ...] | None, grouping: tuple[Any, Any, Any] = ("auto", None, None),
                  counts: dict[int, np.ndarray] | None = None, rows: int = 0) -> _Fitted:
        given = None if counts is None else {
            int(c): np.ascontiguousarray(n, dtype=np.int64).tobytes() for c, n in counts.items()}
        learned = _native.from_state(state, numbers_read, given)
        return cls((learned,), tuple(learned.string_columns()), columns, labels, None,
                   None if names is None else np.asarray(names, dtype=object), tuple(grouping), rows)


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
        elif len(count) and int(count.max()) < (1 << 62) // len(count):
            # The `frequent` largest of (count, position): what the stable
            # sort leaves last, found in linear time.
            key = count.astype(np.int64) * len(count) + np.arange(len(count), dtype=np.int64)
            kept_positions = np.argpartition(key, len(count) - frequent)[len(count) - frequent:]
            infrequent[:] = True
            infrequent[kept_positions] = False
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

    @classmethod
    def of_params(cls, params: dict[str, Any]) -> _Options:
        """The options of TextEncoder(**params)."""
        return cls.of(params.get("unknown", "error"), params.get("encoded_missing_value", math.nan),
                      params.get("dtype", np.float64), params.get("categories", "auto"),
                      params.get("min_frequency"), params.get("max_categories"))

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
        if not _is_auto(fitted.grouping[0]):
            # Built now, as transform will look up, so that a failure leaves what was learned.
            fitted.lookup(_UNSEEN if self.unseen_apart() else self.unknown)
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

    def shaped(self, codes: Any, frame: bool, fitted: _Fitted, apart: bool) -> Any:
        """The codes of the text columns with their missing values as
        ``encoded_missing_value``, unseen texts told apart, in ``dtype``."""
        plain = math.isnan(self.missing) and not apart
        if plain and self.dtype == np.float64:
            return codes
        columns = [c for c in fitted.string_columns if c < codes.shape[1]]
        if frame:
            # A frame's numeric columns keep their float64.
            for c in columns:
                # Each column converted in one pass; filled first only when asked.
                values = codes.iloc[:, c].to_numpy(dtype=np.float64, copy=not plain)
                if not plain:
                    self.fill(values, apart)
                codes.isetitem(c, values.astype(self.dtype, copy=plain))
            return codes
        if self.dtype.kind in "iu" and len(columns) < codes.shape[1]:
            raise ValueError(f"dtype {self.dtype} cannot hold the numbers of the columns learned as numeric: use a "
                             "float dtype, or pass a DataFrame")
        if not plain:
            block = codes[:, columns]
            self.fill(block, apart)
            codes[:, columns] = block
        return codes if self.dtype == np.float64 else codes.astype(self.dtype)

    def fill(self, values: np.ndarray, apart: bool) -> None:
        """Missing values as encoded_missing_value; with `apart`, the code
        unseen texts were looked up as back to NaN."""
        if not math.isnan(self.missing):
            values[np.isnan(values)] = self.missing
        if apart:
            values[values == _UNSEEN] = np.nan


def _table(X: Any, kind: str) -> Any:
    """X as the engine reads it, for a fit: nothing learned to check it against."""
    return _plain_array(np.asarray(X)) if kind == "array" else X


def _code_columns(codes: Any, frame: bool) -> Callable[[int], np.ndarray]:
    if frame:
        return lambda c: codes.iloc[:, c].to_numpy(dtype=np.float64)
    return lambda c: codes[:, c]


def _recoded(codes: Any, frame: bool, fitted: _Fitted, unseen: float | None) -> Any:
    """Byte-order codes turned into the codes of the options: each column
    through a table from one to the other; `unseen` for a text the options
    do not know."""
    column = _code_columns(codes, frame)
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



def learn(X: Any, kind: str, options: _Options) -> _Fitted:
    """One fit of a pandas frame or NumPy array of that kind."""
    X = _table(X, kind)
    return _Fitted.of(_native.learn(X, count=options.counting), X, kind, options.grouping)


def learn_with_params(params: dict[str, Any], X: Any) -> _Fitted:
    """What TextEncoder(**params).fit(X) learns of a pandas frame or NumPy
    array: one part of a table learned apart, its texts checked against a
    given list. What depends on the whole table (the codes in use, the
    infrequent texts, the dtype's width) is checked on the merged state."""
    options = _Options.of_params(params)
    fitted = learn(X, _kind(X), options)
    options._check_given(fitted)
    return fitted


def merged(states: Sequence[_Fitted], grouping: tuple[Any, Any, Any]) -> _Fitted:
    """The union of states learned apart, in the order given: what one fit of
    their tables put together learns. Their column counts and labels must agree."""
    states = list(states)
    if not states:
        raise ValueError("merge needs at least one TextEncoder")
    # Every state that learned a column count, and every one that learned
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
    # The union's counts, when every state counted, are the states' added up by text.
    return _Fitted((learned,), tuple(learned.string_columns()), count, named.labels, named.index, named.names,
                   grouping, sum(fitted.rows for fitted in states))
