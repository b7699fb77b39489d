#!/usr/bin/env python3
"""How long a new client waits after PLAY for a picture it can show.

  first_frame.py --label L --server-cmd CMD --display :N --fps F --out FILE
                 [--url rtsp://127.0.0.1:{PORT}/live] [--size WxH] [--probes 5] [--gap 2]
                 [--jitter 3.5] [--modes cold,warm] [--read-timeout 5] [--probe-timeout 15]
                 [--logdir DIR]

Tokens {DISPLAY} {PORT} {FPS} {WIDTH} {HEIGHT} are filled as in measure.py. Per mode the server is
started afresh (own session, SIGTERM then SIGKILL after 5 s), and once DESCRIBE answers 200 the
probes run one after another, each on a fresh TCP connection: OPTIONS, DESCRIBE, SETUP (RTP over
the RTSP connection, interleaved=0-1) to the video track's control URL, PLAY; then TEARDOWN.
Per probe, in ms from the moment PLAY went out (time.monotonic): the PLAY answer, the first RTP
packet, and the packet with the marker bit that ends the first access unit holding an IDR slice
which arrived whole (from its first slice on, no sequence gap, parameter sets known from the SDP
or seen in-band). Pictures before the first IDR are counted, never taken: nothing can decode them.
The same end is also timed from the TCP connect (open_to_first_idr_complete): the GStreamer
server builds its pipeline at DESCRIBE and has a picture waiting when PLAY comes.
Modes:
  cold  nothing else is connected; --gap s before each probe lets the server go idle again
        (Vistrel stops capturing without clients, the GStreamer server tears its shared
        pipeline down);
  warm  one background client (ffmpeg -rtsp_transport tcp -i URL -c copy -f null -) is receiving
        before the first probe and stays on, so the server is capturing and encoding already;
        the pause before each probe is random (--jitter) so the probes fall anywhere in the
        server's key-frame cadence.
A probe that fails or times out (--read-timeout per socket read, --probe-timeout from PLAY) keeps
null times and its reason. One JSON line per server run (= per mode) is appended to --out.
"""
import argparse
import base64
import json
import os
import random
import re
import signal
import socket
import statistics
import subprocess
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import measure  # noqa: E402

NAL_SLICE, NAL_IDR, NAL_SPS, NAL_PPS, NAL_STAP_A, NAL_FU_A = 1, 5, 7, 8, 24, 28
USER_AGENT = "vistrel-bench-first-frame"


class ProbeError(Exception):
    """A probe that cannot go on; its message is what the record keeps as the reason."""


# ---------------------------------------------------------------- RTP / H.264 (RFC 3550, 6184)

def rtp_fields(pkt):
    """(marker, seq, timestamp, payload) of one RTP packet; None if it is not one."""
    if len(pkt) < 12 or pkt[0] >> 6 != 2:
        return None
    cc, has_ext, has_pad = pkt[0] & 0x0F, pkt[0] & 0x10, pkt[0] & 0x20
    off = 12 + 4 * cc
    if has_ext:
        if len(pkt) < off + 4:
            return None
        off += 4 + 4 * int.from_bytes(pkt[off + 2:off + 4], "big")
    end = len(pkt)
    if has_pad:
        end -= pkt[-1]
    if off >= end:
        return None
    return (bool(pkt[1] & 0x80), int.from_bytes(pkt[2:4], "big"), int.from_bytes(pkt[4:8], "big"),
            pkt[off:end])


