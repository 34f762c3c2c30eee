# e2e_lib.sh - runs Debian's BOINC client (package boinc-client) offline as a
# private child process, on a data directory laid out by hand in a temporary
# directory, for the end-to-end tests and the demonstration. Sourced by bash.
#
# The data directory holds made-up projects whose master URLs have the form
# http://HOST/WORD/, their applications, application versions, work units and
# results, written into client_state.xml before the client starts. The client
# is told never to reach the network: no project asks for work (no_rsc_pref),
# output files have no upload URL (a finished result goes to state 5 with
# ready_to_report by itself), the client benchmarks nothing and fetches no
# project list, and it never suspends work for a busy machine.
#
# Use:
#   e2e_setup NAME                 temporary directory, traps, E2E_DATA
#   e2e_write_config NCPUS FAKEGPU cc_config.xml, preferences, empty password
#   e2e_project URL NAME HOSTID    then e2e_app, e2e_install, e2e_make_file,
#                                  e2e_app_version, e2e_job for that project
#   e2e_write_state                client_state.xml
#   e2e_start_client               the client on a free loopback port
#   e2e_poll                       one look at the client's results
#   e2e_stop_client GRACE          SIGTERM, then SIGKILL after GRACE seconds
# Everything is stopped and removed on exit, also on failure, SIGINT and
# SIGTERM (E2E_KEEP=1 keeps the temporary directory).

E2E_BOINC=${E2E_BOINC:-boinc}
E2E_KEEP=${E2E_KEEP:-0}
E2E_WORK=""
E2E_DATA=""
E2E_PORT=""
E2E_CLIENT_PID=""
E2E_CLIENT_LOG=""
E2E_PROBE=${E2E_PROBE:-}
E2E_LEFTOVERS=""
E2E_STOP_SECS=""

e2e_now() { date +%s.%N; }
e2e_elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
e2e_log() { printf '%s\n' "$*" >&2; }

