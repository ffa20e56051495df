#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and runs with.
# Idempotent and quiet; uses sudo when not run as root.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libasio-dev libxml2-dev libsqlite3-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-translations-l10n fonts-wqy-microhei xvfb xauth
  clang libclang-rt-14-dev clang-tidy clang-format ccache
  libldap-dev slapd ldap-utils
)
# The web console: libsodium (password hashes), OpenSSL (its certificate and
# TLS), cpp-httplib (its HTTPS server), Chromium (its tests in a real
# browser), and Node.js with npm for its front end's build (Vite needs
# Node.js 20.19 or later: a machine that has a newer one keeps it).
packages+=(libsodium-dev libssl-dev libcpp-httplib-dev chromium)
if ! command -v npm >/dev/null 2>&1; then packages+=(nodejs npm); fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  # The slapd package may start a system-wide server. The directory tests
  # start their own on a free loopback port and need none: where systemd
  # runs, keep the system one stopped and off (a container without systemd
  # has none started).
  if [[ " ${missing[*]} " == *" slapd "* ]] && [ -d /run/systemd/system ]; then
    $SUDO systemctl disable --now slapd >/dev/null 2>&1 || true
  fi
fi
