#!/usr/bin/env bash
# Configures and builds into a build folder: tools/build.sh [BUILD_DIR] [cmake options...]
# The project's options start from their defaults at every call and only the
# options given here change them, so what an earlier configure of the same
# folder chose never sticks.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
shift || true
# Every build folder configured here gets the same compiler flags unless an
# option below is changed, so ccache serves one folder's objects to another
# (see CMakeLists.txt).
echo "== 配置 $dir（CMake）"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVAN_BUILD_TESTS=ON -DCORVAN_BUILD_BENCH=ON -DCORVAN_BUILD_CONSOLE=ON -DCORVAN_BUILD_FUZZ=OFF \
  -DCORVAN_SANITIZE= -DCORVAN_WERROR=OFF "$@"
echo "== 编译 $dir（[完成/总数] 为进度）"
cmake --build "$dir" -j"$(nproc)"
