#!/bin/bash
# e2e_run.sh - runs the collector as a task of Debian's real BOINC client,
# next to worker tasks, and collects what the run left.
#
#   e2e_run.sh [--check] SCENARIO ARTIFACTS_DIR
#
# Scenarios:
#   basic    the collector (plan class nci) with a short worker of its own
#            project (plan class nci) and, in a second project, a long worker
#            that outlives the collector's work unit and a short CPU-bound one
#   kill     as basic; once the collector has checkpointed cycle 3 its process
#            is killed with SIGKILL, and the client restarts it in its slot
#   alone    as basic without the long worker: once the short workers are
#            done the collector is the client's only task and keeps extending
#            its work unit; the client is stopped once two extra cycles have run
#   network  as basic; once the collector has checkpointed its last planned
#            cycle but one, the client's network is suspended with boinccmd
#            (--set_network_mode never 120), so that the collector extends its
#            work unit; after two extensions the network is set back to auto
#            and the collector finishes
#   torture  as basic with two more workers of different lengths (and six
#            processors, so that every task starts at once); the collector's
#            process is killed with SIGKILL 10 to 20 times, 2 to 7 s apart:
#            half of the kills at random instants, the other half aimed at
#            the checkpoint that ends the cycle body (0 to 12 ms after the
#            cycle line is flushed, or right after the counters file is
#            replaced and before the state file is), and one during the
#            finish (between "called boinc_finish" and the process's exit);
#            the client restarts it in its slot every time
#
# In basic, kill and torture the client's tasks see a made-up GPU
# environment: the client starts with GPU_DETECT_SYSFS_ROOT,
# GPU_DETECT_PCI_IDS and GPU_DETECT_NO_NVML=1 pointing gpu_detect at a small
# fake sysfs tree with an NVIDIA and an AMD display device; alone and network
# run with those variables removed (gpu_detect looks at the real host).
#
# The run happens in a private data directory under a temporary directory,
# with the client on a free loopback port; the directory is removed and every
# process stopped at the end, also on failure, SIGINT or SIGTERM.
# ARTIFACTS_DIR receives: out (the collector's output file), stderr_out.txt
# (its standard error as the client recorded it), cache (its state file),
# checkpoint, init_data.xml, coproc.txt and stderr.txt (last copies taken from
# its slot while it ran), client_state.xml (the client's state after it
# stopped), client.log, trace.txt (what the client reported, when it
# changed), jobs.txt (the tasks and their known sizes), task_env.txt (the
# GPU_DETECT_* variables of every collector process), gpu_expected.txt (the
# lines gpu_detect must write for the fake tree), kills.txt and
# snapshots/cache.N (torture: every kill, and the state file right after
# it), network.txt (network: the client's status around the suspension) and
# run.env (facts about the run, read by e2e_check.sh). With --check,
# e2e_check.sh runs on them at the end and gives the exit status.
#
# Environment: E2E_COLLECTOR, E2E_WORKER, E2E_PROBE (programs, required);
# E2E_KILLER (e2e_killer, for the aimed kills of torture; without it they
# are aimed from the shell, which is too slow to land inside a cycle body);
# E2E_GPU_DETECT (the build's gpu_detect; a stand-in script is used when it is
# empty); E2E_PERIOD and E2E_COUNT (the collector's -c and -n, default 3 and
# 8, 5 cycles for "alone" and 24 for "torture"); E2E_FAKE_SYSFS (1 or 0:
# overrides the scenario's GPU environment); E2E_BOINCCMD (default boinccmd);
# E2E_KEEP=1 keeps the temporary directory.

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
    basic | kill | alone | network | torture) ;;
    *)
        echo "usage: $0 [--check] basic|kill|alone|network|torture ARTIFACTS_DIR" >&2
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
BOINCCMD=${E2E_BOINCCMD:-boinccmd}
if [ "$SCENARIO" = network ] && ! command -v "$BOINCCMD" >/dev/null; then
    echo "$BOINCCMD not found: install the package boinc-client" >&2
    exit 2
