#!/usr/bin/env bash
# Installs the Debian packages the project builds with (only those missing).
set -euo pipefail

# mingw-w64's g++ and headers serve the Windows compile check (scripts/wincheck.sh),
# which also fetches Wine's fltkernel.h from libwine-dev without installing it.
packages=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libjsoncpp-dev liblog4cpp5-dev
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
