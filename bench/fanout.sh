#!/usr/bin/env bash
# Runs the fan-out benchmark (one 1920x1080 H.264 stream at 25 fps to 1, 10 and 100 loopback
# clients with interleaved RTP, the clients read in a child process) with interleaved repetitions
# and prints the server side's CPU per frame, the cost of each added client and what the clients
# received. Fails when a client missed more than a tenth of the frames.
# Usage: bench/fanout.sh [BUILD_FOLDER] [REPETITIONS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
reps=${2:-3}
json=$(mktemp)
trap 'rm -f "$json"' EXIT
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg), descriptors allowed: $(ulimit -n)"
"$build/bin/fanout_bench" --benchmark_repetitions="$reps" \
  --benchmark_enable_random_interleaving=true \
  --benchmark_out="$json" --benchmark_out_format=json >/dev/null 2>&1
echo "load after:  $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$json" <<'PY'
import json, statistics, sys
data = json.load(open(sys.argv[1]))
runs = [r for r in data["benchmarks"] if r.get("run_type") == "iteration"]
errors = [r for r in runs if r.get("error_occurred")]
for r in errors:
    print(f"{r['run_name']}: {r.get('error_message', 'error')}")
per = {}
for r in runs:
    if not r.get("error_occurred"):
        per.setdefault(int(r["run_name"].split("/")[1]), []).append(r)
if not per:
    sys.exit(1)
def med(rows, key):
    return statistics.median(r[key] for r in rows)
kb = next(iter(per.values()))[0]["kbytes_per_frame"]
print(f"one 1920x1080 H.264 stream, {kb:.1f} kB per frame, 25 fps, "
      f"{int(next(iter(per.values()))[0]['frames_dispatched'])} frames per run")
print(f"{'clients':>7}{'runs':>5}{'server':>9}{'per added':>11}{'readers':>9}"
      f"{'frames min':>12}{'median':>8}{'dispatch max':>14}{'drops':>7}{'RSS MB':>8}{'fds':>6}{'threads':>9}{'TCP MB':>8}")
print("server, per added, readers: CPU ms per frame, medians; frames min: worst run; "
      "dispatch max: longest DispatchFrame call, ms; drops, RSS, fds, threads: worst run, server; "
      "TCP MB: kernel memory of all TCP sockets halfway through the run")
previous = None
ok = not errors
for clients in sorted(per):
    rows = per[clients]
    server = med(rows, "server_cpu_ms_per_frame")
    slope = "-" if previous is None else f"{(server - previous[1]) / (clients - previous[0]):.4f}"
    fmin = min(r["frames_min"] for r in rows)
    fmed = med(rows, "frames_median")
    dispatched = rows[0]["frames_dispatched"]
    ok = ok and fmin * 10 >= dispatched * 9
    print(f"{clients:>7}{len(rows):>5}{server:>9.3f}{slope:>11}{med(rows, 'reader_cpu_ms_per_frame'):>9.2f}"
          f"{fmin:>12.0f}{fmed:>8.0f}{max(r['dispatch_max_ms'] for r in rows):>14.2f}"
          f"{max(r['drops'] for r in rows):>7.0f}{max(r['rss_mb'] for r in rows):>8.1f}"
          f"{max(r['open_fds'] for r in rows):>6.0f}{max(r['threads'] for r in rows):>9.0f}"
          f"{max(r['tcp_mem_mb_mid'] for r in rows):>8.1f}")
    previous = (clients, server)
if 1 in per and 100 in per:
    s1, s100 = med(per[1], "server_cpu_ms_per_frame"), med(per[100], "server_cpu_ms_per_frame")
    print(f"server CPU per added client per frame, 1 -> 100 clients: {(s100 - s1) / 99 * 1000:.1f} us")
sys.exit(0 if ok else 1)
PY
