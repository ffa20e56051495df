#!/usr/bin/env bash
# The Debian package: build it, check it with lintian (no errors, no
# recursive-privilege-change) and systemd-analyze (the unit's exposure 2.5 or
# lower), install it, run the installed server headless as the user corvan the
# way the unit does (no systemd here: the unit's Environment= and ExecStart=
# under setpriv, with a notification socket of our own standing in for
# systemd's), check that it says READY=1 and that corvanctl answers through the
# server's socket; as root, back up into /var/backups (which corvan may not
# write) and restore and import from a folder only root may read; stop the
# server and check that the data folder, its files and subfolders are private
# and hold no desktop configuration; remove the package and check that the
# data folder stays; purge it (the user goes, the data stays) and remove the
# data folder, leaving the machine as it was.
#
#   .ci/package.sh [BUILD_DIR]     (default build-deb; needs root)
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build-deb}"
unit=/usr/lib/systemd/system/corvan.service
data=/var/lib/corvan

missing=()
for p in lintian systemd dpkg-dev fakeroot file util-linux python3 curl; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The build's progress is shown; the package is copied to the top of the
# checkout.
bash tools/build-deb.sh "$dir"
deb=$(ls -t corvan-server_*.deb | head -1)
echo "package: $deb"

echo "== lintian"
status=0
lintian --fail-on error "$deb" >"$dir/lintian.txt" || status=$?
cat "$dir/lintian.txt"
[ "$status" -eq 0 ] || exit "$status"
if grep -q "recursive-privilege-change" "$dir/lintian.txt"; then
  echo "a maintainer script changes ownership or modes recursively" >&2
  exit 1
fi

echo "== systemd-analyze security"
systemd-analyze security --offline=true packaging/corvan.service | tail -1
systemd-analyze security --offline=true --threshold=25 packaging/corvan.service >/dev/null

echo "== install"
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -qq "./$deb" >/dev/null
getent passwd corvan >/dev/null
[ "$(stat -c %U:%a "$data")" = corvan:700 ]
command -v corvan-server corvanctl
corvan-server --version
corvanctl --help >/dev/null
[ -f /usr/share/corvan/help/index.html ]
[ -f /usr/share/man/man1/corvanctl.1.gz ]

echo "== the installed server, headless, as corvan"
env_args=()
while IFS= read -r line; do env_args+=("$line"); done < <(sed -n 's/^Environment=//p' "$unit")
read -r -a exec_start < <(sed -n 's/^ExecStart=//p' "$unit")
log=$(mktemp)
# systemd's notification socket, as the unit's Type=notify gets it; the
# server's user must be able to send to it.
notify_dir=$(mktemp -d)
chmod 0755 "$notify_dir"
python3 -u - "$notify_dir/notify" >"$notify_dir/messages" <<'PY' &
import os, socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
os.chmod(sys.argv[1], 0o777)
while True:
    print(s.recv(4096).decode().replace("\n", " "))
