#!/usr/bin/env bash
# Builds the libFuzzer targets (clang; the core with fuzzer coverage,
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each for a
# bounded time from its seed corpus. Any crash, leak, sanitizer report or
# time-out fails the script.
#   .ci/fuzz.sh [seconds per target (60)] [build dir (build-fuzz)]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
dir="${2:-build-fuzz}"
start=$(date +%s)

CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVAN_BUILD_FUZZ=ON -DCORVAN_SANITIZE=fuzzer-no-link,address,undefined \
  -DCORVAN_BUILD_BENCH=OFF -DCORVAN_BUILD_CONSOLE=OFF >/dev/null
cmake --build "$dir" --target corvan_fuzz -j"$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
bin="$(cd "$dir" && pwd)/tests/fuzz"
corpus="$(pwd)/tests/fuzz/corpus"
targets=(frame envelope envelope_diff udp offline_message transfer_header record_stream config)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
for t in "${targets[@]}"; do
  echo "== fuzz_$t (${seconds} s)"
  # New inputs go to a scratch corpus; the seeds in the repository stay small.
  mkdir -p "$work/$t"
  # Run in the scratch folder: crash-*, leak-* and timeout-* files land there.
  if ! (cd "$work" && "$bin/fuzz_$t" -max_total_time="$seconds" -timeout=10 \
          -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
          "$work/$t" "$corpus/$t" 2>"$work/$t.log"); then
    tail -n 60 "$work/$t.log"
    # Keep the inputs that failed beside the build for reproduction:
    #   build-fuzz/tests/fuzz/fuzz_<target> build-fuzz/fuzz-findings/crash-...
    mkdir -p "$dir/fuzz-findings"
    cp "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* "$dir/fuzz-findings/" 2>/dev/null || true
    ls "$dir/fuzz-findings"
    failed=1
  else
    grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" "$work/$t.log" || true
  fi
done
echo "== fuzz done in $(( $(date +%s) - start )) s"
exit "$failed"
