#!/usr/bin/env bash
# Serves a busy 1920x1080 virtual desktop at 8 fps with UDP enabled and measures the real program
# three ways with bench/RtspLoadClient.cpp: alone, with one viewer, then with many viewers at once
# (100 interleaved and 20 UDP by default). Prints the share of the frames each viewer received,
# the server's memory and descriptor samples, and the CPU each added viewer costs. Fails when a
# viewer received less than 95 % of the frames, or the server's descriptor count grew during the
# long run (after its first 10 s).
# Usage: bench/load.sh [BUILD_FOLDER] [SECONDS] [INTERLEAVED] [UDP]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
seconds=${2:-60}
tcp=${3:-100}
udp=${4:-20}
fps=8
# The shorter phases, for a quick try of the script itself.
alone_seconds=${ALONE_SECONDS:-20}
single_seconds=${SINGLE_SECONDS:-30}

for f in vistrel libOrxEncoder.so vistrel-demo-content rtsp_load_client; do
  [[ -e $build/bin/$f ]] || { echo "missing $build/bin/$f (build the benchmarks first)" >&2; exit 2; }
done

work=$(mktemp -d /tmp/vistrel-load-XXXXXX)
pids=()
cleanup() {
  local i
  # The last started first: the server before its display.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[i]}" 2>/dev/null || true
    # Bounded: a process that ignores SIGTERM for 10 s is killed.
    for _ in $(seq 100); do kill -0 "${pids[i]}" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# shellcheck source=bench/peers/lib/wait_for.sh
. "$root/bench/peers/lib/wait_for.sh"

# Virtual display: Xvfb picks a free number itself and writes it to descriptor 3 when ready.
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$work/display" \
  >/dev/null 2>&1 &
pids+=($!)
wait_for '[[ -s $work/display ]] && grep -q . "$work/display"' 10 || { echo "Xvfb did not start" >&2; exit 1; }
display=":$(head -n1 "$work/display")"
DISPLAY=$display "$build/bin/vistrel-demo-content" >/dev/null 2>&1 &
pids+=($!)

# A TCP port with the next one free for UDP too (the server's RTP and RTCP ports are PORT, PORT+1).
port=$(python3 - <<'PY'
import random, socket
for _ in range(200):
    p = random.randrange(10000, 16000) * 2
    try:
        socks = []
        for kind, q in ((socket.SOCK_STREAM, p), (socket.SOCK_DGRAM, p), (socket.SOCK_DGRAM, p + 1)):
            s = socket.socket(socket.AF_INET, kind)
            socks.append(s)
            s.bind(("127.0.0.1", q))
        for s in socks: s.close()
        print(p)
        break
    except OSError:
        for s in socks: s.close()
PY
)
[[ -n $port ]] || { echo "no free port pair" >&2; exit 1; }

# A program file name of its own: copies of one name end each other at start-up.
name="vistrel-load-$(basename "$work" | cut -d- -f3)"
cp "$build/bin/vistrel" "$work/$name"
cp "$build/bin/libOrxEncoder.so" "$work/"
printf '[System]\nfps=%d\nWidth=1920\nHeight=1080\n\n[RTSP]\nPort=%d\nEnableUDP=1\n' "$fps" "$port" \
  >"$work/SConfig.ini"
DISPLAY=$display "$work/$name" >"$work/output.txt" 2>&1 &
server=$!
pids+=("$server")
log="$work/$name.log"
wait_for "grep -q 'listen $port' '$log' 2>/dev/null" 15 || { echo "vistrel did not listen" >&2; cat "$log" >&2 || true; exit 1; }

url="rtsp://127.0.0.1:$port/live"
client="$build/bin/rtsp_load_client"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg); display $display 1920x1080x24 with moving content; vistrel $fps fps, UDP enabled, port $port"

run_phase() {  # label, then client arguments
  local label=$1
  shift
  local out="$work/$label.txt"
  local status=0
  timeout -s KILL $((seconds + 120)) "$client" --url "$url" --fps "$fps" --watch-pid "$server" "$@" \
    >"$out" 2>&1 || status=$?
  kill -0 "$server" 2>/dev/null || { echo "vistrel ended during '$label'" >&2; cat "$out" >&2; exit 1; }
  echo "$status" >"$work/$label.status"
}

run_phase alone --seconds "$alone_seconds" --sample-every 5
sleep 2
run_phase single --tcp 1 --seconds "$single_seconds" --sample-every 5
sleep 2
drops_before=$(grep -c 'full, drop' "$log" || true)
run_phase many --tcp "$tcp" --udp "$udp" --seconds "$seconds" --sample-every 5 --setup-limit 60
drops_after=$(grep -c 'full, drop' "$log" || true)
echo "load after:  $(cut -d' ' -f1-3 /proc/loadavg)"
echo "sender queue overflows logged during the long run: $((drops_after - drops_before));" \
  "send failures in the whole log: $(grep -c 'send package failed' "$log" || true)"
