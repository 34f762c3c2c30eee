#!/bin/sh
# Builds the libFuzzer targets of tests/fuzz (clang, ASan, UBSan) in a build
# directory of their own and runs each one for a bounded time, starting from
# the corpus kept in tests/fuzz/corpus/<target>/. Prints, per target, the
# executions, the coverage reached and the corpus sizes; stops with status 1
# when a target reports a crash, a sanitizer error, a leak, a timeout or a
# failed property (the input is kept in the build directory's artifacts/).
#
# Usage: scripts/fuzz.sh [--merge] [SECONDS_PER_TARGET] [TARGET...]
#   SECONDS_PER_TARGET  fuzzing time of each target (default 30)
#   TARGET              only these targets (default: all five)
#   --merge             add the new inputs that reach new coverage to the kept
#                       corpus (otherwise the kept corpus is left as it is)
# Environment: FUZZ_BUILD (default <repo>/build-fuzz), CXX (default clang++).
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${FUZZ_BUILD:-$ROOT/build-fuzz}
CXX_COMPILER=${CXX:-clang++}
ALL_TARGETS="fuzz_state_file fuzz_counters fuzz_client_state fuzz_active_pass fuzz_command_line"

MERGE=0
SECONDS_PER_TARGET=30
TARGETS=""
for arg in "$@"; do
  case "$arg" in
    --merge) MERGE=1 ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *[!0-9]*) TARGETS="$TARGETS $arg" ;;
    *) SECONDS_PER_TARGET=$arg ;;
  esac
done
[ -n "$TARGETS" ] || TARGETS=$ALL_TARGETS

# Longest input each target is given: long lines and names matter to the
# state file and the client's state; the counters reader's lines stop at 999.
max_len() {
  case "$1" in
    fuzz_state_file) echo 131072 ;;
    fuzz_client_state|fuzz_active_pass) echo 65536 ;;
    fuzz_counters) echo 4096 ;;
    *) echo 8192 ;;
  esac
}

if ! command -v "$CXX_COMPILER" >/dev/null 2>&1; then
  echo "fuzz: $CXX_COMPILER not found (Debian packages clang and libclang-rt-dev)" >&2
  exit 1
fi
echo "== building the fuzz targets in $BUILD"
cmake -S "$ROOT/tests/fuzz" -B "$BUILD" -DCMAKE_CXX_COMPILER="$CXX_COMPILER" >/dev/null
cmake --build "$BUILD" -j"$(nproc)" >"$BUILD/build.log" 2>&1 ||
  { tail -40 "$BUILD/build.log"; echo "fuzz: build failed" >&2; exit 1; }

# Every report ends the run; leaks are reported too.
export ASAN_OPTIONS="${ASAN_OPTIONS:-halt_on_error=1:abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:abort_on_error=1:print_stacktrace=1}"

status=0
summary=""
for target in $TARGETS; do
  kept="$ROOT/tests/fuzz/corpus/$target"
  work="$BUILD/corpus/$target"
  artifacts="$BUILD/artifacts/$target"
  log="$BUILD/$target.log"
  mkdir -p "$kept" "$work" "$artifacts"
  kept_before=$(ls "$kept" | wc -l)
  echo "== $target: ${SECONDS_PER_TARGET}s from $kept_before kept inputs"
  # New inputs go into the work corpus (the first directory); the kept one
  # is only read.
  set +e
  "$BUILD/$target" \
    -max_total_time="$SECONDS_PER_TARGET" -max_len="$(max_len "$target")" -timeout=20 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "$kept" >"$log" 2>&1
  rc=$?
  set -e
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1)
  cov=$(echo "$last" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
  ft=$(echo "$last" | sed -n 's/.* ft: \([0-9]*\).*/\1/p')
  work_size=$(ls "$work" | wc -l)
  if [ "$rc" -ne 0 ]; then
    status=1
    result="FAILED (rc $rc): $(grep -E 'property failed|ERROR:|SUMMARY:' "$log" | head -3 | tr '\n' ' ')"
    echo "$result"
    grep -A1 'property failed' "$log" | head -4 || true
    echo "   input kept in: $(ls -t "$artifacts" | head -1 | sed "s|^|$artifacts/|")"
    echo "   log: $log"
  else
    result=ok
  fi
  if [ "$MERGE" = 1 ] && [ "$rc" -eq 0 ]; then
    "$BUILD/$target" -merge=1 \
      -max_len="$(max_len "$target")" "$kept" "$work" >"$BUILD/$target.merge.log" 2>&1
  fi
  kept_after=$(ls "$kept" | wc -l)
  line=$(printf '%-18s %6ss %12s execs  cov %5s  ft %6s  corpus kept %4s -> %4s, work %5s  %s' \
    "$target" "$SECONDS_PER_TARGET" "${executions:-?}" "${cov:-?}" "${ft:-?}" "$kept_before" \
    "$kept_after" "$work_size" "$result")
  summary="$summary$line
"
done

echo "== summary"
printf '%s' "$summary"
exit $status
