#!/usr/bin/python3
"""One measurement run of a "server under test": start it, attach clients,
wait a warm-up, then measure a fixed window; append one JSON line to --out.

The server is pluggable: --server-cmd is a shell command line (run with
bash -c in its own session) in which these tokens are replaced:
  {DISPLAY} {PORT} {FPS} {WIDTH} {HEIGHT} {SIZE} {PROGRESS} {KIT} {LOGDIR}
--url is the RTSP URL (same tokens).  What is measured:
  --measure tree          (default) the started command and all descendants
  --measure pidfile:PATH  the process whose pid the command writes to PATH
                          (and its descendants) - for servers that daemonize
Clients (--client): ffmpeg (decode to null), ffmpeg-copy (-c copy, cheap),
gst (rtspsrc ! rtph264depay ! avdec_h264 ! fakesink), gst-nodecode, none
(no client: frames come from the server writing ffmpeg-style progress to
{PROGRESS}, e.g. `ffmpeg ... -progress {PROGRESS}`).
"""
import argparse
import json
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import picture  # noqa: E402
import procstat  # noqa: E402

KIT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FRAME_RE = re.compile(r"^frame=\s*(\d+)", re.M)
SIZE_RE = re.compile(r"^total_size=\s*(\d+)", re.M)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    p = s.getsockname()[1]
    s.close()
    return p


def subst(tmpl, env):
    for k, v in env.items():
        tmpl = tmpl.replace("{%s}" % k, str(v))
    return tmpl


def read_progress(path):
    """(frames, bytes) = last frame= and total_size= values of an ffmpeg
    -progress style file; None for what is not there yet."""
    try:
        with open(path) as f:
            txt = f.read()
    except OSError:
        return None, None
    m = FRAME_RE.findall(txt)
    b = SIZE_RE.findall(txt)
    return (int(m[-1]) if m else None), (int(b[-1]) if b else None)


def read_frames(path):
    return read_progress(path)[0]


def rtsp_describe(url, timeout=2.0):
    """(status_code, sdp_text) of one RTSP DESCRIBE; (None, error) on failure."""
    u = urllib.parse.urlsplit(url)
    try:
        with socket.create_connection((u.hostname, u.port or 554), timeout=timeout) as s:
            s.sendall(("DESCRIBE %s RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n"
                       "User-Agent: peers-kit\r\n\r\n" % url).encode())
            data = b""
            end = time.monotonic() + timeout
            while time.monotonic() < end:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
                head, sep, body = data.partition(b"\r\n\r\n")
                if sep:
                    m = re.search(rb"(?im)^content-length:\s*(\d+)", head)
                    if len(body) >= (int(m.group(1)) if m else 0):
                        break
        line = data.split(b"\r\n", 1)[0].decode("latin-1")
        parts = line.split()
        code = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else None
        return code, data.partition(b"\r\n\r\n")[2].decode("latin-1")
    except OSError as e:
        return None, str(e)


def wait_describe(url, timeout, alive):
    """Retry DESCRIBE until 200 (VLC answers 500 until its encoder has output)."""
    end = time.monotonic() + timeout
    last = (None, "")
    while time.monotonic() < end and alive():
        last = rtsp_describe(url)
        if last[0] == 200:
            return last
        time.sleep(0.3)
    return last


