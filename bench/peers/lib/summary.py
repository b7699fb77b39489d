#!/usr/bin/env python3
"""summary.py RESDIR: the side-by-side table (medians over runs, [min-max]) from
RESDIR/{throughput,latency,idle}.jsonl and xvfb_baseline.json, the first-picture table from
RESDIR/first_frame.jsonl (medians over all probes), and the still, fanout and load sets from
RESDIR/{still,fanout,load}.jsonl with Vistrel/GStreamer ratios of the medians, as markdown."""
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
    if thr or lat:
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
    out += first_frame_table(load(os.path.join(res, "first_frame.jsonl")))
    out += set_tables(res)
    print("\n".join(out))


MIN_RUNS = 3
MIN_SHARE = 0.99  # of the expected frames, for every viewer


def median_of(rs, fn):
    xs = [fn(r) for r in rs]
    xs = [x for x in xs if x is not None]
    return statistics.median(xs) if xs else None


def ratio(v, g):
    """Vistrel's median over GStreamer's, None when either is missing or GStreamer's is not above 0
    (an added cost lost in its own noise has no meaningful ratio)."""
    if v is None or g is None or g <= 0:
        return None
    return v / g


def got(r, k):
    return r.get(k)


def share(r):
    """Frames the client received over those the frame rate promises in the window."""
    if not r.get("window_real_s") or not r.get("fps"):
        return None
    return r.get("frames_min", 0) / (r["fps"] * r["window_real_s"])


# Per set: file, title, what splits the rows (besides the server), columns (header, value of one
# run, format, whether a Vistrel/GStreamer ratio of it means anything).
SETS = [
    ("still.jsonl", "Still screen (one picture drawn once), one decoding gst client",
     lambda r: "%d fps" % r["fps"],
     [("ms CPU/frame", lambda r: got(r, "server_ms_per_frame"), "%.2f", True),
      ("server cores", lambda r: got(r, "server_cores"), "%.3f", True),
      ("received fps", lambda r: got(r, "fps_delivered"), "%.2f", True),
      ("share of frames", share, "%.3f", True),
      ("PSNR first dB", lambda r: got(r, "psnr_first_db"), "%.1f", False),
      ("PSNR last dB", lambda r: got(r, "psnr_last_db"), "%.1f", False)]),
    ("fanout.jsonl", "Fanout: server cores with 1 and with N RTP/TCP viewers (load client not counted)",
     lambda r: "%d fps, 1 -> %d viewers" % (r["fps"], r["viewers"]),
     [("cores, 1 viewer", lambda r: r["one"]["server_cores"], "%.3f", True),
      ("cores, N viewers", lambda r: r["many"]["server_cores"], "%.3f", True),
      ("added cores per viewer", lambda r: got(r, "cores_per_viewer"), "%.5f", True),
      ("worst viewer's share of frames", lambda r: got(r, "min_fraction"), "%.3f", False)]),
    ("load.jsonl", "Load: one decoding gst client, quiet and beside one core kept busy",
     lambda r: "%d fps, %s" % (r["fps"], r.get("note") or "?"),
     [("delivered fps", lambda r: got(r, "fps_delivered"), "%.2f", True),
      ("ms CPU/frame", lambda r: got(r, "server_ms_per_frame"), "%.2f", True),
      ("server cores", lambda r: got(r, "server_cores"), "%.3f", True),
      ("busy process cores", lambda r: r.get("other_cores", {}).get("hog"), "%.2f", False)]),
]


