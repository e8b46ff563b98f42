#!/usr/bin/env bash
# FTP benchmark: OskelServer's file service against Debian's vsftpd on loopback, in the
# same run. Makes a throw-away folder with a settings file and one user for OskelServer
# and a configuration of its own for vsftpd (anonymous sign-in, uploads allowed), starts
# both, and lets ftp_bench.py measure them. OskelServer's sessions sign in as one user
# whose password check is remembered after the first (as on a working day); vsftpd's
# sign in anonymously. Builds nothing: build OskelServer first, best as Release.
#
#   bench/run_ftp_bench.sh [BUILD_DIR]       BUILD_DIR defaults to "build"
#
# Environment:
#   FTP_BENCH_SIZE_MB    size of the throughput file in MiB (1024)
#   FTP_BENCH_SESSIONS   concurrent sessions (300)
#   FTP_BENCH_RUNS       runs per measurement; the median counts (5)
#   FTP_BENCH_KEEP       1: keep the temporary folder (configurations, logs)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
server=$build/src/app/OskelServer
vsftpd=/usr/sbin/vsftpd
for exe in "$server" "$vsftpd" /usr/bin/curl /usr/bin/python3; do
    if [[ ! -x $exe ]]; then
        echo "run_ftp_bench.sh: $exe is missing" >&2
        exit 1
    fi
done
sessions=${FTP_BENCH_SESSIONS:-300}

# A control and a data connection per session, on both ends.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
if (($(ulimit -n) < 4 * sessions + 100)); then
    echo "run_ftp_bench.sh: open-files limit $(ulimit -n) is too low for $sessions sessions" >&2
    exit 1
fi

work=$(mktemp -d)
oskel_pid=
vsftpd_pid=
stop() {
    local pid=$1
    [[ -n $pid ]] || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
cleanup() {
    stop "$oskel_pid"
    stop "$vsftpd_pid"
    if [[ ${FTP_BENCH_KEEP:-0} == 1 ]]; then
        echo "run_ftp_bench.sh: kept $work" >&2
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap "exit 1" INT TERM

# Ports below the ephemeral range, so no client connection takes one meanwhile; passive
# ranges of 400 ports each (more than the sessions hold at once).
used=" $(ss -Htan | awk '{n = split($4, a, ":"); print a[n]}' | sort -u | tr '\n' ' ') "
taken=" "
free_range() { # COUNT: the first port of COUNT consecutive free ports
    local count=$1 base p ok
    for _ in $(seq 200); do
        base=$((20000 + RANDOM % (12000 - count)))
        ok=1
        for ((p = base; p < base + count; p++)); do
            if [[ $used == *" $p "* || $taken == *" $p "* ]]; then
                ok=0
                break
            fi
        done
        if ((ok)); then
            for ((p = base; p < base + count; p++)); do taken+="$p "; done
            echo "$base"
            return
        fi
    done
    echo "run_ftp_bench.sh: no free ports found" >&2
    exit 1
}
tcp_port=$(free_range 1)
ftp_port=$(free_range 1)
udp_port=$(free_range 1)
vsftpd_port=$(free_range 1)
oskel_pasv=$(free_range 400)
vsftpd_pasv=$(free_range 400)

# OskelServer: no file size limit, no cleaning during the run, one user.
mkdir -p "$work/oskel/files"
config=$work/oskel/config.ini
cat >"$config" <<EOF
[Server Info]
tcpServer=$tcp_port
ftpServer=$ftp_port
udpServer=$udp_port
BindAddress=127.0.0.1
EncryptMsg=0
tempDic=files
LimitFileTrans=0
PasvPortMin=$oskel_pasv
PasvPortMax=$((oskel_pasv + 399))
FtpIdleTimeout=600
FileRetentionDays=0
EOF
echo bench-pw | "$server" --config "$config" user add bench --first Bench

# vsftpd as Debian runs it: a privileged listener, per session a process pair, anonymous
# sessions chrooted to anon_root and run as "ftp". The root may not be writable by that
# user, so uploads go to pub/.
mkdir -p "$work/vsftpd/root/pub" "$work/vsftpd/empty"
chmod 755 "$work/vsftpd" "$work/vsftpd/root" "$work/vsftpd/empty"
vconf=$work/vsftpd/vsftpd.conf
cat >"$vconf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$vsftpd_port
background=NO
anonymous_enable=YES
no_anon_password=NO
local_enable=NO
anon_root=$work/vsftpd/root
anon_upload_enable=YES
write_enable=YES
anon_umask=022
pasv_enable=YES
pasv_min_port=$vsftpd_pasv
pasv_max_port=$((vsftpd_pasv + 399))
max_clients=0
max_per_ip=0
seccomp_sandbox=NO
secure_chroot_dir=$work/vsftpd/empty
xferlog_enable=NO
vsftpd_log_file=$work/vsftpd/vsftpd.log
EOF
if [[ $EUID -eq 0 ]]; then
    chown ftp "$work/vsftpd/root/pub"
else
    # Without root: no chroot and no process pair; everything runs as this user.
    echo "run_as_launching_user=YES" >>"$vconf"
fi

"$server" --headless --config "$config" >"$work/oskel/server.out" 2>"$work/oskel/server.err" &
oskel_pid=$!
"$vsftpd" "$vconf" >"$work/vsftpd/out" 2>&1 &
vsftpd_pid=$!

# Both are up once they greet.
greets() {
    python3 -c 'import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=1)
sys.exit(0 if s.recv(3) == b"220" else 1)' "$1" 2>/dev/null
}
for port in "$ftp_port" "$vsftpd_port"; do
    for _ in $(seq 100); do
        greets "$port" && break
        sleep 0.1
    done
    if ! greets "$port"; then
        echo "run_ftp_bench.sh: no server on port $port" >&2
        cat "$work/oskel/server.err" "$work/vsftpd/out" >&2
        exit 1
    fi
done

# vsftpd -v writes to standard input, its control connection when inetd starts it.
version=$("$vsftpd" -v 0>&1 | head -n1)
echo "== FTP benchmark ($(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), $(date -u '+%F %H:%M UTC'))"
echo "OskelServer: $server (pid $oskel_pid); $version (pid $vsftpd_pid)"
python3 "$here/ftp_bench.py" \
    --oskel-port "$ftp_port" --oskel-pid "$oskel_pid" --oskel-user bench --oskel-password bench-pw \
    --oskel-folder "$work/oskel/files" \
    --other-name vsftpd --other-port "$vsftpd_port" --other-pid "$vsftpd_pid" --other-user anonymous \
    --other-password bench@ --other-folder "$work/vsftpd/root/pub" --other-prefix pub/ \
    --work "$work" --size-mb "${FTP_BENCH_SIZE_MB:-1024}" --sessions "$sessions" --runs "${FTP_BENCH_RUNS:-5}"
