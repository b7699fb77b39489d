#!/usr/bin/env python3
"""chart.py RESDIR [--contenders CSV] [--out PNG]: one PNG with CPU per delivered frame and
glass-to-glass latency of Vistrel and the GStreamer RTSP server as measured together by
side_by_side.sh in RESDIR (medians over runs, whiskers min-max; latency pooled over all flips),
next to the figures of the other contenders from the peers' earlier pass (CSV, medians only).

With --sets-out PNG it draws instead the Vistrel/GStreamer ratios of the still, fanout and load
sets (summary.py's tables) as bars around 1.

Exit status 2 on unusable input. Needs Debian's python3-matplotlib."""
import argparse
import csv
import datetime
import importlib.util
import json
import os
import re
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_CSV = os.path.join(HERE, "contenders-2026-12-07.csv")
DEFAULT_OUT = os.path.join(HERE, "..", "docs", "bench", "cpu-latency.png")
TARGET_MS = 14.0
FLOOR = "x264-alone"  # a CSV row drawn as a line (the encoder's own cost), not as a bar

# (label in the jsonl records, legend name, colour) for the contenders run side by side.
SAME_RUN = [("vistrel", "Vistrel", "#1f5fa8"), ("gst", "GStreamer RTSP server", "#d9730d")]
PEER_NAMES = {
    "gst-rtsp-server/gst-client": "GStreamer, gst client",
    "gst-rtsp-server/ffmpeg-client": "GStreamer, ffmpeg client",
    "ffmpeg-x11grab-null": "ffmpeg x11grab+libx264, no serving",
    "vlc": "VLC",
}
PEER_COLOURS = ["#f2b27a", "#c9a27e", "#8fbf8f", "#b99ad1", "#9fb8d6", "#d6a0a0"]


class BadInput(Exception):
    pass


def read_jsonl(path):
    rows = []
    with open(path) as f:
        for n, line in enumerate(f, 1):
            if not line.strip():
                continue
            try:
                r = json.loads(line)
            except ValueError as e:
                raise BadInput("%s line %d is not JSON: %s" % (path, n, e))
            if not isinstance(r, dict) or "label" not in r or type(r.get("fps")) is not int:
                raise BadInput("%s line %d has no label or no whole-number fps" % (path, n))
            rows.append(r)
    return rows


def spread(xs):
    """(median, min, max) of the numbers in xs, None when there are none."""
    xs = [x for x in xs if x is not None]
    if any(type(x) not in (int, float) for x in xs):
        raise BadInput("not a number among %r" % xs)
    if not xs:
        return None
    return statistics.median(xs), min(xs), max(xs)


def run_figures(thr, lat):
    """{(label, fps): {"cpu": spread, "runs": n, "lat": spread, "flips": n}} from the records of one
    side-by-side run. Failed throughput runs count for nothing; latency flips are pooled over runs,
    the ones the probe missed (null) left out."""
    out = {}
    for label, fps in {(r["label"], r["fps"]) for r in thr + (lat or [])}:
        ok = [r.get("server_ms_per_frame") for r in thr
              if r["label"] == label and r["fps"] == fps and r.get("ok")]
        flips = [x for r in (lat or []) if r["label"] == label and r["fps"] == fps
                 for x in (r.get("latencies_ms") or []) if x is not None]
        out[(label, fps)] = {"cpu": spread(ok), "runs": len([x for x in ok if x is not None]),
                             "lat": spread(flips), "flips": len(flips)}
    return out


def read_contenders(path):
    """Rows of the contenders CSV as dicts, numbers parsed, empty cells None."""
    if not os.path.isfile(path):
        raise BadInput("no contenders file %s" % path)
    rows = []
    with open(path, newline="") as f:
        reader = csv.DictReader(f)
        need = {"contender", "fps", "ms_cpu_per_frame", "latency_ms", "source"}
        if not reader.fieldnames or not need <= set(reader.fieldnames):
            raise BadInput("%s: needs the columns %s" % (path, ", ".join(sorted(need))))
        for n, r in enumerate(reader, 2):
            try:
                rows.append({"contender": r["contender"].strip(), "fps": int(r["fps"]),
                             "cpu": float(r["ms_cpu_per_frame"]) if r["ms_cpu_per_frame"].strip() else None,
                             "lat": float(r["latency_ms"]) if r["latency_ms"].strip() else None,
                             "source": r["source"] or ""})
            except (ValueError, AttributeError) as e:
                raise BadInput("%s line %d: %s" % (path, n, e))
    if not rows:
        raise BadInput("%s has no rows" % path)
    return rows


