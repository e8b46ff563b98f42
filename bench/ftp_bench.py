#!/usr/bin/env python3
"""FTP benchmark: OskelServer's file service against another FTP server, both already
running on 127.0.0.1 (run_ftp_bench.sh starts them, with vsftpd as the other one).

  (a) throughput: a file of --size-mb MiB uploaded and downloaded with curl, --runs
      times per server in alternating order; the median MB/s (10^6 bytes) of the data
      phase counts, the whole curl command is shown beside it;
  (b) --sessions concurrent sessions from this one process (asyncio): each connects,
      signs in, fetches a small file over PASV and quits. The timed runs (median of
      --runs) have no sampler running. A separate memory run holds every session open
      after its download until all have finished, then reads the memory of the server:
      for OskelServer its one process (VmHWM since the run began, via clear_refs), for a
      forking server the sum over the listener and all its descendants (VmRSS, and Pss
      that splits shared pages).

Prints a table and one JSON line.
"""

import argparse
import asyncio
import json
import os
import statistics
import subprocess
import sys
import time
import uuid

HOST = "127.0.0.1"
SESSION_TIMEOUT = 60  # seconds; a session that takes longer counts as failed
# Connections between connect() and the greeting, at most. vsftpd listens with a backlog
# of 32: a burst beyond it overflows the accept queue, and with SYN cookies such a client
# believes it is connected while the server never learns of it, waiting for a greeting
# that never comes. Both servers get the same window; every session stays open at once.
CONNECT_WINDOW = 32


class Target:
    def __init__(self, label, port, pid, user, password, folder, prefix):
        self.label, self.port, self.pid = label, port, pid
        self.user, self.password = user, password
        self.folder = folder  # where its files lie on disk
        self.prefix = prefix  # path of that folder in URLs and commands
        self.small = None  # name of the small file, without prefix

    def url(self, name):
        return f"ftp://{HOST}:{self.port}/{self.prefix}{name}"


# Memory -----------------------------------------------------------------------------


