#!/bin/sh
# Installs what is missing (Debian packages, as root), builds, and runs every
# test: the unit tests, the tests against the loopback fake client and the
# end-to-end tests under Debian's real BOINC client.
# Usage: scripts/test.sh [BUILD_DIR]
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}

"$ROOT/scripts/setup.sh" "$BUILD"
ctest --test-dir "$BUILD" --output-on-failure -j"$(nproc)"