fi
PERIOD=${E2E_PERIOD:-3}
case "$SCENARIO" in
    alone) COUNT=${E2E_COUNT:-5} ;;
    torture) COUNT=${E2E_COUNT:-24} ;;
    *) COUNT=${E2E_COUNT:-8} ;;
esac
case "$SCENARIO" in
    basic | kill | torture) FAKE_SYSFS=${E2E_FAKE_SYSFS:-1} ;;
    *) FAKE_SYSFS=${E2E_FAKE_SYSFS:-0} ;;
esac
GPU_DETECT=${E2E_GPU_DETECT:-}
KILLER=${E2E_KILLER:-}
[ -n "$KILLER" ] && [ ! -x "$KILLER" ] && { echo "E2E_KILLER must name an executable program (got '$KILLER')" >&2; exit 2; }
# Processors the client pretends to have: torture's five one-processor
# workers and the collector all start at once.
CLIENT_NCPUS=4
[ "$SCENARIO" = torture ] && CLIENT_NCPUS=6
# network: extensions asked for before the network comes back.
NSUSP=2
# torture: bounds on the number of kills.
MIN_KILLS=10
MAX_KILLS=20

rm -rf "$ART"
mkdir -p "$ART" || exit 2
ART=$(cd "$ART" && pwd)

say() { printf '[%6ss] %s\n' "$(e2e_elapsed "$T0" "$(e2e_now)")" "$*"; }
fail() {
    say "HARNESS FAILURE: $*"
    [ -f "$E2E_CLIENT_LOG" ] && { echo "--- end of the client log"; tail -n 25 "$E2E_CLIENT_LOG"; }
    exit 3
}
now_ms() { date +%s%3N; }

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
case "$SCENARIO" in
    network) LONG_SECONDS=$((PERIOD * (COUNT + NSUSP + 4) + 60)) ;;
    torture) LONG_SECONDS=$((PERIOD * COUNT + MAX_KILLS * 4 + 60)) ;;
    *) LONG_SECONDS=$((PERIOD * COUNT + 30)) ;;
esac
SEEDED_LAST_NEW_WU=$((NOW - 600))

if [ -z "$GPU_DETECT" ] || [ ! -x "$GPU_DETECT" ]; then
    GPU_DETECT=$E2E_WORK/gpu_detect_standin
    printf '#!/bin/sh\nprintf '\''GPU;e2e;stand-in 0\\nGPU;e2e;stand-in 1\\n'\'' > coproc.txt\n' >"$GPU_DETECT"
    chmod 755 "$GPU_DETECT"
    GPU_DETECT_KIND=standin
else
    GPU_DETECT_KIND=build
fi

# The tasks' GPU environment: the client hands its own on to them.
if [ "$FAKE_SYSFS" = 1 ]; then
    e2e_fake_sysfs "$E2E_WORK/fakegpu" || fail "cannot lay out the fake sysfs tree"
    e2e_fake_gpu_env "$E2E_WORK/fakegpu"
    if [ "$GPU_DETECT_KIND" = build ]; then
        cp "$E2E_WORK/fakegpu/expected_coproc.txt" "$ART/gpu_expected.txt"
    else
        printf 'GPU;e2e;stand-in 0\nGPU;e2e;stand-in 1\n' >"$ART/gpu_expected.txt"
    fi
else
    e2e_plain_gpu_env
fi

e2e_write_config "$CLIENT_NCPUS" 1

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
if [ "$SCENARIO" = torture ]; then
    # Two more workers that complete while the kills go on; received at other
    # times, so that every "delai" record is told apart.
    e2e_job mid_1 calc "" "-s 20 -i 1 -o 1500" "mid_1_in:900" "out0" 0 "$((NOW - 60))"
    e2e_job late_1 calc "" "-s 45 -i 1 -o 700 -o 300" "late_1_in:1100" "out0 out1" 0 "$((NOW - 120))"
fi
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
    if [ "$SCENARIO" = torture ]; then
        echo "mid_1_0 Calcul calc Calcul - 900 1500 $APP_B short"
        echo "late_1_0 Calcul calc Calcul - 1100 1000 $APP_B short"
    fi
} >"$ART/jobs.txt"
WORKERS=$(awk '$9 != "collector" { print $1 }' "$ART/jobs.txt")