def run_time(res):
    """When the run started: the date line of env.txt, else the folder's modification time."""
    env = os.path.join(res, "env.txt")
    if os.path.exists(env):
        for line in open(env):
            if line.startswith("date:"):
                value = line.split(":", 1)[1].strip()
                try:
                    t = datetime.datetime.fromisoformat(value)
                except ValueError:
                    return value
                if t.utcoffset() == datetime.timedelta(0):
                    return t.strftime("%Y-%m-%d %H:%M UTC")
                return t.strftime("%Y-%m-%d %H:%M %z").rstrip()
    t = datetime.datetime.fromtimestamp(os.path.getmtime(res), datetime.timezone.utc)
    return t.strftime("%Y-%m-%d %H:%M UTC (folder time)")


def load(res, contenders_csv):
    if not os.path.isdir(res):
        raise BadInput("no result folder %s" % res)
    tpath = os.path.join(res, "throughput.jsonl")
    if not os.path.exists(tpath):
        raise BadInput("%s: no throughput.jsonl (not a side_by_side.sh result folder?)" % res)
    thr = read_jsonl(tpath)
    if not thr:
        raise BadInput("%s is empty" % tpath)
    lpath = os.path.join(res, "latency.jsonl")
    lat = read_jsonl(lpath) if os.path.exists(lpath) else None
    if lat == []:
        print("chart.py: %s is empty; latency shown as not measured" % lpath, file=sys.stderr)
        lat = None
    figs = run_figures(thr, lat)
    if not any(f["cpu"] for f in figs.values()):
        raise BadInput("%s has no successful run" % tpath)
    clients = sorted({str(r["client_kind"]) for r in thr if r.get("client_kind")})
    sizes = sorted({str(r["size"]) for r in thr if r.get("size")})
    return figs, lat is not None, clients, sizes, read_contenders(contenders_csv)


def use_system_python():
    """A python of its own (pyenv, venv) does not see Debian's python3-matplotlib: run this script
    again with the system one, once, before anything is read or printed."""
    if importlib.util.find_spec("matplotlib"):
        return
    deb = "/usr/bin/python3"
    if (os.path.exists(deb) and not os.environ.get("VT_CHART_REEXEC")
            and os.path.realpath(sys.executable) != os.path.realpath(deb)):
        os.environ["VT_CHART_REEXEC"] = "1"
        os.execv(deb, [deb] + sys.argv)


