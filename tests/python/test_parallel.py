"""The worker pool as Python programs meet it: sized by the environment, the
same results whatever its size, and usable in children made by fork()."""

import json
import multiprocessing
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quorix

# Encodes a fixed random table and prints the codes and the learned state as
# JSON (state bytes order-free: each map as a sorted list).
PROGRAM = textwrap.dedent(
    """
    import json, pickle, numpy as np, pandas as pd, quorix
    rng = np.random.default_rng(11)
    words = np.array(["", "nan", "NaN", "<NA>", "b", "a", "é", "10", "9", "Zebra"] + [f"w{i}" for i in range(3000)], dtype=object)
    table = words[rng.integers(0, len(words), (20000, 5))]
    table[:, 2] = rng.normal(size=20000)
    encoder = quorix.Encoder()
    codes = encoder.encode(table)
    frame = encoder.decode(codes)
    labels = ["p", "q", "p", "r", "s"]
    decoded_frame = encoder.decode(pd.DataFrame(codes, columns=labels))
    print(json.dumps({
        "frame": [[c, str(t), decoded_frame.iloc[:, k].tolist()] for k, (c, t) in enumerate(decoded_frame.dtypes.items())],
        "codes": [None if v != v else v for v in codes.ravel().tolist()],
        "decoded": frame.ravel().tolist(),
        "state_length": len(encoder.__getstate__()),
    }))
    """
)


def run_with(env_updates):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(env_updates)
    result = subprocess.run([sys.executable, "-c", PROGRAM], env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def test_results_do_not_depend_on_the_worker_count():
    baseline = run_with({"RAYON_NUM_THREADS": "1"})
    for env in ({}, {"RAYON_NUM_THREADS": "2"}, {"RAYON_NUM_THREADS": "8"}, {"RAYON_RS_NUM_CPUS": "3"}):
        assert run_with(env) == baseline


def _encode_in_child(queue):
    table = np.array([["b"], ["a"], ["b"]], dtype=object)
    queue.put(quorix.Encoder().encode(table).tolist())


@pytest.mark.skipif(sys.platform != "linux", reason="fork() start method")
def test_a_forked_child_gets_a_pool_of_its_own():
    # The parent's pool exists before the fork.
    quorix.Encoder().encode(np.array([["x"]], dtype=object))
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    child = context.Process(target=_encode_in_child, args=(queue,))
    child.start()
    child.join(timeout=60)
    if child.is_alive():
        child.kill()
        pytest.fail("the forked child hung on the inherited pool")
    assert child.exitcode == 0
    assert queue.get(timeout=5) == [[1.0], [0.0], [1.0]]


@pytest.mark.parametrize("first", ["quorix", "quorix_pipeline"])
def test_both_modules_share_one_pool(first):
    # The pool starts on first use, once per process, whichever module uses
    # it first: its workers are the only threads either module adds.
    program = textwrap.dedent(
        """
        import os, sys, numpy as np, quorix, quorix_pipeline
        table = np.array([["b", 1.0], ["a", 2.0]], dtype=object)
        uses = {"quorix": lambda: quorix.Encoder().encode(table),
                "quorix_pipeline": lambda: quorix_pipeline.TextEncoder().fit(table).transform(table)}
        counts = [len(os.listdir("/proc/self/task"))]
        for name in sorted(uses, key=lambda name: name != sys.argv[1]):
            uses[name]()
            counts.append(len(os.listdir("/proc/self/task")))
        print(*counts)
        """
    )
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(RAYON_NUM_THREADS="3", OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    result = subprocess.run([sys.executable, "-c", program, first], env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    before, after_first, after_both = map(int, result.stdout.split())
    assert (after_first, after_both) == (before + 3, before + 3)
