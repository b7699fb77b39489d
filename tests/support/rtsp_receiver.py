#!/usr/bin/python3
"""A media server on 127.0.0.1 that a publisher records to, for the publishing tests and benches.

  rtsp_receiver.py --port P [--path /publish] [--user U --password W [--auth basic|digest]]
                   [--tcp-only] [--relay /live] [--session-timeout S] [--max-seconds S]

GStreamer's RTSP server in record mode: a publisher sends ANNOUNCE (SDP), SETUP with
mode=record, RECORD, then RTP. What it sends is decoded, and once a second, from the first
ANNOUNCE on, one flushed line says how much came through:

  frames N size WxH      N decoded pictures so far (all publishers together), the last one's size

--user/--password      every mount asks for these (401 without them), basic or digest
--tcp-only             only interleaved TCP; a SETUP asking for UDP gets 461 Unsupported Transport
--relay /live          what the publisher sends is also served at /live to any number of players,
                       as it came (depayloaded and parsed, never decoded again or re-encoded): one
                       shared media, so a thousand viewers cost the publisher nothing more
--session-timeout S    a session that shows no sign of life for S s is removed (default 60, as
                       GStreamer's sessions say in their Session header)

Each SETUP is told as "request SETUP <its Transport>", each TEARDOWN as "request TEARDOWN".

Prints "ready" once listening and ends cleanly on SIGTERM/SIGINT. Runs with Debian's python3-gi
(/usr/bin/python3) and gir1.2-gst-rtsp-server-1.0.
"""
import argparse
import signal
import sys
import threading

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402

# The relay's re-packetizing per codec: the parser puts the parameter sets in front of every key
# frame, so that a viewer who joins mid-stream can start at the next one.
RELAY_PAYLOADERS = {
    "video/x-h264": "h264parse config-interval=-1 ! rtph264pay name=pay0 pt=96 config-interval=-1",
    "video/mpeg": "mpeg4videoparse config-interval=-1 ! rtpmp4vpay name=pay0 pt=96 config-interval=-1",
}
NONE = Gst.CLOCK_TIME_NONE
LISTEN_BACKLOG = 1024


def log(text):
    print(text, flush=True)


class FrameCount:
    """Decoded pictures, counted on the streaming threads, read by the once-a-second line."""

    def __init__(self):
        self.lock = threading.Lock()
        self.frames = 0
        self.size = "0x0"
        self.started = False

    def on_picture(self, pad, info):
        caps = pad.get_current_caps()
        size = None
        if caps and caps.get_size():
            s = caps.get_structure(0)
            ok_w, w = s.get_int("width")
            ok_h, h = s.get_int("height")
            size = f"{w}x{h}" if ok_w and ok_h else None
        with self.lock:
            self.frames += 1
            if size:
                self.size = size
        return Gst.PadProbeReturn.OK

    def line(self):
        with self.lock:
            return f"frames {self.frames} size {self.size}" if self.started else None


class Relay:
    """Carries the publisher's parsed frames to the appsrc of the shared play media.

    A fresh viewer media starts at a key frame, and its time stamps are moved onto its own running
    time: the two pipelines have clocks of their own, and a player paces itself by them."""

    def __init__(self):
        self.lock = threading.Lock()
        self.caps = None
        self.generation = 0  # one per publisher, so a new one restarts every viewer at a key frame
        self.sources = {}  # appsrc -> [generation it is following, time offset or None]

    def publisher_started(self):
        with self.lock:
            self.generation += 1
            self.caps = None

    def attach(self, src):
        with self.lock:
            src.set_property("caps", self.caps)
            self.sources[src] = [self.generation, None]

    def detach(self, src):
        with self.lock:
            self.sources.pop(src, None)

    def on_sample(self, sink):
        sample = sink.emit("pull-sample")
        if sample is None:
            return Gst.FlowReturn.EOS
        buf, caps = sample.get_buffer(), sample.get_caps()
        with self.lock:
            self.caps = caps
            targets = list(self.sources.items())
        for src, state in targets:
            self.push(src, state, buf, caps)
        return Gst.FlowReturn.OK

    def push(self, src, state, buf, caps):
        if state[0] != self.generation:
            state[0], state[1] = self.generation, None
        if state[1] is None:
            clock = src.get_clock()
            stamp = buf.dts if buf.dts != NONE else buf.pts
            # Not playing yet, no time stamp to move, or not a key frame: nothing a player could
            # start decoding from.
            if clock is None or stamp == NONE or buf.has_flags(Gst.BufferFlags.DELTA_UNIT):
                return
            src.set_property("caps", caps)
            state[1] = clock.get_time() - src.get_base_time() - stamp
        out = buf.copy()
        if out.pts != NONE:
            out.pts = max(0, out.pts + state[1])
        if out.dts != NONE:
            out.dts = max(0, out.dts + state[1])
        if src.emit("push-buffer", out) != Gst.FlowReturn.OK:
            self.detach(src)


