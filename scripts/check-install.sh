#!/usr/bin/env bash
# Checks Tessiv as it is installed. Builds the Debian packages (scripts/package.sh), installs the same build
# into a temporary prefix and validates the desktop entry, the AppStream metadata and the man page, checks
# the packages' control fields (the server package's Depends name no GUI, sound or D-Bus package) and that
# together they hold exactly the installed files, verifies the systemd units,
# then runs the installed tessiv on a virtual display with HOME and the XDG variables pointed at temporary
# folders: Setting.ini is read from and saved to the config folder, an alarm lands in the state folder's
# log.txt, nothing is written beside the executable, and the window's WM_CLASS is the desktop entry's
# StartupWMClass.
# Uses build/tessiv-testhost when a plain build has made it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh --test
bash scripts/package.sh -DTESSIV_WERROR=ON

id=org.example.Tessiv
tmp=$(mktemp -d)
host=
cleanup() {
    if [[ -n $host ]]; then kill "$host" 2>/dev/null || true; fi
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
    echo "check-install: $*" >&2
    exit 1
}

echo "== installed files"
prefix=$tmp/prefix
cmake --install build-package --prefix "$prefix" >/dev/null
desktop=$prefix/share/applications/$id.desktop
metainfo=$prefix/share/metainfo/$id.metainfo.xml
man=$prefix/share/man/man1/tessiv.1
for size in 16 32 48 64 128; do
    [[ -f $prefix/share/icons/hicolor/${size}x${size}/apps/$id.png ]] || fail "no ${size}x${size} icon"
done
desktop-file-validate "$desktop"
appstreamcli validate --no-net "$metainfo"
warnings=$(groff -man -Tutf8 -ww -z "$man" 2>&1)
[[ -z $warnings ]] || fail "the man page renders with warnings: $warnings"
MANWIDTH=100 man -l "$man" 2>/dev/null | grep -q 'XDG_STATE_HOME/tessiv/log.txt' || fail "man page: no FILES"

echo "== packages"
deb=$(ls build-package/tessiv_*_amd64.deb)
server=$(ls build-package/tessiv-server_*_amd64.deb)
dpkg-deb -I "$deb" >/dev/null
dpkg-deb -I "$server" >/dev/null
field() { dpkg-deb -f "$deb" "$1"; }
version=$(field Version)
[[ $deb == "build-package/tessiv_${version}_amd64.deb" && $(field Package) == tessiv ]] || fail "package $deb"
[[ $(field Architecture) == amd64 && -n $(field Maintainer) && -n $(field Description) ]] || fail "control"
[[ $server == "build-package/tessiv-server_${version}_amd64.deb" &&
    $(dpkg-deb -f "$server" Package) == tessiv-server && -n $(dpkg-deb -f "$server" Description) ]] ||
    fail "package $server"
depends=$(field Depends)
# dpkg-shlibdeps found the linked libraries; libcurl and the plugins, opened at run time, are listed by hand.
for package in libqt6widgets6 libqt6multimedia6 libcurl4 qt6-qpa-plugins qt6-wayland gstreamer1.0-plugins-base tessiv-server; do
    [[ ", $depends," == *", $package"[\ ,]* ]] || fail "Depends lacks $package: $depends"
done
# The server package pulls nothing of a desktop: no GUI, widget, sound, D-Bus or display library.
serverdepends=$(dpkg-deb -f "$server" Depends)
for package in libqt6core6 libqt6network6 libcurl4; do
    [[ ", $serverdepends," == *", $package"[\ ,]* ]] || fail "tessiv-server Depends lacks $package: $serverdepends"
done
gui='^(libqt6(gui|widgets|multimedia|dbus|opengl|waylandclient|xcbqpa)|qt6-(qpa-plugins|wayland)|gstreamer|libgstreamer|libx11|libxcb|libxkbcommon|libwayland|libgl|libegl|libopengl|libasound|libpulse|libpipewire|libdbus)'
for package in $(tr ',|' '\n\n' <<<"$serverdepends" | awk '{ print $1 }'); do
    [[ ! $package =~ $gui ]] || fail "tessiv-server depends on $package, a desktop package: $serverdepends"
