"""Argument matching and the constructor's checks, with the exact messages users see."""

import sys
import tracemalloc

import pytest

import quorix

E = quorix.Encoder


def _call_method(name, *args, **kwargs):
    return getattr(E(), name)(*args, **kwargs)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: E(1, 2), "Encoder.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: E(1, 2, 3), "Encoder.__new__() takes from 0 to 1 positional arguments but 3 were given"),
        (lambda: E(foo=1), "Encoder.__new__() got an unexpected keyword argument 'foo'"),
        (lambda: E("label", encoding="label"), "Encoder.__new__() got multiple values for argument 'encoding'"),
        (lambda: E(None, foo=1), "Encoder.__new__() got an unexpected keyword argument 'foo'"),
    ]
    + [
        case
        for method in ("encode", "decode")
        for case in [
            (lambda m=method: _call_method(m), f"Encoder.{method}() missing 1 required positional argument: 'obj'"),
            (lambda m=method: _call_method(m, 1, 2), f"Encoder.{method}() takes 1 positional arguments but 2 were given"),
            (lambda m=method: _call_method(m, x=1), f"Encoder.{method}() got an unexpected keyword argument 'x'"),
            (lambda m=method: _call_method(m, 1, obj=2), f"Encoder.{method}() got multiple values for argument 'obj'"),
        ]
    ]
    + [
        (lambda: _call_method("__setstate__"), "Encoder.__setstate__() missing 1 required positional argument: 'state'"),
        (lambda: _call_method("__setstate__", b"", b""), "Encoder.__setstate__() takes 1 positional arguments but 2 were given"),
        (lambda: _call_method("__setstate__", stat=b""), "Encoder.__setstate__() got an unexpected keyword argument 'stat'"),
        (lambda: _call_method("__getstate__", 1), "Encoder.__getstate__() takes no arguments (1 given)"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message
    assert not getattr(raised.value, "__notes__", None)


class Text(str):
    pass


@pytest.mark.parametrize("encoding", [None, "label", Text("label")])
def test_accepted_encodings(encoding):
    assert isinstance(E(encoding), E)
    assert isinstance(E(encoding=encoding), E)
    # The validated text is not kept: every accepted form builds the same record.
    assert E(encoding).__getstate__() == bytes(5)


@pytest.mark.parametrize(
    "encoding, message",
    [
        ("Label", "Label is not a supported encoding strategy for strings!"),
        ("", " is not a supported encoding strategy for strings!"),
        (" label", " label is not a supported encoding strategy for strings!"),
        ("label\0", "label\0 is not a supported encoding strategy for strings!"),
        ("étiquette", "étiquette is not a supported encoding strategy for strings!"),
    ],
)
def test_unsupported_encoding_text(encoding, message):
    with pytest.raises(ValueError) as raised:
        E(encoding)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "encoding, message",
    [
        (5, "'int' object is not an instance of 'str'"),
        (b"label", "'bytes' object is not an instance of 'str'"),
        (1.5, "'float' object is not an instance of 'str'"),
        (["label"], "'list' object is not an instance of 'str'"),
    ],
)
def test_encoding_of_the_wrong_type(encoding, message):
    with pytest.raises(TypeError) as raised:
        E(encoding=encoding)
    assert str(raised.value) == message
    assert raised.value.__notes__ == ["while processing 'encoding'"]


def test_encoding_with_lone_surrogate_keeps_the_conversion_error():
    with pytest.raises(UnicodeEncodeError) as raised:
        E("\ud800")
    assert raised.value.__notes__ == ["while processing 'encoding'"]


@pytest.mark.parametrize(
    "state, message",
    [
        (None, "'None' is not an instance of 'bytes'"),
        ("text", "'str' object is not an instance of 'bytes'"),
        (bytearray(5), "'bytearray' object is not an instance of 'bytes'"),
        (memoryview(bytes(5)), "'memoryview' object is not an instance of 'bytes'"),
    ],
)
def test_state_of_the_wrong_type(encoder, state, message):
    with pytest.raises(TypeError) as raised:
        encoder.__setstate__(state)
    assert str(raised.value) == message
    assert raised.value.__notes__ == ["while processing 'state'"]


def test_argument_errors_leave_the_encoder_usable(encoder):
    for _ in range(3):
        with pytest.raises(TypeError):
            encoder.__setstate__("x")
        with pytest.raises(TypeError):
            encoder.encode()
    # The borrow flag is free again: both kinds of use are granted.
    encoder.__setstate__(bytes(5))
    assert encoder.__getstate__() == bytes(5)


def test_error_paths_do_not_leak():
    arguments = [object() for _ in range(3)]
    counts = [sys.getrefcount(a) for a in arguments]

    def churn(times):
        for _ in range(times):
            for call in (
                lambda: E(arguments[0]),
                lambda: E(arguments[0], arguments[1]),
                lambda: E().encode(arguments[0], obj=arguments[1]),
                lambda: E().__setstate__(arguments[2]),
                lambda: E("nope"),
            ):
                try:
                    call()
                except (TypeError, ValueError):
                    pass

    churn(1000)
    tracemalloc.start()
    churn(1000)
    first, _ = tracemalloc.get_traced_memory()
    churn(20000)
    second, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert second - first < 64 * 1024
    assert [sys.getrefcount(a) for a in arguments] == counts
