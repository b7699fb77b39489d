#!/usr/bin/env bash
# What publishing to a media server costs Vistrel when that server feeds many viewers: Vistrel on a
# 1920x1080 virtual desktop with moving content (bench/peers/lib/display.sh) publishes at 8 fps to
# tests/support/rtsp_receiver.py on this machine, which relays the stream as it came to VIEWERS
# interleaved viewers (bench/RtspLoadClient.cpp) for SECONDS. Against that, the same program with
# ONE direct viewer and no publishing. The two phases alternate, ROUNDS times each, each with a
# fresh copy of the program; the screen moves in both, so the encoder does the same work.
#
#   bench/publish_fanout.sh [--build DIR] [--publisher vistrel|ffmpeg] [--viewers N]
#                           [--seconds S] [--rounds K] [--fps F]
#
# Prints a table per phase (viewers' worst and median share of the frames, Vistrel's and the
# relay's CPU), a verdict on whether publishing costs Vistrel within 5 % of serving one viewer
# directly, and the command. Exits 1 when a viewer of the relay got less than 95 % of the frames,
# 2 for bad arguments or a missing program.
# --publisher ffmpeg: ffmpeg publishes a 1920x1080 testsrc instead (libx264, no Vistrel and no
# direct phase), to try the relay and the viewers alone; the table then shows ffmpeg's CPU.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build publisher=vistrel viewers=200 seconds=60 rounds=2 fps=8
command_line="$0 $*"
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --publisher) publisher=$2; shift 2 ;;
    --viewers) viewers=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --fps) fps=$2; shift 2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
case $publisher in vistrel | ffmpeg) ;; *) echo "--publisher vistrel or ffmpeg" >&2; exit 2 ;; esac
for n in "$viewers" "$seconds" "$rounds" "$fps"; do
  [[ $n =~ ^[1-9][0-9]*$ ]] || { echo "not a positive whole number: $n" >&2; exit 2; }
done
needed=(rtsp_load_client)
[ "$publisher" = vistrel ] && needed+=(vistrel libOrxEncoder.so)
for f in "${needed[@]}"; do
  [ -e "$build/bin/$f" ] || { echo "missing $build/bin/$f (build it first)" >&2; exit 2; }
done

