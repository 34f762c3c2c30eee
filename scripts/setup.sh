#!/bin/sh
# Installs what the build and the tests need (Debian packages, as root) and
# builds the collector. Usage: scripts/setup.sh [BUILD_DIR] [extra cmake args]
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
[ $# -gt 0 ] && shift

# clang and its runtimes build the fuzz targets; procps gives the tests ps.
PACKAGES="cmake make g++ pkg-config libboinc-app-dev libpugixml-dev googletest libgtest-dev boinc-client procps clang libclang-rt-dev"

missing=""
for p in $PACKAGES; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  if [ "$(id -u)" != 0 ]; then
    echo "setup: these Debian packages are missing and installing them needs root:$missing" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends $missing ||
    { apt-get update && apt-get install -y --no-install-recommends $missing; }
fi

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$BUILD" -j"$(nproc)"
