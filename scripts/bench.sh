#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Benchmarks zorclient against the hand-written ORB calls it stands for, in a
# Release build, against a private omniNames on 127.0.8.1:9999, and prints the
# table of medians, spreads and ratios. Then replicas taking over: two more
# omniNames on 127.0.8.2 and 127.0.8.3, the first killed or (as root) cut
# off, and the time until a lookup goes through the second, one fresh process
# and pair of servers per round, with ZORCLIENT_TIMEOUT_MS=1500 (and, cut off,
# without a bound), after lookups from one thread and from eight. As root
# also: a fresh connection to a dual-stack name whose IPv6 address is silent,
# and the requests that reach the second server of a healthy pair over 10,000
# lookups, idle and with both cores busy. With ZORCLIENT_TAO_ROOT set to a TAO prefix,
# the same takeover with TAO's fault-tolerant pair, and the same cases on a
# TAO build too, in the same run.
# Usage: bench.sh [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
ZORCLIENT_WITH_BENCH=1 bash scripts/install-deps.sh
# As root the rest runs in a network namespace of its own with loopback alone,
# and a mount namespace whose /etc/hosts adds three names: one for 127.0.8.1
# and ::1, as Debian's own file has localhost, one for the two replicas, and
# one for ::1 and 127.0.8.2, whose ::1 is dropped when it is used, and one
# for ::1 and 127.0.8.4, both a delaying proxy of the slow-link rows.
# The servers, the clients and the tables that cut servers off live and die
# there, and the machine's own firewall and hosts file are never touched.
if [[ $(id -u) -eq 0 && -z ${ZORCLIENT_TEST_PRIVATE_NETWORK:-} ]]; then
    hosts=$(mktemp)
    { cat /etc/hosts; printf '%s dualstack.zorclient.bench\n' 127.0.8.1 ::1
      printf '%s replicas.zorclient.bench\n' 127.0.8.2 127.0.8.3
      printf '%s silentv6.zorclient.bench\n' ::1 127.0.8.2
      printf '%s slowdual.zorclient.bench\n' ::1 127.0.8.4; } >"$hosts"
    exec env ZORCLIENT_TEST_PRIVATE_NETWORK=1 ZORCLIENT_BENCH_HOSTS="$hosts" unshare --net --mount -- \
        bash -c 'ip link set lo up && mount --make-rprivate / &&
            mount --bind "$ZORCLIENT_BENCH_HOSTS" /etc/hosts && exec bash "$@"' _ "$0" "$@"
fi
[[ -n ${ZORCLIENT_BENCH_HOSTS:-} ]] && export ZORCLIENT_BENCH_DUAL_STACK_NAME=dualstack.zorclient.bench
host=127.0.8.1
rounds=${1:-5}
work=$(mktemp -d)
# shellcheck source=naming-service.sh
source scripts/naming-service.sh
trap '[[ -n ${NAMING_SERVICE_PID:-} ]] && stop_process "$NAMING_SERVICE_PID"; rm -rf "$work" ${ZORCLIENT_BENCH_HOSTS:+"$ZORCLIENT_BENCH_HOSTS"}' EXIT

# build_bench DIR [CMAKE-ARGS...]
build_bench() {
    local build=$1
    shift
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZORCLIENT_BUILD_BENCH=ON \
        -DZORCLIENT_BUILD_TESTS=OFF -DZORCLIENT_BUILD_TOOLS=OFF -DZORCLIENT_BUILD_EXAMPLES=OFF "$@" >/dev/null
    cmake --build "$build" -j"$(nproc)" --target zorclient_bench zorclient_takeover >/dev/null
}

builds=("${ZORCLIENT_BENCH_DIR:-build-bench}")
build_bench "${builds[0]}"
if [[ -n ${ZORCLIENT_TAO_ROOT:-} ]]; then
    builds+=("${ZORCLIENT_BENCH_DIR:-build-bench}-tao")
    build_bench "${builds[1]}" -DZORCLIENT_ORB=TAO -DTAO_ROOT="$ZORCLIENT_TAO_ROOT"
fi

