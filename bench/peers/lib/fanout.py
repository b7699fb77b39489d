#!/usr/bin/python3
"""What one more viewer costs a server: start it, let bench/RtspLoadClient.cpp (one process, one
epoll thread, RTP interleaved on TCP) watch it with 1 viewer and with N viewers in turn (1, N, 1,
..., N, 1: --rounds phases of N), each phase a warm-up and a window of its own, and append one JSON
line to --out.

  fanout.py --label L --server-cmd CMD --url URL --display :N --load-client PATH
            [--size WxH] [--fps 8] [--viewers 50] [--rounds 1] [--warmup S] [--window S]
            [--run K] [--out F] [--logdir D]

A server's CPU drifts over minutes with what the moving content asks of its encoder by as much as
many viewers add; each N phase is therefore set against the mean of the 1-viewer phases on both
sides of it, and the added cost per viewer is the median of those rounds.

CMD and URL take the tokens of measure.py. The server's CPU is read by the load client from
/proc/PID over its own window, PID being the started command, which is the whole server when the
command execs it (both contenders' commands do); a server that leaves more processes is recorded
as failed rather than undercounted. The viewers' own CPU is never in it.
Per viewer count: server cores, complete frames of the worst viewer / fps x window.
"""
import argparse
import json
import os
import subprocess
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import measure  # noqa: E402
import procstat  # noqa: E402


def parse_summary(text):
    """The fields of the load client's "summary k=v ..." line as a dict, None if it has none."""
    for line in text.splitlines():
        if line.startswith("summary "):
            return dict(f.split("=", 1) for f in line.split()[1:] if "=" in f)
    return None


def per_viewer_cores(one, many, viewers):
    """Server cores each viewer adds, from the cores with 1 and with `viewers` viewers."""
    if viewers < 2:
        raise ValueError("need at least 2 viewers to tell what one more costs")
    return (many - one) / (viewers - 1)


def rounds_per_viewer_cores(ones, manys, viewers):
    """Median over rounds of the cores each viewer adds, each N phase against the mean of the
    1-viewer phases before and after it."""
    if len(ones) != len(manys) + 1 or not manys:
        raise ValueError("need one more 1-viewer phase than N phases")
    added = sorted(per_viewer_cores((ones[i] + ones[i + 1]) / 2, m, viewers)
                   for i, m in enumerate(manys))
    mid = len(added) // 2
    return added[mid] if len(added) % 2 else (added[mid - 1] + added[mid]) / 2


