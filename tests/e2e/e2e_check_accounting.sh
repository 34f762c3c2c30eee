# e2e_check_accounting.sh - the per-task records of one end-to-end run,
# checked against the client's final state and the sizes the harness made.
# Sourced by e2e_check.sh, whose helpers (ok, bad, check, result_field) and
# values (P_MODEL, PLATFORM, INIT_P_NCPUS, ART, OUT, SCENARIO, COUNT, ...) it
# uses.
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

    same_app=$(awk -v p="$project" -v a="$app" '$2 == p && $3 == a' "$ART/jobs.txt" | grep -c .)
    n=$(count_of "$(lines_equal "delai;$project;$app|$ufn;;$received;$deadline")")
    check "$result: delai records of $project;$app ($n) = its results ($same_app)" "[ '$n' = '$same_app' ]"
    n=$(count_of "$(lines_equal "resources;$result;$desc;$res")")
    check "$result: resources record with '$res'" "[ '$n' -ge 1 ]" "no line 'T;resources;$result;$desc;$res'"

    case "$role" in
        short)
            # The completion records, consecutive and in this order.
            seq=()
            seq+=("$(lines_equal "upload;$desc;$output.000000;$cpu")")
            seq+=("$(lines_equal "download;$project;$app|$ufn;$input.000000;$plan;$cpu")")
            seq+=("$(lines_prefixed "conso|$wu;$desc" '^(;[0-9]+)+$')")
            seq+=("$(lines_prefixed "check|$wu;$desc" '^(;[0-9]+\|[0-9]+)+$')")
            seq+=("$(lines_prefixed "occupation;$desc" '^(;[0-9.e+]+)+$')")
            seq+=("$(lines_equal "duree|$wu;$desc;$cpu;$elapsed;")")
            # A task that completes while the collector is restarted has no
            # resources text in the new process: the second form.
            run_re='^[0-9]+;'"$res"';$'
            [ "$STARTS" -gt 1 ] && run_re='^[0-9]+;('"$res"';)?$'
            seq+=("$(lines_prefixed "run;$result;$desc;" "$run_re")")
            names=(upload download conso check occupation duree run)
            order_ok=1
            detail=""
            for k in "${!seq[@]}"; do
                if [ "$(count_of "${seq[$k]}")" != 1 ]; then
                    order_ok=0
                    detail="$detail ${names[$k]}: $(count_of "${seq[$k]}") line(s);"
                elif [ "$k" -gt 0 ] && [ "${seq[$k]}" != $((${seq[$((k - 1))]:-0} + 1)) ]; then
                    order_ok=0
                    detail="$detail ${names[$k]} not right after ${names[$((k - 1))]};"
                fi
            done
            check "$result: completion records upload..run, once, in order (out $output B, in $input B, cpu $cpu)" \
                "[ '$order_ok' = 1 ]" "$detail"
            runs=$(awk -v p="run;$result;$desc;" 'index($0, p) == 1 { split(substr($0, length(p) + 1), f, ";"); print f[1] }' "$RECORDS" | head -n 1)
            check "$result: run count ${runs:-none} between 1 and $COUNT" \
                "[ -n '$runs' ] && [ '$runs' -ge 1 ] && [ '$runs' -le '$COUNT' ]"
            check "$result: left the state file" "! grep -q \"^Result	$result	\" '$ART/cache'"
            ;;
        long | collector)
            if [ "$SCENARIO" != alone ]; then
                runs=$(awk -v p="run;$result;$desc;" -v r=";$res" \
                    'index($0, p) == 1 { rest = substr($0, length(p) + 1); if (substr(rest, length(rest) - length(r) + 1) == r) print substr(rest, 1, length(rest) - length(r)) }' \
                    "$RECORDS")
                least=1
                [ "$role" = long ] && least=$((COUNT / 2))
                check "$result: closing run record, count ${runs:-none} between $least and $COUNT" \
                    "[ '$(count_of "$runs")' = 1 ] && [[ '$runs' =~ ^[0-9]+\$ ]] && [ '$runs' -ge $least ] && [ '$runs' -le '$COUNT' ]"
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
