#!/usr/bin/env bash
# Vistrel next to the GStreamer RTSP server (ximagesrc ! videoconvert ! x264enc ! rtph264pay, the
# launch line of bench/peers/lib/gst_rtsp_server.py) on one private Xvfb display with moving
# content, in one run, the two contenders alternating so that drift and other load hit both alike.
#
#   bench/side_by_side.sh [--build DIR] [--runs N] [--window S] [--warmup S] [--fps "8 30"]
#                         [--flips N] [--lat-runs N] [--idle-window S] [--size WxH]
#                         [--client gst|ffmpeg] [--no-latency] [--no-first-frame] [--ff-probes N]
#                         [--resdir DIR] [--sets "moving still fanout load"] [--viewers N]
#                         [--fanout-fps F] [--fanout-rounds K] [--load-fps F] [--load-client PATH]
#
# Per contender and frame rate, N runs each of:
#  - throughput (bench/peers/lib/measure.py): one RTSP/TCP client; server process-tree CPU over the
#    window / frames that client received; peak tree RSS; Xvfb CPU alongside;
#  - glass-to-glass latency (bench/peers/lib/latency.py, gst probe): a flipping patch drawn by the
#    X server -> decoded at the probe.
# Per contender and frame rate, once: a new client's first picture (bench/peers/lib/first_frame.py):
#    ms from PLAY to the first whole IDR picture, cold (no other client) and warm (one already
#    receiving), N probes each; records in RESDIR/first_frame.jsonl.
# Then Vistrel with no client at all (bench/peers/lib/idle.py): CPU % of one core over the window.
# All of the above is the set "moving"; --sets picks any of these (default all of them):
#  - moving: the above;
#  - still: a second display showing one detailed picture that never changes (display.sh ... still);
#    per contender, frame rate (--fps) and run: measure.py with one decoding gst client (CPU per
#    frame, received fps), then the screen against pictures decoded from the stream (PSNR, dB,
#    bench/peers/lib/picture.py); records in RESDIR/still.jsonl;
#  - fanout: moving content at --fanout-fps (8); per contender and run, 1 then --viewers (50)
#    RTP/TCP viewers in one bench/RtspLoadClient.cpp process (built from this tree into RESDIR/bin
#    unless --load-client is given): server cores added per viewer and the worst viewer's share of
#    the frames; with --fanout-rounds K (1), K rounds of N viewers between 1-viewer phases
#    (1, N, 1, ..., N, 1), each set against the phases beside it; records in RESDIR/fanout.jsonl;
#  - load: moving content at --load-fps (30), one decoding gst client, once quiet and once beside a
#    process that keeps one core busy (stress-ng --cpu 1, else a python busy loop); per contender
#    and run: delivered fps and CPU per frame; records in RESDIR/load.jsonl.
# Raw records: RESDIR/{throughput,latency,idle}.jsonl; summary table: RESDIR/summary.md (stdout);
# chart of CPU per frame and latency next to the peers' figures: RESDIR/cpu-latency.png; of the
# other sets' Vistrel/GStreamer ratios: RESDIR/sets.png.
# Needs Xvfb, ffmpeg, GStreamer with x264enc/ximagesrc/avdec_h264, gst-rtsp-server via python3-gi,
# python3-xlib, python3-matplotlib (installed here when missing, for the chart only); a build with
# bin/vistrel and bin/libOrxEncoder.so (default: build-perf); g++ for the fanout set's load client.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
KIT=$HERE/peers
BUILD=$(cd "$HERE/.." && pwd)/build-perf
RUNS=3 WINDOW=15 WARMUP=5 FPSL="8 30" FLIPS=10 LATRUNS=3 IDLE=20 SIZE=1920x1080 CLIENT=gst LAT=1
FF=1 FFPROBES=5 SETS="moving still fanout load" VIEWERS=50 FANOUT_FPS=8 FANOUT_ROUNDS=1 LOAD_FPS=30 LOADCLIENT=
RES=/tmp/side-by-side-$(date +%Y%m%d-%H%M%S)
while [ $# -gt 0 ]; do
    case "$1" in
    --build) BUILD=$(cd "$2" && pwd); shift ;;
    --runs) RUNS=$2; shift ;;
    --window) WINDOW=$2; shift ;;
    --warmup) WARMUP=$2; shift ;;
    --fps) FPSL=$2; shift ;;
    --flips) FLIPS=$2; shift ;;
    --lat-runs) LATRUNS=$2; shift ;;
    --idle-window) IDLE=$2; shift ;;
    --size) SIZE=$2; shift ;;
    --client) CLIENT=$2; shift ;;
    --no-latency) LAT=0 ;;
    --no-first-frame) FF=0 ;;
    --ff-probes) FFPROBES=$2; shift ;;
    --resdir) RES=$2; shift ;;
    --sets) SETS=$2; shift ;;
    --viewers) VIEWERS=$2; shift ;;
    --fanout-fps) FANOUT_FPS=$2; shift ;;
    --fanout-rounds) FANOUT_ROUNDS=$2; shift ;;
    --load-fps) LOAD_FPS=$2; shift ;;
    --load-client) LOADCLIENT=$2; shift ;;
    *) echo "unknown option $1" >&2; exit 64 ;;
    esac
    shift
