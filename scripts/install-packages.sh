#!/usr/bin/env bash
# Installs the Debian packages that the three build configurations need, when any is missing.
# Runs as root on Debian 12; does nothing when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libtinyxml-dev libsqlite3-dev libssl-dev googletest libgtest-dev libgmock-dev
  sqlite3
  g++-mingw-w64-x86-64-posix wine64
  tcl dpkg-dev
  valgrind
  clang-14 libclang-rt-14-dev
  libbenchmark-dev python3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-packages: everything is installed"
  exit 0
fi

echo "install-packages: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
