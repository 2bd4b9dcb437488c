#!/usr/bin/env bash
# Builds the Debian package build-package/tessiv_VERSION_amd64.deb: a Release build that keeps Setting.ini
# and log.txt in the user's XDG folders, packed by CPack. Install it with
#   apt-get install ./build-package/tessiv_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --package
dir=build-package
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSIV_USER_FILES=ON -DBUILD_TESTING=OFF \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON -DTESSIV_WERROR=OFF "$@" >/dev/null
# Only the installed program; CPack then packs what the install rules name.
cmake --build "$dir" -j "$(nproc)" --target tessiv
rm -f "$dir"/tessiv_*.deb
(cd "$dir" && cpack -G DEB)
ls "$dir"/tessiv_*.deb