done
for s in $SETS; do
    case "$s" in moving | still | fanout | load) ;; *) echo "unknown set $s" >&2; exit 64 ;; esac
done
has() { case " $SETS " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }
[ -x "$BUILD/bin/vistrel" ] || { echo "no $BUILD/bin/vistrel (build it first)" >&2; exit 1; }
mkdir -p "$RES/logs"
export VT_BUILD=$BUILD VT_TMP=$RES/vistrel-copies
log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

# The chart at the end draws with Debian's matplotlib. Installed up front so that a missing package
# shows now and not after half an hour of measuring; without it the run goes on, only uncharted.
if ! /usr/bin/python3 -c 'import matplotlib' 2>/dev/null; then
    if [ "$(id -u)" = 0 ]; then as_root=(env); else as_root=(sudo -n env); fi
    log "installing python3-matplotlib for the chart"
    { "${as_root[@]}" DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
      "${as_root[@]}" DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
          python3-matplotlib; } >"$RES/logs/apt-matplotlib.log" 2>&1 ||
        log "could not install python3-matplotlib (see $RES/logs/apt-matplotlib.log): no chart"
fi

VT_CMD="$KIT/servers/vistrel.sh {DISPLAY} {PORT} {FPS} {WIDTH} {HEIGHT}"
GST_CMD="/usr/bin/python3 $KIT/lib/gst_rtsp_server.py --display {DISPLAY} --port {PORT} --fps {FPS}"
URL='rtsp://127.0.0.1:{PORT}/live'