def payload_nals(payload):
    """The NAL units (or NAL unit pieces) one H.264 RTP payload carries, as tuples
    (type, starts, ends, first_data_byte): first_data_byte is the byte after the NAL header when
    this piece holds it (the first bit of a slice tells first_mb_in_slice == 0), else None.
    Payload types this reader does not handle (STAP-B, MTAP, FU-B) give (type, False, False, None)
    so that the caller sees them as pieces it could not place."""
    kind = payload[0] & 0x1F
    if 1 <= kind <= 23:
        return [(kind, True, True, payload[1] if len(payload) > 1 else None)]
    if kind == NAL_STAP_A:
        out, i = [], 1
        while i + 2 <= len(payload):
            size = int.from_bytes(payload[i:i + 2], "big")
            nal = payload[i + 2:i + 2 + size]
            if size == 0 or len(nal) < size:
                break
            out.append((nal[0] & 0x1F, True, True, nal[1] if size > 1 else None))
            i += 2 + size
        return out
    if kind == NAL_FU_A:
        if len(payload) < 2:
            return [(0, False, False, None)]
        fu = payload[1]
        starts, ends = bool(fu & 0x80), bool(fu & 0x40)
        first = payload[2] if starts and len(payload) > 2 else None
        return [(fu & 0x1F, starts, ends, first)]
    return [(kind, False, False, None)]


def sprop_types(fmtp_value):
    """NAL types in an fmtp sprop-parameter-sets value (base64, comma separated)."""
    types = set()
    m = re.search(r"sprop-parameter-sets=([^;\s]+)", fmtp_value)
    if not m:
        return types
    for part in m.group(1).split(","):
        try:
            nal = base64.b64decode(part + "=" * (-len(part) % 4))
        except ValueError:
            continue
        if nal:
            types.add(nal[0] & 0x1F)
    return types


class FirstIdr:
    """Fed the RTP packets of one H.264 stream in arrival order; feed() is True for the packet
    that completes the first access unit holding an IDR slice which a decoder could show: every
    packet of it arrived (no sequence gap, no fragment without its start, its first slice starts
    the picture), the marker bit ends it, and SPS and PPS are known (from the SDP or in-band
    before or inside it). A marker ends an access unit, and so does a new RTP timestamp (a server
    that leaves the marker off still starts the next picture)."""

    def __init__(self, sps=False, pps=False):
        self.sps, self.pps = sps, pps
        self.done = False
        self.packets = 0
        self.first_nal_type = None
        self.non_idr_frames = 0      # pictures without IDR that ended before the first good IDR
        self.broken_idr_frames = 0   # IDR pictures that ended incomplete (joined mid-picture, gap)
        self.idr_without_params = 0  # IDR pictures that came before any SPS/PPS
        self.malformed = 0
        self.in_band = set()         # parameter set types that came in the stream itself
        self._last_seq = None
        self._open = False
        self._reset(None)

    def _reset(self, ts):
        self._ts, self._idr, self._vcl, self._whole, self._in_fu = ts, False, False, True, False

    def _close(self, marker):
        if self._vcl:
            if not self._idr:
                self.non_idr_frames += 1
            elif not (self._whole and marker and not self._in_fu):
                self.broken_idr_frames += 1
            elif not (self.sps and self.pps):
                self.idr_without_params += 1
            else:
                self.done = True
        self._open = False

    def feed(self, pkt):
        if self.done:
            return False
        self.packets += 1
        f = rtp_fields(pkt)
        if f is None:
            self.malformed += 1
            self._whole = False
            return False
        marker, seq, ts, payload = f
        gap = self._last_seq is not None and seq != (self._last_seq + 1) & 0xFFFF
        self._last_seq = seq
        if self._open and ts != self._ts:
            self._close(False)
        if not self._open:
            self._open = True
            self._reset(ts)
        if gap:
            self._whole = False
        for kind, starts, ends, first in payload_nals(payload):
            if self.first_nal_type is None:
                self.first_nal_type = kind
            if kind == NAL_SPS and starts:
                self.sps = True
                self.in_band.add(kind)
            elif kind == NAL_PPS and starts:
                self.pps = True
                self.in_band.add(kind)
            if not starts:
                # A continuation: whole only if its start came in this picture before it.
                if not self._in_fu:
                    self._whole = False
            elif NAL_SLICE <= kind <= NAL_IDR and not self._vcl:
                # The picture's first slice must start at macroblock 0 (ue(v) 0 is the bit "1"),
                # or the client joined in the middle of the picture.
                if first is None or not first & 0x80:
                    self._whole = False
            if NAL_SLICE <= kind <= NAL_IDR:
                self._vcl = True
                if kind == NAL_IDR:
                    self._idr = True
            self._in_fu = (starts or self._in_fu) and not ends
        if marker:
            self._close(True)
        return self.done


