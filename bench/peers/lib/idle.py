#!/usr/bin/env python3
"""A server with no clients: CPU of its process tree over a window, and whether the X server
works for it meanwhile (a capture loop shows up as X server CPU above the no-capture baseline).

  idle.py --server-cmd CMD --display :N --fps F --window 20 --out FILE [--also-pid xvfb:PID]
Tokens {DISPLAY} {PORT} {FPS} {WIDTH} {HEIGHT} are filled as in measure.py. Only a TCP
connect-and-close probes readiness: no RTSP request, so no session is ever opened.
"""
import argparse
import json
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import measure  # noqa: E402
import procstat  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--label", default="idle")
    ap.add_argument("--server-cmd", required=True)
    ap.add_argument("--display", required=True)
    ap.add_argument("--size", default="1920x1080")
    ap.add_argument("--fps", type=int, default=8)
    ap.add_argument("--settle", type=float, default=3)
    ap.add_argument("--window", type=float, default=20)
    ap.add_argument("--out", required=True)
    ap.add_argument("--logdir", default="/tmp/bench-logs")
    ap.add_argument("--also-pid", action="append", default=[])
    a = ap.parse_args()
    os.makedirs(a.logdir, exist_ok=True)
    w, h = a.size.lower().split("x")
    port = measure.free_port()
    env = {"DISPLAY": a.display, "PORT": port, "FPS": a.fps, "WIDTH": w, "HEIGHT": h,
           "SIZE": a.size, "KIT": measure.KIT, "LOGDIR": a.logdir, "PROGRESS": "/dev/null"}
    cmd = measure.subst(a.server_cmd, env)
    rec = {"label": a.label, "fps": a.fps, "size": a.size, "clients": 0, "server_cmd": cmd,
           "window_s": a.window, "ok": False, "error": ""}
    slog = open(os.path.join(a.logdir, "%s-f%d.idle.server.log" % (a.label, a.fps)), "w")
    server = subprocess.Popen(["bash", "-c", cmd], stdout=slog, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL, start_new_session=True,
                              env=dict(os.environ, DISPLAY=a.display))
    try:
        alive = lambda: server.poll() is None  # noqa: E731
        if not measure.wait_port("127.0.0.1", port, 20, alive):
            raise RuntimeError("server not listening on 127.0.0.1:%d" % port)
        time.sleep(a.settle)
        roots = [server.pid]
        s0, o0, sys0, t0 = (procstat.tree_cpu_s(roots), measure.other_cpu(a.also_pid),
                            procstat.system_ticks(), time.monotonic())
        th0 = procstat.thread_ticks(roots)
        time.sleep(a.window)
        s1, o1, sys1, t1 = (procstat.tree_cpu_s(roots), measure.other_cpu(a.also_pid),
                            procstat.system_ticks(), time.monotonic())
        th1 = procstat.thread_ticks(roots)
        rss, hwm, nthreads = procstat.tree_mem(roots)
        if not alive():
            raise RuntimeError("server exited during the window (rc=%s)" % server.poll())
        win = t1 - t0
        rec.update({"ok": True, "window_real_s": round(win, 3), "server_cpu_s": round(s1 - s0, 3),
                    "server_core_pct": round(100 * (s1 - s0) / win, 3),
                    "rss_mb": round(rss, 1), "hwm_mb": round(hwm, 1), "threads": nthreads,
                    "sysv_shm_maps": procstat.sysv_shm_maps(roots),
                    "other_cores": {k: round((o1[k] - o0[k]) / win, 4) for k in o0 if k in o1},
                    "box_busy": round((sys1[0] - sys0[0]) / max(1, sys1[1] - sys0[1]), 3),
                    "top_threads": procstat.top_threads(th0, th1, win)})
    except Exception as e:  # record the failure, never hang
        rec["error"] = str(e)
    finally:
        measure.stop_group(server, signal.SIGTERM, 5)
        slog.close()
    with open(a.out, "a") as f:
        f.write(json.dumps(rec) + "\n")
    print(json.dumps(rec), flush=True)
    return 0 if rec["ok"] else 1


if __name__ == "__main__":
    sys.exit(main())