# --- run ------------------------------------------------------------------
e2e_start_client || fail "the client did not start"
say "client PID $E2E_CLIENT_PID on 127.0.0.1:$E2E_PORT answered after $E2E_RPC_SECS s; collector: -c $PERIOD -n $COUNT; fake GPUs: $FAKE_SYSFS"
T_CLIENT=$(e2e_now)

case "$SCENARIO" in
    alone) LIMIT=$((PERIOD * (COUNT + 4) + 60)) ;;
    network) LIMIT=$((PERIOD * (COUNT + NSUSP + 3) + 90)) ;;
    torture) LIMIT=$((PERIOD * COUNT + 150)) ;;
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
: >"$ART/task_env.txt"

# network
NET_STATE=idle
NET_OFF_AT=""
NET_ON_AT=""
NET_REASON_OFF=""
NET_REASON_ON=""
# torture
KILLS=0
KILLS_BEFORE_CHECKPOINT=0
KILLS_AFTER_CHECKPOINT=0
KILLS_AIMED=0
FINISH_KILL=0
NEXT_KILL_MS=""
LAST_KILL_MS=""
RESTART_MS=""
PID=""
SLOT=""

cycles_written() { grep -c ' cycle[0-9][0-9]*$' "$out_file" 2>/dev/null; }
last_cycle() { sed -n 's/.* cycle\([0-9][0-9]*\)$/\1/p' "$out_file" 2>/dev/null | tail -n 1; }
# The cycle counted by the counters file in the collector's slot.
slot_counter() { head -n 1 "$E2E_DATA/slots/$SLOT/checkpoint" 2>/dev/null; }
slot_stderr_count() { grep -c "$1" "$E2E_DATA/slots/$SLOT/stderr.txt" 2>/dev/null; }
random_between() { echo $(($1 + RANDOM % ($2 - $1 + 1))); }

# The client's network_suspend_reason, once it equals / differs from $1 as
# asked by $2 (eq or ne), within 10 s; empty when it never did.
wait_network_reason() {
    local want=$1 how=$2 i reason
    for ((i = 0; i < 50; i++)); do
        read -r reason _ <<<"$("$E2E_PROBE" "$E2E_PORT" status 2>/dev/null)"
        if [ -n "$reason" ]; then
            if { [ "$how" = eq ] && [ "$reason" = "$want" ]; } ||
                { [ "$how" = ne ] && [ "$reason" != "$want" ]; }; then
                echo "$reason"
                return 0
            fi
        fi
        sleep 0.2
    done
    return 1
}

# boinccmd against this run's client, from the data directory, whose empty
# gui_rpc_auth.cfg it reads: no password is sent.
run_boinccmd() {
    echo "$(date +%T) boinccmd $*" >>"$ART/network.txt"
    (cd "$E2E_DATA" && "$BOINCCMD" --host "127.0.0.1:$E2E_PORT" "$@") >>"$ART/network.txt" 2>&1
}

# True when $PID is a collector process of this run.
is_collector() {
    e2e_is_ours "$PID" && grep -q collecte_1.00 "/proc/$PID/cmdline" 2>/dev/null
}

