#!/bin/sh
# Builds the collector and its tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (-DCOLLECTOR_SANITIZE=ON) and runs every test
# but the end-to-end ones (label "e2e"). Any sanitizer report, leaks
# included, ends the process that made it and so fails its test; the
# programs the tests start (the collector, the fake client) inherit the same
# settings.
# Usage: scripts/sanitize.sh [BUILD_DIR]   (default <repo>/build-sanitize)
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build-sanitize}
JOBS=$(nproc)

start=$(date +%s)
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Debug -DCOLLECTOR_SANITIZE=ON >/dev/null
cmake --build "$BUILD" -j"$JOBS"
built=$(date +%s)

# halt_on_error / abort_on_error: the first report ends the process with an
# abort, which no test can take for success. detect_leaks: BOINC's RESULTS
# and CC_STATE free their records only in clear(), which the collector's
# reply records call when they go; anything else that leaks is reported.
ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:check_initialization_order=1:strict_init_order=1"
UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
export ASAN_OPTIONS UBSAN_OPTIONS

set +e
ctest --test-dir "$BUILD" -LE e2e --output-on-failure -j"$JOBS"
status=$?
set -e
end=$(date +%s)
echo "sanitize: build $((built - start)) s, tests $((end - built)) s, status $status"
exit $status
