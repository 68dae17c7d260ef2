"""Reference-leak check: many calls of every kind, success and failure, with
the growth of traced memory and of live objects reported per kind. Exits
non-zero when a kind leaks: any live object more, or traced memory grown by
LEAKED_BYTES_PER_CALL a call (a leaked object of the smallest kind, 16 bytes,
every call would show as twice that; caches that fill once stay far below).

    .venv/bin/python bench/leak_check.py [calls] [kind-substring]
"""

import gc
import sys
import tracemalloc

import numpy as np
import pandas as pd

import quorix


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


def kinds():
    encoder = quorix.Encoder()
    table = np.array([["a", 1.0], ["b", None], [np.nan, 2.5]], dtype=object)
    frame = pd.DataFrame({"t": ["x", "y", None], "n": [1.0, 2.0, 3.0]})
    codes = encoder.encode(table)
    frame_encoder = quorix.Encoder()
    frame_codes = frame_encoder.encode(frame)
    state = encoder.__getstate__()
    bad = np.array([["a"], [Unprintable()]], dtype=object)

    def swallow(call, *errors):
        try:
            call()
        except errors:
            pass

    return {
        "constructor": lambda: quorix.Encoder("label"),
        "constructor errors": lambda: (swallow(lambda: quorix.Encoder(1, 2), TypeError),
                                       swallow(lambda: quorix.Encoder(encoding=5), TypeError),
                                       swallow(lambda: quorix.Encoder("x"), ValueError)),
        "method argument errors": lambda: (swallow(lambda: encoder.encode(), TypeError),
                                           swallow(lambda: encoder.decode(1, obj=2), TypeError),
                                           swallow(lambda: encoder.__setstate__("s"), TypeError)),
        "encode array": lambda: encoder.encode(table),
        "decode array": lambda: encoder.decode(codes),
        "encode frame": lambda: frame_encoder.encode(frame),
        "decode frame": lambda: frame_encoder.decode(frame_codes),
        "unsupported type": lambda: swallow(lambda: encoder.encode([1]), TypeError),
        "internal error": lambda: swallow(lambda: encoder.encode(bad), BaseException),
        "state round trip": lambda: encoder.__setstate__(encoder.__getstate__()),
        "damaged state": lambda: swallow(lambda: encoder.__setstate__(state[:-9]), ValueError),
    }


LEAKED_BYTES_PER_CALL = 8


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000
    wanted = sys.argv[2] if len(sys.argv) > 2 else ""
    print("| kind | calls | traced memory growth (bytes) | live objects growth |")
    print("|---|---:|---:|---:|")
    import os
    devnull = os.open(os.devnull, os.O_WRONLY)
    saved_out, saved_err = os.dup(1), os.dup(2)
    leaking = []
    for name, call in kinds().items():
        if wanted not in name:
            continue
        os.dup2(devnull, 1)  # the refused type's name goes to fd 1, reports to fd 2
        os.dup2(devnull, 2)
        for _ in range(200):
            call()
        gc.collect()
        tracemalloc.start()
        objects_before = len(gc.get_objects())
        memory_before = tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            call()
        gc.collect()
        memory_growth = tracemalloc.get_traced_memory()[0] - memory_before
        objects_growth = len(gc.get_objects()) - objects_before
        tracemalloc.stop()
        os.dup2(saved_out, 1)
        os.dup2(saved_err, 2)
        print(f"| {name} | {calls:,} | {memory_growth:,} | {objects_growth:,} |", flush=True)
        if objects_growth > 0 or memory_growth >= LEAKED_BYTES_PER_CALL * calls:
            leaking.append(name)
    if leaking:
        sys.exit("leaking: " + ", ".join(leaking))


if __name__ == "__main__":
    main()
