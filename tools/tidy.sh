#!/usr/bin/env bash
# Runs clang-tidy with the checks in .clang-tidy over every source file in
# src/ (and the headers of src/ they include), using the compile commands of
# a configured build folder. Any finding fails the run.
#   tools/tidy.sh [BUILD_DIR (build)] [jobs (nproc)]
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
jobs="${2:-$(nproc)}"
if [[ ! -f "$dir/compile_commands.json" ]]; then
  echo "tidy: no $dir/compile_commands.json (configure and build $dir first: tools/build.sh $dir)" >&2
  exit 2
fi
run_clang_tidy="$(command -v run-clang-tidy || command -v run-clang-tidy-14)"
start=$(date +%s)
# The console's generated sources (moc, uic) must exist before they are read.
cmake --build "$dir" -j"$jobs" >/dev/null
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
# run-clang-tidy always asks for colour; the escapes are stripped so that the
# findings can be picked out below.
"$run_clang_tidy" -p "$dir" -j "$jobs" -quiet "^$(pwd)/src/.*\.cpp$" 2>&1 \
  | sed -E 's/\x1b\[[0-9;]*m//g' >"$log" || status=$?
# Findings only, each once (a header's finding repeats for every file that
# includes it).
grep -E '^[^ ]+:[0-9]+:[0-9]+: (warning|error):' "$log" | sort -u || true
if (( status != 0 )); then
  grep -qE ': (warning|error):' "$log" || tail -n 40 "$log"
  echo "tidy: findings (or a failed run) after $(( $(date +%s) - start )) s" >&2
  exit 1
fi
echo "tidy: no findings in $(pwd)/src ($(( $(date +%s) - start )) s)"
