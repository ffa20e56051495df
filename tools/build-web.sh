#!/usr/bin/env bash
# Builds the web console's front end (web/) with Vite into OUT_DIR.
# Installs the npm packages of web/package-lock.json first when they are
# missing or older than the lock file (npm ci: exactly the locked versions).
#   tools/build-web.sh OUT_DIR
set -euo pipefail
out="${1:?usage: tools/build-web.sh OUT_DIR}"
cd "$(dirname "$0")/../web"
installed=node_modules/.package-lock.json
if [ ! -f "$installed" ] || [ package-lock.json -nt "$installed" ]; then
  # Several build folders may build at once: one install at a time.
  exec 9>.npm-install.lock
  flock 9
  if [ ! -f "$installed" ] || [ package-lock.json -nt "$installed" ]; then
    npm ci --no-audit --no-fund --loglevel=error
  fi
  flock -u 9
fi
CORVAN_WEB_OUT="$out" npx --no-install vite build --logLevel warn
