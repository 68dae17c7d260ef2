"""Saving and restoring an Encoder: the state bytes, pickle and copy."""

import copy
import pickle
import struct

import pytest

import quorix

UNLEARNED = bytes(5)


def u64(value):
    return struct.pack("<Q", value)


def text(value: bytes):
    return u64(len(value)) + value


# One string column, column 0, whose only text is "a" with code 0.
WORKED_EXAMPLE = (
    b"\x01"
    + u64(1) + u64(0)  # string_columns
    + u64(1) + u64(0) + u64(1) + text(b"a") + b"\x01" + u64(0)  # text_to_code
    + u64(1) + u64(0) + u64(1) + u64(0) + text(b"a")  # code_to_text
    + b"\x00\x00\x00\x00"  # the strategy
)


def learned(state=WORKED_EXAMPLE):
    encoder = quorix.Encoder()
    encoder.__setstate__(state)
    return encoder


def test_worked_example_is_read_and_written_back_byte_exact():
    assert len(WORKED_EXAMPLE) == 104
    assert learned().__getstate__() == WORKED_EXAMPLE


def test_unlearned_state_is_five_zero_bytes():
    assert quorix.Encoder().__getstate__() == UNLEARNED
    encoder = learned()
    assert encoder.__setstate__(UNLEARNED) is None
    assert encoder.__getstate__() == UNLEARNED


def test_trailing_bytes_are_ignored():
    assert learned(UNLEARNED + b"anything").__getstate__() == UNLEARNED
    assert learned(WORKED_EXAMPLE + b"\xff" * 9).__getstate__() == WORKED_EXAMPLE


class Payload(bytes):
    pass


def test_bytes_subclass_is_accepted():
    assert learned(Payload(WORKED_EXAMPLE)).__getstate__() == WORKED_EXAMPLE


@pytest.mark.parametrize(
    "state, reason",
    [
        (b"", "io error: unexpected end of file"),
        (b"\x00", "io error: unexpected end of file"),
        (b"\x00\x00\x00\x00", "io error: unexpected end of file"),
        (b"\x02\x00\x00\x00\x00", "tag for enum is not valid, found 2"),
        (b"\xff", "tag for enum is not valid, found 255"),
        (b"\x00\x07\x00\x00\x00", "invalid value: integer `7`, expected variant index 0 <= i < 1"),
        (b"\x00\xff\xff\xff\xff", "invalid value: integer `4294967295`, expected variant index 0 <= i < 1"),
        (WORKED_EXAMPLE[:41] + u64(1000) + b"a", "io error: "),
        (WORKED_EXAMPLE.replace(text(b"a"), text(b"\xff"), 1), "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"),
        (WORKED_EXAMPLE.replace(text(b"a"), text(b"\xe2"), 1), "string is not valid utf8: incomplete utf-8 byte sequence from index 0"),
        (WORKED_EXAMPLE.replace(b"\x01" + u64(0) + u64(1), b"\x07" + u64(0) + u64(1), 1), "tag for enum is not valid, found 7"),
        (b"\x01" + u64(2**63), "io error: unexpected end of file"),
        (b"\x01" + u64(0) + u64(2**64 - 1) + u64(0), "io error: unexpected end of file"),
    ],
)
def test_damaged_state_is_refused_and_the_encoder_keeps_its_state(state, reason):
    encoder = learned()
    with pytest.raises(ValueError) as raised:
        encoder.__setstate__(state)
    assert str(raised.value) == "failed to unpickle Encoder: " + reason
    assert encoder.__getstate__() == WORKED_EXAMPLE


def test_every_truncation_is_refused():
    encoder = learned()
    for end in range(len(WORKED_EXAMPLE)):
        with pytest.raises(ValueError, match="^failed to unpickle Encoder: "):
            encoder.__setstate__(WORKED_EXAMPLE[:end])
    assert encoder.__getstate__() == WORKED_EXAMPLE


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(protocol):
    restored = pickle.loads(pickle.dumps(learned(), protocol=protocol))
    assert type(restored) is quorix.Encoder
    assert restored.__getstate__() == WORKED_EXAMPLE


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy])
def test_copies_are_separate(duplicate):
    original = learned()
    twin = duplicate(original)
    assert twin is not original
    assert twin.__getstate__() == WORKED_EXAMPLE
    twin.__setstate__(UNLEARNED)
    assert original.__getstate__() == WORKED_EXAMPLE


def test_duplicate_keys_keep_the_later_entry():
    two_entries = (
        b"\x01" + u64(1) + u64(0)
        + u64(1) + u64(0) + u64(2) + text(b"a") + b"\x01" + u64(0) + text(b"a") + b"\x01" + u64(5)
        + u64(1) + u64(0) + u64(2) + u64(0) + text(b"a") + u64(0) + text(b"b")
        + b"\x00\x00\x00\x00"
    )
    expected = (
        b"\x01" + u64(1) + u64(0)
        + u64(1) + u64(0) + u64(1) + text(b"a") + b"\x01" + u64(5)
        + u64(1) + u64(0) + u64(1) + u64(0) + text(b"b")
        + b"\x00\x00\x00\x00"
    )
    assert learned(two_entries).__getstate__() == expected
