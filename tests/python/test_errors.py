"""Internal errors, borrow conflicts and refused allocations as users meet them."""

import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quorix

from conftest import panic_type

UNWRAP = "called `Result::unwrap()` on an `Err` value: "


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def test_panic_exception_is_outside_exception(encoder):
    with pytest.raises(BaseException) as raised:
        try:
            encoder.encode(np.zeros(3))
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")
    panic = panic_type()
    assert type(raised.value) is panic
    assert panic.__bases__ == (BaseException,)
    assert "BaseException" in panic.__doc__
    assert not hasattr(quorix, "PanicException")
    assert str(raised.value).startswith(UNWRAP)
    assert raised.value.args == (str(raised.value),)


@pytest.mark.parametrize("shape", [(3,), (2, 2, 2)])
def test_arrays_of_other_dimensions_are_internal_errors(encoder, shape):
    with pytest.raises(panic_type(), match=r"^called `Result::unwrap\(\)` on an `Err` value: "):
        encoder.encode(np.zeros(shape, dtype=object))


class Unprintable:
    def __str__(self):
        raise ValueError("no text for you")


def test_failing_str_is_an_internal_error_and_the_encoder_stays_usable(encoder):
    table = np.array([["a", Unprintable()]], dtype=object).T
    with pytest.raises(panic_type()) as raised:
        encoder.encode(table)
    assert str(raised.value).startswith("cant convert to str: ")
    assert "no text for you" in str(raised.value)
    assert encoder.encode(np.array([["x"]], dtype=object)).tolist() == [[0.0]]


def test_the_companion_raises_the_one_panic_class(encoder):
    from quorix_pipeline import TextEncoder

    table = np.array([["a", Unprintable()]], dtype=object).T
    with pytest.raises(BaseException) as from_quorix:
        encoder.encode(table)
    with pytest.raises(BaseException) as from_companion:
        TextEncoder().fit(table)
    assert type(from_companion.value) is type(from_quorix.value) is panic_type()
    assert str(from_companion.value).startswith("cant convert to str: ")


def test_report_on_standard_error_and_one_time_hint():
    result = run_python(
        """
        import numpy as np, quorix
        for _ in range(2):
            try:
                quorix.Encoder().encode(np.zeros(3))
            except BaseException as error:
                print(type(error).__name__)
        """
    )
    assert result.stdout.split() == ["PanicException", "PanicException"]
    assert result.stderr.count("hit an internal error at") == 2
    # The place is named from the source root, wherever the module was built.
    places = re.findall(r"^thread '[^']*' \(\d+\) hit an internal error at (\S+):\d+:\d+:$", result.stderr, re.M)
    assert len(places) == 2 and all(re.fullmatch(r"src/\w+/\w+\.[ch]pp", place) for place in places), places
    assert result.stderr.count("QUORIX_BACKTRACE=1") == 1
    assert UNWRAP in result.stderr


def test_backtrace_hint_is_true():
    result = run_python(
        """
        import os, numpy as np, quorix
        os.environ["QUORIX_BACKTRACE"] = "1"
        try:
            quorix.Encoder().encode(np.zeros(3))
        except BaseException:
            pass
        """
    )
    assert "hit an internal error at" in result.stderr
    assert "quorix" in result.stderr.split("hit an internal error at", 1)[1]
    assert len(result.stderr.splitlines()) > 4  # the frames follow the report


class Reentrant:
    """A cell whose text is made by calling back into the same Encoder."""

    def __init__(self, method, swallow):
        self.encoder, self.method, self.swallow, self.seen = None, method, swallow, None

    def __str__(self):
        try:
            getattr(self.encoder, self.method)(np.array([["x"]], dtype=object))
        except RuntimeError as error:
            self.seen = str(error)
            if not self.swallow:
                raise
        return "cell"


@pytest.mark.parametrize(
    "outer, inner, message",
    [("encode", "decode", "Already mutably borrowed"), ("decode", "encode", "Already borrowed"), ("encode", "encode", "Already borrowed")],
)
def test_reentrant_calls_meet_the_borrow_flag(encoder, outer, inner, message):
    cell = Reentrant(inner, swallow=True)
    cell.encoder = encoder
    getattr(encoder, outer)(np.array([["a"], [cell]], dtype=object))
    assert cell.seen == message

    escaping = Reentrant(inner, swallow=False)
    escaping.encoder = encoder
    with pytest.raises(panic_type(), match="^cant convert to str: .*" + message):
        getattr(encoder, outer)(np.array([["a"], [escaping]], dtype=object))
    assert escaping.seen == message
    # Every path gave the borrow back: both kinds of use are granted again.
    assert encoder.encode(np.array([["x"]], dtype=object)).tolist() == [[0.0]]
    assert encoder.decode(np.array([[0.0]])).tolist() == [["x"]]


def test_two_decodes_may_overlap(encoder):
    encoder.encode(np.array([["a"], ["b"]], dtype=object))
    cell = Reentrant("decode", swallow=True)
    cell.encoder = encoder
    encoder.decode(np.array([["a"], [cell]], dtype=object))
    assert cell.seen is None


def test_panic_from_python_code_is_resumed():
    result = run_python(
        """
        import numpy as np, quorix

        class Nested:
            def __str__(self):
                quorix.Encoder().encode(np.zeros(2))  # raises PanicException
                return "never"

        try:
            quorix.Encoder().encode(np.array([["a"], [Nested()]], dtype=object))
        except BaseException as error:
            print(type(error).__name__, "|", error)
        """
    )
    name, message = result.stdout.strip().split(" | ", 1)
    assert name == "PanicException"
    assert message.startswith(UNWRAP)
    assert "Python stack trace below:" in result.stderr
    assert result.stderr.count("hit an internal error at") == 1  # resumed without a second report


class Shaped:
    """An object of a type named "ndarray" that is not a NumPy array: it goes to the cell path."""

    def __init__(self, shape):
        self.shape = shape

    def __getitem__(self, key):
        return 0.0


Shaped.__name__ = "ndarray"


def test_matrix_too_large_for_memory_is_a_memory_error(encoder):
    with pytest.raises(MemoryError):
        encoder.encode(Shaped((2**29, 2**30)))
    assert encoder.encode(Shaped((1, 1))).tolist() == [[0.0]]


def test_matrix_larger_than_addressable_is_capacity_overflow(encoder):
    with pytest.raises(panic_type(), match="^capacity overflow"):
        encoder.encode(Shaped((2**31, 2**31)))


class Resizer:
    """A cell whose text frees the buffer of the array being read."""

    def __init__(self):
        self.array = None

    def __str__(self):
        self.array.resize((1, 1), refcheck=False)
        return "resized"


def test_cell_that_reallocates_the_array_being_read(encoder):
    table = np.empty((50, 2), dtype=object)
    table[:, 0] = [f"t{i}" for i in range(50)]
    table[:, 1] = [f"u{i}" for i in range(50)]
    cell = Resizer()
    cell.array = table
    table[0, 0] = cell
    # The column being read holds its own references; the next column finds
    # the array changed and is read by item access, which stops cleanly.
    with pytest.raises(panic_type(), match=r"^called `Result::unwrap\(\)` on an `Err` value: .*IndexError"):
        encoder.encode(table)
