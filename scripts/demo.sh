#!/bin/bash
# demo.sh - watch the collector at work under a real BOINC client.
#
#   scripts/demo.sh [BUILD_DIR]        (or BUILD_DIR=... scripts/demo.sh)
#
# Starts a private BOINC client (Debian package boinc-client) in a temporary
# directory, on a free port of 127.0.0.1, with one small made-up project whose
# tasks are four worker tasks and the collector itself (-c 5 -n 12: twelve
# cycles five seconds apart, a minute in all). Nothing goes to the network.
# While it runs it shows the collector's cycles and the tasks the client runs;
# at the end it stops the client, keeps the collector's output file, state file
# and standard error under BUILD_DIR/demo/, and prints a summary of what the
# collector recorded for each task. Ctrl-C stops everything it started.
#
# It first installs what is missing and builds (scripts/setup.sh) into
# BUILD_DIR (default: build/ at the top of the source tree).

set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-${BUILD_DIR:-$ROOT/build}}
PERIOD=${DEMO_PERIOD:-5}
COUNT=${DEMO_COUNT:-12}

# shellcheck source=../tests/e2e/e2e_lib.sh
. "$ROOT/tests/e2e/e2e_lib.sh"

"$ROOT/scripts/setup.sh" "$BUILD" || exit 2
BUILD=$(cd "$BUILD" && pwd)

COLLECTOR=$BUILD/collector
WORKER=$BUILD/tests/e2e/e2e_worker
E2E_PROBE=$BUILD/tests/e2e/e2e_probe
GPU_DETECT=$BUILD/gpu_detect
for program in "$COLLECTOR" "$WORKER" "$E2E_PROBE"; do
    if [ ! -x "$program" ]; then
        echo "demo: $program is missing after the build" >&2
        exit 2
    fi
done
e2e_client_version || exit 2
KEPT=$BUILD/demo
mkdir -p "$KEPT" || exit 2
KEPT=$(cd "$KEPT" && pwd)
rm -f "$KEPT"/*

e2e_setup collector-demo || exit 2
trap 'echo; echo "Interrupted: stopping the client and its tasks..."; exit 130' INT
trap 'exit 143' TERM
T0=$(e2e_now)
say() { printf '[%4.0fs] %s\n' "$(e2e_elapsed "$T0" "$(e2e_now)")" "$*"; }
e2e_pick_port || { echo "demo: no free port on 127.0.0.1" >&2; exit 1; }

# --- the project --------------------------------------------------------------
NOW=$(date +%s)
RESULT=collecte_1_0
e2e_write_config 4 0
e2e_project http://localhost/demo/ "Demo" 1001
PDIR=$E2E_PDIR
e2e_app collecte "Collector"
e2e_install "$COLLECTOR" collecte_1.00
if [ -x "$GPU_DETECT" ]; then
    e2e_install "$GPU_DETECT" gpu_detect_1.00
else
    printf '#!/bin/sh\n: > coproc.txt\n' >"$E2E_WORK/gpu_detect"
    e2e_install "$E2E_WORK/gpu_detect" gpu_detect_1.00
fi
e2e_app_version collecte nci 0.01 collecte_1.00 gpu_detect_1.00:gpu_detect:copy
e2e_job collecte_1 collecte nci "-p $E2E_PORT -c $PERIOD -n $COUNT" "" "out" 1 "$NOW"
e2e_app calcul "Number cruncher"
e2e_install "$WORKER" calcul_1.00
e2e_app_version calcul "" 1 calcul_1.00
e2e_app watch "Light watcher"
e2e_install "$WORKER" watch_1.00
e2e_app_version watch nci 0.01 watch_1.00
LONG=$((PERIOD * COUNT + 20))
e2e_job long_1 calcul "" "-s $LONG -i 1 -o 50000" "long_1_in:200000" "out0" 0 "$NOW"
e2e_job burn_1 calcul "" "-s 8 --burn -i 1 -o 10000 -o 2000" "burn_1_in:30000" "out0 out1" 0 "$NOW"
e2e_job burn_2 calcul "" "-s 20 --burn -i 1 -o 4096" "burn_2_in:64000" "out0" 0 "$NOW"
e2e_job watch_1 watch nci "-s 25 -o 1000" "" "out0" 0 "$NOW"
e2e_write_state
TASKS="long_1_0 burn_1_0 burn_2_0 watch_1_0"

echo "Collector demonstration: a private BOINC client with one project, 'Demo', whose"
echo "tasks are the collector ($RESULT, -c $PERIOD -n $COUNT) and four workers:"
echo "  long_1_0   computes longer than the collector watches ($LONG s, sleeping)"
echo "  burn_1_0   keeps a processor busy for 8 s"
echo "  burn_2_0   keeps a processor busy for 20 s"
echo "  watch_1_0  light task (plan class nci), 25 s"
echo

# --- run ----------------------------------------------------------------------
e2e_start_client || exit 1
say "BOINC client started (PID $E2E_CLIENT_PID, GUI RPC on 127.0.0.1:$E2E_PORT)"
OUT=$PDIR/${RESULT}_0
LIMIT=$((PERIOD * COUNT + 120))
last_cycle=0
seen=""
done_list=""
finished=0
while [ "$(e2e_elapsed "$T0" "$(e2e_now)" | cut -d. -f1)" -lt "$LIMIT" ]; do
    kill -0 "$E2E_CLIENT_PID" 2>/dev/null || { say "the client stopped by itself"; break; }
    if e2e_poll; then
        for task in $RESULT $TASKS; do
            read -r st _ _ tstate pid slot <<<"$(e2e_result "$task")"
            if [ "${tstate:-0}" = 1 ] && [[ " $seen " != *" $task "* ]]; then
                seen="$seen $task"
                say "$task is running (process $pid, slot $slot)"
            fi
            if [ "${st:-0}" = 5 ] && [[ " $done_list " != *" $task "* ]]; then
                done_list="$done_list $task"
                say "$task completed"
                [ "$task" = "$RESULT" ] && finished=1
            fi
        done
    fi
    cycle=$(sed -n 's/.* cycle\([0-9][0-9]*\)$/\1/p' "$OUT" 2>/dev/null | tail -n 1)
    if [ -n "$cycle" ] && [ "$cycle" != "$last_cycle" ]; then
        last_cycle=$cycle
        running=$(awk '$5 == 1 { n++ } END { print n + 0 }' "$E2E_WORK/results" 2>/dev/null)
        say "collector: cycle $cycle of $COUNT; the client runs $running task(s)"
    fi
    [ "$finished" = 1 ] && break
    sleep 1
done
[ "$finished" = 1 ] || say "the collector did not finish within $LIMIT s"

cp -f "$OUT" "$KEPT/${RESULT}_0" 2>/dev/null
cp -f "$PDIR/cache" "$KEPT/cache" 2>/dev/null
say "stopping the client"
e2e_stop_client 60
cp -f "$E2E_CLIENT_LOG" "$KEPT/client.log"
awk -v r="$RESULT" '
    /^<result>/ { inres = 1; name = "" }
    inres && name == "" && /<name>/ { name = $0; sub(/.*<name>/, "", name); sub(/<\/name>.*/, "", name) }
    inres && name == r && /<stderr_out>/ { grab = 1; next }
    grab && /<\/stderr_out>/ { grab = 0 }
    grab && !/CDATA|^\]\]>|stderr_txt>/ { print }
    /^<\/result>/ { inres = 0 }' "$E2E_DATA/client_state.xml" >"$KEPT/stderr.txt"

