#!/usr/bin/env bash
# Runs the capture benchmark (its own Xvfb 1920x1080x24 with moving content) with interleaved
# repetitions and compares CPU per frame, the capturing process plus the X server, with ffmpeg's
# x11grab. Fails when capture and conversion cost more than ffmpeg's.
# Usage: bench/capture_vs_ffmpeg.sh [BUILD_FOLDER] [REPETITIONS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
reps=${2:-3}
json=$(mktemp)
trap 'rm -f "$json"' EXIT
"$build/bin/capture_bench" --benchmark_repetitions="$reps" \
  --benchmark_enable_random_interleaving=true \
  --benchmark_out="$json" --benchmark_out_format=json >/dev/null 2>&1
python3 - "$json" <<'PY'
import json, statistics, sys
runs = [r for r in json.load(open(sys.argv[1]))["benchmarks"] if r.get("run_type") == "iteration"]
per = {}
for r in runs:
    per.setdefault(r["run_name"].split("/")[0], []).append(r)
def med(name, key):
    return statistics.median(r[key] for r in per[name] if key in r)
print(f"{'benchmark':<32}{'runs':>5}{'client':>9}{'X server':>10}{'total':>9}{'median busy':>13}  (CPU ms per frame, medians)")
for name, rows in per.items():
    busy = f"{med(name, 'median_ms_per_frame'):.2f}" if "median_ms_per_frame" in rows[0] else "-"
    print(f"{name:<32}{len(rows):>5}{med(name, 'client_cpu_ms_per_frame'):>9.2f}"
          f"{med(name, 'server_cpu_ms_per_frame'):>10.2f}{med(name, 'cpu_ms_per_frame'):>9.2f}{busy:>13}")
ours = med("BM_VistrelCaptureConvert", "cpu_ms_per_frame")
theirs = med("BM_FfmpegX11grabConvert", "cpu_ms_per_frame")
print(f"capture + conversion, Vistrel / ffmpeg x11grab: {ours / theirs:.3f} (limit 1.0)")
sys.exit(0 if ours <= theirs else 1)
PY
