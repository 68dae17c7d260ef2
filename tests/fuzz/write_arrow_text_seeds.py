"""Writes the seed corpus of the arrow_text fuzz target (tests/fuzz/corpus/arrow_text/).

The target reads its bytes as: the format (a length byte, then that many
bytes), a byte of damage flags (0: none), a byte giving the chunk count less
one, then per chunk its length, offset and null count (tagged integers, see
`integer`), a buffer-count byte and the buffers, each a kind byte and its
content (see the functions below).

    python3 tests/fuzz/write_arrow_text_seeds.py
"""

import pathlib
import struct

CORPUS = pathlib.Path(__file__).parent / "corpus" / "arrow_text"


def integer(value):
    if 0 <= value < 0x80:
        return bytes([value])
    if value == -1:
        return b"\x80"
    if -125 <= value <= -2:
        return bytes([0x82 - value])
    if 0 <= value <= 0xFFFF:
        return b"\x81" + struct.pack("<H", value)
    if -(2**31) <= value < 2**31:
        return b"\x82" + struct.pack("<i", value)
    return b"\x83" + struct.pack("<q", value)


def absent():
    return b"\x00"


def raw(content):
    return b"\x01" + integer(len(content)) + content


def offsets(texts, wide=False, start=0):
    steps = [len(text) for text in texts]
    assert all(step < 128 for step in steps)
    return (b"\x03" if wide else b"\x02") + integer(start) + bytes([len(steps)]) + bytes(steps)


def views(entries):
    """Each entry is an inline text (12 bytes at most) or (text, buffer, offset)."""
    out = b"\x04" + bytes([len(entries)])
    for entry in entries:
        if isinstance(entry, bytes):
            out += integer(len(entry)) + entry
        else:
            text, buffer, offset = entry
            out += integer(len(text)) + text[:4] + integer(buffer) + integer(offset)
    return out


def int64s(values):
    return b"\x05" + bytes([len(values)]) + b"".join(integer(v) for v in values)


def validity(valid):
    bits = bytearray((len(valid) + 7) // 8)
    for i, is_valid in enumerate(valid):
        if is_valid:
            bits[i // 8] |= 1 << (i % 8)
    return raw(bytes(bits))


def header(fmt, chunks, damage=0):
    return bytes([len(fmt)]) + fmt + bytes([damage, chunks - 1])


def chunk(length, offset, null_count, buffers):
    return integer(length) + integer(offset) + integer(null_count) + bytes([len(buffers)]) + b"".join(buffers)


def string_chunk(cells, offset=0, wide=False, null_count=None):
    """cells after `offset` leading rows of "x"; None is a null row."""
    texts = [b"x"] * offset + [cell or b"" for cell in cells]
    valid = [True] * offset + [cell is not None for cell in cells]
    nulls = valid.count(False) if null_count is None else null_count
    bitmap = validity(valid) if False in valid else absent()
    return chunk(len(cells), offset, nulls, [bitmap, offsets(texts, wide), raw(b"".join(texts))])


SEEDS = {
    "string": header(b"u", 1) + string_chunk([b"alpha", b"", b"beta", b"gamma"]),
    "string_sliced_with_nulls": header(b"u", 1) + string_chunk([b"a", None, b"bc", None, b"", b"def"], offset=3),
    "string_unknown_null_count": header(b"u", 1) + string_chunk([None, b"nan", b"<NA>", None], null_count=-1),
    "large_string_two_chunks": header(b"U", 2)
    + string_chunk([b"x", b"yy", None], wide=True)
    + string_chunk([b"\xc3\xa9t\xc3\xa9", b"\xe2\x82\xac", b"\xf0\x9f\x98\x80"], offset=1, wide=True),
    "string_view": header(b"vu", 1)
    + chunk(
        4,
        0,
        1,
        [
            validity([True, True, False, True]),
            views([b"short", (b"a text longer than twelve", 0, 0), b"", (b"another long text here", 1, 3)]),
            raw(b"a text longer than twelve"),
            raw(b"...another long text here"),
            int64s([25, 25]),
        ],
    ),
    "string_view_inline_only": header(b"vu", 1)
    + chunk(3, 1, 0, [absent(), views([b"skip", b"twelve bytes", b"", b"z"]), int64s([])]),
    "empty_chunks": header(b"u", 3)
    + chunk(0, 0, 0, [absent(), absent(), absent()])
    + chunk(0, 5, -1, [absent(), raw(b""), raw(b"")])
    + string_chunk([b""]),
    "four_chunks": header(b"U", 4)
    + string_chunk([b"a"], wide=True)
    + string_chunk([None, None], wide=True)
    + string_chunk([b"b", b"c"], offset=2, wide=True)
    + string_chunk([b"0", b"1.5", b"-2"], wide=True),
    "unsupported_formats": header(b"z", 2) + string_chunk([b"a"]) + string_chunk([b"b"]),
    "dictionary_encoded": header(b"u", 1, damage=2) + string_chunk([b"a"]),
    "decreasing_offsets": header(b"u", 1) + chunk(2, 0, 0, [absent(), b"\x02\x00\x02\x03\xfe", raw(b"abc")]),
    "huge_length_and_offset": header(b"U", 2)
    + chunk(2**62, 2**62, 0, [absent(), offsets([b"a"], wide=True), raw(b"a")])
    + chunk(1, 2**40, -1, [validity([True]), offsets([b"a"], wide=True), raw(b"a")]),
}

if __name__ == "__main__":
    CORPUS.mkdir(parents=True, exist_ok=True)
    for name, content in SEEDS.items():
        (CORPUS / name).write_bytes(content)
