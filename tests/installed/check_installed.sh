#!/usr/bin/env bash
# quorix as users get it: a fresh virtual environment, the given wheel or sdist
# installed with pip alone (NumPy and pandas come as its dependencies), then
# the pytest suite, the stub check and the quickstart example run against the
# installed module from a folder outside the source tree; the quickstart runs
# first with nothing but the wheel and palmerpenguins.
#   usage: tests/installed/check_installed.sh PYTHON ARTIFACT
set -euo pipefail
python=$1
artifact=$(realpath "$2")
source_tree=$(realpath "$(dirname "$0")/../..")
kind="$(basename "$artifact")"
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv=$source_tree/build/venv-installed-$version
outside=$(mktemp -d)
trap 'rm -rf "$outside"' EXIT

rm -rf "$venv"
"$python" -m venv "$venv"
py=$venv/bin/python
"$py" -m pip install -q --upgrade pip
echo "== $kind: pip install alone"
"$py" -m pip install -q "$artifact"
"$py" -m pip show -q numpy pandas >/dev/null || { echo "numpy and pandas did not come with $kind" >&2; exit 1; }

# The quickstart as a new user meets it: with the wheel alone it names the one
# package it lacks (what the README's Install section lists), then it runs.
cp "$source_tree/examples/quickstart.py" "$outside/"
echo "== $kind: quickstart"
if (cd "$outside" && "$py" quickstart.py > quickstart.out 2> quickstart.err); then
    echo "the quickstart ran without palmerpenguins" >&2; exit 1
fi
expected="the quickstart reads the Palmer penguins table: pip install palmerpenguins"
[ "$(cat "$outside/quickstart.err")" = "$expected" ] || { cat "$outside/quickstart.err" >&2; exit 1; }
"$py" -m pip install -q palmerpenguins
(cd "$outside" && "$py" quickstart.py > quickstart.out && tail -3 quickstart.out)

# The test requirements beside it, less those only a build from source needs.
grep -vE '^(scikit-build-core|cmake|ninja)\b' "$source_tree/requirements/test.txt" > "$outside/requirements.txt"
"$py" -m pip install -q -r "$outside/requirements.txt"

cp -r "$source_tree/tests/python" "$outside/tests"
cp "$source_tree/examples/text_encoder.py" "$outside/"
cd "$outside"
"$py" - "$venv" <<'EOF'
import sys
from importlib import metadata
from pathlib import Path

import quorix
import quorix_pipeline

venv = Path(sys.argv[1]).resolve()
for module in (quorix, quorix_pipeline):
    assert venv in Path(module.__file__).resolve().parents, f"{module.__name__} imported from {module.__file__}, not {venv}"
print(f"quorix {metadata.version('quorix')} from {quorix.__file__}, quorix_pipeline beside it")
EOF
echo "== $kind: pytest"
"$py" -m pytest -q -n "$(nproc)" -p no:cacheprovider --rootdir "$outside" tests
echo "== $kind: stubtest and mypy --strict"
"$py" -m mypy.stubtest quorix quorix_pipeline
"$py" -m mypy --strict --cache-dir "$outside/.mypy_cache" quickstart.py text_encoder.py
echo "== $kind: text_encoder example"
"$py" text_encoder.py > text_encoder.out
tail -3 text_encoder.out