def set_table(rows, title, split, cols):
    """Rows per split and server (median [min-max] over good runs), then the ratio row."""
    heads = [c[0] for c in cols]
    out = ["", title + ", median [min-max] over runs:", "",
           "| | server | runs ok | " + " | ".join(heads) + " |", "|---" * (len(cols) + 3) + "|"]
    notes = []
    # Splits begin with the frame rate: in its numeric order, not as text ("30" before "8").
    for key in sorted({split(r) for r in rows}, key=lambda k: (int(k.split()[0]), k)):
        part = [r for r in rows if split(r) == key]
        med = {}
        for label in ("vistrel", "gst"):
            rs = [r for r in part if r["label"] == label and r.get("ok")]
            bad = [r for r in part if r["label"] == label and not r.get("ok")]
            out.append("| %s | %s | %d/%d | %s |" % (key, label, len(rs), len(rs) + len(bad), " | ".join(
                rng([fn(r) for r in rs], fmt) for _, fn, fmt, _ in cols)))
            med[label] = [median_of(rs, fn) for _, fn, _, _ in cols]
            if rs and len(rs) < MIN_RUNS:
                notes.append("- %s %s: %d good runs, fewer than %d" % (key, label, len(rs), MIN_RUNS))
            notes += ["- %s %s run %s failed: %s" % (key, label, r.get("run"), (r.get("error") or "")[:160])
                      for r in bad]
            notes += ["- %s %s run %s: picture check failed: %s" % (key, label, r.get("run"), r["picture_error"])
                      for r in rs if r.get("picture_error")]
            low = [r for r in rs if (r.get("min_fraction") if "min_fraction" in r else share(r) or 1) < MIN_SHARE]
            notes += ["- %s %s run %s: a viewer got less than %.0f %% of the frames"
                      % (key, label, r.get("run"), 100 * MIN_SHARE) for r in low]
        cells = []
        for i, (_, _, _, meaningful) in enumerate(cols):
            q = ratio(med["vistrel"][i], med["gst"][i]) if meaningful else None
            cells.append("%.2f" % q if q is not None else "-")
        out.append("| %s | **vistrel/gst** | | %s |" % (key, " | ".join(cells)))
    return out + ([""] + notes if notes else [])


def set_ratios(res):
    """[(set file stem, split, column, Vistrel/GStreamer ratio of the medians)] of every column that
    has one, in the order of the tables, for the chart."""
    out = []
    for name, _, split, cols in SETS:
        rows = [r for r in load(os.path.join(res, name)) if r.get("ok")]
        for key in sorted({split(r) for r in rows}, key=lambda k: (int(k.split()[0]), k)):
            part = [r for r in rows if split(r) == key]
            for head, fn, _, meaningful in cols:
                q = ratio(median_of([r for r in part if r["label"] == "vistrel"], fn),
                          median_of([r for r in part if r["label"] == "gst"], fn))
                if meaningful and q is not None:
                    out.append((name.split(".")[0], key, head, q))
    return out


def set_tables(res):
    out = []
    for name, title, split, cols in SETS:
        rows = [r for r in load(os.path.join(res, name)) if r.get("label") in ("vistrel", "gst")]
        if rows:
            out += set_table(rows, title, split, cols)
    return out


def first_frame_table(ff):
    """New client's first picture, per server, frame rate and mode, over the probes of all runs."""
    if not ff:
        return []
    out = ["", "First picture for a new client (bench/peers/lib/first_frame.py), ms, median [min-max] "
           "over the probes:", "",
           "| server | fps | mode | probes ok | PLAY -> first whole IDR picture | PLAY -> first RTP packet "
           "| connect -> first whole IDR picture | PLAY answer | pictures before the IDR | 1000/fps |",
           "|---|---|---|---|---|---|---|---|---|---|"]
    order = {"cold": 0, "warm": 1}
    keys = sorted({(r["label"], r["fps"], r["mode"]) for r in ff},
                  key=lambda k: (k[1], k[0], order.get(k[2], 2), k[2]))
    failures = []
    for label, fps, mode in keys:
        rs = [r for r in ff if (r["label"], r["fps"], r["mode"]) == (label, fps, mode)]
        details = [p for r in rs for p in (r.get("probe_details") or [])]
        pool = lambda k: [p.get(k) for p in details]  # noqa: E731
        out.append("| %s | %d | %s | %d/%d | %s | %s | %s | %s | %s | %.1f |" % (
            label, fps, mode, sum(1 for x in pool("play_to_first_idr_complete") if x is not None),
            sum(r.get("probes", 0) for r in rs),
            rng(pool("play_to_first_idr_complete")), rng(pool("play_to_first_packet")),
            rng(pool("open_to_first_idr_complete")), rng(pool("play_to_answer"), "%.2f"),
            rng([p.get("non_idr_frames_before") for p in details if p.get("play_to_first_idr_complete")
                 is not None], "%.0f"),
            1000.0 / fps))
        failures += ["- %s %d fps %s: %s" % (label, fps, mode, r.get("error"))
                     for r in rs if r.get("error")]
    out += ["", "Reference for \"PLAY -> first whole IDR picture\": a server that captures and encodes "
            "a key frame for the new client needs about one frame interval plus one encode; this "
            "table gives 1000/fps only, add the median encode time (not known here) yourself. The "
            "GStreamer server builds its pipeline at DESCRIBE, so a cold PLAY can find a picture "
            "waiting: \"connect -> first whole IDR picture\" includes that start-up."]
    if failures:
        out += ["", "First-picture runs with errors:", ""] + failures
    return out


if __name__ == "__main__":
    main()
