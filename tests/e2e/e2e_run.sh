#!/bin/bash
# e2e_run.sh - runs the collector as a task of Debian's real BOINC client,
# next to worker tasks, and collects what the run left.
#
#   e2e_run.sh [--check] SCENARIO ARTIFACTS_DIR
#
# Scenarios:
#   basic  the collector (plan class nci) with a short worker of its own
#          project (plan class nci) and, in a second project, a long worker
#          that outlives the collector's work unit and a short CPU-bound one
#   kill   as basic; once the collector has checkpointed cycle 3 its process
#          is killed with SIGKILL, and the client restarts it in its slot
#   alone  as basic without the long worker: once the short workers are done
#          the collector is the client's only task and keeps extending its
#          work unit; the client is stopped once two extra cycles have run
#
# The run happens in a private data directory under a temporary directory,
# with the client on a free loopback port; the directory is removed and every
# process stopped at the end, also on failure, SIGINT or SIGTERM.
# ARTIFACTS_DIR receives: out (the collector's output file), stderr_out.txt
# (its standard error as the client recorded it), cache (its state file),
# checkpoint, init_data.xml, coproc.txt and stderr.txt (last copies taken from
# its slot while it ran), client_state.xml (the client's state after it
# stopped), client.log, trace.txt (what the client reported, when it
# changed), jobs.txt (the tasks and their known sizes) and run.env (facts
# about the run, read by e2e_check.sh). With --check, e2e_check.sh runs on
# them at the end and gives the exit status.
#
# Environment: E2E_COLLECTOR, E2E_WORKER, E2E_PROBE (programs, required);
# E2E_GPU_DETECT (the build's gpu_detect; a stand-in script is used when it is
# empty); E2E_PERIOD and E2E_COUNT (the collector's -c and -n, default 3 and
# 8, and 5 cycles for "alone"); E2E_KEEP=1 keeps the temporary directory.

set -u
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=e2e_lib.sh
. "$HERE/e2e_lib.sh"

CHECK=0
if [ "${1:-}" = --check ]; then
    CHECK=1
    shift
fi
SCENARIO=${1:-}
ART=${2:-}
case "$SCENARIO" in
    basic | kill | alone) ;;
    *)
        echo "usage: $0 [--check] basic|kill|alone ARTIFACTS_DIR" >&2
        exit 64
        ;;
esac
[ -n "$ART" ] || { echo "usage: $0 [--check] SCENARIO ARTIFACTS_DIR" >&2; exit 64; }
for var in E2E_COLLECTOR E2E_WORKER E2E_PROBE; do
    if [ ! -x "${!var:-}" ]; then
        echo "$var must name an executable program (got '${!var:-}')" >&2
        exit 2
    fi
done
PERIOD=${E2E_PERIOD:-3}
if [ "$SCENARIO" = alone ]; then COUNT=${E2E_COUNT:-5}; else COUNT=${E2E_COUNT:-8}; fi
GPU_DETECT=${E2E_GPU_DETECT:-}

rm -rf "$ART"
mkdir -p "$ART" || exit 2
ART=$(cd "$ART" && pwd)

say() { printf '[%6ss] %s\n' "$(e2e_elapsed "$T0" "$(e2e_now)")" "$*"; }
fail() {
    say "HARNESS FAILURE: $*"
    [ -f "$E2E_CLIENT_LOG" ] && { echo "--- end of the client log"; tail -n 25 "$E2E_CLIENT_LOG"; }
    exit 3
}

T0=$(e2e_now)
e2e_client_version || exit 2
e2e_setup "collector-e2e-$SCENARIO" || exit 2
e2e_pick_port || fail "no free loopback port"

# --- layout ---------------------------------------------------------------
NOW=$(date +%s)
URL_A=http://localhost/collecte/
URL_B=http://localhost/calcul/
HOSTID_A=3141
HOSTID_B=2718
COLLECTOR_RESULT=collecte_1_0
OUT_NAME=${COLLECTOR_RESULT}_0
LONG_SECONDS=$((PERIOD * COUNT + 30))
SEEDED_LAST_NEW_WU=$((NOW - 600))

