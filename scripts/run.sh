#!/usr/bin/env bash
# Installs what is missing, builds Tessiv and starts it on a demo host list: a local tessiv-testhost serves
# a normal host, a host with a server fault and one that flips to a disk-space fault; a fourth host is
# unreachable. The demo lives in demo/ (its own Setting.ini and log.txt). Without a display the monitor runs
# on a virtual one and demo/screenshot.png shows it after the first rounds.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh --test
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target tessiv tessiv-testhost

demo=$root/demo
mkdir -p "$demo"
cp build/tessiv "$demo/tessiv"
base=18089
path=/Interface/tarv/tarvAction_appreg.action
{
    printf 'Demo-Normal,http://127.0.0.1:%d%s@1\r\n' "$base" "$path"
    printf 'Demo-Location,http://127.0.0.1:%d%s@1\r\n' "$((base + 1))" "$path"
    printf 'Demo-Storage,http://127.0.0.1:%d%s@1\r\n' "$((base + 2))" "$path"
    printf 'Demo-Offline,http://127.0.0.1:%d%s@1\r\n' "$((base + 9))" "$path"
} >"$demo/Setting.ini"

build/tessiv-testhost --serve "$base=tools/demo/normal.txt" --serve "$((base + 1))=tools/demo/server-fault.txt" \
    --serve "$((base + 2))=tools/demo/flipping.txt" &
host=$!
trap 'kill $host 2>/dev/null || true' EXIT

cd "$demo"
if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
    ./tessiv
else
    echo "run: no display; the monitor runs on a virtual one (screenshot: demo/screenshot.png, Ctrl-C ends it)"
    xvfb-run -a -s "-screen 0 1024x600x24" bash -c '
        ./tessiv & app=$!
        trap "kill $app 2>/dev/null" INT TERM
        while kill -0 $app 2>/dev/null; do
            sleep 5; import -window root screenshot.png 2>/dev/null || true
        done'
fi
