#!/usr/bin/env bash
# Installs what is missing, builds Tessiv from scratch and runs every test: the suite in a plain build
# (build/), a 2 000-round soak of the real window, each fuzz target for a short while, then the suite again
# under AddressSanitizer with UndefinedBehaviorSanitizer (build-asan/) and ThreadSanitizer (build-tsan/).
# Set TESSIV_SANITIZERS="" to skip the sanitizer builds.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --test
jobs=$(nproc)
sanitizers=${TESSIV_SANITIZERS-address thread}
export QT_QPA_PLATFORM=offscreen

suite() {
    local dir=$1 sanitize=$2
    echo "== ${dir}: configure and build"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSIV_WERROR=ON \
        -DTESSIV_SANITIZE="$sanitize" >/dev/null
    cmake --build "$dir" -j "$jobs"
    echo "== ${dir}: test"
    ctest --test-dir "$dir" --output-on-failure --timeout 300 -j "$jobs"
}

bash scripts/format.sh --check
echo "== layers: every #include against scripts/layers.txt"
python3 scripts/check-layers.py
echo "== links: no folder includes a header it does not link"
python3 scripts/check-links.py
suite build ""
echo "== install: desktop entry, AppStream metadata, man page, the Debian package, per-user files"
bash scripts/check-install.sh
echo "== alert rules"
promtool check rules docs/tessiv.rules.yml
promtool test rules tests/integrations/tessiv_rules_test.yml
echo "== soak: 2000 rounds of the real window against changing hosts"
build/tests/tessiv-soak --rounds 2000
echo "== fuzz"
bash scripts/fuzz.sh --seconds 15
for sanitizer in $sanitizers; do
    case $sanitizer in
        address) ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 suite build-asan address ;;
        thread) TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp second_deadlock_stack=1" suite build-tsan thread ;;
    esac
done
echo "== all suites passed"
