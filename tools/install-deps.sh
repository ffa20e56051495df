#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and runs with.
# Idempotent: says what it installs and shows apt's progress, one line when
# nothing is missing; uses sudo when not run as root.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libasio-dev libxml2-dev libsqlite3-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-translations-l10n fonts-wqy-microhei xvfb xauth
  libsystemd-dev
  clang libclang-rt-14-dev clang-tidy clang-format ccache
  libldap-dev libgnutls28-dev slapd ldap-utils openssl
  # The Active Directory tests: a Samba domain controller they provision
  # themselves, ldbadd for bulk loads, and nss_wrapper so that the DC's
  # certificate name resolves for the test's own process only. For the
  # tests; the package does not depend on them.
  samba-ad-dc samba-ad-provision ldb-tools libnss-wrapper
)
# The web console: libsodium (password hashes), OpenSSL (its certificate and
# TLS), cpp-httplib (its HTTPS server), Chromium and Firefox ESR (its tests
# in real browsers), and Node.js with npm for its front end's build (Vite
# needs Node.js 20.19 or later: a machine that has a newer one keeps it).
packages+=(libsodium-dev libssl-dev libcpp-httplib-dev chromium firefox-esr)
if ! command -v npm >/dev/null 2>&1; then packages+=(nodejs npm); fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ]; then
  echo "== 所需的软件包都已安装"
else
  echo "== 安装软件包：${missing[*]}"
  echo "== apt-get update"
  $SUDO apt-get update
  echo "== apt-get install（下载并安装 ${#missing[@]} 个软件包及其依赖，可能需要几分钟）"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
  # The slapd package may start a system-wide server. The directory tests
  # start their own on a free loopback port and need none: where systemd
  # runs, keep the system one stopped and off (a container without systemd
  # has none started).
  if [[ " ${missing[*]} " == *" slapd "* ]] && [ -d /run/systemd/system ]; then
    $SUDO systemctl disable --now slapd >/dev/null 2>&1 || true
  fi
  # Likewise the system-wide Samba services: the tests start their own DC.
  if [[ " ${missing[*]} " == *" samba-ad-dc "* ]] && [ -d /run/systemd/system ]; then
    for unit in samba-ad-dc smbd nmbd winbind; do $SUDO systemctl disable --now "$unit" >/dev/null 2>&1 || true; done
  fi
fi
