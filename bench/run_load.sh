#!/usr/bin/env bash
# Load benchmark of OskelServer over loopback: makes a throw-away server folder with N
# users, then for each scenario starts a fresh OskelServer and drives it with
# oskel-load. Builds nothing: build OskelServer and oskel-load first.
#
#   bench/run_load.sh [BUILD_DIR]          BUILD_DIR defaults to "build"
#
# Environment:
#   LOAD_CLIENTS    clients of every scenario (5000)
#   LOAD_PAIRS      chatting pairs of the relay scenarios (LOAD_CLIENTS / 2)
#   LOAD_RATE       paced relay rate, messages/s (5000)
#   LOAD_WINDOW     sign-ins outstanding at a time (256)
#   LOAD_MESSAGES   offline: messages to users who are not signed in (50000)
#   LOAD_PROBES     rendezvous: "cserver" probes (200000)
#   LOAD_SCENARIOS  which to run, in order ("hold storm full fanout relay max offline
#                   rendezvous"; "full" signs everybody in with the directory flag 0)
#   LOAD_KEEP       1: keep the temporary folder (server logs, database)
set -euo pipefail

build=${1:-build}
server=$build/src/app/OskelServer
load=$build/bench/oskel-load
floor=$build/bench/oskel-floor
for exe in "$server" "$load" "$floor"; do
    if [[ ! -x $exe ]]; then
        echo "run_load.sh: $exe is missing; build OskelServer and oskel-load in $build first" >&2
        exit 1
    fi
done

clients=${LOAD_CLIENTS:-5000}
pairs=${LOAD_PAIRS:-$((clients / 2))}
rate=${LOAD_RATE:-5000}
window=${LOAD_WINDOW:-256}
messages=${LOAD_MESSAGES:-50000}
probes=${LOAD_PROBES:-200000}
scenarios=${LOAD_SCENARIOS:-hold storm full fanout relay max offline rendezvous}
password=loadpw

# Every client and the server hold one descriptor per connection.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
if (($(ulimit -n) < clients + 200)); then
    echo "run_load.sh: open-files limit $(ulimit -n) is too low for $clients clients" >&2
    exit 1
fi

work=$(mktemp -d)
server_pid=
stop_server() {
    if [[ -n $server_pid ]]; then
        kill -TERM "$server_pid" 2>/dev/null || true
        for _ in $(seq 100); do
            kill -0 "$server_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=
    fi
}
# shellcheck disable=SC2317 # called through the trap
cleanup() {
    stop_server
    if [[ ${LOAD_KEEP:-0} == 1 ]]; then
        echo "run_load.sh: kept $work" >&2
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

# A free port below the ephemeral range, so no client connection can take it.
taken=" "
free_port() {
    local p
    for _ in $(seq 200); do
        p=$((20000 + RANDOM % 12000))
        if [[ $taken != *" $p "* && -z $(ss -Htan "sport = :$p") && -z $(ss -Huan "sport = :$p") ]]; then
            taken+="$p "
            echo "$p"
            return
        fi
    done
    echo "run_load.sh: no free port found" >&2
    exit 1
}
tcp_port=$(free_port)
ftp_port=$(free_port)
udp_port=$(free_port)
config=$work/config.ini
cat >"$config" <<EOF
[Server Info]
tcpServer=$tcp_port
ftpServer=$ftp_port
udpServer=$udp_port
BindAddress=127.0.0.1
EncryptMsg=0
SignInTimeout=600
EOF

# One department through the command line (it also creates the schema), then the users
# straight into the database in one transaction; plain-text passwords are taken by the
# server and replaced by hashes at their first sign-in.
"$server" --config "$config" dept add Load
sqlite3 "$work/oskel.db" <<EOF
.timeout 10000
BEGIN;
WITH RECURSIVE seq(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM seq WHERE i < $clients)
INSERT INTO T_USER (UserLog, FirstName, LastName, PassWd, DeptID, Rights, Disable)
SELECT printf('u%05d', i), printf('Load%05d', i), 'User', '$password',
       (SELECT CAST(ID AS TEXT) FROM T_GROUP WHERE GroupName = 'Load'), '11111111', 0
FROM seq;
COMMIT;
EOF
echo "run_load.sh: $clients users in $work/oskel.db; TCP port $tcp_port" >&2

run=0
start_server() {
    run=$((run + 1))
    "$server" --headless --config "$config" >"$work/server$run.out" 2>"$work/server$run.err" &
    server_pid=$!
    for _ in $(seq 100); do
        if grep -q "^OskelServer: TCP" "$work/server$run.err" 2>/dev/null; then
            return
        fi
        if ! kill -0 "$server_pid" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    echo "run_load.sh: the server did not start:" >&2
    cat "$work/server$run.err" >&2
    exit 1
}

results=$work/results.txt
: >"$results"
status=0
generate() {
    # Figures to the terminal and to the results; a failed scenario does not stop the rest.
    "$load" --port "$tcp_port" --server-pid "$server_pid" --password "$password" --window "$window" --sources 64 \
        "$@" | tee -a "$results" || status=1
}

# The same relay against oskel-floor (a minimal epoll relay without parsing or
# database), and the server's figures as a share of the floor's.
floor_compare() {
    local port floor_pid out
    port=$(free_port)
    "$floor" --port "$port" 2>"$work/floor.err" &
    floor_pid=$!
    for _ in $(seq 50); do
        grep -q "listening" "$work/floor.err" 2>/dev/null && break
        sleep 0.1
    done
    echo "-- the same against oskel-floor" | tee -a "$results"
    out=$("$load" --port "$port" --server-pid "$floor_pid" --password "$password" --window "$window" --sources 64 \
        "$@") || status=1
    kill -TERM "$floor_pid" 2>/dev/null || true
    wait "$floor_pid" 2>/dev/null || true
    grep -v '^{' <<<"$out" | tee -a "$results"
    grep '^{' <<<"$out" | sed 's/^{/{"target":"floor",/' | tee -a "$results"
    python3 - "$results" <<'PY' | tee -a "$results"
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1]) if l.startswith("{")]
floor = rows[-1]
server = next(r for r in reversed(rows[:-1]) if r.get("scenario") == floor.get("scenario") and "target" not in r)
def ratio(key):
    s, f = server.get(key), floor.get(key)
    return "n/a" if not s or not f else "%.2f" % (s / f)