# start_ft_naming ROLE HOST: one of TAO's fault-tolerant pair, sharing the
# store in $work/ft; prints its pid once it listens.
start_ft_naming() {
    local role=$1 host=$2 extra=() pid _
    [[ $role == --backup ]] && extra=(-c "$work/ft/pair.ior")
    LD_LIBRARY_PATH=$ZORCLIENT_TAO_ROOT/lib "$ZORCLIENT_TAO_ROOT/bin/tao_ft_naming" "$role" \
        -r "$work/ft/ns" -v "$work/ft/og" "${extra[@]}" -ORBEndpoint "iiop://$host:9999" \
        >"$work/ft/${role#--}.log" 2>&1 &
    pid=$!
    for _ in $(seq 1 200); do
        [[ -n $(ss -Hltn "src $host:9999") ]] && { echo "$pid"; return 0; }
        sleep 0.05
    done
    echo "bench: tao_ft_naming $role did not start" >&2
    return 1
}

# takeover BUILD MODE THREADS [ft|name|silentv6 [BOUND [N]]]: one round;
# prints "MS NIL-LOOKUPS" ("NIL-LOOKUPS" for MODE healthy). A and B are two
# omniNames, or with "ft" TAO's fault-tolerant pair, A the primary; with
# "name" the lookups go through one host name for both, given by the private
# hosts file (root), with "silentv6" through the name for ::1 and A. BOUND is
# ZORCLIENT_TIMEOUT_MS, 1500 by default, "none" for no bound.
takeover() {
    local build=$1 mode=$2 threads=$3 servers=${4:-} bound=${5:-1500} a=127.0.8.2 b=127.0.8.3 pid_a pid_b
    if [[ $servers == ft ]]; then
        rm -rf "$work/ft" && mkdir -p "$work/ft/ns" "$work/ft/og"
        pid_a=$(start_ft_naming --primary "$a") || return 1
        pid_b=$(start_ft_naming --backup "$b") || { kill -9 "$pid_a"; return 1; }
    else
        rm -rf "$work/a" "$work/b" && mkdir -p "$work/a" "$work/b"
        start_naming_service "$a" "$work/a" || { echo "bench: $NAMING_SERVICE_PROBLEM" >&2; return 1; }
        pid_a=$NAMING_SERVICE_PID
        start_naming_service "$b" "$work/b" || { echo "bench: $NAMING_SERVICE_PROBLEM" >&2; return 1; }
        pid_b=$NAMING_SERVICE_PID
        NAMING_SERVICE_PID=
    fi
    local args=("$a" "$b" "$threads" "$mode")
    [[ $mode == killed ]] && args+=("$pid_a")
    [[ $mode == healthy ]] && args+=("${6:-10000}")
    [[ $mode == slow ]] && args+=("$6" "$7")
    # A round that hangs (a server of the pair that never answers its setup)
    # is stopped and measures nothing.
    local run=(env -u ZORCLIENT_TIMEOUT_MS timeout 60 "$build/bench/zorclient_takeover" "${args[@]}")
    [[ $bound != none ]] && run=(env ZORCLIENT_TIMEOUT_MS="$bound" timeout 60 "$build/bench/zorclient_takeover" "${args[@]}")
    [[ $servers == name ]] && run=(env ZORCLIENT_TAKEOVER_NAME=replicas.zorclient.bench "${run[@]}")
    [[ $servers == silentv6 ]] && run=(env ZORCLIENT_TAKEOVER_NAME=silentv6.zorclient.bench "${run[@]}")
    "${run[@]}" || true
    stop_process "$pid_a"
    stop_process "$pid_b"
}

# nft_table NAME RULE...: a table of the bench's own (in its network
# namespace) with one input rule; nft_count NAME: the packets it counted.
nft_table() {
    local name=$1
    shift
    nft add table inet "$name"
    nft add chain inet "$name" in '{ type filter hook input priority 0; policy accept; }'
    nft add rule inet "$name" in "$@"
}
nft_count() { nft list table inet "$1" | awk '/packets/ { for (i = 1; i < NF; ++i) if ($i == "packets") print $(i + 1) }'; }