# Directory name of a project under projects/ and in its account file name:
# the URL without its scheme, every character other than a letter, a digit,
# ".", "-" or "_" made "_", and no trailing "_".
e2e_project_dir_name() {
    local name=${1#http://}
    name=${name%/}
    printf '%s\n' "$name" | sed 's/[^A-Za-z0-9._-]/_/g'
}

e2e_setup() {
    local name=$1
    E2E_WORK=$(mktemp -d "${TMPDIR:-/tmp}/$name.XXXXXX") || return 1
    E2E_DATA=$E2E_WORK/data
    E2E_CLIENT_LOG=$E2E_WORK/client.log
    mkdir -p "$E2E_DATA/projects"
    : >"$E2E_WORK/state_body.xml"
    : >"$E2E_WORK/task_pids"
    trap e2e_on_exit EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

# --- processes ----------------------------------------------------------

# True when process $1 exists and works inside this run's data directory,
# that is, it is the client or one of the tasks it started. A PID that has
# been reused by an unrelated process since is never touched.
e2e_is_ours() {
    local pid=$1 cwd
    [ -n "$E2E_DATA" ] && [ "$E2E_DATA" != / ] || return 1
    [ -n "$pid" ] && [ "$pid" != 0 ] || return 1
    cwd=$(readlink "/proc/$pid/cwd" 2>/dev/null) || return 1
    case "$cwd" in
        "$E2E_DATA" | "$E2E_DATA"/*) return 0 ;;
    esac
    return 1
}

# Every process whose working directory lies in the data directory: the
# client (which runs in it) and the tasks (which run in its slots), whoever
# their parent is now.
e2e_processes_in_data() {
    local link pid
    for link in /proc/[0-9]*/cwd; do
        pid=${link#/proc/}
        pid=${pid%/cwd}
        [ "$pid" = "$$" ] && continue
        e2e_is_ours "$pid" && echo "$pid"
    done
    return 0
}

e2e_track_pid() {
    [ "$1" != 0 ] || return 0
    grep -qx "$1" "$E2E_WORK/task_pids" 2>/dev/null || echo "$1" >>"$E2E_WORK/task_pids"
}

# --- data directory -----------------------------------------------------

# cc_config.xml, global_prefs_override.xml and an empty gui_rpc_auth.cfg.
# $1: the processor count the client pretends to have; $2: 1 to declare a
# made-up GPU, so that the host has two resource types.
e2e_write_config() {
    local ncpus=$1 fake_gpu=$2 gpu=""
    if [ "$fake_gpu" = 1 ]; then
        gpu="<coproc><type>e2egpu</type><count>1</count><device_nums>0</device_nums></coproc>"
    fi
    E2E_FAKE_GPU=$fake_gpu
    : >"$E2E_DATA/gui_rpc_auth.cfg"
    cat >"$E2E_DATA/cc_config.xml" <<EOF
<cc_config>
  <log_flags>
    <task>1</task>
    <file_xfer>1</file_xfer>
    <sched_ops>1</sched_ops>
    <cpu_sched>1</cpu_sched>
  </log_flags>
  <options>
    <skip_cpu_benchmarks>1</skip_cpu_benchmarks>
    <no_gpus>1</no_gpus>
    <no_info_fetch>1</no_info_fetch>
    <dont_contact_ref_site>1</dont_contact_ref_site>
    <ncpus>$ncpus</ncpus>
    $gpu
  </options>
</cc_config>
EOF
    cat >"$E2E_DATA/global_prefs_override.xml" <<'EOF'
<global_preferences>
  <run_on_batteries>1</run_on_batteries>
  <run_if_user_active>1</run_if_user_active>
  <run_gpu_if_user_active>1</run_gpu_if_user_active>
  <suspend_cpu_usage>0</suspend_cpu_usage>
  <idle_time_to_run>0</idle_time_to_run>
  <cpu_usage_limit>100</cpu_usage_limit>
  <max_ncpus_pct>100</max_ncpus_pct>
  <work_buf_min_days>0</work_buf_min_days>
  <work_buf_additional_days>0</work_buf_additional_days>
  <disk_max_used_pct>100</disk_max_used_pct>
  <disk_min_free_gb>0</disk_min_free_gb>
  <ram_max_used_busy_pct>100</ram_max_used_busy_pct>
  <ram_max_used_idle_pct>100</ram_max_used_idle_pct>
</global_preferences>
EOF
}

# Starts a project: its account file, its directory and its <project>
# element. Everything added after it belongs to it.
e2e_project() {
    local url=$1 name=$2 hostid=$3 dir gpu_pref=""
    dir=$(e2e_project_dir_name "$url")
    E2E_PDIR=$E2E_DATA/projects/$dir
    mkdir -p "$E2E_PDIR"
    cat >"$E2E_DATA/account_$dir.xml" <<EOF
<account>
  <master_url>$url</master_url>
  <authenticator>e2e_$dir</authenticator>
</account>
EOF
    [ "${E2E_FAKE_GPU:-0}" = 1 ] && gpu_pref="<no_rsc_pref>e2egpu</no_rsc_pref>"
    cat >>"$E2E_WORK/state_body.xml" <<EOF
<project>
  <master_url>$url</master_url>
  <project_name>$name</project_name>
  <hostid>$hostid</hostid>
  <scheduler_url>http://127.0.0.1:1/e2e_cgi</scheduler_url>
  <no_rsc_pref>CPU</no_rsc_pref>
  $gpu_pref
</project>
EOF
}

e2e_app() {
    printf '<app>\n  <name>%s</name>\n  <user_friendly_name>%s</user_friendly_name>\n</app>\n' \
        "$1" "$2" >>"$E2E_WORK/state_body.xml"
}

# A file of the current project that is present: $1 name, $2 1 if executable.
e2e_file_info() {
    local exe=""
    [ "${2:-0}" = 1 ] && exe="<executable/>"
    printf '<file_info>\n  <name>%s</name>\n  <status>1</status>\n  %s\n</file_info>\n' \
        "$1" "$exe" >>"$E2E_WORK/state_body.xml"
}

# Copies program $1 into the current project as file $2 (executable).
e2e_install() {
    install -m 755 "$1" "$E2E_PDIR/$2" || return 1
    e2e_file_info "$2" 1
}

# Makes a plain file $1 of exactly $2 bytes in the current project.
e2e_make_file() {
    head -c "$2" /dev/zero | tr '\0' 'x' >"$E2E_PDIR/$1" || return 1
    e2e_file_info "$1" 0
}

# $1 app, $2 plan class, $3 average CPUs, $4 main program file, then pairs
# "FILE:OPEN_NAME" or "FILE:OPEN_NAME:copy" for further files of the version.
e2e_app_version() {
    local app=$1 plan=$2 ncpus=$3 main=$4 spec file open copy
    shift 4
    {
        printf '<app_version>\n  <app_name>%s</app_name>\n  <version_num>100</version_num>\n' "$app"
        printf '  <platform>%s</platform>\n' "$E2E_PLATFORM"
        [ -n "$plan" ] && printf '  <plan_class>%s</plan_class>\n' "$plan"
        printf '  <avg_ncpus>%s</avg_ncpus>\n  <flops>1e9</flops>\n' "$ncpus"
        printf '  <file_ref>\n    <file_name>%s</file_name>\n    <main_program/>\n  </file_ref>\n' "$main"
        for spec in "$@"; do
            IFS=: read -r file open copy <<<"$spec"
            printf '  <file_ref>\n    <file_name>%s</file_name>\n    <open_name>%s</open_name>\n' "$file" "$open"
            [ "$copy" = copy ] && printf '    <copy_file/>\n'
            printf '  </file_ref>\n'
        done
        printf '</app_version>\n'
    } >>"$E2E_WORK/state_body.xml"
}

# A work unit with one result ${wu}_0 in state "files downloaded".
#   $1 work unit name   $2 app   $3 plan class   $4 command line
#   $5 input files "NAME:BYTES ..." made here, opened as in0, in1, ...
#   $6 output open names "out" or "out0 out1 ...": files ${wu}_0_0, _1, ...
#   $7 1 to keep the output files after the task (sticky)
#   $8 received time (Unix seconds)
e2e_job() {
    local wu=$1 app=$2 plan=$3 cmd=$4 inputs=$5 opens=$6 sticky=$7 received=$8
    local result=${wu}_0 spec k open keep=""
    [ "$sticky" = 1 ] && keep="<sticky/>"
    for spec in $inputs; do
        e2e_make_file "${spec%%:*}" "${spec##*:}" || return 1
    done
    {
        printf '<workunit>\n  <name>%s</name>\n  <app_name>%s</app_name>\n' "$wu" "$app"
        printf '  <version_num>100</version_num>\n  <command_line>%s</command_line>\n' "$cmd"
        printf '  <rsc_fpops_est>1e11</rsc_fpops_est>\n'
        k=0
        for spec in $inputs; do
            printf '  <file_ref>\n    <file_name>%s</file_name>\n    <open_name>in%d</open_name>\n  </file_ref>\n' \
                "${spec%%:*}" "$k"
            k=$((k + 1))
        done
        printf '</workunit>\n'
        k=0
        for open in $opens; do
            printf '<file_info>\n  <name>%s_%d</name>\n  <max_nbytes>100000000</max_nbytes>\n  %s\n</file_info>\n' \
                "$result" "$k" "$keep"
            k=$((k + 1))
        done
        printf '<result>\n  <name>%s</name>\n  <wu_name>%s</wu_name>\n' "$result" "$wu"
        printf '  <platform>%s</platform>\n  <version_num>100</version_num>\n' "$E2E_PLATFORM"
        [ -n "$plan" ] && printf '  <plan_class>%s</plan_class>\n' "$plan"
        printf '  <received_time>%s</received_time>\n' "$received"
        printf '  <report_deadline>%s</report_deadline>\n  <state>2</state>\n' "$((received + 7 * 86400))"
        k=0
        for open in $opens; do
            printf '  <file_ref>\n    <file_name>%s_%d</file_name>\n    <open_name>%s</open_name>\n  </file_ref>\n' \
                "$result" "$k" "$open"
            k=$((k + 1))
        done
        printf '</result>\n'
    } >>"$E2E_WORK/state_body.xml"
}

# The client's version and primary platform, needed before the layout: a
# state file from another version makes the client act as newly installed.
e2e_client_version() {
    local version
    command -v "$E2E_BOINC" >/dev/null || {
        e2e_log "$E2E_BOINC not found: install the package boinc-client"
        return 1
    }
    read -r version E2E_PLATFORM < <("$E2E_BOINC" --version)
    IFS=. read -r E2E_V_MAJOR E2E_V_MINOR E2E_V_RELEASE <<<"$version"
    [ -n "$E2E_PLATFORM" ] && [ -n "$E2E_V_RELEASE" ]
}

e2e_write_state() {
    {
        printf '<client_state>\n'
        printf '<core_client_major_version>%s</core_client_major_version>\n' "$E2E_V_MAJOR"
        printf '<core_client_minor_version>%s</core_client_minor_version>\n' "$E2E_V_MINOR"
        printf '<core_client_release>%s</core_client_release>\n' "$E2E_V_RELEASE"
        cat "$E2E_WORK/state_body.xml"
        printf '</client_state>\n'
    } >"$E2E_DATA/client_state.xml"
}


# --- a made-up GPU environment for the tasks ----------------------------------

# Lays out under directory $1 a small sysfs tree with two display-class PCI
# devices, an NVIDIA one bound to "nvidia" (whose module has a version file)
# and an AMD one bound to "amdgpu" (with its VRAM size), next to a device of
# another class that must be left out, and a pci.ids file naming both. Writes
# to $1/expected_coproc.txt the lines that gpu_detect must write for that tree
# with GPU_DETECT_SYSFS_ROOT=$1/sys, GPU_DETECT_PCI_IDS=$1/pci.ids and
# GPU_DETECT_NO_NVML=1 (the variables e2e_fake_gpu_env exports).
e2e_fake_sysfs() {
    local root=$1 sys dev
    sys=$root/sys
    mkdir -p "$sys/bus/pci/drivers/nvidia" "$sys/bus/pci/drivers/amdgpu" \
        "$sys/bus/pci/drivers/snd_hda_intel" "$sys/module/nvidia" "$sys/module/amdgpu" || return 1
    # address vendor device subsystem_vendor subsystem_device revision class driver
    while read -r addr vendor device svendor sdevice rev class driver; do
        dev=$sys/bus/pci/devices/$addr
        mkdir -p "$dev" || return 1
        printf '%s\n' "$vendor" >"$dev/vendor"
        printf '%s\n' "$device" >"$dev/device"
        printf '%s\n' "$svendor" >"$dev/subsystem_vendor"
        printf '%s\n' "$sdevice" >"$dev/subsystem_device"
        printf '%s\n' "$rev" >"$dev/revision"
        printf '%s\n' "$class" >"$dev/class"
        ln -s "../../../bus/pci/drivers/$driver" "$dev/driver"
    done <<'DEVICES'
0000:00:1f.3 0x8086 0x51c8 0x8086 0x7270 0x01 0x040300 snd_hda_intel
0000:01:00.0 0x10de 0x1b80 0x10de 0x119e 0xa1 0x030000 nvidia
0000:0a:00.0 0x1002 0x73bf 0x1002 0x0e3a 0xc1 0x030000 amdgpu
DEVICES
    printf '17163091968\n' >"$sys/bus/pci/devices/0000:0a:00.0/mem_info_vram_total"
    printf '535.104.05\n' >"$sys/module/nvidia/version"
    # amdgpu as built into the kernel tree: no version file.
    printf '%s\n' '# pci.ids for the end-to-end tests' \
        '8086  Intel Corporation' \
        '	51c8  E2E Audio Device' \
        '10de  NVIDIA Corporation' \
        '	1b80  E2E Display N80' \
        '		10de 119e  E2E Display N80 Founders' \
        '1002  Advanced Micro Devices, Inc. [AMD/ATI]' \
        '	73bf  E2E Display A3BF' \
        'C 03  Display controller' >"$root/pci.ids"
    printf '%s\n' \
        'GPU;NVIDIA;0;NVIDIA Corporation E2E Display N80;-1;535.104.05;nvidia;PCI\VEN_10DE&DEV_1B80&SUBSYS_119E10DE&REV_A1;0000:01:00.0' \
        'GPU;ATI/AMD;0;Advanced Micro Devices, Inc. [AMD/ATI] E2E Display A3BF;17163091968;;amdgpu;PCI\VEN_1002&DEV_73BF&SUBSYS_0E3A1002&REV_C1;0000:0a:00.0' \
        >"$root/expected_coproc.txt"
}

# Exports the variables that point gpu_detect at the tree of e2e_fake_sysfs
# $1; the client started afterwards hands them on to its tasks.
e2e_fake_gpu_env() {
    export GPU_DETECT_SYSFS_ROOT=$1/sys
    export GPU_DETECT_PCI_IDS=$1/pci.ids
    export GPU_DETECT_NO_NVML=1
}

# Removes those variables, so that gpu_detect looks at the real host.
e2e_plain_gpu_env() {
    unset GPU_DETECT_SYSFS_ROOT GPU_DETECT_PCI_IDS GPU_DETECT_NO_NVML
}

# The GPU_DETECT_* variables of process $1 as it was started, one per line.
e2e_gpu_env_of() {
    tr '\0' '\n' <"/proc/$1/environ" 2>/dev/null | grep '^GPU_DETECT_' | sort
    return 0
}

# --- the client -----------------------------------------------------------

# True when some TCP socket of the host, in any state, has local port $1:
# a listener, but also one end of a connection or a socket in TIME_WAIT,
# either of which makes the client's bind fail (it then retries once a
# second for 30 s before it gives up its GUI RPC).
e2e_port_in_use() {
    local hex
    hex=$(printf ':%04X ' "$1")
    cat /proc/net/tcp /proc/net/tcp6 2>/dev/null | awk '{ print $2 " " }' | grep -q -- "$hex"
}

# A free loopback port (bounded number of tries), below the kernel's range
# of ephemeral ports, where the local ends of other programs' connections
# come from.
e2e_pick_port() {
    local i p low=32768 high span
    read -r low high 2>/dev/null </proc/sys/net/ipv4/ip_local_port_range
    span=$((low - 20000))
    [ "$span" -ge 1000 ] || span=40000
    for ((i = 0; i < 200; i++)); do
        p=$((20000 + (RANDOM * 32768 + RANDOM) % span))
        e2e_port_in_use "$p" && continue
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
            E2E_PORT=$p
            return 0
        fi
    done
    return 1
}

# Starts the client as a child and waits (at most 30 s) for GUI RPC.
e2e_start_client() {
    local i t0
    [ -n "$E2E_PORT" ] || e2e_pick_port || { e2e_log "no free loopback port"; return 1; }
    echo "----- client start $(date '+%F %T') on port $E2E_PORT -----" >>"$E2E_CLIENT_LOG"
    t0=$(e2e_now)
    "$E2E_BOINC" --dir "$E2E_DATA" --gui_rpc_port "$E2E_PORT" >>"$E2E_CLIENT_LOG" 2>&1 &
    E2E_CLIENT_PID=$!
    for ((i = 0; i < 300; i++)); do
        if ! kill -0 "$E2E_CLIENT_PID" 2>/dev/null; then
            e2e_log "the client exited during start-up; its log:"
            tail -n 30 "$E2E_CLIENT_LOG" >&2
            E2E_CLIENT_PID=""
            return 1
        fi
        if "$E2E_PROBE" "$E2E_PORT" ping; then
            E2E_RPC_SECS=$(e2e_elapsed "$t0" "$(e2e_now)")
            return 0
        fi
        sleep 0.1
    done
    e2e_log "GUI RPC did not answer within 30 s"
    return 1
}

# One look at the client's results into $E2E_WORK/results; remembers the PID
# of every task process seen. Fails when the client does not answer.
e2e_poll() {
    local pid
    "$E2E_PROBE" "$E2E_PORT" results >"$E2E_WORK/results.new" 2>/dev/null || return 1
    mv "$E2E_WORK/results.new" "$E2E_WORK/results"
    while read -r _ _ _ _ _ pid _; do
        [ "${pid:-0}" != 0 ] && e2e_track_pid "$pid"
    done <"$E2E_WORK/results"
    return 0
}

# Fields of result $1 from the last poll: state ready active tstate pid slot.
e2e_result() {
    awk -v r="$1" '$1 == r { print $2, $3, $4, $5, $6, $7; found = 1 } END { exit !found }' \
        "$E2E_WORK/results" 2>/dev/null
}

# Stops the client by its PID: SIGTERM, which makes it ask its tasks to quit
# and wait for them; after $1 seconds the client and every process still in
# the data directory are killed. Sets E2E_STOP_SECS.
e2e_stop_client() {
    local grace=$1 i t0 pid
    [ -n "$E2E_CLIENT_PID" ] || return 0
    t0=$(e2e_now)
    if kill -0 "$E2E_CLIENT_PID" 2>/dev/null; then
        for pid in $(ps -o pid= --ppid "$E2E_CLIENT_PID" 2>/dev/null); do e2e_track_pid "$pid"; done
        kill -TERM "$E2E_CLIENT_PID" 2>/dev/null
        for ((i = 0; i < grace * 10; i++)); do
            kill -0 "$E2E_CLIENT_PID" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$E2E_CLIENT_PID" 2>/dev/null; then
            e2e_log "client $E2E_CLIENT_PID still running ${grace} s after SIGTERM: killing it"
            kill -KILL "$E2E_CLIENT_PID" 2>/dev/null
        fi
    fi
    wait "$E2E_CLIENT_PID" 2>/dev/null
    E2E_STOP_SECS=$(e2e_elapsed "$t0" "$(e2e_now)")
    E2E_CLIENT_PID=""
    e2e_kill_leftovers
}

# Kills, by PID, every task process of this run still alive once the client
# is gone (an API task notices the client's end only after some seconds, a
# task without the API never does). Records them in E2E_LEFTOVERS.
e2e_kill_leftovers() {
    local pid i left
    left=$( (cat "$E2E_WORK/task_pids" 2>/dev/null; e2e_processes_in_data) | sort -u)
    for pid in $left; do
        e2e_is_ours "$pid" || continue
        E2E_LEFTOVERS="$E2E_LEFTOVERS $pid"
        kill -KILL "$pid" 2>/dev/null
    done
    for ((i = 0; i < 50; i++)); do
        left=""
        for pid in $E2E_LEFTOVERS; do e2e_is_ours "$pid" && left="$left $pid"; done
        [ -z "$left" ] && break
        sleep 0.1
    done
}

# True when no process of this run is left: neither the client, nor a task
# seen during the run, nor anything else working in the data directory.
e2e_nothing_left() {
    local pid
    [ -n "$E2E_CLIENT_PID" ] && kill -0 "$E2E_CLIENT_PID" 2>/dev/null && return 1
    for pid in $(cat "$E2E_WORK/task_pids" 2>/dev/null) $(e2e_processes_in_data); do
        e2e_is_ours "$pid" && return 1
    done
    return 0
}

e2e_on_exit() {
    local rc=$?
    trap - EXIT INT TERM
    trap '' INT TERM
    if [ -n "$E2E_CLIENT_PID" ]; then
        e2e_stop_client 20
    fi
    if [ -n "$E2E_WORK" ] && [ -d "$E2E_WORK" ]; then
        e2e_kill_leftovers
        if [ "$E2E_KEEP" = 1 ]; then
            e2e_log "kept $E2E_WORK"
        else
            rm -rf "$E2E_WORK"
        fi
    fi
    exit "$rc"
}
