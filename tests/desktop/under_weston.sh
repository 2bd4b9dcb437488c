#!/usr/bin/env bash
# Runs a test program as the client of a private headless Weston, with Qt's Wayland platform. Exit 77 (a
# skip) when Weston or Qt's Wayland plugin is missing, except in CI, where setup.sh installs both.
set -euo pipefail

missing() {
    if [[ "${CI:-}" == true ]]; then
        echo "under_weston: $1 is missing" >&2
        exit 1
    fi
    echo "under_weston: $1 is missing; skipped" >&2
    exit 77
}
command -v weston >/dev/null || missing weston
qt_plugins=$(dirname "$(find /usr/lib -path '*qt6/plugins/platforms/libqwayland-generic.so' -print -quit)")
[[ -e "$qt_plugins/libqwayland-generic.so" ]] || missing qt6-wayland

# Weston wants a runtime directory only its user can enter; root included.
runtime=$(mktemp -d)
chmod 700 "$runtime"
socket=tessiv-test-$$
XDG_RUNTIME_DIR=$runtime weston --backend=headless-backend.so --socket="$socket" --idle-time=0 \
    >"$runtime/weston.log" 2>&1 &
weston=$!
trap 'kill $weston 2>/dev/null; wait $weston 2>/dev/null; rm -rf "$runtime"' EXIT
for _ in $(seq 100); do
    [[ -S "$runtime/$socket" ]] && break
    kill -0 $weston 2>/dev/null || { cat "$runtime/weston.log" >&2; exit 1; }
    sleep 0.1
done

unset DISPLAY
XDG_RUNTIME_DIR=$runtime WAYLAND_DISPLAY=$socket QT_QPA_PLATFORM=wayland "$@"