# ---------------------------------------------------------------- RTSP over one TCP connection

class Conn:
    """One RTSP connection carrying interleaved RTP: items in arrival order, each stamped with
    time.monotonic() of the recv() that delivered its last byte."""

    def __init__(self, host, port, read_timeout):
        self.read_timeout = read_timeout
        self.sock = socket.create_connection((host, port), timeout=read_timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = b""
        self.items = []
        self.cseq = 0
        self.closed = False

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def send(self, method, url, headers=()):
        self.cseq += 1
        lines = ["%s %s RTSP/1.0" % (method, url), "CSeq: %d" % self.cseq,
                 "User-Agent: " + USER_AGENT] + list(headers)
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        return self.cseq, time.monotonic()

    def _parse(self, t):
        while self.buf:
            if self.buf[:1] == b"$":
                if len(self.buf) < 4:
                    return
                n = int.from_bytes(self.buf[2:4], "big")
                if len(self.buf) < 4 + n:
                    return
                self.items.append(("data", self.buf[1], self.buf[4:4 + n], t))
                self.buf = self.buf[4 + n:]
                continue
            head, sep, rest = self.buf.partition(b"\r\n\r\n")
            if not sep:
                if len(self.buf) > 65536:
                    raise ProbeError("no end of an RTSP message in 64 KB")
                return
            m = re.search(rb"(?im)^content-length:\s*(\d+)", head)
            n = int(m.group(1)) if m else 0
            if len(rest) < n:
                return
            lines = head.decode("latin-1").split("\r\n")
            hdrs = {}
            for ln in lines[1:]:
                k, _, v = ln.partition(":")
                hdrs.setdefault(k.strip().lower(), v.strip())
            self.items.append(("rtsp", lines[0], hdrs, rest[:n].decode("latin-1"), t))
            self.buf = rest[n:]

    def next(self, deadline):
        """The next item; ProbeError when the connection ends or nothing comes in time."""
        while not self.items:
            if self.closed:
                raise ProbeError("server closed the connection")
            left = deadline - time.monotonic()
            if left <= 0:
                raise ProbeError("out of time")
            self.sock.settimeout(min(self.read_timeout, left))
            try:
                chunk = self.sock.recv(262144)
            except socket.timeout:
                raise ProbeError("no data for %.1f s" % self.read_timeout
                                 if left > self.read_timeout else "out of time")
            except OSError as e:
                raise ProbeError("recv: %s" % e)
            t = time.monotonic()
            if not chunk:
                self.closed = True
                continue
            self.buf += chunk
            self._parse(t)
        return self.items.pop(0)

    def answer(self, cseq, deadline, on_data=None):
        """(status, headers, body, t) of the answer to request cseq; data items on the way go to
        on_data(channel, payload, t)."""
        while True:
            item = self.next(deadline)
            if item[0] == "data":
                if on_data:
                    on_data(item[1], item[2], item[3])
                continue
            _, first, hdrs, body, t = item
            if not first.startswith("RTSP/"):
                continue  # a request from the server (e.g. GET_PARAMETER): not ours to time
            if hdrs.get("cseq", "").strip() != str(cseq):
                continue
            parts = first.split()
            return (int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else None), hdrs, body, t


def join_control(base, control):
    if not control or control == "*":
        return base
    if re.match(r"(?i)^rtsp[u]?://", control):
        return control
    return base + ("" if base.endswith("/") else "/") + control


def sdp_video(sdp):
    """(session-level a=control, the first video track's a=control, its a=fmtp line) of an SDP;
    None / "" where absent."""
    session_ctl, video_ctl, fmtp, section, seen_video = None, None, "", "session", False
    for ln in sdp.splitlines():
        ln = ln.strip()
        if ln.startswith("m="):
            section = "video" if ln.startswith("m=video") and not seen_video else "other"
            seen_video = seen_video or section == "video"
        elif ln.startswith("a=control:"):
            if section == "session":
                session_ctl = ln[len("a=control:"):]
            elif section == "video" and video_ctl is None:
                video_ctl = ln[len("a=control:"):]
        elif ln.startswith("a=fmtp:") and section == "video":
            fmtp = ln
    return session_ctl, video_ctl, fmtp


def ms(t, t0):
    return None if t is None else round(1000 * (t - t0), 2)


def probe(url, read_timeout, probe_timeout):
    """One new client; a dict of its times (ms after PLAY went out; None for what never came)
    and, when it stopped short, the reason. open_to_* count from the TCP connect instead: a server
    that starts its pipeline at DESCRIBE has its first picture ready before PLAY, so the time
    from PLAY alone would hide its start-up."""
    u = urllib.parse.urlsplit(url)
    r = {"play_to_answer": None, "play_to_first_packet": None, "play_to_first_idr_complete": None,
         "open_to_play": None, "open_to_first_idr_complete": None, "error": ""}
    t_open = time.monotonic()
    try:
        conn = Conn(u.hostname, u.port or 554, read_timeout)
    except OSError as e:
        r["error"] = "connect: %s" % e
        return r
    session, aggregate, stage = None, url, "OPTIONS"
    deadline = t_open + probe_timeout
    try:
        cseq, _ = conn.send("OPTIONS", url)
        code, _, _, _ = conn.answer(cseq, deadline)
        if code != 200:
            raise ProbeError("answer %s" % code)
        stage = "DESCRIBE"
        cseq, _ = conn.send("DESCRIBE", url, ["Accept: application/sdp"])
        code, hdrs, sdp, _ = conn.answer(cseq, deadline)
        if code != 200:
            raise ProbeError("answer %s" % code)
        base = hdrs.get("content-base") or hdrs.get("content-location") or url
        session_ctl, video_ctl, fmtp = sdp_video(sdp)
        if not re.search(r"(?m)^m=video", sdp):
            raise ProbeError("no video track in the SDP")
        track = join_control(base, video_ctl)
        in_sdp = sprop_types(fmtp)
        r["sdp_params"] = sorted(in_sdp & {NAL_SPS, NAL_PPS})
        stage = "SETUP"
        cseq, _ = conn.send("SETUP", track, ["Transport: RTP/AVP/TCP;unicast;interleaved=0-1"])
        code, hdrs, _, _ = conn.answer(cseq, deadline)
        if code != 200:
            raise ProbeError("answer %s for %s" % (code, track))
        session = hdrs.get("session", "").split(";")[0].strip()
        m = re.search(r"interleaved=(\d+)", hdrs.get("transport", ""))
        rtp_channel = int(m.group(1)) if m else 0
        tracker = FirstIdr(NAL_SPS in in_sdp, NAL_PPS in in_sdp)
        got = {"first": None, "idr": None}

        def on_data(channel, payload, t):
            if channel != rtp_channel:
                return
            if got["first"] is None:
                got["first"] = t
            if got["idr"] is None and tracker.feed(payload):
                got["idr"] = t

        aggregate, stage = join_control(base, session_ctl), "PLAY"
        cseq, t_play = conn.send("PLAY", aggregate, ["Session: " + session, "Range: npt=0.000-"])
        # The probe's own budget starts again at PLAY: what came before is not what is measured.
        deadline = t_play + probe_timeout
        try:
            code, _, _, t_answer = conn.answer(cseq, deadline, on_data)
            r["play_to_answer"] = ms(t_answer, t_play)
            if code != 200:
                raise ProbeError("answer %s" % code)
            stage = "first whole IDR picture"
            while got["idr"] is None:
                item = conn.next(deadline)
                if item[0] == "data":
                    on_data(item[1], item[2], item[3])
        finally:
            r["play_to_first_packet"] = ms(got["first"], t_play)
            r["play_to_first_idr_complete"] = ms(got["idr"], t_play)
            r["open_to_play"] = ms(t_play, t_open)
            r["open_to_first_idr_complete"] = ms(got["idr"], t_open)
            r.update({"packets_to_idr": tracker.packets, "first_nal_type": tracker.first_nal_type,
                      "non_idr_frames_before": tracker.non_idr_frames,
                      "broken_idr_frames": tracker.broken_idr_frames,
                      "idr_without_params": tracker.idr_without_params,
                      "params_in_band": sorted(tracker.in_band)})
    except ProbeError as e:
        r["error"] = "%s: %s" % (stage, e)
    except OSError as e:
        r["error"] = "%s: socket: %s" % (stage, e)
    finally:
        if session and not conn.closed:
            try:
                cseq, t = conn.send("TEARDOWN", aggregate, ["Session: " + session])
                conn.answer(cseq, t + min(2.0, read_timeout))
            except (ProbeError, OSError):
                pass  # the server forgets the session when the connection goes anyway
        conn.close()
    return r


# ---------------------------------------------------------------- one server run

def median(xs):
    xs = [x for x in xs if x is not None]
    return round(statistics.median(xs), 2) if xs else None


def start_background(url, logdir, tag, timeout, alive):
    """A plain receiving client, started in its own session; returns it once its progress shows
    frames (or raises after timeout)."""
    progress = os.path.join(logdir, tag + ".background.progress")
    if os.path.exists(progress):
        os.remove(progress)
    log = open(os.path.join(logdir, tag + ".background.log"), "w")
    cmd = ["ffmpeg", "-hide_banner", "-nostdin", "-nostats", "-loglevel", "error",
           "-rtsp_transport", "tcp", "-i", url, "-c", "copy", "-f", "null", "-",
           "-progress", progress, "-stats_period", "0.2"]
    proc = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                            start_new_session=True)
    log.close()
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if proc.poll() is not None:
            raise RuntimeError("background client exited (rc=%s)" % proc.returncode)
        if not alive():
            measure.stop_group(proc, signal.SIGTERM, 3)
            raise RuntimeError("server exited while the background client started")
        if (measure.read_frames(progress) or 0) > 0:
            return proc
        time.sleep(0.1)
    measure.stop_group(proc, signal.SIGTERM, 3)
    raise RuntimeError("background client had no frames after %.0f s" % timeout)