if [ -z "$GPU_DETECT" ] || [ ! -x "$GPU_DETECT" ]; then
    GPU_DETECT=$E2E_WORK/gpu_detect_standin
    printf '#!/bin/sh\nprintf '\''GPU;e2e;stand-in 0\\nGPU;e2e;stand-in 1\\n'\'' > coproc.txt\n' >"$GPU_DETECT"
    chmod 755 "$GPU_DETECT"
    GPU_DETECT_KIND=standin
else
    GPU_DETECT_KIND=build
fi

e2e_write_config 4 1

e2e_project "$URL_A" "Collecte" "$HOSTID_A"
PDIR_A=$E2E_PDIR
if [ "$SCENARIO" = basic ]; then
    # The state file of an earlier task of the project: its time of the last
    # arrival count lies before every result of this run.
    printf 'Last_new_wu\t%d\n' "$SEEDED_LAST_NEW_WU" >"$PDIR_A/cache"
fi
e2e_app collecte Collecteur
e2e_install "$E2E_COLLECTOR" collecte_1.00
e2e_install "$GPU_DETECT" gpu_detect_1.00
e2e_app_version collecte nci 0.01 collecte_1.00 gpu_detect_1.00:gpu_detect:copy
e2e_job collecte_1 collecte nci "-p $E2E_PORT -c $PERIOD -n $COUNT" "" "out" 1 "$NOW"
e2e_app veille Veille
e2e_install "$E2E_WORKER" veille_1.00
e2e_app_version veille nci 0.01 veille_1.00
e2e_job veille_1 veille nci "-s 6 -i 1 -o 3000 -o 1000" "veille_1_in:1200" "out0 out1" 0 "$NOW"

e2e_project "$URL_B" "Calcul" "$HOSTID_B"
PDIR_B=$E2E_PDIR
e2e_app calc Calcul
e2e_install "$E2E_WORKER" calc_1.00
e2e_make_file calc_tables_1.00 8192
e2e_app_version calc "" 1 calc_1.00 calc_tables_1.00:tables
if [ "$SCENARIO" != alone ]; then
    e2e_job long_1 calc "" "-s $LONG_SECONDS -i 1 -o 1000" "long_1_in:1500" "out0" 0 "$NOW"
fi
e2e_job short_1 calc "" "-s 5 --burn -i 2 -o 2048 -o 512" "short_1_a:2500 short_1_b:700" \
    "out0 out1" 0 "$NOW"
e2e_write_state

# The tasks and what is known of them: result, project, application,
# user-friendly name, plan class, input bytes, output bytes, application
# bytes, role.
size_of() { stat -c %s "$1"; }
APP_A=$(( $(size_of "$PDIR_A/collecte_1.00") + $(size_of "$PDIR_A/gpu_detect_1.00") ))
APP_V=$(size_of "$PDIR_A/veille_1.00")
APP_B=$(( $(size_of "$PDIR_B/calc_1.00") + 8192 ))
{
    echo "$COLLECTOR_RESULT Collecte collecte Collecteur nci 0 - $APP_A collector"
    echo "veille_1_0 Collecte veille Veille nci 1200 4000 $APP_V short"
    [ "$SCENARIO" != alone ] && echo "long_1_0 Calcul calc Calcul - 1500 1000 $APP_B long"
    echo "short_1_0 Calcul calc Calcul - 3200 2560 $APP_B short"
} >"$ART/jobs.txt"
WORKERS=$(awk '$9 != "collector" { print $1 }' "$ART/jobs.txt")

# --- run ------------------------------------------------------------------
e2e_start_client || fail "the client did not start"
say "client PID $E2E_CLIENT_PID on 127.0.0.1:$E2E_PORT answered after $E2E_RPC_SECS s; collector: -c $PERIOD -n $COUNT"
T_CLIENT=$(e2e_now)