done
grep -q "<release version=\"$version\"" "$metainfo" || fail "AppStream metadata has no release $version"
packed=$({ dpkg-deb -c "$deb"; dpkg-deb -c "$server"; } | awk '$1 !~ /^d/ { print $1, $6 }' | sed 's| \./usr/| |' | sort)
installed=$(cd "$prefix" && find . -type f -printf '%M %P\n' | sort)
[[ $packed == "$installed" ]] || fail "the package holds other files than the install rules: $(diff <(echo "$packed") <(echo "$installed"))"

echo "== systemd units"
# systemd-analyze verify loads a unit with everything it needs and checks that its programs exist; a bad
# value is only a warning, so any output fails the check. The template is checked as the package installs
# it: the package unpacked into a root that also holds this system's units and kill. systemd 252 takes no
# --root for user units, so the user unit is checked in place with ExecStart pointed at the unpacked tessiv.
unitroot=$tmp/unitroot
dpkg-deb -x "$server" "$unitroot"
[[ -x $unitroot/usr/bin/tessivd ]] || fail "tessiv-server has no /usr/bin/tessivd for the units' ExecStart"
cp -an /usr/lib/systemd/system "$unitroot/usr/lib/systemd/"
ln -s usr/bin "$unitroot/bin"
cp /usr/bin/kill "$unitroot/usr/bin/"
export MANPATH=$unitroot/usr/share/man
out=$(systemd-analyze verify --root="$unitroot" tessiv@site-a.service 2>&1) || fail "tessiv@.service: $out"
[[ -z $out ]] || fail "tessiv@.service: $out"
user=$unitroot/usr/lib/systemd/user/tessiv.service
sed 's|exec /usr/bin/tessivd'"'"'|exec '"$unitroot"'/usr/bin/tessivd'"'"'|' "$user" >"$tmp/tessiv.service"
grep -q "^ExecStart=.*exec $unitroot/usr/bin/tessivd'\$" "$tmp/tessiv.service" ||
    fail "tessiv.service: ExecStart does not end in /usr/bin/tessivd"
mkdir -m 0700 "$tmp/runtime"
out=$(XDG_RUNTIME_DIR=$tmp/runtime systemd-analyze verify --user "$tmp/tessiv.service:tessiv.service" 2>&1) ||
    fail "tessiv.service: $out"
