#!/usr/bin/env bash
# Builds the Debian packages build-package/tessiv_VERSION_amd64.deb (the window) and
# build-package/tessiv-server_VERSION_amd64.deb (tessivd, the units, the man page; no desktop): a Release
# build that keeps Setting.ini and log.txt in the user's XDG folders, packed by CPack. Install them with
#   apt-get install ./build-package/tessiv-server_*.deb [./build-package/tessiv_*.deb]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --package
dir=build-package
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSIV_USER_FILES=ON -DBUILD_TESTING=OFF \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON -DTESSIV_WERROR=OFF "$@" >/dev/null
# Only the installed programs; CPack then packs what the install rules name.
cmake --build "$dir" -j "$(nproc)" --target tessiv tessivd
rm -f "$dir"/tessiv_*.deb "$dir"/tessiv-server_*.deb
(cd "$dir" && cpack -G DEB)
ls "$dir"/tessiv_*.deb "$dir"/tessiv-server_*.deb
