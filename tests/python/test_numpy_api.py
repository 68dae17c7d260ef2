"""The NumPy array-API table and the shared array-borrow registry.

Anything that swaps NumPy's modules runs in a child interpreter, so this
process keeps its real NumPy and its already-loaded table."""

import ctypes
import importlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quorix

from conftest import panic_type

MULTIARRAY = "numpy._core.multiarray" if int(np.__version__.split(".")[0]) >= 2 else "numpy.core.multiarray"
REGISTRY = "_BORROW_CHECKING_API"
CAPSULE_FAILURE = "Failed to access NumPy array API capsule: "


def run_python(code):
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


FAKE_TABLE = """
    import ctypes, importlib, sys, types
    import numpy as np
    import quorix

    NAME = {multiarray!r}
    real = importlib.import_module(NAME)
    version = ctypes.CFUNCTYPE(ctypes.c_uint)
    endianness = ctypes.CFUNCTYPE(ctypes.c_int)
    functions = [version(lambda: {abi}), version(lambda: {feature}), endianness(lambda: {endian})]
    table = (ctypes.c_void_p * 300)()
    for entry, function in zip((0, 211, 210), functions):
        table[entry] = ctypes.cast(function, ctypes.c_void_p).value
    capsule_new = ctypes.pythonapi.PyCapsule_New
    capsule_new.restype = ctypes.py_object
    capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    fake = types.ModuleType(NAME)
    fake._ARRAY_API = capsule_new(ctypes.addressof(table), None, None)

    def attempt(table):
        try:
            print("ok", quorix.Encoder().encode(table).tolist())
        except BaseException as error:
            print(type(error).__name__ + ": " + str(error).replace("\\n", " "))

    sys.modules[NAME] = fake
    attempt(np.zeros((1, 1)))
    attempt(__import__("pandas").DataFrame({{"a": [1.0]}}))
    sys.modules[NAME] = real
    attempt(np.ones((1, 1)))
"""


@pytest.mark.parametrize(
    "abi, feature, endian, message",
    [
        (0x3000000, 0x12, 1, "module compiled against ABI version 0x2000000 but this version of numpy is 0x3000000"),
        (0x2000000, 0xB, 1,
         "module was compiled against NumPy C-API version 0xc (NumPy 1.15) but the running NumPy has C-API version 0xb"),
        (0x1000009, 0x11, 2, "module compiled as little endian, but detected different endianness at runtime"),
    ],
    ids=["abi", "feature", "endianness"],
)
def test_version_checks_and_retry(abi, feature, endian, message):
    lines = run_python(FAKE_TABLE.format(multiarray=MULTIARRAY, abi=abi, feature=feature, endian=endian))
    assert len(lines) == 3
    for line in lines[:2]:  # an array and a frame both need the table
        assert line.startswith("PanicException: " + CAPSULE_FAILURE)
        assert "RuntimeError" in line and message in line
    # The failure was not remembered: with the real module back the table loads.
    assert lines[2] == "ok [[1.0]]"


def test_missing_capsule_and_retry():
    lines = run_python(
        f"""
        import importlib, sys, types
        import numpy as np, quorix
        real = importlib.import_module({MULTIARRAY!r})
        sys.modules[{MULTIARRAY!r}] = types.ModuleType({MULTIARRAY!r})
        try:
            quorix.Encoder().encode(np.zeros((1, 1)))
        except BaseException as error:
            print(type(error).__name__, str(error).splitlines()[0])
        sys.modules[{MULTIARRAY!r}] = real
        print(quorix.Encoder().encode(np.zeros((1, 1))).tolist())
        """
    )
    assert lines[0].startswith("PanicException " + CAPSULE_FAILURE) and "_ARRAY_API" in lines[0]
    assert lines[1] == "[[0.0]]"


def test_refused_types_do_not_need_numpy():
    lines = run_python(
        """
        import sys, quorix
        try:
            quorix.Encoder().encode(5)
        except TypeError as error:
            print(error)
        print("numpy" in sys.modules)
        """
    )
    assert lines == ["int", "Unsupported type: 'int'. Supported types are: numpy.ndarray, pandas.DataFrame", "False"]


def test_first_uses_from_many_threads_do_not_deadlock():
    lines = run_python(
        """
        import threading
        import numpy as np, pandas as pd, quorix
        results, barrier = [], threading.Barrier(8)

        def work(i):
            barrier.wait()
            table = np.full((3, 2), float(i)) if i % 2 else pd.DataFrame({"a": ["x", str(i)]})
            results.append(quorix.Encoder().encode(table).shape)

        threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print(sorted(results))
        """
    )
    assert lines == [str(sorted([(3, 2)] * 4 + [(2, 1)] * 4))]


