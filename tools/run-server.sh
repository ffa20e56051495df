#!/usr/bin/env bash
# Sets everything up and runs the server:
#
#   bash tools/run-server.sh [--port N] [--no-build]
#
# Data lives in $CORVAN_HOME (default: ./corvan-data beside the checkout), a
# folder only its owner may enter. Without a display the server runs headless:
# the status log goes to standard output, Ctrl-C stops it.
#
#   --port N (or CORVAN_PORT=N)  listen on port N; the port is kept in the data
#                                folder's Configure.xml for later runs (9475 at
#                                first)
#   --no-build                   run what the build folder holds, without
#                                installing or building (CORVAN_BUILD_DIR names
#                                the build folder; default build-server)
#
# When the server cannot listen on its port, the script says how to choose
# another one.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "用法：bash tools/run-server.sh [--port 端口] [--no-build]（或 CORVAN_PORT=端口 bash tools/run-server.sh）"
}

port="${CORVAN_PORT:-}"
port_given=""
[ -z "$port" ] || port_given=yes
build=yes
while [ $# -gt 0 ]; do
  case "$1" in
    --port)
      if [ $# -lt 2 ]; then
        echo "--port 需要一个端口号" >&2
        usage >&2
        exit 2
      fi
      port="$2"
      port_given=yes
      shift 2
      ;;
    --port=*) port="${1#--port=}"; port_given=yes; shift ;;
    --no-build) build=""; shift ;;
    -h | --help) usage; exit 0 ;;
    *)
      echo "未知的选项：$1" >&2
      usage >&2
      exit 2
      ;;
  esac
done
if [ -n "$port_given" ] && ! { [[ "$port" =~ ^[0-9]{1,5}$ ]] && ((10#$port >= 1 && 10#$port <= 65535)); }; then
  echo "端口应为 1-65535 之间的整数：$port" >&2
  exit 2
fi

dir="${CORVAN_BUILD_DIR:-build-server}"
if [ -n "$build" ]; then
  bash tools/install-deps.sh
  # A folder of its own: the test build in build/ keeps its tests.
  bash tools/build.sh "$dir" -DCORVAN_BUILD_TESTS=OFF -DCORVAN_BUILD_BENCH=OFF
fi
server="$dir/src/app/corvan-server"
ctl="$dir/src/app/corvanctl"
if [ ! -x "$server" ] || [ ! -x "$ctl" ]; then
  echo "找不到 $server 或 $ctl：请先不加 --no-build 运行一次" >&2
  exit 1
fi

export CORVAN_HOME="${CORVAN_HOME:-$PWD/corvan-data}"
# Private from the start (it holds passwords); the server would make it so,
# but the port is written into it before the server starts.
[ -d "$CORVAN_HOME" ] || mkdir -p -m 0700 "$CORVAN_HOME"
if [ -n "$port_given" ]; then
  # Written as the settings window writes it, through the same checks.
  "$ctl" config set ServerPort "$port" >/dev/null
fi
echo "数据目录：$CORVAN_HOME"
echo "在另一个终端管理：CORVAN_HOME=$CORVAN_HOME $ctl status"

# The server's standard error is shown as it comes and kept, so that a port
# it cannot listen on can be told apart afterwards.
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
"$server" 2>"$errors" &
pid=$!
tail -n +1 -s 0.2 -f --pid="$pid" "$errors" >&2 &
shown=$!
stopping=""
trap 'stopping=yes; kill -TERM "$pid" 2>/dev/null || true' TERM INT
status=0
wait "$pid" || status=$?
# A stop signal interrupts the wait: wait for the server itself.
while [ -n "$stopping" ] && kill -0 "$pid" 2>/dev/null; do
  status=0
  wait "$pid" || status=$?
done
wait "$shown" 2>/dev/null || true

failed_port=$(sed -n 's/.*无法监听端口\([0-9]*\)（.*/\1/p' "$errors" | head -1)
if [ "$status" -ne 0 ] && [ -n "$failed_port" ]; then
  next=$((failed_port < 65535 ? failed_port + 1 : 9476))
  {
    echo
    echo "端口 $failed_port 无法使用（多半已有其他程序在用）。换一个端口运行，例如："
    echo "  bash tools/run-server.sh --port $next"
    echo "  CORVAN_PORT=$next bash tools/run-server.sh"
    echo "新端口记在 $CORVAN_HOME/Configure.xml 中，以后的运行沿用；客户端也要改用这个端口。"
  } >&2
fi
exit "$status"