[[ -z $out ]] || fail "tessiv.service: $out"
unset MANPATH
systemd-analyze security --offline=yes --root="$unitroot" tessiv@site-a.service 2>&1 | tail -n 1 || true
# The user unit's command as systemd runs it (%h and $$ resolved, the unit's umask) starts tessiv in
# $XDG_STATE_HOME/tessiv, made 0700, and in ~/.local/state/tessiv where XDG_STATE_HOME is not absolute.
printf '#!/bin/sh\npwd >"%s"\n' "$tmp/started-in" >"$tmp/fake-tessiv"
chmod +x "$tmp/fake-tessiv"
command=$(sed -n 's/^ExecStart=//p' "$user")
command=${command//\$\$/\$}
command=${command//%h/$tmp/unit-home}
command=${command//\/usr\/bin\/tessivd/$tmp/fake-tessiv}
for state in "$tmp/unit-state" relative; do
    expected=$state/tessiv
    [[ $state == /* ]] || expected=$tmp/unit-home/.local/state/tessiv
    rm -f "$tmp/started-in"
    (export HOME=$tmp/unit-home XDG_STATE_HOME=$state && umask 0077 && eval "$command")
    [[ $(cat "$tmp/started-in" 2>/dev/null) == "$expected" ]] ||
        fail "tessiv.service with XDG_STATE_HOME=$state does not start in $expected"
    [[ $(stat -c %a "$expected") == 700 ]] || fail "tessiv.service makes $expected other than 0700"
done
# A start that leaves because another monitor watches its folder is not restarted by either unit.
mkdir "$tmp/unit-data"
: >"$tmp/unit-data/Setting.ini"
"$unitroot/usr/bin/tessivd" --data-dir "$tmp/unit-data" >/dev/null 2>&1 &
first=$!
for _ in $(seq 100); do grep -qs / "$tmp/unit-data/.tessiv.lock" && break; sleep 0.1; done
status=0
timeout 20 "$unitroot/usr/bin/tessivd" --data-dir "$tmp/unit-data" >/dev/null 2>"$tmp/second.err" ||
    status=$?
kill "$first"
wait "$first" || true
for unit in "$user" "$unitroot/usr/lib/systemd/system/tessiv@.service"; do
    prevent=$(sed -n 's/^RestartPreventExitStatus=//p' "$unit")
    [[ $status != 0 && " $prevent " == *" $status "* ]] ||
        fail "$(basename "$unit") restarts a start in a watched folder: status $status, $(cat "$tmp/second.err")"
done

echo "== per-user files of the installed tessiv"
testhost=build/tessiv-testhost
if [[ ! -x $testhost ]]; then
    cmake --build build-package --target tessiv-testhost >/dev/null
    testhost=build-package/tessiv-testhost
fi
"$testhost" --serve "0=$root/tools/demo/server-fault.txt" >"$tmp/host.txt" &
host=$!
for _ in $(seq 100); do [[ -s $tmp/host.txt ]] && break; sleep 0.1; done
url=$(cut -d' ' -f1 "$tmp/host.txt")
[[ $url == http://* ]] || fail "the status host did not start"

home=$tmp/home config=$tmp/config cwd=$tmp/cwd
mkdir -p "$home" "$config/tessiv" "$cwd"
printf 'FromConfig,%s@1\n' "$url" >"$config/tessiv/Setting.ini"  # LF only: a save writes CR LF
printf 'Beside,%s@1\n' "$url" >"$prefix/bin/Setting.ini"
cp "$prefix/bin/Setting.ini" "$tmp/beside.ini"
state=$home/.local/state/tessiv  # XDG_STATE_HOME is relative below, so it is ignored
export HOME=$home XDG_CONFIG_HOME=$config XDG_STATE_HOME=relative/state state tmp
cd "$cwd"
# The test command runs everything else offscreen; the installed program needs the virtual display.
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x600x24" bash -euo pipefail -c '
    fail() { echo "check-install: $*" >&2; kill $app 2>/dev/null; exit 1; }
    "$0" 2>"$tmp/tessiv.err" &
    app=$!
    window=$(timeout 20 xdotool search --sync --onlyvisible --limit 1 --pid "$app") ||
        fail "no window: $(cat "$tmp/tessiv.err")"
    xprop -id "$window" WM_CLASS >"$tmp/wmclass.txt"
    # A click on 管理服务器 (its centre, in pixels of the fixed-size window) opens the server list; Esc
    # closes it, which saves it.
    xdotool mousemove --window "$window" 716 160 click 1
    dialog=$(timeout 20 xdotool search --sync --onlyvisible --limit 1 --name "^ServersInfo$") ||
        fail "the server list did not open"
    xdotool windowfocus --sync "$dialog" key Escape
    for _ in $(seq 300); do grep -qs FromConfig "$state/log.txt" && break; sleep 0.1; done
    kill $app || fail "tessiv ended by itself: $(cat "$tmp/tessiv.err")"' "$prefix/bin/tessiv"
cd "$root"

[[ $(cat "$config/tessiv/Setting.ini") == "FromConfig,$url@1"$'\r' ]] || fail "Setting.ini was not saved to $config"
grep -q FromConfig "$state/log.txt" || fail "no alarm in $state/log.txt: $(cat "$tmp/tessiv.err")"
grep -q Beside "$state/log.txt" && fail "read the Setting.ini beside the executable"
[[ $(stat -c %a "$state") == 700 && $(stat -c %a "$home/.local") == 700 ]] || fail "state folders not 0700"
[[ ! -e $prefix/bin/log.txt && ! -e $cwd/log.txt && ! -e $cwd/Setting.ini ]] || fail "wrote beside the executable"
cmp -s "$tmp/beside.ini" "$prefix/bin/Setting.ini" || fail "changed the Setting.ini beside the executable"
class=$(sed -n 's/.*= "[^"]*", "\([^"]*\)"/\1/p' "$tmp/wmclass.txt")
grep -qx "StartupWMClass=$class" "$desktop" || fail "window class '$class' is not the desktop entry's StartupWMClass"
echo "== installed Tessiv checked"
