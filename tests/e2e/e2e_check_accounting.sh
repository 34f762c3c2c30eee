# e2e_check_accounting.sh - the per-task records of one end-to-end run,
# checked against the client's final state and the sizes the harness made.
# Sourced by e2e_check.sh, whose helpers (ok, bad, check, result_field) and
# values (P_MODEL, PLATFORM, INIT_P_NCPUS, ART, OUT, SCENARIO, COUNT,
# max_cycle: the last cycle that ran, ...) it uses.
#
# jobs.txt: result project app user-friendly-name plan-class input-bytes
# output-bytes application-bytes role (collector, short: completes during the
# work unit, long: still running at its end); "-" is an empty plan class.

# The records without their leading time stamp, the "Activetask" lines as
# they are.
RECORDS=$ART/records.txt
sed -E 's/^[0-9]+;//' "$OUT" >"$RECORDS"

# Line numbers of the records equal to $1.
lines_equal() { awk -v want="$1" '$0 == want { print NR }' "$RECORDS"; }
# Line numbers of the records that start with $1 and whose rest matches the
# extended regular expression $2.
lines_prefixed() {
    awk -v p="$1" -v re="$2" 'index($0, p) == 1 && substr($0, length(p) + 1) ~ re { print NR }' "$RECORDS"
}
count_of() { printf '%s' "$1" | grep -c .; }
# Truncates a client time text (1796997023.000000) to whole seconds.
whole() { printf '%s\n' "${1%%.*}"; }

declare -A APP_BYTES=()
declare -a KIND_NAME=() KIND_HOW=() KIND_TEXT=() KIND_RE=()
# How many results give each "delai" text (results of one application
# received at the same time give the same one).
declare -A DELAI_TEXTS=()
while read -r result project app ufn _; do
    text="delai;$project;$app|$ufn;;$(whole "$(result_field "$result" received_time)");$(whole "$(result_field "$result" report_deadline)")"
    DELAI_TEXTS[$text]=$((${DELAI_TEXTS[$text]:-0} + 1))