PY
listener=$!
for _ in $(seq 1 50); do [ -S "$notify_dir/notify" ] && break; sleep 0.1; done
(cd "$data" && exec setpriv --reuid=corvan --regid=corvan --init-groups --no-new-privs \
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$data" NOTIFY_SOCKET="$notify_dir/notify" "${env_args[@]}" \
  "${exec_start[@]}" >"$log" 2>&1) &
server=$!
backup=/var/backups/corvan-$(date +%F)-ci$$
vault=$(mktemp -d)
# A failed check below must not leave the server running, nor files behind.
trap 'kill -TERM "$server" "$listener" 2>/dev/null || true; rm -rf "$notify_dir" "$vault" "$backup.mdb"' EXIT
answered=""
for _ in $(seq 1 100); do
  # Root is served as the folder's owner; no CORVAN_HOME: the installed
  # program finds the service's folder by itself.
  if out=$(corvanctl --json status 2>/dev/null) && grep -q '"process":true' <<<"$out"; then
    answered=yes
    break
  fi
  sleep 0.1
done
# --- The web console: its files are installed, and once enabled it answers
# on its port while the server runs as the unit runs it.
if [ -n "$answered" ]; then
  [ -f /usr/share/corvan/web/index.html ]
  web_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  corvanctl web enable --port "$web_port" --bind 127.0.0.1
  [[ "$(corvanctl web status)" == *正在监听* ]] || { echo "the web console does not listen" >&2; exit 1; }
  web_ok=""
  for _ in $(seq 1 50); do
    health=$(curl -sfk "https://127.0.0.1:$web_port/healthz" || true)
    page=$(curl -sfk "https://127.0.0.1:$web_port/" || true)
    if [[ "$health" == *'"listening":true'* && "$page" == *'id="app"'* ]]; then
      web_ok=yes
      break
    fi
    sleep 0.2
  done
  [ -n "$web_ok" ] || { echo "the web console did not answer on port $web_port" >&2; exit 1; }
fi
# --- end of the web console's checks

corvanctl status || true
grep -q "READY=1" "$notify_dir/messages" || { cat "$notify_dir/messages"; echo "no READY=1" >&2; exit 1; }
[ -n "$answered" ] || { echo "corvanctl status did not answer through the socket" >&2; exit 1; }

echo "== backup as root into /var/backups, which corvan may not write"
if setpriv --reuid=corvan --regid=corvan --init-groups test -w /var/backups; then
  echo "corvan may write /var/backups: the check below proves nothing" >&2
  exit 1
fi
corvanctl backup "$backup"
[ "$(stat -c %U:%a "$backup.mdb")" = root:600 ]

echo "== restore and user import from a folder only root may read"
[ "$(stat -c %U:%a "$vault")" = root:700 ]
cp "$backup.mdb" "$vault/copy.mdb"
org=$(corvanctl org add Root 测试部)
printf 'username,pwd,nickname,organizeNo\nci1,1,CI,%s\n' "$org" >"$vault/users.csv"
corvanctl user import "$vault/users.csv"
corvanctl user show ci1 >/dev/null
corvanctl stop
corvanctl restore "$vault/copy.mdb" --yes
corvanctl start
# The copy was taken before the import.
if corvanctl user show ci1 >/dev/null 2>&1; then echo "the restore did not replace the database" >&2; exit 1; fi

kill -TERM "$server"
wait "$server" || true
if ps -u corvan -o pid= >/dev/null; then echo "the server did not stop" >&2; exit 1; fi
cat "$log"
rm -f "$log"
[ "$(stat -c %U "$data/Corvan_Server.mdb")" = corvan ]
[ -z "$(find "$data" -xdev ! -user corvan)" ] || { echo "files not owned by corvan in $data" >&2; exit 1; }

echo "== the data folder is private"
open=$(find "$data" -xdev \( -type d ! -perm 0700 \) -o \( ! -type d ! -perm 0600 \))
[ -z "$open" ] || { ls -la "$data"; echo "not private: $open" >&2; exit 1; }
[ ! -e "$data/.config" ] || { echo "a desktop configuration in $data" >&2; exit 1; }
[ -z "$(find "$data" -name 'corvanctl-transfer.*')" ] || { echo "copies in transit left in $data" >&2; exit 1; }

echo "== remove keeps the data"
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 remove -y -qq corvan-server >/dev/null
[ -f "$data/Corvan_Server.mdb" ]
if [ -e /usr/bin/corvanctl ]; then echo "corvanctl still installed" >&2; exit 1; fi

echo "== purge removes the user and keeps the data"
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 purge -y -qq corvan-server >/dev/null
if getent passwd corvan >/dev/null; then echo "user corvan still there after the purge" >&2; exit 1; fi
[ -f "$data/Corvan_Server.mdb" ]
rm -rf "$data"
echo "package checks passed"
