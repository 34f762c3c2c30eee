#!/bin/sh
# Installs what is missing (Debian packages, as root), builds, and runs every
# test: the unit tests, the tests against the loopback fake client, the
# crash-restart torture test and the end-to-end tests under Debian's real
# BOINC client; then the same tests (but the end-to-end ones) built with
# AddressSanitizer and UndefinedBehaviorSanitizer, and each fuzz target for a
# bounded time (FUZZ_SECONDS, 30 s by default).
# Usage: scripts/test.sh [BUILD_DIR]
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}

start=$(date +%s)
"$ROOT/scripts/setup.sh" "$BUILD"
ctest --test-dir "$BUILD" --output-on-failure -j"$(nproc)"
"$ROOT/scripts/sanitize.sh" "$BUILD-sanitize"
FUZZ_BUILD="$BUILD-fuzz" "$ROOT/scripts/fuzz.sh" "${FUZZ_SECONDS:-30}"
echo "test: all passed in $(( $(date +%s) - start )) s"
