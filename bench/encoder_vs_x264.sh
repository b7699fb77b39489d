#!/usr/bin/env bash
# Runs the encoder benchmark with interleaved repetitions and compares the library's CPU time per
# 1920x1080 picture with the x264 command line's on the same pictures. Fails above 1.05x.
# Usage: bench/encoder_vs_x264.sh [BUILD_FOLDER] [REPETITIONS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
reps=${2:-5}
json=$(mktemp)
trap 'rm -f "$json"' EXIT
"$build/bin/encoder_bench" --benchmark_repetitions="$reps" \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=false \
  --benchmark_out="$json" --benchmark_out_format=json >/dev/null 2>&1
python3 - "$json" <<'PY'
import json, statistics, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
per = {}
for r in runs:
    if r.get("run_type") != "iteration":
        continue
    per.setdefault(r["run_name"].split("/")[0], []).append(r)
def med(name, key):
    return statistics.median(r[key] for r in per[name])
print(f"{'benchmark':<22}{'runs':>5}{'cpu ms/picture (median)':>26}{'min':>9}{'max':>9}{'kB/picture':>12}")
for name, rows in per.items():
    v = [r["cpu_ms_per_picture"] for r in rows]
    print(f"{name:<22}{len(v):>5}{statistics.median(v):>26.2f}{min(v):>9.2f}{max(v):>9.2f}"
          f"{med(name, 'kbytes_per_picture'):>12.2f}")
ratio = med("BM_OrxEncoderH264", "cpu_ms_per_picture") / med("BM_X264CommandLine", "cpu_ms_per_picture")
print(f"H.264 library / x264 command line CPU per picture: {ratio:.3f} (limit 1.05)")
sys.exit(0 if ratio <= 1.05 else 1)
PY