case "$SCENARIO" in
    alone) LIMIT=$((PERIOD * (COUNT + 4) + 60)) ;;
    *) LIMIT=$((PERIOD * COUNT + 90)) ;;
esac
STATUS=timeout
KILLED_PID=""
KILL_COUNTER=""
ALIVE_AT_DONE=""
COLLECTOR_PIDS=""
LAST_TRACE=""
DONE_TIMES=""
fails=0
out_file=$PDIR_A/$OUT_NAME

cycles_written() { grep -c ' cycle[0-9][0-9]*$' "$out_file" 2>/dev/null; }
last_cycle() { sed -n 's/.* cycle\([0-9][0-9]*\)$/\1/p' "$out_file" 2>/dev/null | tail -n 1; }

while [ "$(e2e_elapsed "$T_CLIENT" "$(e2e_now)" | cut -d. -f1)" -lt "$LIMIT" ]; do
    if ! kill -0 "$E2E_CLIENT_PID" 2>/dev/null; then
        STATUS=client-died
        break
    fi
    if ! e2e_poll; then
        fails=$((fails + 1))
        [ "$fails" -gt 50 ] && { STATUS=client-silent; break; }
        sleep 0.3
        continue
    fi
    fails=0
    trace=$(sort "$E2E_WORK/results" | tr '\n' '|')
    if [ "$trace" != "$LAST_TRACE" ]; then
        echo "t=$(e2e_elapsed "$T_CLIENT" "$(e2e_now)") $trace" >>"$ART/trace.txt"
        LAST_TRACE=$trace
    fi
    for w in $WORKERS; do
        read -r st ready _ <<<"$(e2e_result "$w")"
        if [ "${st:-0}" = 5 ] && [ "${ready:-0}" = 1 ] && [[ " $DONE_TIMES " != *" $w="* ]]; then
            DONE_TIMES="$DONE_TIMES $w=$(e2e_elapsed "$T_CLIENT" "$(e2e_now)")"
            say "$w reached state 5"
        fi
    done

    read -r st ready _ _ pid slot <<<"$(e2e_result "$COLLECTOR_RESULT")"
    if [ "${pid:-0}" != 0 ] && [ "${slot:--1}" -ge 0 ]; then
        if [[ " $COLLECTOR_PIDS " != *" $pid "* ]]; then
            COLLECTOR_PIDS="$COLLECTOR_PIDS $pid"
            say "collector process $pid in slot $slot"
        fi
        sdir=$E2E_DATA/slots/$slot
        for f in init_data.xml checkpoint coproc.txt stderr.txt; do
            cp -f "$sdir/$f" "$ART/$f.new" 2>/dev/null && mv -f "$ART/$f.new" "$ART/$f"
        done
        rm -f "$ART"/*.new
        if [ "$SCENARIO" = kill ] && [ -z "$KILLED_PID" ] && [ -f "$ART/checkpoint" ] &&
            [ "$(head -n 1 "$ART/checkpoint")" -ge 3 ] 2>/dev/null; then
            KILL_COUNTER=$(head -n 1 "$ART/checkpoint")
            sleep 1
            e2e_is_ours "$pid" && kill -KILL "$pid" 2>/dev/null && KILLED_PID=$pid
            say "killed the collector ($pid, SIGKILL) after its checkpoint of cycle $KILL_COUNTER"
        fi
    fi
    if [ "${st:-0}" = 5 ] && [ "${ready:-0}" = 1 ]; then
        STATUS=done
        for p in $COLLECTOR_PIDS; do e2e_is_ours "$p" && ALIVE_AT_DONE="$ALIVE_AT_DONE $p"; done
        say "collector result reached state 5 ($(cycles_written) cycle lines)"
        break
    fi
    if [ "$SCENARIO" = alone ] && grep -q 'Aucun projet actif' "$ART/stderr.txt" 2>/dev/null &&
        [ "$(last_cycle)" -ge $((COUNT + 2)) ] 2>/dev/null; then
        STATUS=extended
        say "collector alone: 'Aucun projet actif' logged, cycle $(last_cycle) of $COUNT planned"
        break
    fi
    sleep 0.3
done
T_END_RUN=$(e2e_now)
[ "$STATUS" = timeout ] && say "the collector did not finish within $LIMIT s"

# --- collect and stop -----------------------------------------------------
cp -f "$out_file" "$ART/out" 2>/dev/null
cp -f "$PDIR_A/cache" "$ART/cache" 2>/dev/null
ls -l "$PDIR_A" "$PDIR_B" >"$ART/project_dirs.txt" 2>&1
e2e_stop_client 60
say "client stopped $E2E_STOP_SECS s after SIGTERM"
if e2e_nothing_left; then NOTHING_LEFT=yes; else NOTHING_LEFT=no; fi
# The state file as the client left it, and what it kept of the collector's
# standard error.
cp -f "$E2E_DATA/client_state.xml" "$ART/client_state.xml"
awk -v r="$COLLECTOR_RESULT" '
    /^<result>/ { inres = 1; name = "" }
    inres && /<name>/ { if (name == "") { name = $0; sub(/.*<name>/, "", name); sub(/<\/name>.*/, "", name) } }
    inres && name == r && /<stderr_out>/ { grab = 1; next }
    grab && /<\/stderr_out>/ { grab = 0 }
    grab && !/CDATA|^\]\]>|stderr_txt>/ { print }
    /^<\/result>/ { inres = 0 }' "$ART/client_state.xml" >"$ART/stderr_out.txt"
