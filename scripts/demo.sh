#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The main job, end to end on this machine: installs what is missing, builds,
# starts a private naming service on 127.0.0.1:9999 and the example echo
# server, finds the server by its three-part name through zorclient, calls it,
# and stops everything it started. ZORCLIENT_CMAKE_ARGS and ZORCLIENT_BUILD_DIR
# select another build, e.g. one on TAO (see scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

host=127.0.0.1
name=(zorclient examples echo)
build=${ZORCLIENT_BUILD_DIR:-build}
work=$(mktemp -d)
server_pids=()
current=""

step() {
    current=$1
    printf '[%s] %s\n' "$(date +%T)" "$1"
}
fail() {
    printf 'demo: FAILED while %s: %s\n' "$current" "$1" >&2
    exit 1
}
stop_servers() {
    local pid
    for pid in "${server_pids[@]}"; do
        stop_process "$pid"
    done
    server_pids=()
}
trap 'stop_servers; rm -rf "$work"' EXIT
# shellcheck source=naming-service.sh
source scripts/naming-service.sh

# Every remote call that zorclient makes gives up after two seconds.
export ZORCLIENT_TIMEOUT_MS=2000

step "installing what is missing"
bash scripts/install-deps.sh >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "see the log above"; }

step "building zorclient, zor-resolve and the echo example in $build/"
# shellcheck disable=SC2086
{ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${ZORCLIENT_CMAKE_ARGS:-} &&
  cmake --build "$build" -j"$(nproc)" --target zorclient zor-resolve echo_server echo_client; } \
    >"$work/build.log" 2>&1 || { tail -n 30 "$work/build.log" >&2; fail "the build failed (last lines above)"; }

step "starting a private naming service (omniNames) on $host:9999"
start_naming_service "$host" "$work" || fail "$NAMING_SERVICE_PROBLEM"
server_pids+=("$NAMING_SERVICE_PID")
echo "    omniNames is running as process ${server_pids[0]}"

step "starting the echo server, bound as ${name[0]}/${name[1]}/${name[2]}"
# The server's own endpoint stays on loopback too.
ORBendPoint="giop:tcp:$host:" TAO_ORBENDPOINT="iiop://$host:0" "$build/examples/echo_server" "$host" "${name[@]}" \
    >"$work/echo_server.log" 2>&1 &
server_pids+=($!)
wait_for_line "$work/echo_server.log" "ready" "${server_pids[1]}" ||
    fail "the echo server did not start: $(cat "$work/echo_server.log")"
echo "    echo_server is running as process ${server_pids[1]}"

step "resolving ${name[0]}/${name[1]}/${name[2]} with zor-resolve"
ior=$("$build/tools/zor-resolve" "$host" "${name[@]}") || fail "zor-resolve exited with status $?"
echo "    ${ior:0:72}..."

step "calling the echo service found through zorclient"
reply=$("$build/examples/echo_client" "$host" "${name[@]}" "hello, zorclient") ||
    fail "echo_client exited with status $?"
echo "    ${reply#echo_client: }"

step "stopping the echo server"
kill -TERM "${server_pids[1]}"
wait "${server_pids[1]}" || fail "the echo server exited with status $?"
status=0
"$build/tools/zor-resolve" "$host" "${name[@]}" >/dev/null 2>&1 || status=$?
[[ $status -eq 1 ]] || fail "after the server stopped, zor-resolve gave status $status, expected 1"
echo "    its name is unbound again (zor-resolve exit status 1)"

step "stopping the naming service"
stop_servers
echo "demo: the round trip worked; everything started here is stopped"
