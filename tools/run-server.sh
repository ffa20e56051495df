#!/usr/bin/env bash
# Sets everything up and runs the server. Data lives in $CORVAN_HOME
# (default: ./corvan-data beside the checkout). Without a display the server
# runs headless: the status log goes to standard output, Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
# A folder of its own: the test build in build/ keeps its tests.
bash tools/build.sh build-server -DCORVAN_BUILD_TESTS=OFF -DCORVAN_BUILD_BENCH=OFF
export CORVAN_HOME="${CORVAN_HOME:-$PWD/corvan-data}"
mkdir -p "$CORVAN_HOME"
echo "Data folder: $CORVAN_HOME"
echo "Manage it from another terminal: CORVAN_HOME=$CORVAN_HOME build-server/src/app/corvanctl status"
exec build-server/src/app/corvan-server
