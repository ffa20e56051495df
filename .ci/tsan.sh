#!/usr/bin/env bash
# The whole test suite once under ThreadSanitizer (everything but the bench).
# Any report ends the test that made it (halt_on_error) and fails the run.
#   .ci/tsan.sh [build dir (build-tsan)] [cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build-tsan}"
shift || true
start=$(date +%s)
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVAN_SANITIZE=thread \
  -DCORVAN_BUILD_BENCH=OFF "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
# second_deadlock_stack: both stacks of a lock-order report.
export TSAN_OPTIONS="suppressions=$(pwd)/tests/tsan-qt.supp:halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:history_size=4${TSAN_EXTRA:+:$TSAN_EXTRA}"
export QT_QPA_PLATFORM=offscreen
# The suite runs five to ten times slower here. Each test runs once: a
# failure is a failure. Waits in the tests that bound how long the server may
# take are stretched by CORVAN_TEST_TIME_SCALE (tests/support/timing.h).
export CORVAN_TEST_TIME_SCALE="${CORVAN_TEST_TIME_SCALE:-10}"
ctest --test-dir "$dir" --output-on-failure --no-tests=error -j2 --timeout 900
echo "== tsan done in $(( $(date +%s) - start )) s"