cp -f "$E2E_CLIENT_LOG" "$ART/client.log"
cp -f "$E2E_WORK/task_pids" "$ART/task_pids.txt"
STARTS=$(grep -cE "(Starting|Restarting) task $COLLECTOR_RESULT " "$ART/client.log")

{
    echo "SCENARIO=$SCENARIO"
    echo "STATUS=$STATUS"
    echo "PERIOD=$PERIOD"
    echo "COUNT=$COUNT"
    echo "PORT=$E2E_PORT"
    echo "T_START=$NOW"
    echo "T_END=$(date +%s)"
    echo "HOSTID_A=$HOSTID_A"
    echo "HOSTID_B=$HOSTID_B"
    echo "URL_A=$URL_A"
    echo "URL_B=$URL_B"
    echo "COLLECTOR_RESULT=$COLLECTOR_RESULT"
    echo "COLLECTOR_PIDS='${COLLECTOR_PIDS# }'"
    echo "STARTS=$STARTS"
    echo "ALIVE_AT_DONE='${ALIVE_AT_DONE# }'"
    echo "KILLED_PID=$KILLED_PID"
    echo "KILL_COUNTER=$KILL_COUNTER"
    echo "SEEDED_LAST_NEW_WU=$([ "$SCENARIO" = basic ] && echo "$SEEDED_LAST_NEW_WU")"
    echo "GPU_DETECT_KIND=$GPU_DETECT_KIND"
    echo "NPROC=$(nproc)"
    echo "CLIENT_NCPUS=4"
    echo "DONE_TIMES='${DONE_TIMES# }'"
    echo "RUN_SECS=$(e2e_elapsed "$T_CLIENT" "$T_END_RUN")"
    echo "STOP_SECS=$E2E_STOP_SECS"
    echo "LEFTOVERS='${E2E_LEFTOVERS# }'"
    echo "NOTHING_LEFT=$NOTHING_LEFT"
    echo "WALL_SECS=$(e2e_elapsed "$T0" "$(e2e_now)")"
} >"$ART/run.env"
say "artifacts in $ART (status $STATUS)"

if [ "$CHECK" = 1 ]; then
    bash "$HERE/e2e_check.sh" "$ART"
    exit $?
fi
case "$STATUS" in done | extended) exit 0 ;; *) exit 1 ;; esac