def wait_port(host, port, timeout, alive):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if not alive():
            return False
        try:
            with socket.create_connection((host, port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.1)
    return False


def stop_group(proc, sig=signal.SIGTERM, grace=5.0):
    """End a process group we started (pgid == proc.pid), by id."""
    if proc.poll() is not None:
        return
    try:
        os.killpg(proc.pid, sig)
    except ProcessLookupError:
        return
    try:
        proc.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait(timeout=5)


def client_cmd(kind, url, transport, progress):
    if kind in ("ffmpeg", "ffmpeg-copy"):
        # Output 0 copies the H.264 to /dev/null so that progress "total_size"
        # is the delivered bitstream size; the decoding client adds a null output.
        c = ["ffmpeg", "-hide_banner", "-nostdin", "-nostats", "-loglevel", "error",
             "-rtsp_transport", transport, "-i", url,
             "-map", "0:v:0", "-c:v", "copy", "-f", "h264", "-y", "/dev/null"]
        if kind == "ffmpeg":
            c += ["-map", "0:v:0", "-f", "null", "-"]
        return c + ["-progress", progress, "-stats_period", "0.1"]
    if kind in ("gst", "gst-nodecode"):
        c = ["/usr/bin/python3", os.path.join(KIT, "lib", "gst_count.py"), "--rtsp", url,
             "--transport", transport, "--progress", progress]
        return c + (["--no-decode"] if kind == "gst-nodecode" else [])
    raise ValueError("unknown client kind " + kind)


def other_cpu(named_pids):
    """{name: cpu_s} for --also-pid NAME:PID processes (e.g. the X server)."""
    out = {}
    for named in named_pids:
        name, _, pid = named.rpartition(":")
        try:
            out[name or pid] = procstat.tree_cpu_s([int(pid)])
        except (ValueError, OSError):
            pass
    return out


class Sampler(threading.Thread):
    """Samples tree RSS every `period` s; keeps the peak."""

    def __init__(self, roots_fn, period=0.25):
        super().__init__(daemon=True)
        self.roots_fn, self.period = roots_fn, period
        self.peak_rss = 0.0
        self.halt = threading.Event()

    def run(self):
        while not self.halt.is_set():
            try:
                rss, _, _ = procstat.tree_mem(self.roots_fn())
                self.peak_rss = max(self.peak_rss, rss)
            except Exception:  # a process vanishing mid-read is fine
                pass
            self.halt.wait(self.period)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--label", required=True)
    ap.add_argument("--peer", required=True)
    ap.add_argument("--server-cmd", required=True)
    ap.add_argument("--url", default="")
    ap.add_argument("--measure", default="tree")
    ap.add_argument("--display", required=True)
    ap.add_argument("--size", default="1920x1080")
    ap.add_argument("--fps", type=int, default=8)
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--clients", type=int, default=1)
    ap.add_argument("--client", default="ffmpeg")
    ap.add_argument("--transport", default="tcp")
    ap.add_argument("--warmup", type=float, default=5)
    ap.add_argument("--window", type=float, default=20)
    ap.add_argument("--run", type=int, default=1)
    ap.add_argument("--stagger", type=float, default=0.05, help="s between client starts")
    ap.add_argument("--ready-timeout", type=float, default=20)
    ap.add_argument("--settle", type=float, default=0, help="s to wait after DESCRIBE succeeded")
    ap.add_argument("--out", required=True)
    ap.add_argument("--logdir", default="/tmp/peers-logs")
    ap.add_argument("--note", default="")
    ap.add_argument("--picture-check", action="store_true",
                    help="after the window, compare the screen with pictures decoded from the "
                         "stream (bench/peers/lib/picture.py; for a still screen)")
    ap.add_argument("--also-pid", action="append", default=[],
                    help="NAME:PID of another process whose CPU to record (e.g. xvfb:1234)")
    a = ap.parse_args()

    os.makedirs(a.logdir, exist_ok=True)
    w, h = a.size.lower().split("x")
    port = a.port or free_port()
    tag = "%s-f%d-c%d-r%d" % (a.label, a.fps, a.clients, a.run)
    env = {"DISPLAY": a.display, "PORT": port, "FPS": a.fps, "WIDTH": w, "HEIGHT": h,
           "SIZE": a.size, "PROGRESS": os.path.join(a.logdir, tag + ".server.progress"),
           "KIT": KIT, "LOGDIR": a.logdir}
    for f in (env["PROGRESS"],):
        if os.path.exists(f):
            os.remove(f)
    cmd = subst(a.server_cmd, env)
    url = subst(a.url, env)
    rec = {"label": a.label, "peer": a.peer, "fps": a.fps, "size": a.size, "clients": a.clients,
           "client_kind": a.client, "transport": a.transport, "run": a.run,
           "warmup_s": a.warmup, "window_s": a.window, "server_cmd": cmd, "url": url,
           "note": a.note, "ok": False, "error": ""}

    slog = open(os.path.join(a.logdir, tag + ".server.log"), "w")
    child_env = dict(os.environ, DISPLAY=a.display)
    server = subprocess.Popen(["bash", "-c", cmd], stdout=slog, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL, start_new_session=True, env=child_env)

    def server_roots():
        if a.measure.startswith("pidfile:"):
            try:
                with open(a.measure[8:]) as f:
                    return [int(f.read().split()[0])]
            except (OSError, ValueError, IndexError):
                return []
        return [server.pid]

    clients, cprog = [], []
    sampler = Sampler(server_roots)
    try:
        alive = lambda: server.poll() is None  # noqa: E731
        if url:
            u = urllib.parse.urlsplit(url)
            if not wait_port(u.hostname, u.port or 554, a.ready_timeout, alive):
                raise RuntimeError("server not listening on %s:%s" % (u.hostname, u.port))
            code, sdp = wait_describe(url, a.ready_timeout, alive)
            if code != 200:
                raise RuntimeError("DESCRIBE %s -> %s %s" % (url, code, sdp[:200]))
            rec["sdp_fmtp"] = [ln.strip() for ln in sdp.splitlines() if ln.startswith("a=fmtp")]
            if a.settle:
                time.sleep(a.settle)
        else:
            time.sleep(0.5)
        sampler.start()
        t_start = time.monotonic()
        if a.client != "none":
            for i in range(a.clients):
                pf = os.path.join(a.logdir, "%s.client%02d.progress" % (tag, i))
                if os.path.exists(pf):
                    os.remove(pf)
                cl = open(os.path.join(a.logdir, "%s.client%02d.log" % (tag, i)), "w")
                clients.append(subprocess.Popen(client_cmd(a.client, url, a.transport, pf),
                                                stdout=cl, stderr=subprocess.STDOUT,
                                                stdin=subprocess.DEVNULL, start_new_session=True))
                cprog.append(pf)
                if a.stagger:
                    time.sleep(a.stagger)
        else:
            cprog = [env["PROGRESS"]]
        # first-frame times (0.1 s resolution, progress files update every 0.5 s)
        # Warm-up: at least --warmup s, and until every client has had frames
        # for 1 s (an ffmpeg client probes ~5 s at 8 fps before it outputs
        # anything, then flushes its probe buffer at once), at most
        # --warmup + --ready-timeout.
        first = [None] * len(cprog)
        t_min, t_max = time.monotonic() + a.warmup, time.monotonic() + a.warmup + a.ready_timeout
        while True:
            now = time.monotonic()
            for i, pf in enumerate(cprog):
                if first[i] is None and (read_frames(pf) or 0) > 0:
                    first[i] = now - t_start
            all_in = all(x is not None for x in first)
            if now >= t_max or (now >= t_min and all_in and now - t_start >= max(first) + 1.0):
                break
            time.sleep(0.1)
        rec["warmup_real_s"] = round(time.monotonic() - t_start, 1)
        if not alive():
            raise RuntimeError("server exited during warm-up (rc=%s)" % server.poll())
        croots = [c.pid for c in clients]

        p0 = [read_progress(p) for p in cprog]
        s0, c0, th0 = procstat.tree_cpu_s(server_roots()), procstat.tree_cpu_s(croots), procstat.thread_ticks(server_roots())
        others0 = other_cpu(a.also_pid)
        sys0, t0 = procstat.system_ticks(), time.monotonic()
        sampler.peak_rss = 0.0  # peak over the window only (startup excluded)
        time.sleep(a.window)
        p1 = [read_progress(p) for p in cprog]
        s1, c1, th1 = procstat.tree_cpu_s(server_roots()), procstat.tree_cpu_s(croots), procstat.thread_ticks(server_roots())
        others1 = other_cpu(a.also_pid)
        sys1, t1 = procstat.system_ticks(), time.monotonic()
        rss, hwm, nthreads = procstat.tree_mem(server_roots())
        rec["sysv_shm_maps"] = procstat.sysv_shm_maps(server_roots())
        if not alive() and a.measure == "tree":
            raise RuntimeError("server exited during window (rc=%s)" % server.poll())

        win = t1 - t0
        frames = [(b[0] - (x[0] or 0)) if b[0] is not None else 0 for x, b in zip(p0, p1)]
        nbytes = [(b[1] - (x[1] or 0)) for x, b in zip(p0, p1) if b[1] is not None]
        fmed = statistics.median(frames) if frames else 0
        cpu = s1 - s0
        rec.update({
            "ok": True, "port": port, "window_real_s": round(win, 3),
            "server_cpu_s": round(cpu, 3), "server_cores": round(cpu / win, 4),
            "server_ms_per_frame": round(1000 * cpu / fmed, 2) if fmed else None,
            "server_peak_rss_mb": round(max(sampler.peak_rss, rss), 1),
            "server_hwm_mb": round(hwm, 1), "server_threads": nthreads,
            "frames": frames, "frames_med": fmed, "frames_min": min(frames) if frames else 0,
            "fps_delivered": round(fmed / win, 2),
            "kbps_med": round(8 * statistics.median(nbytes) / win / 1000, 1) if nbytes else None,
            "clients_receiving": sum(1 for x in frames if x > 0),
            "first_frame_s_med": round(statistics.median(x for x in first if x is not None), 1)
            if any(x is not None for x in first) else None,
            "first_frame_s_max": max((x for x in first if x is not None), default=None),
            "other_cores": {k: round((others1[k] - others0[k]) / win, 4) for k in others0 if k in others1},
            "client_cpu_s": round(c1 - c0, 3), "client_cores": round((c1 - c0) / win, 4),
            "box_busy": round((sys1[0] - sys0[0]) / max(1, sys1[1] - sys0[1]), 3),
            "top_threads": procstat.top_threads(th0, th1, win),
        })
        if a.picture_check:
            # After the window, so that the extra decoding viewer costs the server nothing measured.
            try:
                rec.update(picture.check(a.display, a.size, url, a.fps, os.path.join(a.logdir, tag)))
            except (RuntimeError, OSError, subprocess.TimeoutExpired) as e:
                rec["picture_error"] = str(e)[:300]
    except Exception as e:  # record the failure, never hang
        rec["error"] = str(e)
    finally:
        sampler.halt.set()
        for c in clients:
            stop_group(c, signal.SIGTERM, 3)
        stop_group(server, signal.SIGTERM, 5)
        slog.close()
    with open(a.out, "a") as f:
        f.write(json.dumps(rec) + "\n")
    short = {k: rec.get(k) for k in ("label", "fps", "clients", "run", "ok", "error", "server_cores",
                                     "server_ms_per_frame", "server_peak_rss_mb", "frames_med",
                                     "frames_min", "kbps_med", "first_frame_s_med", "warmup_real_s", "other_cores", "client_cores", "box_busy", "top_threads",
                                     "psnr_first_db", "psnr_last_db", "picture_error")}
    print(json.dumps(short), flush=True)
    return 0 if rec["ok"] else 1


if __name__ == "__main__":
    sys.exit(main())