def status_kb(pid, key):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def pss_kb(pid):
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def process_tree(root):
    """`root` and every descendant."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rfind(")") + 2:].split()
        if fields[0] == "Z":
            continue
        children.setdefault(int(fields[1]), []).append(int(entry))
    out, todo = [], [root]
    while todo:
        pid = todo.pop()
        out.append(pid)
        todo.extend(children.get(pid, []))
    return out


def reset_peak(pid):
    """Starts VmHWM afresh at the current RSS (root only); False when refused."""
    try:
        with open(f"/proc/{pid}/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


# Throughput -------------------------------------------------------------------------


def curl(*args):
    r = subprocess.run(["curl", "-sS", "-g", *args], capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError(f"curl {' '.join(args)}: {r.returncode} {r.stderr.strip()}")
    return r.stdout


def throughput(targets, source, runs):
    """MB/s per server and direction, the median over `runs`: over the data phase (from
    curl's pretransfer to its end, the 226 reply included) and over the whole command.
    curl 7.88 sometimes stalls 200 ms between a passive-mode reply and its data connect
    when the reply arrives before it polls; that stall falls outside the data phase."""
    size = os.path.getsize(source)
    results = {t.label: {k: [] for k in ("upload", "download", "upload_cmd", "download_cmd")} for t in targets}
    timing = "%{size_upload} %{size_download} %{time_pretransfer} %{time_total}"
    for run in range(runs):
        order = targets if run % 2 == 0 else list(reversed(targets))
        for t in order:
            name = "{" + str(uuid.uuid4()) + "}"
            auth = ["-u", f"{t.user}:{t.password}"]
            for direction in ("upload", "download"):
                subprocess.run(["sync"], check=True)  # no writeback left over from before
                if direction == "upload":
                    out = curl(*auth, "-T", source, "-w", timing, t.url(name))
                else:
                    out = curl(*auth, "-o", "/dev/null", "-w", timing, t.url(name))
                up, down, pre, total = (float(x) for x in out.split())
                if int(up if direction == "upload" else down) != size:
                    raise RuntimeError(f"{t.label}: {direction} of {size} bytes incomplete: {out}")
                if direction == "upload" and os.path.getsize(os.path.join(t.folder, name)) != size:
                    raise RuntimeError(f"{t.label}: the stored file is not {size} bytes")
                results[t.label][direction].append(size / (total - pre) / 1e6)
                results[t.label][direction + "_cmd"].append(size / total / 1e6)
            os.remove(os.path.join(t.folder, name))
    return {label: {k: statistics.median(v) for k, v in r.items()} for label, r in results.items()}


# Concurrent sessions ----------------------------------------------------------------


class FtpError(Exception):
    pass


async def reply(reader):
    line = (await reader.readline()).decode("latin-1")
    if len(line) < 4:
        raise FtpError("connection closed")
    code = line[:3]
    if line[3] == "-":
        while True:
            more = (await reader.readline()).decode("latin-1")
            if not more:
                raise FtpError("connection closed")
            if more.startswith(code + " "):
                break
    return code, line


async def command(reader, writer, text, expect):
    writer.write(text.encode() + b"\r\n")
    code, line = await reply(reader)
    if not code.startswith(expect):
        raise FtpError(f"{text.split()[0]}: {line.strip()}")
    return line


async def session(t, expected, connecting, hold=None):
    """One session: sign in, fetch the small file, quit. Returns its duration."""
    started = time.perf_counter()
    async with connecting:
        reader, writer = await asyncio.open_connection(HOST, t.port)
        code, line = await reply(reader)
    try:
        if code != "220":
            raise FtpError(line.strip())
        await command(reader, writer, f"USER {t.user}", "331")
        await command(reader, writer, f"PASS {t.password}", "230")
        await command(reader, writer, "TYPE I", "200")
        line = await command(reader, writer, "PASV", "227")
        numbers = line[line.index("(") + 1:line.index(")")].split(",")
        data_port = int(numbers[4]) * 256 + int(numbers[5])
        data_reader, data_writer = await asyncio.open_connection(HOST, data_port)
        await command(reader, writer, f"RETR {t.prefix}{t.small}", "150")
        got = 0
        while chunk := await data_reader.read(65536):
            got += len(chunk)
        data_writer.close()
        code, line = await reply(reader)
        if code != "226" or got != expected:
            raise FtpError(f"RETR: {line.strip()}, {got} of {expected} bytes")
        if hold:
            await hold()
        await command(reader, writer, "QUIT", "221")
        return time.perf_counter() - started
    finally:
        writer.close()


async def sessions_run(t, count, expected, measure=None):
    """`count` sessions at once; with `measure`, every session waits after its download
    until all have downloaded and `measure` has run. Returns (seconds, durations, failures)."""
    done = 0
    all_done = asyncio.Event()

    async def hold():
        nonlocal done
        done += 1
        if done == count:
            measure()
            all_done.set()
        await all_done.wait()

    connecting = asyncio.Semaphore(CONNECT_WINDOW)

    async def bounded():
        return await asyncio.wait_for(session(t, expected, connecting, hold if measure else None), SESSION_TIMEOUT)

    started = time.perf_counter()
    results = await asyncio.gather(*(bounded() for _ in range(count)), return_exceptions=True)
    seconds = time.perf_counter() - started
    durations = [r for r in results if isinstance(r, float)]
    failures = [r for r in results if not isinstance(r, float)]
    if measure and not all_done.is_set():
        measure()  # some failed: measure what is there
        all_done.set()
    return seconds, durations, failures


def concurrency(targets, count, runs, small_size):
    out = {}
    for t in targets:
        times, worst, failed = [], [], 0
        asyncio.run(sessions_run(t, 10, small_size))  # warm-up: first sign-in, caches
        for _ in range(runs):
            time.sleep(1)
            seconds, durations, failures = asyncio.run(sessions_run(t, count, small_size))
            times.append(seconds)
            worst.append(max(durations) if durations else float("nan"))
            failed += len(failures)
            for f in failures[:3]:
                print(f"{t.label}: session failed: {f!r}", file=sys.stderr)
        # The memory run.
        time.sleep(1)
        memory = {}
        single = len(process_tree(t.pid)) == 1
        exact_peak = single and reset_peak(t.pid)

        def measure():
            pids = process_tree(t.pid)
            memory["processes"] = len(pids)
            memory["rss_kb"] = sum(status_kb(p, "VmRSS") for p in pids)
            memory["pss_kb"] = sum(pss_kb(p) for p in pids)

        _, _, failures = asyncio.run(sessions_run(t, count, small_size, measure))
        failed += len(failures)
        peak = memory["rss_kb"]
        exact_peak = exact_peak and memory["processes"] == 1
        if exact_peak:
            peak = max(peak, status_kb(t.pid, "VmHWM"))
        out[t.label] = {
            "seconds": statistics.median(times),
            "seconds_runs": times,
            "slowest_session_s": statistics.median(worst),
            "failed": failed,
            "peak_rss_kb": peak,
            "peak_is_vmhwm": exact_peak,
            "pss_kb": memory["pss_kb"],
            "processes": memory["processes"],
        }
    return out


# Main -------------------------------------------------------------------------------


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for who in ("oskel", "other"):
        p.add_argument(f"--{who}-port", type=int, required=True)
        p.add_argument(f"--{who}-pid", type=int, required=True)
        p.add_argument(f"--{who}-user", required=True)
        p.add_argument(f"--{who}-password", required=True)
        p.add_argument(f"--{who}-folder", required=True, help="its upload folder on disk")
        p.add_argument(f"--{who}-prefix", default="", help="that folder's path in FTP commands, e.g. pub/")
    p.add_argument("--other-name", default="vsftpd")
    p.add_argument("--work", required=True, help="a folder for the big source file")
    p.add_argument("--size-mb", type=int, default=1024, help="MiB of the big file")
    p.add_argument("--sessions", type=int, default=300)
    p.add_argument("--small-bytes", type=int, default=10_000)
    p.add_argument("--runs", type=int, default=5)
    a = p.parse_args()

    oskel = Target("OskelServer", a.oskel_port, a.oskel_pid, a.oskel_user, a.oskel_password, a.oskel_folder,
                   a.oskel_prefix)
    other = Target(a.other_name, a.other_port, a.other_pid, a.other_user, a.other_password, a.other_folder,
                   a.other_prefix)
    targets = [oskel, other]

    small = os.urandom(a.small_bytes)
    for t in targets:
        t.small = "{" + str(uuid.uuid4()) + "}"
        with open(os.path.join(t.folder, t.small), "wb") as f:
            f.write(small)
        os.chmod(os.path.join(t.folder, t.small), 0o644)
    source = os.path.join(a.work, "big.bin")
    with open(source, "wb") as f:
        block = os.urandom(1 << 20)
        for _ in range(a.size_mb):
            f.write(block)

    print(f"throughput: {a.size_mb} MiB with curl, {a.runs} runs per server ...", file=sys.stderr)
    tp = throughput(targets, source, a.runs)
    os.remove(source)
    print(f"concurrency: {a.sessions} sessions, {a.runs} timed runs + 1 memory run per server ...", file=sys.stderr)
    cc = concurrency(targets, a.sessions, a.runs, a.small_bytes)

    o, v = oskel.label, other.label
    rows = [
        (f"upload {a.size_mb} MiB, MB/s", tp[o]["upload"], tp[v]["upload"], "{:.0f}"),
        ("  whole curl command, MB/s", tp[o]["upload_cmd"], tp[v]["upload_cmd"], "{:.0f}"),
        (f"download {a.size_mb} MiB, MB/s", tp[o]["download"], tp[v]["download"], "{:.0f}"),
        ("  whole curl command, MB/s", tp[o]["download_cmd"], tp[v]["download_cmd"], "{:.0f}"),
        (f"{a.sessions} sessions, total s", cc[o]["seconds"], cc[v]["seconds"], "{:.3f}"),
        ("  slowest session, s", cc[o]["slowest_session_s"], cc[v]["slowest_session_s"], "{:.3f}"),
        ("  failed sessions", cc[o]["failed"], cc[v]["failed"], "{}"),
        (f"peak RSS, {a.sessions} sessions, MiB", cc[o]["peak_rss_kb"] / 1024, cc[v]["peak_rss_kb"] / 1024, "{:.1f}"),
        ("  Pss at the peak, MiB", cc[o]["pss_kb"] / 1024, cc[v]["pss_kb"] / 1024, "{:.1f}"),
        ("  processes", cc[o]["processes"], cc[v]["processes"], "{}"),
    ]
    print(f"\n{'':36}{o:>14}{v:>14}")
    for label, x, y, fmt in rows:
        print(f"{label:36}{fmt.format(x):>14}{fmt.format(y):>14}")
    ratios = {
        "upload_oskel_over_other": tp[o]["upload"] / tp[v]["upload"],
        "download_oskel_over_other": tp[o]["download"] / tp[v]["download"],
        "sessions_speedup_other_time_over_oskel_time": cc[v]["seconds"] / cc[o]["seconds"],
        "sessions_memory_oskel_over_other": cc[o]["peak_rss_kb"] / cc[v]["peak_rss_kb"],
        "sessions_pss_oskel_over_other": cc[o]["pss_kb"] / cc[v]["pss_kb"],
    }
    print()
    for k, r in ratios.items():
        print(f"{k:50}{r:8.2f}")
    print(json.dumps({
        "bench": "ftp",
        "other": v,
        "size_mib": a.size_mb,
        "sessions": a.sessions,
        "runs": a.runs,
        "cores": os.cpu_count(),
        "throughput_mbps": tp,
        "concurrency": cc,
        "ratios": {k: round(r, 3) for k, r in ratios.items()},
    }))
    return 0 if cc[o]["failed"] == 0 and cc[v]["failed"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
