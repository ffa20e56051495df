#!/usr/bin/env bash
# Sets everything up, builds, and runs the whole test suite with ctest.
# tools/run-tests.sh [BUILD_DIR] [cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
dir="${1:-build}"
shift || true
bash tools/build.sh "$dir" "$@"
export QT_QPA_PLATFORM=offscreen
# Tests bind loopback ports of their own; run two at a time on two cores.
# A build that holds no test fails the run rather than passing it.
ctest --test-dir "$dir" --output-on-failure --no-tests=error -j2 --timeout 600
