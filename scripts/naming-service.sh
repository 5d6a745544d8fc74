# SPDX-License-Identifier: MIT
# Sourced by the scripts that need a private omniNames.
#
# start_naming_service HOST DIR: starts omniNames on HOST:9999 with its data in
# DIR, waits until its root context is active (10 s at most) and sets
# NAMING_SERVICE_PID. On failure it returns 1 with the reason in
# NAMING_SERVICE_PROBLEM, e.g. what holds HOST:9999 when that is taken.
start_naming_service() {
    local host=$1 dir=$2 listeners
    if listeners=$(ss -Hltnp 'sport = :9999' 2>/dev/null) && [[ -n $listeners ]] &&
        grep -qE "(^|[[:space:]])($host|0\.0\.0\.0|\*|\[::\]):9999" <<<"$listeners"; then
        NAMING_SERVICE_PROBLEM="port 9999 on $host is taken by: $(grep -oE 'users:\(.*\)' <<<"$listeners" | sed -n 1p)"
        return 1
    fi
    omniNames -start 9999 -datadir "$dir" -nohostname -errlog "$dir/omniNames.log" \
        -ORBendPoint "giop:tcp:$host:9999" >/dev/null 2>&1 &
    NAMING_SERVICE_PID=$!
    if ! wait_for_line "$dir/omniNames.log" "Root context is" "$NAMING_SERVICE_PID"; then
        NAMING_SERVICE_PROBLEM="omniNames did not start: $(cat "$dir/omniNames.log" 2>/dev/null)"
        return 1
    fi
}

# wait_for_line FILE TEXT PID: until FILE holds TEXT, while PID lives (10 s at most).
wait_for_line() {
    local _
    for _ in $(seq 1 200); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        kill -0 "$3" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}

# stop_process PID: SIGTERM, and SIGKILL if it still runs 2 s later (a
# fault-tolerant naming server whose peer is gone may never end on SIGTERM);
# quiet if it is gone already (or was killed, as the takeover benchmark does).
# Works for processes that are not this shell's children too.
stop_process() {
    local _
    kill -TERM "$1" 2>/dev/null || return 0
    for _ in $(seq 1 40); do
        [[ $(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) =~ ^[^Z]$ ]] || break
        sleep 0.05
    done
    kill -KILL "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