def pyplot():
    try:
        import matplotlib
    except ImportError:
        sys.exit("chart.py: matplotlib is missing: apt-get install python3-matplotlib "
                 "(Debian's, for /usr/bin/python3)")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def draw(figs, measured_latency, clients, sizes, peers, peers_path, res, out):
    plt = pyplot()
    from matplotlib.lines import Line2D
    from matplotlib.ticker import FixedLocator, NullFormatter, NullLocator
    fpss = sorted({fps for _, fps in figs})
    m = re.search(r"(\d{4}-\d\d-\d\d)T(\d\d:\d\d)", " ".join(p["source"] for p in peers))
    peer_tag = " (peers' pass, %s)" % m.group(2) if m else " (peers' pass)"

    # One series per contender: (name, colour, hatch, {fps: (cpu spread, lat spread)}).
    series = []
    for label, name, colour in SAME_RUN:
        vals = {fps: (f["cpu"], f["lat"]) for (lb, fps), f in figs.items() if lb == label}
        if vals:
            series.append((name, colour, None, vals))
    for key in dict.fromkeys(p["contender"] for p in peers if p["contender"] != FLOOR):
        vals = {p["fps"]: (p["cpu"] and (p["cpu"],) * 3, p["lat"] and (p["lat"],) * 3)
                for p in peers if p["contender"] == key}
        colour = PEER_COLOURS[(len(series) - len(SAME_RUN)) % len(PEER_COLOURS)]
        series.append((PEER_NAMES.get(key, key) + peer_tag, colour, "//", vals))
    floor = {p["fps"]: p["cpu"] for p in peers if p["contender"] == FLOOR and p["cpu"]}

    fig, (ax_cpu, ax_lat) = plt.subplots(1, 2, figsize=(16, 8))
    handles = {}

    def bars(ax, which, log):
        shown = [s for s in series if any(v[which] for v in s[3].values())]
        width = 0.84 / max(len(shown), 1)
        for i, (name, colour, hatch, vals) in enumerate(shown):
            for g, fps in enumerate(fpss):
                v = vals.get(fps, (None, None))[which]
                if not v:
                    continue
                x = g - 0.42 + width * (i + 0.5)
                med, lo, hi = v
                err = [[med - lo], [hi - med]] if hatch is None else None
                b = ax.bar(x, med, width * 0.92, color=colour, hatch=hatch, edgecolor="#444444",
                           linewidth=0.6, yerr=err, capsize=3, error_kw={"elinewidth": 1})
                handles.setdefault(name, b)
                top = hi * 1.06 if log else hi + 0.3
                # Same precision as summary.md for this run's figures; the peers' as they were given.
                text = "%.0f" % med if log else "%g" % med if hatch else "%.2f" % med
                ax.text(x, top, text, ha="center", va="bottom", fontsize=8.5)
        ax.set_xticks(range(len(fpss)))
        ax.set_xticklabels(["%d fps" % f for f in fpss], fontsize=11)
        ax.set_xlim(-0.5, len(fpss) - 0.5)
        ax.grid(axis="y", alpha=0.3)
        ax.set_axisbelow(True)

    bars(ax_cpu, 0, False)
    ax_cpu.set_ylim(0, ax_cpu.get_ylim()[1] * 1.1)
    ax_cpu.axhline(TARGET_MS, color="#c0392b", linestyle="--", linewidth=1.3)
    for g, fps in enumerate(fpss):
        if fps in floor:
            ax_cpu.hlines(floor[fps], g - 0.45, g + 0.45, colors="#222222", linestyles=":",
                          linewidth=1.8)
    lines = [Line2D([], [], color="#c0392b", linestyle="--", linewidth=1.3),
             Line2D([], [], color="#222222", linestyle=":", linewidth=1.8)]
    floor_ms = "/".join("%g" % v for v in dict.fromkeys(floor.values()))
    ax_cpu.legend(lines, ["target %g ms" % TARGET_MS,
                          "x264 alone \u2248%s ms%s" % (floor_ms, peer_tag)][:1 + bool(floor)],
                  loc="upper left", fontsize=9, framealpha=0.9)
    ax_cpu.set_ylabel("server CPU ms per delivered frame")
    ax_cpu.set_title("(a) server CPU per delivered frame (lower is better)", fontsize=12)

    ax_lat.set_yscale("log")
    bars(ax_lat, 1, True)
    lo, hi = ax_lat.get_ylim()
    ax_lat.set_ylim(min(lo, 10), hi * (1.6 if measured_latency else 4))  # room for the note
    lo, hi = ax_lat.get_ylim()
    ax_lat.yaxis.set_major_locator(FixedLocator(
        [t for t in (5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000) if lo <= t <= hi]))
    ax_lat.yaxis.set_major_formatter("{x:g}")
    ax_lat.yaxis.set_minor_locator(NullLocator())
    ax_lat.yaxis.set_minor_formatter(NullFormatter())
    ax_lat.set_ylabel("glass-to-glass latency, ms (log scale)")
    ax_lat.set_title("(b) glass-to-glass latency (lower is better)", fontsize=12)
    if not measured_latency:
        ax_lat.text(0.03, 0.97, "Vistrel and GStreamer RTSP server:\nnot measured in this run",
                    ha="left", va="top", transform=ax_lat.transAxes, fontsize=10, style="italic",
                    bbox={"facecolor": "#fff4d6", "edgecolor": "#c8a24a", "pad": 4})

    runs = sorted({f["runs"] for f in figs.values() if f["cpu"]})
    flips = sorted({f["flips"] for f in figs.values() if f["lat"]})
    fig.suptitle("Vistrel and contenders%s \u2014 side-by-side run of %s" % (
        " at " + "/".join(sizes) if sizes else "", run_time(res)), fontsize=14)
    same = [n for n, _, h, _ in series if h is None and n in handles]
    other = [n for n, _, h, _ in series if h is not None and n in handles]
    leg = fig.legend([handles[n] for n in same], same, loc="lower right", fontsize=9.5,
                     bbox_to_anchor=(0.37, 0.075), title="measured together in this run (solid)",
                     title_fontsize=9.5)
    fig.add_artist(leg)
    fig.legend([handles[n] for n in other], other, loc="lower left", ncol=2, fontsize=9.5,
               bbox_to_anchor=(0.39, 0.075), title_fontsize=9.5,
               title="peers' earlier pass%s (hatched)" % (", %s %s" % m.groups() if m else ""))
    latency = ("latency pooled over %s flip(s), gst probe" % ("/".join(map(str, flips)) or "0")
               if measured_latency else "latency not measured")
    note = ("Solid: %s, %s client, median of %s run(s) with min-max whiskers; %s.  "
            "Hatched: medians only, from %s.\nThe hatched figures were taken "
            "at another time under another load (figures moved between passes): compare solid with "
            "solid.  Latency includes up to one capture period (%s)." % (
                os.path.basename(os.path.normpath(os.path.abspath(res))), "/".join(clients) or "?",
                "/".join(map(str, runs)) or "0", latency, os.path.basename(peers_path),
                ", ".join("%.0f ms at %d fps" % (1000 / f, f) for f in fpss if f > 0)))
    fig.text(0.5, 0.012, note, ha="center", va="bottom", fontsize=8.5, color="#333333")
    fig.tight_layout(rect=(0, 0.2, 1, 0.96))
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    fig.savefig(out, dpi=110)