print("  server / floor: received per s until the last %s, p50 %s, p99 %s (latency: above 1 is slower)"
      % (ratio("received_per_s_to_last"), ratio("p50_ms"), ratio("p99_ms")))
PY
}

# Warnings and errors the server logged during one run.
server_problems() {
    local err=$work/server$run.err
    local count
    count=$(grep -cE "\[(warning|warn|error|critical)\]" "$err" || true)
    echo "server log of this run: $count warnings/errors" | tee -a "$results"
    { grep -E "\[(warning|warn|error|critical)\]" "$err" || true; } | head -n 5 | sed 's/^/  /' | tee -a "$results"
}

# The first sign-in of every user turns the plain-text passwords into hashes; the
# scenarios then meet the database as it is in daily use.
plain_left() {
    sqlite3 "$work/oskel.db" ".timeout 10000" "SELECT COUNT(*) FROM T_USER WHERE PassWd NOT LIKE '\$o1\$%';"
}
echo "== first sign-in of every user (plain-text passwords)" | tee -a "$results"
start_server
generate signin "$clients"
for _ in $(seq 600); do
    [[ $(plain_left) == 0 ]] && break
    sleep 0.5
done
echo "passwords still in plain text after the first sign-in: $(plain_left)" | tee -a "$results"
server_problems
stop_server

for scenario in $scenarios; do
    # Other work on the machine skews every figure: the load average goes with them.
    echo "== $scenario (load average $(cut -d' ' -f1-3 /proc/loadavg))" | tee -a "$results"
    start_server
    case $scenario in
    hold) generate hold "$clients" ;;
    storm) generate storm "$clients" ;;
    full) generate --with-directory signin "$clients" ;;
    fanout) generate fanout "$clients" ;;
    offline) generate --db "$work/oskel.db" offline "$clients" "$messages" ;;
    rendezvous) generate --udp-port "$udp_port" --window 64 rendezvous "$probes" ;;
    relay) generate relay "$clients" "$pairs" "$rate" ;;
    max) generate relay "$clients" "$pairs" max ;;
    *)
        echo "run_load.sh: unknown scenario $scenario" >&2
        status=1
        ;;
    esac
    server_problems
    stop_server
    case $scenario in
    relay) floor_compare relay "$clients" "$pairs" "$rate" ;;
    max) floor_compare relay "$clients" "$pairs" max ;;
    esac
done

echo
echo "== results ($(nproc) cores, $(date -u '+%Y-%m-%d %H:%M UTC'))"
grep '^{' "$results"
exit "$status"