# extra_requests BUILD THREADS BUSY [ft]: requests that reached B (data
# packets to its port) while a healthy pair answered 10,000 lookups from
# THREADS threads, per 100 lookups, and how many lookups gave nil; BUSY loops
# keep both cores busy meanwhile.
extra_requests() {
    local build=$1 threads=$2 busy=$3 servers=${4:-} loops=() setup count nil
    # What a round's own setup sends to B (binding a/b/c there), from a round
    # with no lookups.
    nft_table zorbench_count ip daddr 127.0.8.3 tcp dport 9999 ip length gt 64 counter
    takeover "$build" healthy 1 "$servers" 1500 0 >/dev/null
    setup=$(nft_count zorbench_count)
    nft delete table inet zorbench_count
    nft_table zorbench_count ip daddr 127.0.8.3 tcp dport 9999 ip length gt 64 counter
    for _ in $(seq 1 "$busy"); do
        bash -c 'while :; do :; done' &
        loops+=($!)
    done
    nil=$(takeover "$build" healthy "$threads" "$servers" 1500 10000)
    [[ ${#loops[@]} -gt 0 ]] && kill "${loops[@]}" 2>/dev/null
    count=$(nft_count zorbench_count)
    nft delete table inet zorbench_count
    awk -v count="$count" -v setup="$setup" -v nil="${nil:-none measured}" 'BEGIN {
        printf "%.2f (%d requests to B; the setup alone sent %d; nil lookups: %s)\n", (count - setup) / 100, count - setup, setup, nil }'
}

# slow_summary LABEL [ONE-ADDRESS-MEDIAN]: reads "MS EXTRA LOOKUPS NIL" lines
# of the slow-link rounds, prints the median and spread, its ratio to the
# one-address median, and the extra requests per 100 lookups.
slow_summary() {
    sort -n | awk -v label="$1" -v one="${2:-}" '
        { ms[NR] = $1; extra += $2; lookups += $3; nil += $4 }
        END {
            if (NR == 0) { printf "%-56s no measurement\n", label; exit }
            median = NR % 2 ? ms[(NR + 1) / 2] : (ms[NR / 2] + ms[NR / 2 + 1]) / 2
            ratio = one == "" ? "" : sprintf(", %.2f x one address", median / one)
            printf "%-56s %10.1f ms [%.1f..%.1f]%s; extra requests per 100 lookups: %.2f; nil lookups: %d\n",
                label, median, ms[1], ms[NR], ratio, 100 * extra / lookups, nil
        }'
}

# summary LABEL: reads "MS NIL-LOOKUPS" lines, prints the median and spread.
summary() {
    sort -n | awk -v label="$1" '
        { ms[NR] = $1; nil = nil (NR > 1 ? "," : "") $2 }
        END {
            if (NR == 0) { printf "%-56s no measurement\n", label; exit }
            median = NR % 2 ? ms[(NR + 1) / 2] : (ms[NR / 2] + ms[NR / 2 + 1]) / 2
            printf "%-56s %10.1f ms [%.1f..%.1f], nil lookups per round: %s\n", label, median, ms[1], ms[NR], nil
        }'
}

start_naming_service "$host" "$work" || { echo "bench: $NAMING_SERVICE_PROBLEM" >&2; exit 1; }
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
for build in "${builds[@]}"; do
    orb=$(sed -n 's/^ZORCLIENT_ORB:STRING=//p' "$build/CMakeCache.txt")
    echo "== zorclient on $orb"
    "$build/bench/zorclient_bench" "$host" "$rounds" >"$work/bench.out" 2>"$work/bench.err" ||
        { cat "$work/bench.err" "$work/bench.out" >&2; exit 1; }
    sed -n '/^case /,$p' "$work/bench.out"
    if [[ $orb == TAO ]]; then
        # A process whose client threads are pure clients may tell TAO so in
        # svc.conf, which its ORB reads from the folder it starts in.
        mkdir -p "$work/pure-clients"
        printf '%s\n' 'static Client_Strategy_Factory "-ORBWaitStrategy rw -ORBTransportMuxStrategy exclusive -ORBConnectStrategy blocked"' \
            'static Resource_Factory "-ORBFlushingStrategy blocking"' >"$work/pure-clients/svc.conf"
        (cd "$work/pure-clients" && "$OLDPWD/$build/bench/zorclient_bench" "$host" "$rounds" \
            --benchmark_filter=none) >"$work/pure.out" 2>"$work/bench.err" ||
            { cat "$work/bench.err" "$work/pure.out" >&2; exit 1; }
        awk '/^createObject vs resolve  / {
            printf "%-48s %s\n", "createObject vs resolve, svc.conf: pure clients", substr($0, 50) }' \
            "$work/pure.out"
    fi
    pairs=("")
    [[ $(id -u) -eq 0 ]] && pairs+=(name)
    [[ -n ${ZORCLIENT_TAO_ROOT:-} ]] && pairs+=(ft)
    for servers in "${pairs[@]}"; do
        for threads in 1 8; do
            label="takeover: A killed"
            [[ $servers == ft ]] && label="takeover: FT primary killed"
            [[ $servers == name ]] && label="takeover: A killed, one name for A and B"
            after="after $threads threads"
            if [[ $threads -eq 1 ]]; then after="after 1 thread"; fi
            # A round whose servers did not start measures nothing, and says so.
            for _ in $(seq 1 "$rounds"); do takeover "$build" killed "$threads" "$servers" || true; done |
                summary "$label, $after"
            if [[ $(id -u) -eq 0 ]] && command -v nft >/dev/null; then
                for _ in $(seq 1 "$rounds"); do takeover "$build" cut "$threads" "$servers" || true; done |
                    summary "${label/killed/cut off}, $after"
            else
                echo "${label/killed/cut off}, $after: skipped (cutting a host off takes root and nft)"
            fi
        done
    done
    if [[ $(id -u) -ne 0 ]] || ! command -v nft >/dev/null; then
        echo "rows without a bound, dual-stack and extra requests: skipped (they take root and nft)"
        continue
    fi
    for threads in 1 8; do
        for _ in $(seq 1 "$rounds"); do takeover "$build" cut "$threads" "" none || true; done |
            summary "takeover: A cut off, no bound, after $threads thread(s)"
    done
    nft_table zorbench_v6 ip6 daddr ::1 tcp dport 9999 drop
    for bound in 1500 none; do
        for _ in $(seq 1 "$rounds"); do takeover "$build" connect 1 silentv6 "$bound" || true; done |
            summary "initCorba: dual-stack name, IPv6 silent, bound $bound"
    done
    nft delete table inet zorbench_v6
    # Servers at the end of a slow path, through delaying proxies: connecting
    # and the first lookup, against one address on the same path.
    for rtt in 100 300 500; do
        for bound in 1000 none; do
            label="slow link, ${rtt} ms round trip, bound $bound"
            one=$(for _ in $(seq 1 "$rounds"); do takeover "$build" slow 4 "" "$bound" "$rtt" 127.0.8.4 || true; done |
                tee "$work/one.out" | sort -n | awk '{ ms[NR] = $1 } END { if (NR) print NR % 2 ? ms[(NR + 1) / 2] : (ms[NR / 2] + ms[NR / 2 + 1]) / 2 }')
            slow_summary "$label: one address, connect + lookup" <"$work/one.out"
            for _ in $(seq 1 "$rounds"); do takeover "$build" slow 4 "" "$bound" "$rtt" 127.0.8.4,iiop:1.1@127.0.8.5 || true; done |
                slow_summary "$label: healthy pair" "$one"
            for _ in $(seq 1 "$rounds"); do takeover "$build" slow 4 "" "$bound" "$rtt" slowdual.zorclient.bench || true; done |
                slow_summary "$label: dual-stack name" "$one"
        done
    done
    for threads in 1 8; do
        for busy in 0 2; do
            printf '%-56s %s\n' "extra requests per 100 lookups, $threads thread(s), $busy busy loops" \
                "$(extra_requests "$build" "$threads" "$busy")"
        done
    done
    # The fault-tolerant backup may not yet know a name the primary bound: a
    # lookup sent there early can give nil.
    if [[ -n ${ZORCLIENT_TAO_ROOT:-} ]]; then
        for busy in 0 2; do
            printf '%-56s %s\n' "extra requests per 100 lookups, FT pair, 8 threads, $busy busy loops" \
                "$(extra_requests "$build" 8 "$busy" ft)"
        done
    fi
done
