#!/usr/bin/env bash
# Installs the Debian packages the build needs; does nothing when all are present.
set -euo pipefail
packages=(g++ cmake make libboost-dev libsqlite3-dev sqlite3 libgtest-dev libgmock-dev
          libbenchmark-dev libcli11-dev clang-14 libclang-rt-14-dev
          pkg-config libgmime-3.0-dev nlohmann-json3-dev python3 libcurl4-openssl-dev python3-aiosmtpd
          libcpp-httplib-dev chromium chromium-driver python3-selenium postgresql-15 libpq-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