class RelayFactory(GstRtspServer.RTSPMediaFactory):
    """The players' mount: its pipeline is made for the codec the publisher sends."""

    def __init__(self, relay):
        super().__init__()
        self.relay = relay

    def do_create_element(self, url):
        caps = self.relay.caps
        name = caps.get_structure(0).get_name() if caps else None
        if name not in RELAY_PAYLOADERS:
            log(f"relay: no stream to serve to {url.abspath} yet" if caps is None
                else f"relay: cannot serve {name} (H.264 and MPEG-4 only)")
            return None
        launch = ("( appsrc name=relaysrc is-live=true format=time max-bytes=8000000 "
                  f"leaky-type=downstream ! {RELAY_PAYLOADERS[name]} )")
        return Gst.parse_launch(launch)


def on_relay_media(factory, media, relay):
    src = media.get_element().get_by_name("relaysrc")
    relay.attach(src)
    media.connect("unprepared", lambda m: relay.detach(src))


def record_launch(relay):
    # decodebin and parsebin pick the depayloader from the SDP's rtpmap, so H.264 and MPEG-4
    # publishers need nothing of their own here.
    count = "fakesink name=pictures sync=false async=false"
    if not relay:
        return f"( decodebin name=depay0 ! {count} )"
    return (f"( parsebin name=depay0 ! tee name=split ! queue ! decodebin ! {count} "
            "split. ! queue ! appsink name=relaysink sync=false async=false emit-signals=true )")


def on_record_media(factory, media, count, relay):
    pipeline = media.get_element()
    pipeline.get_by_name("pictures").get_static_pad("sink").add_probe(
        Gst.PadProbeType.BUFFER, count.on_picture)
    with count.lock:
        count.started = True
    if relay:
        relay.publisher_started()
        pipeline.get_by_name("relaysink").connect("new-sample", relay.on_sample)
    media.connect("unprepared", lambda m: log("publisher gone"))


def make_auth(a):
    """Credentials for every mount. GStreamer answers 401 only to a client whose token names no
    role; an anonymous role allowed on the relay alone would get 404 on the record mount instead."""
    auth = GstRtspServer.RTSPAuth()
    token = GstRtspServer.RTSPToken()
    token.set_string(GstRtspServer.RTSP_TOKEN_MEDIA_FACTORY_ROLE, "user")
    if a.auth == "digest":
        auth.add_digest(a.user, a.password, token)
        auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
    else:
        auth.add_basic(GstRtspServer.RTSPAuth.make_basic(a.user, a.password), token)
        auth.set_supported_methods(GstRtsp.RTSPAuthMethod.BASIC)
    return auth


def allow(factory, role):
    factory.add_role_from_structure(Gst.Structure.new_from_string(
        f"{role}, media.factory.access=(boolean)true, media.factory.construct=(boolean)true"))