# Kills the collector process $PID (torture); $1 says how the instant was
# chosen; with $2 = killed the process was killed already (by e2e_killer).
# Records the kill, the last cycle line and the counters file at that
# moment, and a copy of the state file.
torture_kill() {
    local how=$1 cycle counter when
    if [ "${2:-}" != killed ]; then
        is_collector || return 1
        kill -KILL "$PID" 2>/dev/null || return 1
    fi
    LAST_KILL_MS=$(now_ms)
    KILLED_PID=$PID
    KILLS=$((KILLS + 1))
    cycle=$(last_cycle)
    counter=$(slot_counter)
    mkdir -p "$ART/snapshots"
    cp -f "$PDIR_A/cache" "$ART/snapshots/cache.$KILLS" 2>/dev/null
    # Killed inside a cycle whose checkpoint was not written yet, or after it,
    # or during boinc_finish (it sleeps 2 s before the process leaves).
    when=after
    if grep -q "($PID): called boinc_finish" "$E2E_DATA/slots/$SLOT/stderr.txt" 2>/dev/null; then
        when=finish
        KILLS_AFTER_CHECKPOINT=$((KILLS_AFTER_CHECKPOINT + 1))
    elif [ -n "$cycle" ] && [ -n "$counter" ] && [ "$counter" -lt "$cycle" ] 2>/dev/null; then
        when=before
        KILLS_BEFORE_CHECKPOINT=$((KILLS_BEFORE_CHECKPOINT + 1))
    else
        KILLS_AFTER_CHECKPOINT=$((KILLS_AFTER_CHECKPOINT + 1))
    fi
    echo "kill $KILLS t=$(e2e_elapsed "$T_CLIENT" "$(e2e_now)") pid $PID how $how last_cycle_line ${cycle:-none} counters ${counter:-none} checkpoint_of_last_cycle $when" \
        >>"$ART/kills.txt"
    NEXT_KILL_MS=$((LAST_KILL_MS + $(random_between 2000 7000)))
    return 0
}

# Waits (at most a period and two seconds) for the collector to start its
# next cycle, seen as its output file growing by the flushed cycle line,
# then for 0 to 300 ms, so that the kill falls before, during or just after
# the checkpoint at the end of the cycle body. Returns the delay in ms.
wait_for_cycle_start() {
    local size0 size i delay
    size0=$(stat -c %s "$out_file" 2>/dev/null || echo 0)
    for ((i = 0; i < (PERIOD + 2) * 50; i++)); do
        size=$(stat -c %s "$out_file" 2>/dev/null || echo 0)
        [ "$size" != "$size0" ] && break
        sleep 0.02
    done
    delay=$(random_between 0 300)
    sleep "$(awk -v d="$delay" 'BEGIN { printf "%.3f", d / 1000 }')"
    echo "$delay"
}

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
    PID=""
    if [ "${pid:-0}" != 0 ] && [ "${slot:--1}" -ge 0 ]; then
        PID=$pid
        SLOT=$slot
        if [[ " $COLLECTOR_PIDS " != *" $pid "* ]]; then
            COLLECTOR_PIDS="$COLLECTOR_PIDS $pid"
            e2e_gpu_env_of "$pid" | sed "s/^/$pid /" >>"$ART/task_env.txt"
            echo "$pid seen" >>"$ART/task_env.txt"
            if [ "$SCENARIO" = torture ] && [ -n "$LAST_KILL_MS" ]; then
                RESTART_MS="$RESTART_MS $(($(now_ms) - LAST_KILL_MS))"
            else
                say "collector process $pid in slot $slot"
            fi
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

    if [ "$SCENARIO" = torture ] && [ -n "$PID" ] && [ "$PID" != "$KILLED_PID" ] && [ "$KILLS" -lt "$MAX_KILLS" ]; then
        [ -n "$NEXT_KILL_MS" ] || NEXT_KILL_MS=$(($(now_ms) + $(random_between 2000 7000)))
        if [ "$FINISH_KILL" = 0 ] && [ "$(slot_stderr_count 'called boinc_finish')" -ge 1 ] 2>/dev/null; then
            # boinc_finish sleeps 2 s before it leaves its finish file.
            torture_kill finish && FINISH_KILL=1 &&
                say "kill $KILLS: during the finish (after 'called boinc_finish')"
        elif [ "$(now_ms)" -ge "$NEXT_KILL_MS" ] &&
            [ "$(slot_stderr_count 'called boinc_finish')" = 0 ] 2>/dev/null; then
            if [ $((KILLS % 2)) = 0 ]; then
                torture_kill random
            elif [ -z "$KILLER" ]; then
                delay=$(wait_for_cycle_start)
                torture_kill "cycle-start+${delay}ms" && KILLS_AIMED=$((KILLS_AIMED + 1))
            elif is_collector; then
                # Alternately some microseconds after the cycle line, and
                # right after the counters file is replaced.
                if [ $((KILLS % 4)) = 1 ]; then
                    mode="cycle $((RANDOM % 12001))"
                else
                    mode=counters
                fi
                # shellcheck disable=SC2086
                if told=$("$KILLER" "$PID" "$E2E_DATA/slots/$SLOT" "$out_file" \
                    "$E2E_DATA/slots/$SLOT/checkpoint" $mode $(((PERIOD + 2) * 1000))); then
                    label=$mode
                    [ "${mode% *}" = cycle ] && label="cycle+${mode#* }us"
                    torture_kill "$label ($told)" killed && KILLS_AIMED=$((KILLS_AIMED + 1))
                fi
            fi
        fi
    fi

    if [ "$SCENARIO" = network ]; then
        if [ "$NET_STATE" = idle ] && [ -f "$ART/checkpoint" ] &&
            [ "$(head -n 1 "$ART/checkpoint")" -ge $((COUNT - 1)) ] 2>/dev/null; then
            run_boinccmd --set_network_mode never 120
            NET_OFF_AT=$(date +%s)
            NET_REASON_OFF=$(wait_network_reason 0 ne)
            echo "$(date +%T) network_suspend_reason ${NET_REASON_OFF:-still 0}" >>"$ART/network.txt"
            NET_STATE=off
            say "network suspended after the checkpoint of cycle $(head -n 1 "$ART/checkpoint") (reason ${NET_REASON_OFF:-none})"
        elif [ "$NET_STATE" = off ] && [ -n "$SLOT" ] &&
            [ "$(slot_stderr_count 'Activite reseau suspendue')" -ge "$NSUSP" ] 2>/dev/null; then
            run_boinccmd --set_network_mode auto
            NET_ON_AT=$(date +%s)
            NET_REASON_ON=$(wait_network_reason 0 eq)
            echo "$(date +%T) network_suspend_reason ${NET_REASON_ON:-still suspended}" >>"$ART/network.txt"
            NET_STATE=on
            say "network back after $NSUSP extensions (cycle $(last_cycle))"
        fi
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
if [ "$SCENARIO" = torture ]; then
    say "killed the collector $KILLS times ($KILLS_AIMED aimed at a cycle's checkpoint, $KILLS_BEFORE_CHECKPOINT inside a cycle before its checkpoint, finish kill: $FINISH_KILL)"
