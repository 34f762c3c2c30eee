#!/bin/bash
# e2e_check.sh - checks what the collector recorded in one end-to-end run
# (the artifacts that e2e_run.sh collected) against what the client really
# did: its final client_state.xml, the task's init data, its log and the
# processes the harness saw.
#
#   e2e_check.sh ARTIFACTS_DIR
#
# Exit status: 0 all checks passed, 1 a check failed.

set -u
ART=${1:?usage: e2e_check.sh ARTIFACTS_DIR}
# shellcheck disable=SC1091
. "$ART/run.env" || exit 2

PASSED=0
FAILED=0
SKIPPED=0
ok() { PASSED=$((PASSED + 1)); printf 'ok      %s\n' "$1"; }
bad() { FAILED=$((FAILED + 1)); printf 'FAIL    %s\n' "$1"; [ -n "${2:-}" ] && printf '        %s\n' "$2"; return 0; }
skip() { SKIPPED=$((SKIPPED + 1)); printf 'skipped %s\n' "$1"; }
check() { if eval "$2"; then ok "$1"; else bad "$1" "${3:-}"; fi; }

OUT=$ART/out
STATE=$ART/client_state.xml
INIT=$ART/init_data.xml

# --- values from the client --------------------------------------------------

# The text of element $2 inside the <project> of master URL $1.
project_field() {
    awk -v url="$1" -v tag="$2" '
        /^<project>/ { inp = 1; u = ""; v = "" }
        inp && index($0, "<master_url>") { u = $0; sub(/.*<master_url>/, "", u); sub(/<\/master_url>.*/, "", u) }
        inp && index($0, "<" tag ">") { v = $0; sub(".*<" tag ">", "", v); sub("</" tag ">.*", "", v) }
        /^<\/project>/ { if (u == url) print v; inp = 0 }' "$STATE"
}
# The text of element $2 inside the <result> named $1.
result_field() {
    awk -v r="$1" -v tag="$2" '
        /^<result>/ { inr = 1; n = ""; v = "" }
        inr && n == "" && index($0, "<name>") { n = $0; sub(/.*<name>/, "", n); sub(/<\/name>.*/, "", n) }
        inr && index($0, "<" tag ">") { v = $0; sub(".*<" tag ">", "", v); sub("</" tag ">.*", "", v) }
        inr && index($0, "<" tag "/>") { v = "set" }
        /^<\/result>/ { if (n == r) print v; inr = 0 }' "$STATE"
}
# The first text of element $2 in file $1.
first_field() {
    sed -n "s:.*<$2>\(.*\)</$2>.*:\1:p" "$1" | head -n 1
}
sod() { local h m s; IFS=: read -r h m s <<<"$1"; echo $((10#$h * 3600 + 10#$m * 60 + 10#$s)); }
hms() { date -d "@$1" +%H:%M:%S; }
# Seconds from time of day $1 to time of day $2, across midnight.
sod_diff() { echo $(( ($(sod "$2") - $(sod "$1") + 86400) % 86400 )); }

HOSTID=$(project_field "$URL_A" hostid)
P_MODEL=$(first_field "$STATE" p_model)
INIT_HOSTID=$(first_field "$INIT" hostid)
INIT_P_MODEL=$(first_field "$INIT" p_model)
INIT_P_NCPUS=$(first_field "$INIT" p_ncpus)
PLATFORM=$(result_field "$COLLECTOR_RESULT" platform)
RUN_START_HMS=$(hms "$T_START")
RUN_SPAN=$((T_END - T_START + 1))

echo "== $SCENARIO: run status $STATUS, collector -c $PERIOD -n $COUNT, processes seen: $COLLECTOR_PIDS"
echo "   client: host id $HOSTID, p_model '$P_MODEL', p_ncpus $INIT_P_NCPUS; nproc $NPROC"

# --- the run itself ----------------------------------------------------------
case "$SCENARIO" in
    alone)
        check "the collector extended its work unit while it was alone" "[ '$STATUS' = extended ]" "run status: $STATUS"
        ;;
    *)
        check "the collector's result reached state 5 (seen over GUI RPC)" "[ '$STATUS' = done ]" "run status: $STATUS"
        check "client_state.xml: result state 5, ready to report, exit status 0" \
            "[ '$(result_field "$COLLECTOR_RESULT" state)' = 5 ] && [ '$(result_field "$COLLECTOR_RESULT" ready_to_report)' = set ] && [ '$(result_field "$COLLECTOR_RESULT" exit_status)' = 0 ]"
        check "no collector process alive once its result reached state 5" "[ -z '${ALIVE_AT_DONE:-}' ]" "alive: ${ALIVE_AT_DONE:-}"
        ;;
esac
check "no process of the run left after the client stopped" "[ '$NOTHING_LEFT' = yes ] && [ -z '$LEFTOVERS' ]" "killed afterwards: $LEFTOVERS"
check "the client made no network request" \
    "! grep -qE 'Sending scheduler request|Fetching master file|Started (upload|download)|Project communication failed' '$ART/client.log'"
check "host id and processor model agree between init data and client state" \
    "[ -n '$HOSTID' ] && [ '$HOSTID' = '$INIT_HOSTID' ] && [ -n \"\$P_MODEL\" ] && [ \"\$P_MODEL\" = \"\$INIT_P_MODEL\" ]" \
    "client_state: $HOSTID '$P_MODEL'; init data: $INIT_HOSTID '$INIT_P_MODEL'"
if [ "$SCENARIO" = kill ]; then
    check "the collector was killed once and the client started it again" \
        "[ -n '$KILLED_PID' ] && [ '$STARTS' = 2 ] && grep -q 'Restarting task $COLLECTOR_RESULT' '$ART/client.log'" \
        "killed: '$KILLED_PID', starts in the client log: $STARTS"
else
    check "the client started the collector once" "[ '$STARTS' = 1 ]" "starts in the client log: $STARTS"
fi

# --- the output file: opening blocks, cycles, host records ---------------------
[ -s "$OUT" ] || { bad "output file present and not empty"; echo "$PASSED passed, $FAILED failed"; exit 1; }
mapfile -t L <"$OUT"
COPROC=()
[ -f "$ART/coproc.txt" ] && mapfile -t COPROC <"$ART/coproc.txt"
TIME_RE='([0-2][0-9]:[0-5][0-9]:[0-5][0-9])'
errors=()
blocks=0
block_pids=()
block_first_cycle=()
mhz_values=()
block_pid=""
block_cycles=0
prev=0
prev_sod=""
host_blocks=0
max_cycle=0
declare -A seen_cycle=()
declare -A cycle_stamp=()
last_method_stamp=""
i=0
n=${#L[@]}
[[ ${L[0]} =~ ^$TIME_RE\ \([0-9]+\):\ method\ 3\; ]] || errors+=("line 1 is not an opening record: ${L[0]}")
while [ "$i" -lt "$n" ]; do
    line=${L[$i]}
    if [[ $line =~ ^$TIME_RE\ \(([0-9]+)\):\ method\ 3\;(-?[0-9]+)$ ]]; then
        blocks=$((blocks + 1))
        block_pid=${BASH_REMATCH[2]}
        block_pids+=("$block_pid")
        mhz_values+=("${BASH_REMATCH[3]}")
        last_method_stamp=${BASH_REMATCH[1]}
        block_cycles=0
        [ "$(sod_diff "$RUN_START_HMS" "${BASH_REMATCH[1]}")" -le "$RUN_SPAN" ] ||
            errors+=("line $((i + 1)): time ${BASH_REMATCH[1]} outside the run")
        [ "${L[$((i + 1))]:-}" = "Longueur_wu;$((COUNT * PERIOD))" ] ||
            errors+=("line $((i + 2)): '${L[$((i + 1))]:-}' instead of Longueur_wu;$((COUNT * PERIOD))")
        [ "${L[$((i + 2))]:-}" = "Credit_cycle;7.000000;$COUNT" ] ||
            errors+=("line $((i + 3)): '${L[$((i + 2))]:-}' instead of Credit_cycle;7.000000;$COUNT")
        i=$((i + 3))
        continue
    fi
    if [[ $line =~ ^$TIME_RE\ \(([0-9]+)\):\ cycle([0-9]+)$ ]]; then
        stamp=${BASH_REMATCH[1]}
        k=${BASH_REMATCH[3]}
        [ "${BASH_REMATCH[2]}" = "$block_pid" ] ||
            errors+=("line $((i + 1)): cycle written by process ${BASH_REMATCH[2]} in the block of $block_pid")
        if [ "$block_cycles" = 0 ]; then
            block_first_cycle+=("$k")
            if [ "$blocks" = 1 ]; then
                [ "$k" = 1 ] || errors+=("line $((i + 1)): first cycle is $k")
            elif [ "$k" != "$prev" ] && [ "$k" != $((prev + 1)) ]; then
                errors+=("line $((i + 1)): cycle $k after a restart that followed cycle $prev")
            fi
            # The host block follows the first cycle line of every process.
            j=$((i + 1))
            [ "${L[$j]:-}" = "hostid;$HOSTID" ] || errors+=("line $((j + 1)): '${L[$j]:-}' instead of hostid;$HOSTID")
            j=$((j + 1))
            [ "${L[$j]:-}" = "p_model;$P_MODEL;$INIT_P_NCPUS;$NPROC" ] ||
                errors+=("line $((j + 1)): '${L[$j]:-}' instead of p_model;$P_MODEL;$INIT_P_NCPUS;$NPROC")
            j=$((j + 1))
            while [[ ${L[$j]:-} == edd\;* ]]; do j=$((j + 1)); done
            for c in "${COPROC[@]}"; do
                [ "${L[$j]:-}" = "$c" ] || errors+=("line $((j + 1)): '${L[$j]:-}' instead of the gpu_detect line '$c'")
                j=$((j + 1))
            done
            host_blocks=$((host_blocks + 1))
            i=$j
        else
            [ "$k" = $((prev + 1)) ] || errors+=("line $((i + 1)): cycle $k follows cycle $prev in one process")
            gap=$(sod_diff "$prev_sod" "$stamp")
            [ "$gap" -ge $((PERIOD - 1)) ] || errors+=("line $((i + 1)): cycle $k only $gap s after cycle $prev")
            i=$((i + 1))
        fi
        block_cycles=$((block_cycles + 1))
        prev=$k
        prev_sod=$stamp
        seen_cycle[$k]=1
        cycle_stamp[$k]=$stamp
        [ "$k" -gt "$max_cycle" ] && max_cycle=$k
        continue
    fi
    case "$line" in
        hostid\;* | p_model\;*) errors+=("line $((i + 1)): host record outside the first cycle of a process: $line") ;;
    esac
    i=$((i + 1))
done
check "output file well formed: opening blocks, cycle lines, host blocks" "[ \${#errors[@]} = 0 ]" \
    "$(printf '%s; ' "${errors[@]:0:6}")"
check "one opening block per process start ($STARTS)" "[ '$blocks' = '$STARTS' ] && [ '$host_blocks' = '$STARTS' ]" \
    "opening blocks $blocks, host blocks $host_blocks, starts $STARTS"
missing=""
for pid in $COLLECTOR_PIDS; do
    [[ " ${block_pids[*]} " == *" $pid "* ]] || missing="$missing $pid"
done
check "every collector process seen over GUI RPC wrote its opening block" "[ -z '$missing' ]" \
    "processes without a block:$missing (blocks by: ${block_pids[*]})"
bad_mhz=""
for m in "${mhz_values[@]}"; do [ "$m" -ge 100 ] && [ "$m" -le 20000 ] || bad_mhz="$bad_mhz $m"; done
check "processor clock measured (100 to 20000 MHz: ${mhz_values[*]})" "[ -z '$bad_mhz' ]"
missing=""
last_expected=$COUNT
[ "$SCENARIO" = alone ] && last_expected=$((COUNT + 2))
for ((k = 1; k <= last_expected; k++)); do [ -n "${seen_cycle[$k]:-}" ] || missing="$missing $k"; done
check "every cycle number from 1 to $last_expected present" "[ -z '$missing' ]" "missing:$missing"
if [ "$SCENARIO" = alone ]; then
    check "cycles beyond the planned $COUNT ran (last: $max_cycle)" "[ '$max_cycle' -ge $((COUNT + 2)) ]"
else
    check "no cycle beyond the planned $COUNT (last: $max_cycle)" "[ '$max_cycle' = '$COUNT' ]"
fi
if [ "$SCENARIO" = kill ]; then
    check "the killed process wrote the first block, its successor the second" \
        "[ '${block_pids[0]:-}' = '$KILLED_PID' ] && [ '${block_pids[1]:-x}' != '$KILLED_PID' ]" \
        "blocks by ${block_pids[*]}, killed $KILLED_PID"
    check "the restarted process went on from its checkpoint of cycle $KILL_COUNTER" \
        "[ '${block_first_cycle[1]:-}' = $((KILL_COUNTER + 1)) ] || [ '${block_first_cycle[1]:-}' = '$KILL_COUNTER' ]" \
        "first cycle after the restart: ${block_first_cycle[1]:-none}"
fi
gpu_lines=$(grep -c '^GPU;' "$OUT")
check "GPU lines in the output: those of coproc.txt once per process ($gpu_lines)" \
    "[ '$gpu_lines' = $((${#COPROC[@]} * blocks)) ]"
if [ "${#COPROC[@]}" -gt 0 ]; then
    ok "gpu_detect ($GPU_DETECT_KIND) left ${#COPROC[@]} line(s) in the slot; copied after the host records"
else
    skip "gpu_detect ($GPU_DETECT_KIND) left no coproc.txt in the slot: nothing to compare"
fi

# --- standard error ----------------------------------------------------------
ERRFILE=$ART/stderr_out.txt
[ "$SCENARIO" = alone ] && ERRFILE=$ART/stderr.txt
unexpected=$(grep -vE "^$TIME_RE \([0-9]+\): (initialisation|called boinc_finish\(0\)|Aucun projet actif|facteur correction: .*)\$|^\$" "$ERRFILE")
check "standard error holds no unexpected line ($(basename "$ERRFILE"))" "[ -z \"\$unexpected\" ]" \
    "$(printf '%s' "$unexpected" | head -n 5 | tr '\n' '|')"
inits=$(grep -cE '\): initialisation$' "$ERRFILE")
check "one 'initialisation' line per process start" "[ '$inits' = '$STARTS' ]" "found $inits"
finishes=$(grep -c 'called boinc_finish(0)' "$ERRFILE")
if [ "$SCENARIO" = alone ]; then
    aucun=$(grep -c 'Aucun projet actif' "$ERRFILE")
    first=$(grep -m1 'Aucun projet actif' "$ERRFILE" | cut -c1-8)
    check "'Aucun projet actif' logged ($aucun times) and no finish" "[ '$aucun' -ge 1 ] && [ '$finishes' = 0 ]" \
        "messages $aucun, finishes $finishes"
    check "the first 'Aucun projet actif' came after cycle $COUNT started" \
        "[ -n '$first' ] && [ -n '${cycle_stamp[$COUNT]:-}' ] && [ \$(sod_diff '${cycle_stamp[$COUNT]:-00:00:00}' '$first') -lt $((PERIOD + 5)) ] && [ -n '${cycle_stamp[$((COUNT + 1))]:-}' ] && [ \$(sod_diff '$first' '${cycle_stamp[$((COUNT + 1))]:-00:00:00}') -lt $((PERIOD + 5)) ]" \
        "first at '$first', cycle $COUNT at '${cycle_stamp[$COUNT]:-}'"
else
    check "standard error ends with boinc_finish(0), once" "[ '$finishes' = 1 ]" "found $finishes"
    check "no 'Aucun projet actif' while the long worker runs" "! grep -q 'Aucun projet actif' '$ERRFILE'"
fi

# --- counters file -------------------------------------------------------------
if [ -f "$ART/checkpoint" ]; then
    mapfile -t C <"$ART/checkpoint"
    c1=${C[0]:-x}; c2=${C[1]:-x}; c3=${C[2]:-x}
    # Three counters, which later lines may follow.
    check "counters file: cycle counter, cycle start and process start as integers" \
        "[ '${#C[@]}' -ge 3 ] && [[ '$c1$c2$c3' =~ ^[0-9]+\$ ]]" "content: ${C[*]}"
    if [ "$SCENARIO" = alone ]; then
        check "counters file: last cycle counted ($c1) is the last or the one before ($max_cycle)" \
            "[ '$c1' = '$max_cycle' ] || [ '$c1' = $((max_cycle - 1)) ]"
    else
        check "counters file: cycle counter $c1 = $COUNT" "[ '$c1' = '$COUNT' ]"
    fi
    check "counters file: cycle start $c2 is the time of cycle $c1 (${cycle_stamp[$c1]:-none})" \
        "[ '$(hms "$c2" 2>/dev/null)' = '${cycle_stamp[$c1]:-none}' ]"
    check "counters file: process start $c3 is the last process's start ($last_method_stamp)" \
        "[ '$c3' -ge '$T_START' ] && [ '$c3' -le '$c2' ] && [ \$(sod_diff '$(hms "$c3")' '$last_method_stamp') -le 1 ]"
else
    bad "counters file copied from the slot during the run"
fi

# --- state file "cache" --------------------------------------------------------
if [ -f "$ART/cache" ]; then
    malformed=$(awk -F'\t' '
        $1 == "Last_new_wu" || $1 == "Active_project" || $1 == "Activetask" || $1 == "New wu counted" {
            if (NF != 2) print NR": "$0; next }
        $1 == "Checkpoint" { if (NF != 3) print NR": "$0; next }
        $1 ~ /^(Delai|Check|Conso|File|Upload|Download|Occupation|Result|Duree|Nb_file_result|Size_file_result|Dir|Dl_app|Project|Ecart_releve|Prochain_releve|New wu|App|Platform|Run)$/ {
            if (NF != 3) print NR": "$0; next }
        { print NR": "$0 }' "$ART/cache")
    check "state file: every line is a known tag with its fields" "[ -z \"\$malformed\" ]" "$(echo "$malformed" | head -n 3 | tr '\n' '|')"
    lnw=$(awk -F'\t' '$1 == "Last_new_wu" { print $2 }' "$ART/cache")
    check "state file: Last_new_wu ($lnw) set during the run" "[ -n '$lnw' ] && [ '$lnw' -ge '$T_START' ] && [ '$lnw' -le '$T_END' ]"
    if [ "$SCENARIO" != alone ]; then
        check "state file: Run table emptied at the finish" "! grep -q '^Run	' '$ART/cache'"
    fi
else
    bad "state file 'cache' in the project directory"
fi

# --- per-task records --------------------------------------------------------
# shellcheck source=e2e_check_accounting.sh
. "$(dirname "$0")/e2e_check_accounting.sh"

echo "$SCENARIO: $PASSED passed, $FAILED failed, $SKIPPED skipped"
[ "$FAILED" = 0 ]
