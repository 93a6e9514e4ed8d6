#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those missing.
# Usage: scripts/deps.sh [extra packages...]
set -euo pipefail

packages=(cmake g++ make pkg-config libgtest-dev libbenchmark-dev
          libzeroc-ice-dev zeroc-ice-compilers rapidjson-dev zlib1g-dev libdeflate-dev
          libasio-dev libcli11-dev libssl-dev openssl librapidcheck-dev
          libpqxx-dev postgresql-15 zeroc-icegrid zeroc-ice-utils
          libcpp-httplib-dev libsqlite3-dev libsodium-dev libzip-dev libbz2-dev
          chromium chromium-driver python3-selenium "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${missing[@]}"
fi
