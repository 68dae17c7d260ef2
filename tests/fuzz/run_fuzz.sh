#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs the state-bytes fuzzer for a
# bounded time (default 60 s) on a scratch copy of the seed corpus, so the
# committed corpus never grows. Crashing inputs land in build/fuzz/artifacts/.
#
#   tests/fuzz/run_fuzz.sh [seconds]
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$root/build/fuzz"

# Optimised but with asserts on: they check invariants of the writer.
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" \
    -DQUORIX_FUZZ=ON -DQUORIX_BUILD_MODULE=OFF -DQUORIX_BUILD_TESTS=OFF -DQUORIX_BUILD_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" >/dev/null
cmake --build "$build" --target state_bytes_fuzz --parallel

corpus="$build/corpus-run/state_bytes"
artifacts="$build/artifacts/"
rm -rf "$corpus"
mkdir -p "$corpus" "$artifacts"
cp "$root"/tests/fuzz/corpus/state_bytes/* "$corpus"/

"$build/state_bytes_fuzz" \
    -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=4096 -timeout=10 \
    -dict="$root/tests/fuzz/state_bytes.dict" -artifact_prefix="$artifacts" \
    -print_final_stats=1 "$corpus"