def run_mode(a, mode):
    w, h = a.size.lower().split("x")
    port = measure.free_port()
    env = {"DISPLAY": a.display, "PORT": port, "FPS": a.fps, "WIDTH": w, "HEIGHT": h,
           "SIZE": a.size, "KIT": measure.KIT, "LOGDIR": a.logdir, "PROGRESS": "/dev/null"}
    cmd = measure.subst(a.server_cmd, env)
    url = measure.subst(a.url, env)
    tag = "%s-f%d-%s.first-frame" % (a.label, a.fps, mode)
    rec = {"label": a.label, "fps": a.fps, "mode": mode, "size": a.size, "probes": a.probes,
           "gap_s": a.gap, "jitter_s": a.jitter, "server_cmd": cmd, "url": url,
           "ok": False, "error": ""}
    keys = ("play_to_answer", "play_to_first_packet", "play_to_first_idr_complete",
            "open_to_first_idr_complete")
    results = []
    slog = open(os.path.join(a.logdir, tag + ".server.log"), "w")
    server = subprocess.Popen(["bash", "-c", cmd], stdout=slog, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL, start_new_session=True,
                              env=dict(os.environ, DISPLAY=a.display))
    background = None
    try:
        alive = lambda: server.poll() is None  # noqa: E731
        u = urllib.parse.urlsplit(url)
        if not measure.wait_port(u.hostname, u.port or 554, a.ready_timeout, alive):
            raise RuntimeError("server not listening on %s:%s" % (u.hostname, u.port))
        code, sdp = measure.wait_describe(url, a.ready_timeout, alive)
        if code != 200:
            raise RuntimeError("DESCRIBE %s -> %s %s" % (url, code, sdp[:200]))
        if mode == "warm":
            background = start_background(url, a.logdir, tag, a.ready_timeout, alive)
        rnd = random.Random()
        for i in range(a.probes):
            if mode == "cold":
                # The readiness DESCRIBE or the previous probe must not leave the server busy.
                pause = a.gap
            else:
                # A fixed pause makes the probes land at one point of the key-frame cadence each
                # time (about 3 s between probes is one 25-picture GOP at 8 fps), so a server that
                # waits for its next key frame would always show the same wait.
                pause = rnd.uniform(0.2, 0.2 + a.jitter)
            rec.setdefault("pauses_s", []).append(round(pause, 2))
            time.sleep(pause)
            if not alive():
                raise RuntimeError("server exited (rc=%s) before probe %d" % (server.poll(), i + 1))
            if background is not None and background.poll() is not None:
                raise RuntimeError("background client exited (rc=%s) before probe %d"
                                   % (background.returncode, i + 1))
            results.append(probe(url, a.read_timeout, a.probe_timeout))
            print("%s fps=%d %s probe %d: %s" % (a.label, a.fps, mode, i + 1, json.dumps(
                {k: results[-1][k] for k in keys + ("error",)})), file=sys.stderr, flush=True)
        failed = ["probe %d: %s" % (i + 1, p["error"]) for i, p in enumerate(results) if p["error"]]
        rec["ok"] = not failed
        rec["error"] = "; ".join(failed)
    except Exception as e:  # record the failure, never hang
        rec["error"] = str(e)
    finally:
        if background is not None:
            measure.stop_group(background, signal.SIGTERM, 3)
        measure.stop_group(server, signal.SIGTERM, 5)
        slog.close()
    for k in keys:
        rec[k] = [p[k] for p in results]
        rec["median_" + k] = median(rec[k])
    rec["probe_details"] = results
    rec["probes_ok"] = sum(1 for p in results if p["play_to_first_idr_complete"] is not None)
    with open(a.out, "a") as f:
        f.write(json.dumps(rec) + "\n")
    print(json.dumps({k: rec[k] for k in ("label", "fps", "mode", "ok", "error", "probes_ok")
                      + tuple("median_" + k for k in keys)}), flush=True)
    return rec["ok"]


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--label", required=True)
    ap.add_argument("--server-cmd", required=True)
    ap.add_argument("--url", default="rtsp://127.0.0.1:{PORT}/live")
    ap.add_argument("--display", required=True)
    ap.add_argument("--size", default="1920x1080")
    ap.add_argument("--fps", type=int, default=8)
    ap.add_argument("--probes", type=int, default=5)
    ap.add_argument("--gap", type=float, default=2.0,
                    help="cold: s with no client before each probe")
    ap.add_argument("--jitter", type=float, default=3.5,
                    help="warm: s before each probe, drawn from 0.2 to 0.2 + this")
    ap.add_argument("--modes", default="cold,warm")
    ap.add_argument("--read-timeout", type=float, default=5.0,
                    help="s any one socket read may wait")
    ap.add_argument("--probe-timeout", type=float, default=15.0,
                    help="s from PLAY the first IDR picture may take before the probe gives up")
    ap.add_argument("--ready-timeout", type=float, default=20.0)
    ap.add_argument("--out", required=True)
    ap.add_argument("--logdir", default="/tmp/bench-logs")
    a = ap.parse_args()
    modes = [m.strip() for m in a.modes.split(",") if m.strip()]
    if not modes or any(m not in ("cold", "warm") for m in modes):
        ap.error("--modes takes cold and/or warm")
    os.makedirs(a.logdir, exist_ok=True)
    # The server and the background client run in sessions of their own, so a SIGTERM to this
    # process (e.g. from timeout(1)) would leave them behind: end through the finally blocks.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    ok = True
    for mode in modes:
        ok = run_mode(a, mode) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
