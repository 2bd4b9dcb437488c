#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz (clang, ASan+UBSan) into build-fuzz/ and runs each one for N
# seconds (default 20) on a copy of its seed corpus. A crash, a timeout or running out of memory fails the
# script; the input that did it is left in build-fuzz/run/<target>/.
#   bash scripts/fuzz.sh [--seconds N]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=20
while (($#)); do
    case $1 in
        --seconds) seconds=${2:?--seconds needs a number}; shift 2 ;;
        --seconds=*) seconds=${1#*=}; shift ;;
        *) echo "usage: $0 [--seconds N]" >&2; exit 2 ;;
    esac
done
[[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "fuzz: --seconds takes a positive whole number" >&2; exit 2; }

bash scripts/setup.sh --test

build=build-fuzz
log=$build/build.log
mkdir -p "$build"
if ! { cmake -S tests/fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$build" -j 2; } >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz: build failed (full log: $log)" >&2
    exit 1
fi

targets=(report_analysis setting_file next_token gbk tessiv_conf maintenance command_line)
failed=()
for target in "${targets[@]}"; do
    run=$build/run/$target
    rm -rf "$run"
    mkdir -p "$run/corpus"
    # The run adds what it finds to this copy, never to the seeds in the repository.
    cp tests/fuzz/corpus/"$target"/* "$run/corpus/"
    if ASAN_OPTIONS=abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
        "$build/fuzz_$target" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
        -artifact_prefix="$run/" "$run/corpus" >"$run/log" 2>&1; then
        printf '%-16s %s\n' "$target" "$(grep -E '^#[0-9]+[[:space:]]+DONE' "$run/log" | tail -n 1)"
    else
        failed+=("$target")
        tail -n 40 "$run/log"
        printf '%-16s FAILED (log: %s, input: %s)\n' "$target" "$run/log" \
            "$(ls "$run"/crash-* "$run"/timeout-* "$run"/oom-* "$run"/leak-* 2>/dev/null | head -n 1)"
    fi
done

if ((${#failed[@]})); then
    echo "fuzz: ${#failed[@]} of ${#targets[@]} targets failed: ${failed[*]}" >&2
    exit 1
fi
echo "fuzz: ${#targets[@]} targets ran ${seconds}s each without a finding"