# ---------------------------------------------------------------------------
# The borrow registry.


class Registry(ctypes.Structure):
    entry = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
    release = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("flags", ctypes.c_void_p),
        ("acquire", entry),
        ("acquire_mut", entry),
        ("release", release),
        ("release_mut", release),
    ]


def registry():
    quorix.Encoder().encode(np.zeros((1, 1)))  # the fast path finds or creates it
    capsule = getattr(importlib.import_module(MULTIARRAY), REGISTRY)
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return ctypes.cast(get_pointer(capsule, REGISTRY.encode()), ctypes.POINTER(Registry)).contents


def test_registry_is_published_with_version_one():
    shared = registry()
    assert shared.version == 1
    assert registry().flags == shared.flags  # found again, not created twice


def test_array_borrowed_for_writing_is_refused():
    shared = registry()
    source = np.arange(6.0).reshape(2, 3)
    assert shared.acquire_mut(shared.flags, source) == 0
    try:
        with pytest.raises(panic_type()) as raised:
            quorix.Encoder().encode(source)
        assert str(raised.value) == "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
        # A view of the same memory is refused too.
        with pytest.raises(panic_type()):
            quorix.Encoder().encode(source[:, :2])
        # Only the fast path borrows: a table read by cells is not affected.
        assert quorix.Encoder().encode(source.astype(object)).shape == (2, 3)
    finally:
        shared.release_mut(shared.flags, source)
    assert quorix.Encoder().encode(source).tolist() == source.tolist()


def test_shared_borrows_coexist_and_are_released():
    shared = registry()
    source = np.ones((2, 2))
    assert shared.acquire(shared.flags, source) == 0
    try:
        assert quorix.Encoder().encode(source).tolist() == [[1.0, 1.0], [1.0, 1.0]]
        # Ours was released; the test's own is still held.
        assert shared.acquire_mut(shared.flags, source) == -1
    finally:
        shared.release(shared.flags, source)
    assert shared.acquire_mut(shared.flags, source) == 0
    shared.release_mut(shared.flags, source)


def test_read_only_arrays_cannot_be_borrowed_for_writing_but_can_be_read():
    shared = registry()
    source = np.ones((1, 2))
    source.flags.writeable = False
    assert shared.acquire_mut(shared.flags, source) == -2
    assert quorix.Encoder().encode(source).tolist() == [[1.0, 1.0]]


REGISTRY_SETUP = f"""
    import ctypes, importlib
    import numpy as np, quorix
    multiarray = importlib.import_module({MULTIARRAY!r})
    capsule_new = ctypes.pythonapi.PyCapsule_New
    capsule_new.restype = ctypes.py_object
    capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]

    def attempt():
        try:
            print("ok", quorix.Encoder().encode(np.zeros((1, 1))).tolist())
        except BaseException as error:
            print(type(error).__name__ + ": " + str(error).splitlines()[0])
"""


def test_registry_of_another_module_is_used():
    lines = run_python(
        REGISTRY_SETUP
        + """
    entry = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
    release = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)
    calls = []
    acquire = entry(lambda flags, array: calls.append("acquire") or 5)
    nothing = entry(lambda flags, array: 0)
    released = release(lambda flags, array: calls.append("release"))
    record = (ctypes.c_void_p * 6)(1, 0, *(ctypes.cast(f, ctypes.c_void_p).value
                                          for f in (acquire, nothing, released, released)))
    name = ctypes.c_char_p(b"_BORROW_CHECKING_API")
    setattr(multiarray, "_BORROW_CHECKING_API", capsule_new(ctypes.addressof(record), name, None))
    attempt()
    print(calls)
    """
    )
    assert lines == ["PanicException: Unexpected return code 5 from borrow checking API", "['acquire']"]


def test_unusable_registry_is_an_internal_error_and_is_retried():
    lines = run_python(
        REGISTRY_SETUP
        + """
    multiarray._BORROW_CHECKING_API = "not a capsule"
    attempt()
    del multiarray._BORROW_CHECKING_API
    attempt()
    print(type(multiarray._BORROW_CHECKING_API).__name__)
    """
    )
    assert lines[0].startswith("PanicException: Internal borrow checking API error: ")
    assert lines[1:] == ["ok [[0.0]]", "PyCapsule"]