fi

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
RESTARTS=$(grep -cE "Restarting task $COLLECTOR_RESULT " "$ART/client.log")

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
    echo "RESTARTS=$RESTARTS"
    echo "ALIVE_AT_DONE='${ALIVE_AT_DONE# }'"
    echo "KILLED_PID=$KILLED_PID"
    echo "KILL_COUNTER=$KILL_COUNTER"
    echo "SEEDED_LAST_NEW_WU=$([ "$SCENARIO" = basic ] && echo "$SEEDED_LAST_NEW_WU")"
    echo "GPU_DETECT_KIND=$GPU_DETECT_KIND"
    echo "FAKE_SYSFS=$FAKE_SYSFS"
    echo "FAKE_SYSFS_ROOT=$([ "$FAKE_SYSFS" = 1 ] && echo "$E2E_WORK/fakegpu")"
    echo "NSUSP=$NSUSP"
    echo "NET_OFF_AT=$NET_OFF_AT"
    echo "NET_ON_AT=$NET_ON_AT"
    echo "NET_REASON_OFF=$NET_REASON_OFF"
    echo "NET_REASON_ON=$NET_REASON_ON"
    echo "KILLS=$KILLS"
    echo "MIN_KILLS=$MIN_KILLS"
    echo "MAX_KILLS=$MAX_KILLS"
    echo "KILLS_AIMED=$KILLS_AIMED"
    echo "KILLS_BEFORE_CHECKPOINT=$KILLS_BEFORE_CHECKPOINT"
    echo "KILLS_AFTER_CHECKPOINT=$KILLS_AFTER_CHECKPOINT"
    echo "FINISH_KILL=$FINISH_KILL"
    echo "RESTART_MS='${RESTART_MS# }'"
    echo "NPROC=$(nproc)"
    echo "CLIENT_NCPUS=$CLIENT_NCPUS"
    echo "DONE_TIMES='${DONE_TIMES# }'"
    echo "RPC_SECS=$E2E_RPC_SECS"
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