# --- summary --------------------------------------------------------------------
F=$KEPT/${RESULT}_0
echo
echo "Output file of the collector:  $F"
echo "Its state file ('cache'):      $KEPT/cache"
echo "Its standard error:            $KEPT/stderr.txt"
echo "The client's log:              $KEPT/client.log"
if [ ! -s "$F" ]; then
    echo "The collector left no output."
    exit 1
fi
echo
echo "What the collector recorded:"
awk -F';' '
    / method 3;/ { starts++; mhz = $2 }
    /^[0-9:]+ \([0-9]+\): cycle[0-9]+$/ { cycles++ }
    $1 == "hostid" { host = $2 }
    $1 == "p_model" { model = $2; ncpus = $3; logical = $4 }
    END {
        printf "  %d process start(s), %d cycle(s); processor clock %s MHz\n", starts, cycles, mhz
        printf "  host id %s; processor %s; the client counts %s processor(s), the system %s\n",
               host, model, ncpus, logical
    }' "$F"
# Per task, from the per-task records (the result description is five fields:
# processor model;project;application|name;platform;plan class).
awk -F';' '
    function note(r, what) { if (!(r in order)) { order[r] = ++n; names[n] = r } info[r] = info[r] what }
    $2 == "resources" { note($3, ""); res[$3] = $9; app[$3] = $6 }
    $2 == "upload" { pending_up = $8 }
    $2 == "download" { pending_down = $5 }
    $2 ~ /^duree\|/ { pending_cpu = $8; pending_el = $9 }
    $2 == "run" && $NF == "" {
        note($3, ""); runs[$3] = $9; done[$3] = 1
        up[$3] = pending_up; down[$3] = pending_down; cpu[$3] = pending_cpu; el[$3] = pending_el
        pending_up = pending_down = pending_cpu = pending_el = ""
    }
    $2 == "run" && $NF != "" { note($3, ""); runs[$3] = $9; still[$3] = 1 }
    END {
        if (n == 0) {
            print "  no per-task record in this output: the per-task accounting is not part of this build yet"
            exit
        }
        for (k = 1; k <= n; k++) {
            r = names[k]
            line = sprintf("  %-14s %-26s %-10s", r, app[r], res[r])
            if (done[r]) line = line sprintf(" completed: executing in %s cycle(s), CPU %.1f s, elapsed %.1f s, input %d B, output %d B", runs[r], cpu[r], el[r], down[r], up[r])
            else if (still[r]) line = line sprintf(" running at the end: executing in %s cycle(s)", runs[r])
            else line = line " seen"
            print line
        }
    }' "$F"
echo
if e2e_nothing_left; then
    echo "The client and all its tasks have stopped."
else
    echo "Warning: processes of the demo were still running and have been killed."
fi
[ "$finished" = 1 ]
