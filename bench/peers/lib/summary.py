#!/usr/bin/env python3
"""summary.py RESDIR: the side-by-side table (medians over runs, [min-max]) from
RESDIR/{throughput,latency,idle}.jsonl and xvfb_baseline.json, as markdown."""
import json
import os
import statistics
import sys


def load(path):
    if not os.path.exists(path):
        return []
    return [json.loads(ln) for ln in open(path) if ln.strip()]


def rng(xs, fmt="%.1f"):
    xs = [x for x in xs if x is not None]
    if not xs:
        return "-"
    med = statistics.median(xs)
    if len(xs) == 1:
        return fmt % med
    return (fmt + " [" + fmt + "-" + fmt + "]") % (med, min(xs), max(xs))


def main():
    res = sys.argv[1]
    thr, lat, idle = (load(os.path.join(res, n)) for n in ("throughput.jsonl", "latency.jsonl", "idle.jsonl"))
    out = []
    if os.path.exists(os.path.join(res, "env.txt")):
        out += ["```"] + open(os.path.join(res, "env.txt")).read().splitlines() + ["```", ""]
    out += ["| server | fps | runs ok | ms CPU/frame | server cores | peak RSS MB | frames/s | kbit/s "
            "| Xvfb cores | box busy % | latency ms (gst probe) | flips |",
            "|---|---|---|---|---|---|---|---|---|---|---|---|"]
    keys = sorted({(r["label"], r["fps"]) for r in thr + lat}, key=lambda k: (k[1], k[0]))
    for label, fps in keys:
        rs = [r for r in thr if r["label"] == label and r["fps"] == fps and r.get("ok")]
        bad = [r for r in thr if r["label"] == label and r["fps"] == fps and not r.get("ok")]
        ls = [r for r in lat if r["label"] == label and r["fps"] == fps]
        flips = [x for r in ls for x in (r.get("latencies_ms") or []) if x is not None]
        nflips = sum(r.get("n_flips", 0) for r in ls)
        out.append("| %s | %d | %d/%d | %s | %s | %s | %s | %s | %s | %s | %s | %d/%d |" % (
            label, fps, len(rs), len(rs) + len(bad),
            rng([r.get("server_ms_per_frame") for r in rs], "%.2f"),
            rng([r.get("server_cores") for r in rs], "%.3f"),
            rng([r.get("server_peak_rss_mb") for r in rs], "%.0f"),
            rng([r.get("fps_delivered") for r in rs], "%.1f"),
            rng([r.get("kbps_med") for r in rs], "%.0f"),
            rng([r.get("other_cores", {}).get("xvfb") for r in rs], "%.3f"),
            rng([100 * r["box_busy"] for r in rs if r.get("box_busy") is not None], "%.0f"),
            ("%.0f [%.0f-%.0f]" % (statistics.median(flips), min(flips), max(flips))) if flips else "-",
            len(flips), nflips))
        for r in bad:
            out.append("|  | | failed run %s: %s | | | | | | | | | |" % (r.get("run"), r.get("error", "")[:120]))
    base = os.path.join(res, "xvfb_baseline.json")
    if idle or os.path.exists(base):
        out += ["", "No clients (Vistrel started, nothing connects):", ""]
        if os.path.exists(base):
            out.append("- Xvfb with no server running (drawing the moving content only): %.3f cores"
                       % json.load(open(base))["xvfb_cores_no_server"])
        for r in idle:
            if r.get("ok"):
                out.append("- vistrel fps=%d: %.3f %% of one core over %.0f s (%.2f CPU s); RSS %.0f MB; "
                           "Xvfb %.3f cores; SysV shm maps %s; threads %d; box busy %.0f %%" % (
                               r["fps"], r["server_core_pct"], r["window_real_s"], r["server_cpu_s"],
                               r["rss_mb"], r.get("other_cores", {}).get("xvfb", -1),
                               r.get("sysv_shm_maps"), r["threads"], 100 * r["box_busy"]))
            else:
                out.append("- vistrel fps=%d: failed: %s" % (r["fps"], r.get("error")))
    top = {}
    for r in thr:
        if r.get("ok") and r.get("top_threads"):
            top.setdefault((r["label"], r["fps"]), r["top_threads"])
    if top:
        out += ["", "Busiest threads (first good run):", ""]
        for (label, fps), t in sorted(top.items(), key=lambda kv: (kv[0][1], kv[0][0])):
            out.append("- %s %d fps: %s" % (label, fps, t))
    print("\n".join(out))


if __name__ == "__main__":
    main()
