#!/usr/bin/env bash
# Runs every load-generator scenario once at a tiny size, so the tool never
# rots. Builds nothing: give it a build folder that already holds
# corvan-server, corvan-bench and corvan-limit-server.
#
#   bash bench/smoke.sh build
#
# No thresholds: the figures are printed, not judged. The status is non-zero
# only when a scenario could not run to its end (a missing notice, a failed
# start, a time limit).
set -euo pipefail
build="${1:?usage: bench/smoke.sh <build folder>}"
bench="$build/bench/corvan-bench/corvan-bench"
for program in "$bench" "$build/bench/limits/corvan-limit-server" "$build/src/app/corvan-server"; do
  [[ -x "$program" ]] || { echo "smoke: missing $program (build it first)" >&2; exit 2; }
done
status=0
for scenario in login directory heartbeats idle offline evening files relogin crowd; do
  timeout 300 "$bench" "$scenario" --smoke --server "$build/src/app/corvan-server" \
    --limit "$build/bench/limits/corvan-limit-server" || status=1
done
# The directory sync against a local slapd (built with the tests only).
directory_bench="$build/bench/directory_sync/corvan-directory-bench"
if [[ -x "$directory_bench" ]]; then
  timeout 300 "$directory_bench" --smoke || status=1
fi
exit $status