# The program's own minute summaries of capture-to-sent latency, over every viewer's frames.
grep -h 'frame latency' "$log" | sed 's/^/program log: /' || echo "program log: no frame latency summary yet"

python3 - "$work" "$tcp" "$udp" <<'PY'
import statistics, sys
work, tcp, udp = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
def summary(label):
    text = open(f"{work}/{label}.txt").read()
    line = next((l for l in text.splitlines() if l.startswith("summary ")), None)
    if line is None:
        print(f"{label}: no summary\n{text}")
        sys.exit(1)
    fields = dict(f.split("=", 1) for f in line.split()[1:])
    status = int(open(f"{work}/{label}.status").read())
    return text, fields, status
ok = True
alone_text, alone, _ = summary("alone")
single_text, single, single_status = summary("single")
many_text, many, many_status = summary("many")

def samples(f):
    at = [float(x) for x in f["sample_at"].split(",")]
    rss = [int(x) / 1024 for x in f["rss_kb"].split(",")]
    fds = [int(x) for x in f["fds"].split(",")]
    threads = [int(x) for x in f["threads"].split(",")]
    return at, rss, fds, threads
print()
for label, f in (("alone", alone), ("1 viewer", single), (f"{tcp}+{udp} viewers", many)):
    at, rss, fds, threads = samples(f)
    print(f"{label:>16}: server CPU {float(f['server_cpu_ms_per_s']):7.1f} ms/s "
          f"({float(f['server_cpu_ms_per_s']) / 10:5.1f} % of a core), load client "
          f"{float(f['client_cpu_ms_per_s']):6.1f} ms/s, RSS {min(rss):.1f}-{max(rss):.1f} MB, "
          f"fds {min(fds)}-{max(fds)}, threads {min(threads)}-{max(threads)}")
print(f"stream: {float(single['kb_per_frame']):.1f} kB of RTP per frame with one viewer, "
      f"{float(many['kb_per_frame']):.1f} kB in the long run")

print(f"\none viewer: {single['min']} of {single['expected']} frames ({float(single['min_fraction']) * 100:.1f} %)")
if single_status != 0 or float(single["min_fraction"]) < 0.95:
    ok = False
    print(single_text)

print(f"\n{tcp} interleaved + {udp} UDP viewers, {many['expected']} frames expected each, "
      f"set up in {float(many['setup_s']):.1f} s:")
rows = [l for l in many_text.splitlines() if l[:4].strip().isdigit()]
fractions = []
for row in rows:
    cols = row.split()
    fractions.append((float(cols[4]), cols[1], int(cols[0]), row))
for kind in ("tcp", "udp"):
    f = sorted(x[0] for x in fractions if x[1] == kind)
    if f:
        print(f"  {kind}: {len(f)} viewers, fraction of frames min {f[0]:.3f} median "
              f"{statistics.median(f):.3f} max {f[-1]:.3f}")
print(f"  complete frames per viewer: min {many['min']} median {many['median']} max {many['max']}; "
      f"lost UDP packets in all: {many['lost_packets']}")
low = [x for x in fractions if x[0] < 0.95]
if low or many_status != 0 or int(many["all_playing"]) != 1:
    ok = False
    print(f"  {len(low)} viewers below 95 %:")
    for x in low[:20]:
        print("   ", x[3])
    if many_status != 0:
        print("  not every viewer was playing to the end:")
        for x in fractions:
            if not x[3].rstrip().endswith("playing"):
                print("   ", x[3])

at, rss, fds, _ = samples(many)
print("\n  server samples (s, RSS MB, fds):")
print("   " + "  ".join(f"{a:.0f}s {r:.1f} {d}" for a, r, d in zip(at, rss, fds)))
settled = [(a, r, d) for a, r, d in zip(at, rss, fds) if a >= 10]
if settled:
    fd_growth = settled[-1][2] - min(d for _, _, d in settled)
    rss_growth = settled[-1][1] - min(r for _, r, _ in settled)
    print(f"  after 10 s: fds {min(d for _, _, d in settled)}-{max(d for _, _, d in settled)} "
          f"(end minus lowest {fd_growth:+d}), RSS {min(r for _, r, _ in settled):.1f}-"
          f"{max(r for _, r, _ in settled):.1f} MB (end minus lowest {rss_growth:+.1f} MB)")
    # Every viewer stays connected all along, so the count has no reason to move at all.
    if fd_growth > 2:
        ok = False
        print("  descriptor count grew")

c1, cn = float(single["server_cpu_ms_per_s"]), float(many["server_cpu_ms_per_s"])
n = tcp + udp
per = (cn - c1) / (n - 1)
print(f"\nserver CPU per added viewer, 1 -> {n}: {per:.2f} ms/s ({per / 10:.3f} % of a core)")
sys.exit(0 if ok else 1)
PY