def draw_sets(res, out):
    sys.path.insert(0, os.path.join(HERE, "peers", "lib"))
    import summary
    ratios = summary.set_ratios(res)
    if not ratios:
        raise BadInput("%s: no still, fanout or load run with both servers" % res)
    plt = pyplot()
    fig, ax = plt.subplots(figsize=(9, 0.32 * len(ratios) + 1.6))
    names = ["%s %s: %s" % r[:3] for r in ratios]
    ys = range(len(ratios))
    ax.barh(ys, [r[3] for r in ratios], color=SAME_RUN[0][2])
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_yticks(list(ys), names, fontsize=8)
    ax.invert_yaxis()
    for y, r in zip(ys, ratios):
        ax.text(r[3], y, " %.2f" % r[3], va="center", fontsize=7)
    ax.set_xlabel("Vistrel / GStreamer RTSP server, medians over runs\n"
                  "(CPU: below 1 is less; fps and share of frames: 1 is as many)", fontsize=8)
    ax.set_title("Still, fanout and load sets, %s" % run_time(res), fontsize=10)
    fig.tight_layout()
    fig.savefig(out, dpi=110)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("resdir")
    ap.add_argument("--contenders", default=DEFAULT_CSV)
    ap.add_argument("--out", default=DEFAULT_OUT)
    ap.add_argument("--sets-out", default=None)
    a = ap.parse_args()
    use_system_python()
    if a.sets_out:
        try:
            draw_sets(a.resdir, a.sets_out)
        except (BadInput, OSError, ValueError, KeyError) as e:
            print("chart.py: %s" % e, file=sys.stderr)
            return 2
        print(os.path.normpath(a.sets_out))
        return 0
    try:
        figs, measured_latency, clients, sizes, peers = load(a.resdir, a.contenders)
    except (BadInput, OSError, UnicodeDecodeError) as e:
        print("chart.py: %s" % e, file=sys.stderr)
        return 2
    try:
        draw(figs, measured_latency, clients, sizes, peers, a.contenders, a.resdir, a.out)
    except OSError as e:
        print("chart.py: cannot write %s: %s" % (a.out, e), file=sys.stderr)
        return 1
    print(os.path.normpath(a.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