def phase(a, url, pid, viewers, tag):
    args = [a.load_client, "--url", url, "--tcp", str(viewers), "--fps", str(a.fps),
            "--warmup", str(a.warmup), "--seconds", str(a.window), "--watch-pid", str(pid),
            "--setup-limit", "60"]
    log = os.path.join(a.logdir, "%s-v%d.client.log" % (tag, viewers))  # the last phase's
    with open(log, "w") as f:
        c = subprocess.Popen(args, stdout=f, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                             start_new_session=True)
        try:
            # Halfway through, the server is serving: all of it must be the one watched process.
            time.sleep(min(a.warmup + a.window / 2, 60))
            members = procstat.tree([pid])
            rc = c.wait(timeout=a.warmup + a.window + 180)
        finally:
            measure.stop_group(c)
    text = open(log).read()
    s = parse_summary(text)
    if s is None:
        raise RuntimeError("load client with %d viewers gave no summary (rc %s): %s"
                           % (viewers, rc, text.strip()[-200:]))
    if s.get("all_playing") != "1":
        bad = [ln.strip() for ln in text.splitlines() if ln[:4].strip().isdigit()
               and not ln.rstrip().endswith("playing")]
        raise RuntimeError("with %d viewers, %d were not playing to the end, e.g. %s"
                           % (viewers, len(bad), bad[0] if bad else text.strip()[-200:]))
    if len(members) > 1:
        raise RuntimeError("server is %d processes; the load client watches only pid %d"
                           % (len(members), pid))
    return {"viewers": viewers, "server_cores": round(float(s["server_cpu_ms_per_s"]) / 1000, 4),
            "min_fraction": float(s["min_fraction"]), "frames_min": int(s["min"]),
            "frames_expected": float(s["expected"]), "all_playing": s.get("all_playing") == "1",
            "setup_s": float(s["setup_s"]), "client_cores": round(float(s["client_cpu_ms_per_s"]) / 1000, 4),
            "client_rc": rc}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--label", required=True)
    ap.add_argument("--server-cmd", required=True)
    ap.add_argument("--url", required=True)
    ap.add_argument("--display", required=True)
    ap.add_argument("--load-client", required=True)
    ap.add_argument("--size", default="1920x1080")
    ap.add_argument("--fps", type=int, default=8)
    ap.add_argument("--viewers", type=int, default=50)
    ap.add_argument("--rounds", type=int, default=1)
    ap.add_argument("--warmup", type=float, default=5)
    ap.add_argument("--window", type=float, default=15)
    ap.add_argument("--run", type=int, default=1)
    ap.add_argument("--out", required=True)
    ap.add_argument("--logdir", default="/tmp/peers-logs")
    a = ap.parse_args()
    if a.viewers < 2:
        ap.error("--viewers must be at least 2")
    if a.rounds < 1:
        ap.error("--rounds must be at least 1")
    os.makedirs(a.logdir, exist_ok=True)
    w, h = a.size.lower().split("x")
    port = measure.free_port()
    tag = "fanout-%s-f%d-r%d" % (a.label, a.fps, a.run)
    env = {"DISPLAY": a.display, "PORT": port, "FPS": a.fps, "WIDTH": w, "HEIGHT": h,
           "SIZE": a.size, "KIT": measure.KIT, "LOGDIR": a.logdir, "PROGRESS": "/dev/null"}
    cmd, url = measure.subst(a.server_cmd, env), measure.subst(a.url, env)
    rec = {"label": a.label, "fps": a.fps, "size": a.size, "run": a.run, "viewers": a.viewers,
           "rounds": a.rounds, "warmup_s": a.warmup, "window_s": a.window, "server_cmd": cmd, "ok": False, "error": ""}
    slog = open(os.path.join(a.logdir, tag + ".server.log"), "w")
    server = subprocess.Popen(["bash", "-c", cmd], stdout=slog, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL, start_new_session=True,
                              env=dict(os.environ, DISPLAY=a.display))
    try:
        alive = lambda: server.poll() is None  # noqa: E731
        u = urllib.parse.urlsplit(url)
        if not measure.wait_port(u.hostname, u.port, 20, alive):
            raise RuntimeError("server not listening on %s:%s" % (u.hostname, u.port))
        code, sdp = measure.wait_describe(url, 20, alive)
        if code != 200:
            raise RuntimeError("DESCRIBE %s -> %s %s" % (url, code, sdp[:200]))
        # GStreamer's server takes down the media that probe prepared once its connection closes,
        # and answers 503 to a DESCRIBE that comes meanwhile.
        time.sleep(2)
        ones, manys = [phase(a, url, server.pid, 1, tag)], []
        for _ in range(a.rounds):
            time.sleep(1)
            manys.append(phase(a, url, server.pid, a.viewers, tag))
            time.sleep(1)
            ones.append(phase(a, url, server.pid, 1, tag))
        if not alive():
            raise RuntimeError("server exited (rc=%s)" % server.poll())
        cores = lambda ps: [p["server_cores"] for p in ps]  # noqa: E731
        # "one" and "many" are the phases with the median cores, so that a record of one round
        # reads as before.
        pick = lambda ps: sorted(ps, key=lambda p: p["server_cores"])[(len(ps) - 1) // 2]  # noqa: E731
        rec.update({"ok": True, "one": pick(ones), "many": pick(manys),
                    "one_cores": cores(ones), "many_cores": cores(manys),
                    "cores_per_viewer": round(rounds_per_viewer_cores(
                        cores(ones), cores(manys), a.viewers), 5),
                    "min_fraction": min(p["min_fraction"] for p in ones + manys)})
    except (RuntimeError, OSError, subprocess.TimeoutExpired, KeyError, ValueError) as e:
        rec["error"] = str(e)
    finally:
        measure.stop_group(server)
        slog.close()
    with open(a.out, "a") as f:
        f.write(json.dumps(rec) + "\n")
    print(json.dumps({k: rec.get(k) for k in ("label", "run", "ok", "error", "cores_per_viewer",
                                              "min_fraction", "one", "many")}), flush=True)
    return 0 if rec["ok"] else 1


if __name__ == "__main__":
    sys.exit(main())