def watch_client(client, session_timeout):
    """Times the client's sessions out as asked, and says what each SETUP asked for and when a
    TEARDOWN came, so that tests can tell how a publisher spoke."""
    client.connect("new-session", lambda c, session: session.set_timeout(session_timeout))

    def on_setup(c, context):
        _, transport = context.request.get_header(GstRtsp.RTSPHeaderField.TRANSPORT, 0)
        log(f"request SETUP {transport}")

    client.connect("pre-setup-request", lambda c, context: on_setup(c, context) or
                   GstRtsp.RTSPStatusCode.OK)
    client.connect("teardown-request", lambda c, context: log("request TEARDOWN"))


def parse_args():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--path", default="/publish")
    ap.add_argument("--user")
    ap.add_argument("--password")
    ap.add_argument("--auth", choices=("basic", "digest"), default="basic")
    ap.add_argument("--tcp-only", action="store_true")
    ap.add_argument("--relay", metavar="MOUNT")
    ap.add_argument("--session-timeout", type=int, default=60)
    ap.add_argument("--max-seconds", type=float, default=3600)
    a = ap.parse_args()
    if (a.user is None) != (a.password is None):
        ap.error("--user and --password go together")
    for mount in filter(None, (a.path, a.relay)):
        if not mount.startswith("/") or mount == "/":
            ap.error(f"a mount is a path like /publish, not '{mount}'")
    if a.relay == a.path:
        ap.error("--relay needs a mount of its own")
    if not 0 < a.port < 65536 or a.session_timeout < 1:
        ap.error("--port 1-65535, --session-timeout at least 1")
    return a


def main():
    a = parse_args()
    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(a.port))
    # GStreamer listens with a queue of 5: of 200 players connecting at once, most would wait
    # for the kernel to retry their SYN, or sit unaccepted until they give up.
    server.set_backlog(LISTEN_BACKLOG)
    count = FrameCount()
    relay = Relay() if a.relay else None
    protocols = GstRtsp.RTSPLowerTrans.TCP if a.tcp_only else (
        GstRtsp.RTSPLowerTrans.TCP | GstRtsp.RTSPLowerTrans.UDP)

    record = GstRtspServer.RTSPMediaFactory()
    record.set_transport_mode(GstRtspServer.RTSPTransportMode.RECORD)
    record.set_launch(record_launch(relay))
    record.set_protocols(protocols)
    record.connect("media-configure", on_record_media, count, relay)
    server.get_mount_points().add_factory(a.path, record)
    if relay:
        play = RelayFactory(relay)
        play.set_shared(True)
        play.set_protocols(protocols)
        play.connect("media-configure", on_relay_media, relay)
        server.get_mount_points().add_factory(a.relay, play)
    if a.user is not None:
        server.set_auth(make_auth(a))
        for factory in (record, play) if relay else (record,):
            allow(factory, "user")

    # A player's DESCRIBE waits for the relay's first key frame, which comes in over the publisher's
    # connection: a player sharing a thread with the publisher would block the data it waits for
    # (with every client on the main loop, or a pool of threads taken in turn). So one thread each.
    server.get_thread_pool().set_max_threads(-1)
    # GStreamer's server only times sessions out when asked to: ask as a media server would.
    pool = server.get_session_pool()
    server.connect("client-connected", lambda s, client: watch_client(client, a.session_timeout))
    GLib.timeout_add_seconds(1, lambda: pool.cleanup() >= 0)

    if server.attach(None) == 0:
        sys.exit(f"rtsp_receiver: cannot listen on 127.0.0.1:{a.port}")
    loop = GLib.MainLoop()
    for s in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, s, loop.quit)
    GLib.timeout_add(int(a.max_seconds * 1000), loop.quit)

    def report():
        line = count.line()
        if line:
            log(line)
        return True

    GLib.timeout_add_seconds(1, report)
    log("ready")
    loop.run()
    # The publishers' and players' pipelines go down with their sessions.
    pool.filter(lambda p, session: GstRtspServer.RTSPFilterResult.REMOVE)
    log(f"stopped; {count.line() or 'no publisher came'}")


if __name__ == "__main__":
    main()
