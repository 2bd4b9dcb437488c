#!/usr/bin/env bash
# Builds the benchmarks (Release, build-bench/) and runs them on Qt's offscreen platform, printing Google
# Benchmark's table. Extra arguments go to the benchmark program, e.g. --benchmark_filter=Startup.
#   bash scripts/bench.sh [--benchmark_... options]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --test

build=build-bench
log=$build/build.log
mkdir -p "$build"
if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSIV_BENCHMARKS=ON -DBUILD_TESTING=OFF &&
       cmake --build "$build" -j 2 --target tessiv-bench tessiv-idle-memory tessiv-scale-bench \
           tessiv-history-scale-bench; } >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "bench: build failed (full log: $log)" >&2
    exit 1
fi

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(awk '/MemTotal/ {printf "%.1f GiB RAM", $2 / 1048576}' /proc/meminfo)"
QT_QPA_PLATFORM=offscreen QT_FORCE_STDERR_LOGGING=1 "$build/tessiv-bench" "$@"
QT_QPA_PLATFORM=offscreen "$build/tessiv-idle-memory" 2>/dev/null
"$build/tessiv-scale-bench"
"$build/tessiv-history-scale-bench"