done <"$ART/jobs.txt"
while read -r result project app ufn plan input output app_bytes role; do
    [ "$plan" = - ] && plan=""
    wu=${result%_*}
    desc="$P_MODEL;$project;$app|$ufn;$PLATFORM;$plan"
    if [ "$plan" = nci ]; then res="0.01 CPUs"; else res="1 CPUs"; fi
    received=$(whole "$(result_field "$result" received_time)")
    deadline=$(whole "$(result_field "$result" report_deadline)")
    cpu=$(result_field "$result" final_cpu_time)
    elapsed=$(result_field "$result" final_elapsed_time)
    APP_BYTES["$project;$app|$ufn"]=$app_bytes

    text="delai;$project;$app|$ufn;;$received;$deadline"
    n=$(count_of "$(lines_equal "$text")")
    check "$result: delai records '$text' ($n) = the results that give it (${DELAI_TEXTS[$text]})" \
        "[ '$n' = '${DELAI_TEXTS[$text]}' ]"
    n=$(count_of "$(lines_equal "resources;$result;$desc;$res")")
    check "$result: resources record with '$res'" "[ '$n' -ge 1 ]" "no line 'T;resources;$result;$desc;$res'"

    case "$role" in
        short)
            # The completion records, consecutive and in this order, the
            # last one ("run") naming the result. Each kind once; the
            # "occupation" record names no task (results of one application
            # give the same prefix): it is the one between check| and duree|.
            # A task that completes while the collector is restarted has no
            # resources text in the new process: the second form of "run".
            run_re='^[0-9]+;'"$res"';$'
            [ "$STARTS" -gt 1 ] && run_re='^[0-9]+;('"$res"';)?$'
            KIND_NAME=(upload download conso check occupation duree run)
            KIND_HOW=(equal equal prefixed prefixed prefixed equal prefixed)
            KIND_TEXT=(
                "upload;$desc;$output.000000;$cpu"
                "download;$project;$app|$ufn;$input.000000;$plan;$cpu"
                "conso|$wu;$desc"
                "check|$wu;$desc"
                "occupation;$desc"
                "duree|$wu;$desc;$cpu;$elapsed;"
                "run;$result;$desc;"
            )
            KIND_RE=("" "" '^(;[0-9]+)+$' '^(;[0-9]+\|[0-9]+)+$' '^(;[0-9.e+]+)+$' "" "$run_re")
            order_ok=1
            detail=""
            run_line=""
            for k in "${!KIND_NAME[@]}"; do
                name=${KIND_NAME[$k]}
                if [ "${KIND_HOW[$k]}" = equal ]; then
                    found=$(lines_equal "${KIND_TEXT[$k]}")
                else
                    found=$(lines_prefixed "${KIND_TEXT[$k]}" "${KIND_RE[$k]}")
                fi
                if [ "$name" = occupation ]; then
                    [ -n "$found" ] || { order_ok=0; detail="$detail occupation: no line;"; }
                elif [ "$(count_of "$found")" != 1 ]; then
                    order_ok=0
                    detail="$detail $name: $(count_of "$found") line(s);"
                fi
                [ "$name" = run ] && run_line=$found
            done
            if [ "$order_ok" = 1 ]; then
                for k in "${!KIND_NAME[@]}"; do
                    at=$((run_line - ${#KIND_NAME[@]} + 1 + k))
                    line=$(sed -n "${at}p" "$RECORDS")
                    text=${KIND_TEXT[$k]}
                    if [ "${KIND_HOW[$k]}" = equal ]; then
                        [ "$line" = "$text" ] || { order_ok=0; detail="$detail line $at is not ${KIND_NAME[$k]};"; }
                    elif [ "${line:0:${#text}}" != "$text" ] || ! [[ ${line:${#text}} =~ ${KIND_RE[$k]} ]]; then
                        order_ok=0
                        detail="$detail line $at is not ${KIND_NAME[$k]};"
                    fi
                done
            fi
            check "$result: completion records upload..run, once, in order (out $output B, in $input B, cpu $cpu)" \
                "[ '$order_ok' = 1 ]" "$detail"
            runs=$(awk -v p="run;$result;$desc;" 'index($0, p) == 1 { split(substr($0, length(p) + 1), f, ";"); print f[1] }' "$RECORDS" | head -n 1)
            check "$result: run count ${runs:-none} between 1 and $max_cycle" \
                "[ -n '$runs' ] && [ '$runs' -ge 1 ] && [ '$runs' -le '$max_cycle' ]"
            check "$result: left the state file" "! grep -q \"^Result	$result	\" '$ART/cache'"
            ;;
        long | collector)
            if [ "$SCENARIO" != alone ]; then
                # The closing record carries the resources text the process
                # saw; a process that went straight to the finish (restarted
                # after the last cycle's checkpoint) saw none: "run;R;count".
                r=";$res"
                [ "$LAST_BLOCK_CYCLES" = 0 ] && r=""
                runs=$(awk -v p="run;$result;$desc;" -v r="$r" \
                    'index($0, p) == 1 { rest = substr($0, length(p) + 1); if (substr(rest, length(rest) - length(r) + 1) == r) print substr(rest, 1, length(rest) - length(r)) }' \
                    "$RECORDS")
                least=1
                [ "$role" = long ] && least=$((COUNT / 2))
                check "$result: closing run record, count ${runs:-none} between $least and $max_cycle" \
                    "[ '$(count_of "$runs")' = 1 ] && [[ '$runs' =~ ^[0-9]+\$ ]] && [ '$runs' -ge $least ] && [ '$runs' -le '$max_cycle' ]"
                n=$(count_of "$(lines_equal "Activetask	$desc;$res")")
                check "$result: Activetask line" "[ '$n' = 1 ]"
            fi
            if [ "$role" = long ]; then
                check "$result: no completion record while it runs" \
                    "[ -z \"\$(lines_prefixed 'duree|$wu;' '')\" ] && [ -z \"\$(lines_equal 'upload;$desc;$output.000000;$cpu')\" ]"
                check "$result: still followed in the state file" "grep -q \"^Result	$result	\" '$ART/cache'"
            fi
            ;;
    esac
done <"$ART/jobs.txt"

if [ "$SCENARIO" != alone ]; then
    for key in "${!APP_BYTES[@]}"; do
        check "Dl_app record of $key (${APP_BYTES[$key]} bytes)" \
            "[ '$(count_of "$(lines_equal "Dl_app;$key;${APP_BYTES[$key]}.000000;")")' = 1 ]"
    done
    n=$(grep -c '^Activetask' "$RECORDS")
    check "two Activetask lines: the collector and the long worker ($n)" "[ '$n' = 2 ]"
fi
projects=("Collecte $URL_A $HOSTID_A" "Calcul $URL_B $HOSTID_B")
for spec in "${projects[@]}"; do
    read -r project url hostid <<<"$spec"
    n=$(count_of "$(lines_prefixed "active_project;$project;$P_MODEL;$INIT_P_NCPUS;" "^[0-9]+;$hostid\$")")
    m=$(count_of "$(lines_equal "projet;$url;$project")")
    check "one active_project and one projet record for $project" "[ '$n' = 1 ] && [ '$m' = 1 ]" "active_project $n, projet $m"
done
if [ -n "$SEEDED_LAST_NEW_WU" ]; then
    # Every result arrived after the time of the earlier task's count.
    for spec in "Collecte;collecte|Collecteur;1" "Collecte;veille|Veille;1" "Calcul;calc|Calcul;2"; do
        check "New_wu record $spec" "[ '$(count_of "$(lines_equal "New_wu;$spec")")' = 1 ]"
    done
else
    check "no New_wu record: every result arrived before the collector started" "! grep -q '^New_wu;' '$RECORDS'"
fi

# No per-task record twice for one task or key, whatever restarts happened.
# The completion records of a result run from "upload" to its "run" record
# and are keyed by that result; conso|, check| and duree| carry their work
# unit; "run" its result; New_wu and Dl_app their application; active_project
# its project. ("resources" may repeat after a restart; "delai" is counted
# exactly above.)
dups=$(awk -F';' '
    function key(k) { n[k]++ }
    /^Activetask\t/ { key($0); next }
    $1 == "upload" || $1 == "download" || $1 == "occupation" { pending[$1]++; next }
    $1 ~ /^(conso|check|duree)\|/ { key($1); next }
    $1 == "run" {
        key("run;" $2)
        for (t in pending) { for (i = 0; i < pending[t]; i++) key(t ";" $2); delete pending[t] }
        next
    }
    $1 == "New_wu" || $1 == "Dl_app" { key($1 ";" $2 ";" $3); next }
    $1 == "active_project" { key($1 ";" $2); next }
    $1 == "projet" { key($0); next }
    END {
        for (t in pending) if (pending[t]) print t " without its run record (" pending[t] ")"
        for (k in n) if (n[k] > 1) print k " (" n[k] " times)"
    }' "$RECORDS")
keys=$(grep -cE '^(upload|download|occupation|conso\||check\||duree\||run|New_wu|Dl_app|active_project|projet)[;|]|^Activetask' "$RECORDS")
check "no per-task record twice for one task or key ($keys records)" "[ -z \"\$dups\" ]" \
    "$(printf '%s' "$dups" | head -n 5 | tr '\n' '|')"
