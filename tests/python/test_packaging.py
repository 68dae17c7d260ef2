"""The distribution as pip installs it, and the source build's set-up."""

import os
import re
import shutil
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest

import quorix

MINOR = "%d.%d" % sys.version_info[:2]
SOURCE_TREE = Path(__file__).resolve().parents[2]
needs_source_tree = pytest.mark.skipif(
    not (SOURCE_TREE / "CMakeLists.txt").is_file() or shutil.which("cmake") is None,
    reason="needs the source tree and CMake (the suite runs against an installed wheel too)",
)


def test_metadata_names_version_license_and_dependencies():
    meta = metadata.metadata("quorix")
    assert re.fullmatch(r"\d+\.\d+\.\d+", metadata.version("quorix"))
    assert meta["License-Expression"] == "MIT"
    assert meta["Requires-Python"] == ">=3.11"
    versions = [c for c in meta.get_all("Classifier") if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)]
    assert versions == [f"Programming Language :: Python :: 3.{minor}" for minor in (11, 12, 13)]
    requirements = {re.split(r"[<>=!~ ;]", r, maxsplit=1)[0] for r in meta.get_all("Requires-Dist")}
    assert requirements == {"numpy", "pandas"}


def test_stub_is_installed_beside_the_module_and_as_stub_package():
    files = {str(f): f for f in metadata.files("quorix")}
    stubs = [files["quorix.pyi"], files["quorix-stubs/__init__.pyi"]]
    module_dir = Path(quorix.__file__).resolve().parent
    assert {Path(s.locate()).resolve().parent for s in stubs} == {module_dir, module_dir / "quorix-stubs"}
    assert stubs[0].read_text() == stubs[1].read_text()
    assert "class Encoder" in stubs[0].read_text()


@needs_source_tree
@pytest.mark.parametrize(
    "how",
    [
        # Nothing anywhere: every search path rerooted to a folder without it.
        ["-DCMAKE_FIND_ROOT_PATH={empty}", "-DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY"],
        # Pointed at a folder that does not hold it.
        ["-DXXHASH_INCLUDE_DIR={empty}"],
    ],
)
def test_missing_xxhash_header_stops_cmake_with_one_line_saying_what_to_do(tmp_path, how):
    empty = tmp_path / "empty"
    empty.mkdir()
    result = configure(tmp_path, [arg.format(empty=empty) for arg in how])
    assert result.returncode != 0
    lines = [line for line in result.stderr.splitlines() if "xxhash.h" in line]
    assert [line.strip() for line in lines] == [
        "xxhash.h not found: install libxxhash-dev (Debian, Ubuntu), xxhash-devel (Fedora) or xxhash (conda), "
        "or set XXHASH_INCLUDE_DIR (environment or CMake cache variable) to the directory holding it"
    ]


@needs_source_tree
@pytest.mark.parametrize(
    ("args", "env", "mark", "line"),
    [
        (
            # As pip's build names it: the interpreter's include folder, without its headers.
            ["-DQUORIX_BUILD_MODULE=ON", f"-DPython_EXECUTABLE={sys.executable}", "-DPython_INCLUDE_DIR={empty}"],
            {},
            "Python.h",
            f"Python.h of CPython {MINOR} not found: install python{MINOR}-dev (Debian, Ubuntu) or "
            f"python{MINOR}-devel (Fedora), or build with an interpreter that has its headers",
        ),
        (
            [],
            {"CXX": "{empty}/c++"},
            "compiler",
            "no C++ compiler found: install g++ 12 or newer (g++ on Debian and Ubuntu, gcc-c++ on Fedora, "
            "cxx-compiler in conda), or set CXX to the compiler's path",
        ),
    ],
    ids=["python-header", "compiler"],
)
def test_a_missing_header_or_compiler_stops_cmake_with_one_line_saying_what_to_do(tmp_path, args, env, mark, line):
    empty = tmp_path / "empty"
    empty.mkdir()
    env = {k: v.format(empty=empty) for k, v in env.items()}
    result = configure(tmp_path / "build", [arg.format(empty=empty) for arg in args], **env)
    assert result.returncode != 0
    assert [text.strip() for text in result.stderr.splitlines() if mark in text] == [line]


@needs_source_tree
def test_xxhash_include_dir_from_the_environment_is_searched_first(tmp_path):
    found = configure(tmp_path / "system", [])
    assert found.returncode == 0, found.stderr
    system_dir = cached(tmp_path / "system", "XXHASH_INCLUDE_DIR")
    chosen = tmp_path / "include"
    chosen.mkdir()
    shutil.copy(Path(system_dir) / "xxhash.h", chosen)
    result = configure(tmp_path / "env", [], XXHASH_INCLUDE_DIR=str(chosen))
    assert result.returncode == 0, result.stderr
    assert cached(tmp_path / "env", "XXHASH_INCLUDE_DIR") == str(chosen)


def configure(build_dir, args, **env):
    # CMake runs as a user would run it, without the sanitizer runtime that the
    # sanitizer suite preloads into this interpreter.
    base = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "XXHASH_INCLUDE_DIR")}
    return subprocess.run(
        ["cmake", "-S", str(SOURCE_TREE), "-B", str(build_dir), "-DQUORIX_BUILD_MODULE=OFF", *args],
        env={**base, **env},
        capture_output=True,
        text=True,
        timeout=120,
    )


def cached(build_dir, name):
    text = (build_dir / "CMakeCache.txt").read_text()
    return re.search(rf"^{name}:\w+=(.*)$", text, re.MULTILINE).group(1)


def test_companion_package_is_installed_typed_and_imports_without_scikit_learn():
    files = {str(f) for f in metadata.files("quorix")}
    assert {"quorix_pipeline/__init__.py", "quorix_pipeline/py.typed", "quorix_pipeline/_native.pyi"} <= files
    assert any(f.startswith("quorix_pipeline/_native.") and f.endswith(".so") for f in files)
    code = "import sys, quorix_pipeline; assert 'sklearn' not in sys.modules; print(quorix_pipeline.__all__)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "['NotFittedError', 'TextEncoder', 'merge']"
