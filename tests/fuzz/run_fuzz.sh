#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each one (every
# tests/fuzz/<target>_fuzz.cpp, or the targets named) for a bounded time
# (default 60 s each) on a scratch copy of its seed corpus and kept
# regressions, so the committed corpus never grows. An input that a target
# fails on is written to tests/fuzz/regressions/<target>/, where the C++
# tests replay it: commit it with the fix. Exits non-zero when any target
# failed, after running the others.
#
#   tests/fuzz/run_fuzz.sh [seconds] [target ...]
set -euo pipefail

seconds="${1:-60}"
shift || true
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
fuzz="$root/tests/fuzz"
build="$root/build/fuzz"

if [ "$#" -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for source in "$fuzz"/*_fuzz.cpp; do
        name="$(basename "$source" .cpp)"
        targets+=("${name%_fuzz}")
    done
fi

# Optimised but with asserts on: they check invariants of the code under test.
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" \
    -DQUORIX_FUZZ=ON -DQUORIX_BUILD_MODULE=OFF -DQUORIX_BUILD_TESTS=OFF -DQUORIX_BUILD_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" >/dev/null
cmake --build "$build" --parallel --target "${targets[@]/%/_fuzz}"

failed=()
summary=()
for target in "${targets[@]}"; do
    corpus="$build/corpus-run/$target"
    regressions="$fuzz/regressions/$target"
    log="$build/logs/$target.log"
    rm -rf "$corpus"
    mkdir -p "$corpus" "$regressions" "$(dirname "$log")"
    cp "$fuzz/corpus/$target"/* "$corpus"/
    find "$regressions" -maxdepth 1 -type f ! -name '.*' -exec cp {} "$corpus"/ \;
    dict=()
    [ -f "$fuzz/$target.dict" ] && dict=(-dict="$fuzz/$target.dict")

    echo "== $target: ${seconds} s"
    stamp="$build/logs/$target.start"
    touch "$stamp"
    status=0
    "$build/${target}_fuzz" \
        -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=4096 -timeout=10 \
        "${dict[@]}" -artifact_prefix="$regressions/" -print_final_stats=1 "$corpus" \
        2>&1 | tee "$log" || status=$?
    executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
    coverage="$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1 || true)"
    if [ "$status" -ne 0 ]; then
        failed+=("$target")
        kept="$(find "$regressions" -maxdepth 1 -type f -newer "$stamp" -printf '%f ')"
        summary+=("$target: FAILED, kept in tests/fuzz/regressions/$target/: ${kept:-nothing} (log $log)")
    else
        summary+=("$target: ${seconds} s clean, ${executions:-?} executions, ${coverage:-no coverage line}")
    fi
done

echo "== fuzzing summary"
printf '%s\n' "${summary[@]}"
[ "${#failed[@]}" -eq 0 ]
