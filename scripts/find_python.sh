#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the given minor version (3.12):
# the one named in PYTHON_<major>_<minor> (PYTHON_3_12), else python3.12 on
# the PATH when it runs, else the newest pyenv installation of that version.
#   usage: scripts/find_python.sh 3.12
set -euo pipefail
version=$1
override=PYTHON_${version//./_}
runs() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != tuple(map(int, sys.argv[1].split("."))))' "$version" 2>/dev/null; }

if [ -n "${!override:-}" ]; then
    runs "${!override}" || { echo "$override=${!override} is not a CPython $version interpreter" >&2; exit 1; }
    command -v "${!override}"
    exit 0
fi
if command -v "python$version" >/dev/null && runs "python$version"; then
    command -v "python$version"
    exit 0
fi
if command -v pyenv >/dev/null; then
    installed=$(pyenv latest "$version" 2>/dev/null || true)
    if [ -n "$installed" ] && runs "$(pyenv root)/versions/$installed/bin/python$version"; then
        echo "$(pyenv root)/versions/$installed/bin/python$version"
        exit 0
    fi
fi
echo "no CPython $version found: install it (pyenv install $version, or your system's python$version with its venv module), or set $override to its path" >&2
exit 1
