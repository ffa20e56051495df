#!/usr/bin/env bash
# Builds the Debian package corvan-server_VERSION_ARCH.deb into the top of the
# checkout: tools/build-deb.sh [BUILD_DIR] (default build-deb).
#
# A Release-like build (RelWithDebInfo, stripped when packed) of the two
# programs only, without tests or benchmarks, installed under /usr; ccache
# shares its objects with the other build folders.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build-deb}"
bash tools/install-deps.sh
missing=()
for p in dpkg-dev file; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DCORVAN_BUILD_TESTS=OFF -DCORVAN_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" --target corvan-server corvanctl corvan_packaging_docs corvan_web_ui
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls -t "$dir"/corvan-server_*.deb | head -1)
cp "$deb" .
echo "$(basename "$deb")"
