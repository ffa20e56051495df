#!/usr/bin/env bash
# Builds the Debian package corvan-server_VERSION_ARCH.deb into the top of the
# checkout: tools/build-deb.sh [BUILD_DIR] [cmake options...] (default
# build-deb). The package's file name is the last line printed.
#
# A Release-like build (RelWithDebInfo, stripped when packed) of the two
# programs only, without tests or benchmarks, installed under /usr. It is
# configured by tools/build.sh with the compiler flags of the other build
# folders, so ccache serves it the objects build/ or build-server/ made.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build-deb}"
shift || true
bash tools/install-deps.sh
missing=()
for p in dpkg-dev file; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  echo "== 安装软件包：${missing[*]}"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
bash tools/build.sh "$dir" -DCMAKE_INSTALL_PREFIX=/usr -DCORVAN_BUILD_TESTS=OFF -DCORVAN_BUILD_BENCH=OFF "$@"
echo "== 打包（CPack）"
(cd "$dir" && cpack -G DEB)
deb=$(ls -t "$dir"/corvan-server_*.deb | head -1)
cp "$deb" .
echo "$(basename "$deb")"