LOADLOG_PID= HOG_PID=
cleanup() {
    [ -n "$LOADLOG_PID" ] && kill "$LOADLOG_PID" 2>/dev/null
    [ -n "$HOG_PID" ] && kill "$HOG_PID" 2>/dev/null
    bash "$KIT/lib/display.sh" stop "$RES/display" >/dev/null 2>&1
    bash "$KIT/lib/display.sh" stop "$RES/display-still" >/dev/null 2>&1
    # The program copies of the runs go; their own logs are kept beside the harness logs.
    for f in "$VT_TMP"/*/*.log; do [ -f "$f" ] && cp "$f" "$RES/logs/"; done
    rm -rf "$VT_TMP"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# What else the machine did meanwhile: load and the busiest processes every 15 s.
( while :; do
      printf '%s load %s | %s\n' "$(date +%H:%M:%S)" "$(cut -d' ' -f1-3 /proc/loadavg)" \
          "$(ps -eo pcpu=,comm= --sort=-pcpu | head -n 4 | tr -s ' ' | paste -sd, -)"
      sleep 15
  done ) >"$RES/load.log" 2>&1 &
LOADLOG_PID=$!
log "sets: $SETS; results in $RES"
{
    echo "date: $(date -Is)"
    echo "host: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2) x $(nproc)"
    echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "build: $BUILD (program built $(date -r "$BUILD/bin/vistrel" -Is); tree HEAD now $(git -C "$HERE/.." rev-parse --short HEAD 2>/dev/null))"
    echo "gstreamer: $(gst-launch-1.0 --version | sed -n 2p)"
    echo "args: runs=$RUNS window=$WINDOW warmup=$WARMUP fps=$FPSL flips=$FLIPS lat-runs=$LATRUNS idle=$IDLE size=$SIZE client=$CLIENT"
    echo "sets: $SETS; viewers=$VIEWERS fanout-fps=$FANOUT_FPS fanout-rounds=$FANOUT_ROUNDS load-fps=$LOAD_FPS"
} >"$RES/env.txt"

contenders() {  # alternate which goes first, so neither always gets the "fresher" box
    if [ $(($1 % 2)) = 1 ]; then echo "vistrel gst"; else echo "gst vistrel"; fi
}
cmd_of() { if [ "$1" = vistrel ]; then echo "$VT_CMD"; else echo "$GST_CMD"; fi; }

# The still set first, on a display of its own, before the moving one exists to draw beside it.
if has still; then
    bash "$KIT/lib/display.sh" start "$RES/display-still" "$SIZE" 30 testsrc2 still >/dev/null || exit 1
    SDISP=$(sed -n 's/^DISPLAY_NUM=//p' "$RES/display-still/display.env")
    SXVFB=$(sed -n 's/^XVFB_PID=//p' "$RES/display-still/display.env")
    if bash "$KIT/lib/display.sh" check "$SDISP" "$SIZE" >/dev/null 2>&1; then
        log "the still display $SDISP moves: no still set"
    else
        for run in $(seq 1 "$RUNS"); do
            for f in $FPSL; do
                for c in $(contenders "$run"); do
                    log "still $c fps=$f run=$run"
                    timeout 300 python3 "$KIT/lib/measure.py" --label "$c" --peer "$c" \
                        --server-cmd "$(cmd_of "$c")" --url "$URL" --display "$SDISP" --size "$SIZE" \
                        --fps "$f" --client gst --clients 1 --warmup "$WARMUP" --window "$WINDOW" \
                        --run "$run" --out "$RES/still.jsonl" --logdir "$RES/logs/still" \
                        --picture-check --also-pid "xvfb:$SXVFB" >&2 || true
                done
            done
        done
    fi
    bash "$KIT/lib/display.sh" stop "$RES/display-still" >/dev/null 2>&1
fi
if ! has moving && ! has fanout && ! has load; then
    RUNS=0 LAT=0 FF=0 IDLE=0
else
bash "$KIT/lib/display.sh" start "$RES/display" "$SIZE" 30 testsrc2 >/dev/null || exit 1
# shellcheck disable=SC1091
. "$RES/display/display.env"
DISP=$DISPLAY_NUM
bash "$KIT/lib/display.sh" check "$DISP" "$SIZE" >&2 || exit 1
log "display $DISP up (Xvfb $XVFB_PID, mover $MOVER_PID)"
fi
# Only "moving" runs the original measurements; the other sets still use --runs below.
MRUNS=$RUNS
has moving || { MRUNS=0 LAT=0 FF=0 IDLE=0; }

if has fanout && [ "$RUNS" != 0 ]; then
    if [ -z "$LOADCLIENT" ]; then
        # Built here from this tree's source: the build given may predate what the client knows.
        mkdir -p "$RES/bin"
        LOADCLIENT=$RES/bin/rtsp_load_client
        log "building the load client into $LOADCLIENT"
        g++ -std=c++20 -O2 -I"$HERE" "$HERE/RtspLoadClient.cpp" "$HERE/ProcessCpu.cpp" \
            -o "$LOADCLIENT" 2>"$RES/logs/load-client-build.log" || LOADCLIENT=
    fi
    if [ -z "$LOADCLIENT" ] || [ ! -x "$LOADCLIENT" ]; then
        log "no load client (see $RES/logs/load-client-build.log): no fanout set"
    else
        for run in $(seq 1 "$RUNS"); do
            for c in $(contenders "$run"); do
                log "fanout $c fps=$FANOUT_FPS 1 and $VIEWERS viewers, $FANOUT_ROUNDS rounds, run=$run"
                timeout $((300 + (2 * FANOUT_ROUNDS + 1) * (${WARMUP%.*} + ${WINDOW%.*} + 60))) \
                    python3 "$KIT/lib/fanout.py" --rounds "$FANOUT_ROUNDS" \
                    --label "$c" --server-cmd "$(cmd_of "$c")" --url "$URL" --display "$DISP" \
                    --size "$SIZE" --fps "$FANOUT_FPS" --viewers "$VIEWERS" --load-client "$LOADCLIENT" \
                    --warmup "$WARMUP" --window "$WINDOW" --run "$run" --out "$RES/fanout.jsonl" \
                    --logdir "$RES/logs/fanout" >&2 || true
            done
        done
    fi
fi

if has load && [ "$RUNS" != 0 ]; then
    if command -v stress-ng >/dev/null; then hog=(stress-ng --cpu 1 --quiet); else
        hog=(python3 -c 'while True: pass'); fi
    log "competing load: ${hog[*]}"
    for run in $(seq 1 "$RUNS"); do
        for mode in quiet busy; do
            for c in $(contenders "$run"); do
                also=()
                if [ "$mode" = busy ]; then
                    "${hog[@]}" >/dev/null 2>&1 &
                    HOG_PID=$!
                    also=(--also-pid "hog:$HOG_PID")
                fi
                log "load $mode $c fps=$LOAD_FPS run=$run"
                timeout 300 python3 "$KIT/lib/measure.py" --label "$c" --peer "$c" \
                    --server-cmd "$(cmd_of "$c")" --url "$URL" --display "$DISP" --size "$SIZE" \
                    --fps "$LOAD_FPS" --client gst --clients 1 --warmup "$WARMUP" --window "$WINDOW" \
                    --run "$run" --note "$mode" --out "$RES/load.jsonl" --logdir "$RES/logs/load" \
                    --also-pid "xvfb:$XVFB_PID" "${also[@]}" >&2 || true
                if [ -n "$HOG_PID" ]; then
                    # stress-ng's workers are its children: the group goes with it on SIGTERM.
                    kill "$HOG_PID" 2>/dev/null; wait "$HOG_PID" 2>/dev/null; HOG_PID=
                fi
            done
        done
    done
fi

for run in $(seq 1 "$MRUNS"); do
    for f in $FPSL; do
        for c in $(contenders "$run"); do
            log "throughput $c fps=$f run=$run"
            timeout 300 python3 "$KIT/lib/measure.py" --label "$c" --peer "$c" \
                --server-cmd "$(cmd_of "$c")" --url "$URL" --display "$DISP" --size "$SIZE" \
                --fps "$f" --client "$CLIENT" --clients 1 --warmup "$WARMUP" --window "$WINDOW" \
                --run "$run" --out "$RES/throughput.jsonl" --logdir "$RES/logs" \
                --also-pid "xvfb:$XVFB_PID" --also-pid "mover:$MOVER_PID" >&2 || true
        done
    done
done
if [ "$LAT" = 1 ]; then
    for run in $(seq 1 "$LATRUNS"); do
        for f in $FPSL; do
            for c in $(contenders "$run"); do
                log "latency $c fps=$f run=$run"
                timeout 240 python3 "$KIT/lib/latency.py" --label "$c" --peer "$c" \
                    --server-cmd "$(cmd_of "$c")" --url "$URL" --display "$DISP" --size "$SIZE" \
                    --fps "$f" --client gst --flips "$FLIPS" --run "$run" \
                    --out "$RES/latency.jsonl" --logdir "$RES/logs" >&2 || true
            done
        done
    done
fi
if [ "$FF" = 1 ]; then
    # One pass per frame rate: the probes inside are the repeats. Which contender goes first
    # alternates from one frame rate to the next. The bound covers start-up, both modes and every
    # probe running into its own time limits.
    i=0
    for f in $FPSL; do
        i=$((i + 1))
        for c in $(contenders "$i"); do
            log "first frame $c fps=$f, $FFPROBES probes cold and warm"
            timeout $((120 + 60 * FFPROBES)) python3 "$KIT/lib/first_frame.py" --label "$c" \
                --server-cmd "$(cmd_of "$c")" --url "$URL" --display "$DISP" --size "$SIZE" \
                --fps "$f" --probes "$FFPROBES" --out "$RES/first_frame.jsonl" \
                --logdir "$RES/logs" >&2 || true
        done
    done
fi
# The no-capture baseline of the X server (drawing the moving content only), then Vistrel idle;
# --idle-window 0 skips both (as --runs 0 skips throughput), e.g. for a latency-only pass.
if [ "$IDLE" != 0 ]; then
python3 - "$XVFB_PID" "$IDLE" >"$RES/xvfb_baseline.json" <<'PY'
import json, os, sys, time
tick = os.sysconf("SC_CLK_TCK")
def cpu(pid):
    f = open("/proc/%s/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(f[11]) + int(f[12])) / tick
w = float(sys.argv[2]); a = cpu(sys.argv[1]); time.sleep(w); b = cpu(sys.argv[1])
print(json.dumps({"xvfb_cores_no_server": round((b - a) / w, 4), "window_s": w}))
PY
for f in $FPSL; do
    log "vistrel without clients fps=$f, ${IDLE}s"
    timeout 120 python3 "$KIT/lib/idle.py" --label vistrel --server-cmd "$VT_CMD" --display "$DISP" \
        --size "$SIZE" --fps "$f" --window "$IDLE" --out "$RES/idle.jsonl" --logdir "$RES/logs" \
        --also-pid "xvfb:$XVFB_PID" >&2 || true
done
fi
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$RES/env.txt"
python3 "$HERE/peers/lib/summary.py" "$RES" | tee "$RES/summary.md"
# The chart only redraws what the records and summary already hold: if it fails, the run stands.
rc=0
if [ "$MRUNS" = 0 ]; then
    log "no throughput runs, so no chart"
else
    /usr/bin/python3 "$HERE/chart.py" "$RES" --out "$RES/cpu-latency.png" >/dev/null 2>"$RES/logs/chart.log"
    rc=$?
fi
if [ "$MRUNS" = 0 ]; then
    :
elif [ "$rc" = 0 ]; then
    log "chart: $RES/cpu-latency.png"
else
    log "chart failed (exit $rc): $(tail -n 1 "$RES/logs/chart.log")"
fi
if has still || has fanout || has load; then
    if /usr/bin/python3 "$HERE/chart.py" "$RES" --sets-out "$RES/sets.png" >/dev/null \
        2>"$RES/logs/chart-sets.log"; then
        log "chart of the sets: $RES/sets.png"
    else
        log "chart of the sets failed: $(tail -n 1 "$RES/logs/chart-sets.log")"
    fi
fi
