#!/usr/bin/env bash
# Runs the fan-out benchmark (one 1920x1080 H.264 stream at 25 fps to 1, 10 and 100 loopback
# clients with interleaved RTP, the clients read in a child process) with interleaved repetitions
# and prints the server side's CPU per frame, the cost of each added client and what the clients
# received. Fails when a client missed more than a tenth of the frames.
#
# With --before, a second binary (a build folder with bin/fanout_bench, a folder holding
# fanout_bench, or the binary itself) runs too, one repetition of each in turn, so that both see
# the same machine load; both tables and both per-client figures are printed.
# Usage: bench/fanout.sh [BUILD_FOLDER] [REPETITIONS] [--before FOLDER_OR_BINARY]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
positional=()
before=
while [ $# -gt 0 ]; do
  case $1 in
    --before) before=${2:?--before needs a folder or binary}; shift 2 ;;
    *) positional+=("$1"); shift ;;
  esac
done
build=${positional[0]:-$root/build}
reps=${positional[1]:-3}

binary_of() {
  if [ -f "$1" ]; then echo "$1"
  elif [ -x "$1/bin/fanout_bench" ]; then echo "$1/bin/fanout_bench"
  elif [ -x "$1/fanout_bench" ]; then echo "$1/fanout_bench"
  else echo "fanout: no fanout_bench in '$1'" >&2; exit 2
  fi
}

labels=(current)
binaries=("$(binary_of "$build")")
if [ -n "$before" ]; then
  labels+=(before)
  binaries+=("$(binary_of "$before")")
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg), descriptors allowed: $(ulimit -n)"
if [ ${#binaries[@]} -eq 1 ]; then
  "${binaries[0]}" --benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true \
    --benchmark_out="$out/current-1.json" --benchmark_out_format=json >/dev/null 2>&1
else
  for rep in $(seq "$reps"); do
    for i in "${!binaries[@]}"; do
      "${binaries[$i]}" --benchmark_repetitions=1 --benchmark_enable_random_interleaving=true \
        --benchmark_out="$out/${labels[$i]}-$rep.json" --benchmark_out_format=json >/dev/null 2>&1
    done
  done
fi
echo "load after:  $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$out" "${labels[@]}" <<'PY'
import glob, json, os, statistics, sys
folder, labels = sys.argv[1], sys.argv[2:]
def med(rows, key):
    return statistics.median(r[key] for r in rows)
def table(label):
    runs = []
    for path in sorted(glob.glob(os.path.join(folder, f"{label}-*.json"))):
        runs += [r for r in json.load(open(path))["benchmarks"] if r.get("run_type") == "iteration"]
    errors = [r for r in runs if r.get("error_occurred")]
    for r in errors:
        print(f"{r['run_name']}: {r.get('error_message', 'error')}")
    per = {}
    for r in runs:
        if not r.get("error_occurred"):
            per.setdefault(int(r["run_name"].split("/")[1]), []).append(r)
    if not per:
        print(f"{label}: no successful run")
        return False
    first = next(iter(per.values()))[0]
    print(f"\n{label}: one 1920x1080 H.264 stream, {first['kbytes_per_frame']:.1f} kB per frame, "
          f"25 fps, {int(first['frames_dispatched'])} frames per run")
    print(f"{'clients':>7}{'runs':>5}{'server':>9}{'per added':>11}{'readers':>9}"
          f"{'frames min':>12}{'median':>8}{'dispatch max':>14}{'drops':>7}{'RSS MB':>8}{'fds':>6}"
          f"{'threads':>9}{'TCP MB':>8}")
    previous = None
    ok = not errors
    for clients in sorted(per):
        rows = per[clients]
        server = med(rows, "server_cpu_ms_per_frame")
        slope = "-" if previous is None else f"{(server - previous[1]) / (clients - previous[0]):.4f}"
        fmin = min(r["frames_min"] for r in rows)
        dispatched = rows[0]["frames_dispatched"]
        ok = ok and fmin * 10 >= dispatched * 9
        print(f"{clients:>7}{len(rows):>5}{server:>9.3f}{slope:>11}"
              f"{med(rows, 'reader_cpu_ms_per_frame'):>9.2f}{fmin:>12.0f}"
              f"{med(rows, 'frames_median'):>8.0f}{max(r['dispatch_max_ms'] for r in rows):>14.2f}"
              f"{max(r['drops'] for r in rows):>7.0f}{max(r['rss_mb'] for r in rows):>8.1f}"
              f"{max(r['open_fds'] for r in rows):>6.0f}{max(r['threads'] for r in rows):>9.0f}"
              f"{max(r['tcp_mem_mb_mid'] for r in rows):>8.1f}")
        previous = (clients, server)
    if 1 in per and 100 in per:
        s1, s100 = med(per[1], "server_cpu_ms_per_frame"), med(per[100], "server_cpu_ms_per_frame")
        print(f"{label}: server CPU per added client per frame, 1 -> 100 clients: "
              f"{(s100 - s1) / 99 * 1000:.1f} us")
    return ok
print("server, per added, readers: CPU ms per frame, medians; frames min: worst run; "
      "dispatch max: longest DispatchFrame call, ms; drops, RSS, fds, threads: worst run, server; "
      "TCP MB: kernel memory of all TCP sockets halfway through the run")
results = [table(label) for label in labels]
sys.exit(0 if results[0] else 1)
PY
