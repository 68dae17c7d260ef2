#!/bin/sh
# Configures, builds and runs the engine benchmark; prints markdown tables.
# Usage: bench/run_engine_bench.sh [rows] [repetitions]
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build/engine -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORIX_BUILD_MODULE=OFF \
    -DQUORIX_BUILD_TESTS=ON -DQUORIX_BUILD_BENCH=ON >/dev/null
ninja -C build/engine engine_bench >/dev/null
exec build/engine/engine_bench "$@"