work=$(mktemp -d /tmp/vistrel-publish-XXXXXX)
export VT_BUILD=$build VT_TMP=$work/copies
pids=()
stop_pid() {  # bounded: what ignores SIGTERM for 10 s is killed
  kill -TERM "$1" 2>/dev/null || return 0
  for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
cleanup() {
  local status=$? i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop_pid "${pids[i]}"; done
  if [ "$status" != 0 ] && [ -f "$work/relay.log" ]; then
    echo "the relay's last words:" >&2
    grep -v '^frames ' "$work/relay.log" | tail -n 20 >&2
  fi
  bash "$root/bench/peers/lib/display.sh" stop "$work/display" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# shellcheck source=bench/peers/lib/wait_for.sh
. "$root/bench/peers/lib/wait_for.sh"
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
cpu_ticks() { awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }
# Decoded pictures the relay has counted so far, all publishers together.
relay_frames() { grep '^frames ' "$work/relay.log" | tail -n1 | cut -d' ' -f2 | grep . || echo 0; }
wait_publishing() {  # until the relay has decoded two more seconds of pictures than before
  local before
  before=$(relay_frames)
  wait_for "[ \"\$(relay_frames)\" -gt $((before + 2 * fps)) ]" 30
}

relay_port=$(free_port)
/usr/bin/python3 -X faulthandler "$root/tests/support/rtsp_receiver.py" --port "$relay_port" --relay /live \
  --tcp-only >"$work/relay.log" 2>&1 &
relay=$!
pids+=("$relay")
wait_for "grep -q '^ready' '$work/relay.log'" 15 || { echo "the relay did not start:" >&2; cat "$work/relay.log" >&2; exit 1; }
publish_url="rtsp://127.0.0.1:$relay_port/publish"
if [ "$publisher" = vistrel ]; then
  bash "$root/bench/peers/lib/display.sh" start "$work/display" 1920x1080 30 >/dev/null
  display=$(sed -n 's/^DISPLAY_NUM=//p' "$work/display/display.env")
fi

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg); publisher $publisher, 1920x1080 at $fps fps;" \
  "$viewers viewers of the relay for $seconds s; $rounds rounds"

# One phase: starts the publisher (or a Vistrel that only serves), runs the viewers against URL
# and records their summary with Vistrel's (ffmpeg's) and the relay's CPU.
run_phase() {  # label publishes(0/1) viewers
  local label=$1 publishes=$2 count=$3 port pid url relay_before status=0
  port=$(free_port)
  if [ "$publisher" = ffmpeg ]; then
    ffmpeg -hide_banner -loglevel error -re -f lavfi -i "testsrc=size=1920x1080:rate=$fps" \
      -c:v libx264 -preset veryfast -tune zerolatency -g $((2 * fps)) -f rtsp -rtsp_transport tcp \
      "$publish_url" >"$work/$label.publisher.txt" 2>&1 &
  else
    local extra=""
    [ "$publishes" = 1 ] && extra=$(printf '[Publish]\nUrl=%s' "$publish_url")
    VT_INI_EXTRA=$extra bash "$root/bench/peers/servers/vistrel.sh" "$display" "$port" "$fps" \
      1920 1080 >"$work/$label.publisher.txt" 2>&1 &
  fi
  pid=$!
  pids+=("$pid")
  if [ "$publishes" = 1 ]; then
    url="rtsp://127.0.0.1:$relay_port/live"
    wait_publishing || { echo "$label: nothing reached the relay in 30 s" >&2; tail -n 5 "$work/relay.log" "$work/$label.publisher.txt" >&2; exit 1; }
  else
    url="rtsp://127.0.0.1:$port/live"
    wait_for "(exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null" 15 || { echo "$label: vistrel did not listen" >&2; exit 1; }
  fi
  relay_before=$(cpu_ticks "$relay")
  timeout -s KILL $((seconds + 120)) "$build/bin/rtsp_load_client" --url "$url" --tcp "$count" \
    --seconds "$seconds" --fps "$fps" --watch-pid "$pid" --setup-limit 60 \
    >"$work/$label.txt" 2>&1 || status=$?
  echo "status=$status relay_ms_per_s=$((($(cpu_ticks "$relay") - relay_before) * 1000 / $(getconf CLK_TCK) / seconds))" \
    >>"$work/$label.txt"
  kill -0 "$pid" 2>/dev/null || { echo "$label: the publisher ended during the phase" >&2; cat "$work/$label.publisher.txt" >&2; exit 1; }
  stop_pid "$pid"
  local kept=() p
  for p in "${pids[@]}"; do [ "$p" = "$pid" ] || kept+=("$p"); done
  pids=("${kept[@]}")
  sleep 2
}

for round in $(seq "$rounds"); do
  [ "$publisher" = vistrel ] && run_phase "direct-$round" 0 1
  run_phase "relayed-$round" 1 "$viewers"
done
echo "load after:  $(cut -d' ' -f1-3 /proc/loadavg)"

python3 - "$work" "$publisher" "$viewers" "$command_line" <<'PY'
import glob, os, re, statistics, sys
work, publisher, viewers, command = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
phases = {}
for path in sorted(glob.glob(os.path.join(work, "*-*.txt"))):
    label = os.path.basename(path)[:-4]
    if label.endswith(".publisher"):
        continue
    text = open(path).read()
    fields = {}
    for line in text.splitlines():
        if line.startswith("summary ") or line.startswith("status="):
            fields.update(f.split("=", 1) for f in line.split()[1 if line.startswith("summary") else 0:])
    if "min_fraction" not in fields:
        print(f"{label}: the viewers gave no summary\n{text}")
        sys.exit(1)
    phases[label] = fields
who = "vistrel" if publisher == "vistrel" else "ffmpeg"
print(f"\n{'phase':>10}{'viewers':>9}{'expected':>10}{'min':>6}{'median':>8}{'worst %':>9}"
      f"{who + ' ms/s':>14}{'relay ms/s':>12}{'all playing':>13}")
for label, f in sorted(phases.items(), key=lambda kv: (kv[0].split("-")[1], kv[0])):
    print(f"{label:>10}{f['viewers']:>9}{float(f['expected']):>10.0f}{f['min']:>6}{f['median']:>8}"
          f"{float(f['min_fraction']) * 100:>9.1f}{float(f['server_cpu_ms_per_s']):>14.1f}"
          f"{f['relay_ms_per_s'] if label.startswith('relayed') else '-':>12}{f['all_playing']:>13}")
relayed = [f for label, f in phases.items() if label.startswith("relayed")]
short = [f for f in relayed if float(f["min_fraction"]) < 0.95 or f["all_playing"] != "1"]
print(f"\nrelay viewers: worst share of the frames {min(float(f['min_fraction']) for f in relayed) * 100:.1f} %; "
      f"relay CPU {statistics.median(float(f['relay_ms_per_s']) for f in relayed):.0f} ms/s (median)")
direct = [f for label, f in phases.items() if label.startswith("direct")]
if direct:
    d = statistics.median(float(f["server_cpu_ms_per_s"]) for f in direct)
    r = statistics.median(float(f["server_cpu_ms_per_s"]) for f in relayed)
    change = (r - d) / d * 100 if d else float("inf")
    print(f"verdict: publishing to a relay of {viewers} viewers costs vistrel {r:.1f} ms/s against "
          f"{d:.1f} ms/s for one direct viewer ({change:+.1f} %): "
          f"{'within' if abs(change) <= 5 else 'NOT within'} 5 %")
else:
    print("verdict: no Vistrel phase with --publisher ffmpeg; the figures above are the relay's and ffmpeg's")
if short:
    print(f"FAIL: {len(short)} relayed phase(s) where a viewer got less than 95 % of the frames "
          "or stopped playing")
print(f"command: {command}")
sys.exit(1 if short else 0)
PY
