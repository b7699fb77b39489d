"""tests/support/rtsp_receiver.py with ffmpeg as the publisher and as a player of the relay.
/usr/bin/python3 -m unittest discover -s tests/support -p 'test_*.py'"""
import os
import re
import socket
import subprocess
import tempfile
import time
import unittest

RECEIVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "rtsp_receiver.py")
AUTH = ["--user", "u", "--password", "p w"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Receiver:
    def __init__(self, *args):
        self.port = free_port()
        self.out = tempfile.TemporaryFile("w+")
        self.process = subprocess.Popen(["/usr/bin/python3", RECEIVER, "--port", str(self.port), *args],
                                        stdout=self.out, stderr=subprocess.STDOUT, text=True)
        self.wait_for(r"^ready$", 10)

    def text(self):
        self.out.seek(0)
        return self.out.read()

    def wait_for(self, pattern, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            found = re.findall(pattern, self.text(), re.M)
            if found:
                return found[-1]
            time.sleep(0.2)
        return None

    def close(self):
        self.process.terminate()
        self.process.wait(10)
        self.out.close()


def publish(url, codec, seconds, transport="tcp"):
    # zerolatency: x264's look-ahead would hold back 5 s of pictures and send them all just before
    # TEARDOWN, which ends the recording before they are decoded.
    tune = ["-tune", "zerolatency"] if codec == "libx264" else []
    return subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
                           "testsrc=size=320x240:rate=8", "-t", str(seconds), "-c:v", codec, *tune, "-g",
                           "8", "-f", "rtsp", "-rtsp_transport", transport, url],
                          capture_output=True, text=True, timeout=seconds + 20)


class RtspReceiverTest(unittest.TestCase):
    def test_publishers(self):
        # name, receiver options, codec, credentials in the URL, ffmpeg's transport, pictures come
        # What the publishing end-to-end tests do not show of the receiver itself: the refusals.
        cases = [
            ("MPEG-4 over UDP", [], "mpeg4", "", "udp", True),
            ("no credentials", AUTH, "libx264", "", "tcp", False),
            ("wrong password", AUTH, "libx264", "u:pw@", "tcp", False),
            ("UDP when TCP only", ["--tcp-only"], "libx264", "", "udp", False),
        ]
        for name, options, codec, credentials, transport, comes in cases:
            with self.subTest(name):
                receiver = Receiver(*options)
                try:
                    result = publish(f"rtsp://{credentials}127.0.0.1:{receiver.port}/publish", codec, 3,
                                     transport)
                    # 24 pictures sent; a decoder may keep the last few when the publisher leaves.
                    frames = receiver.wait_for(r"^frames (\d+) size 320x240$", 5)
                    self.assertEqual(result.returncode == 0, comes, result.stderr)
                    self.assertEqual(frames is not None and int(frames) >= 16, comes, receiver.text())
                finally:
                    receiver.close()

    def test_udp_setup_when_tcp_only_is_unsupported_transport(self):
        receiver = Receiver("--tcp-only")
        try:
            url = f"rtsp://127.0.0.1:{receiver.port}/publish"
            sdp = ("v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                   "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:track1\r\n")
            with socket.create_connection(("127.0.0.1", receiver.port), timeout=5) as s:
                s.sendall(f"ANNOUNCE {url} RTSP/1.0\r\nCSeq: 1\r\nContent-Type: application/sdp\r\n"
                          f"Content-Length: {len(sdp)}\r\n\r\n{sdp}".encode())
                self.assertIn(b" 200 ", s.recv(4096))
                s.sendall(f"SETUP {url}/track1 RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP;unicast;"
                          "client_port=40000-40001;mode=record\r\n\r\n".encode())
                self.assertTrue(s.recv(4096).startswith(b"RTSP/1.0 461 "))
        finally:
            receiver.close()

    def test_relay_plays_what_was_published(self):
        receiver = Receiver("--relay", "/live")
        try:
            publisher = subprocess.Popen(
                ["ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
                 "testsrc=size=320x240:rate=8", "-t", "8", "-c:v", "libx264", "-tune", "zerolatency",
                 "-g", "8", "-f", "rtsp", "-rtsp_transport", "tcp",
                 f"rtsp://127.0.0.1:{receiver.port}/publish"])
            self.assertIsNotNone(receiver.wait_for(r"^frames [1-9]\d* ", 10), receiver.text())
            player = subprocess.run(["ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-select_streams",
                                     "v", "-count_frames", "-read_intervals", "%+2", "-show_entries",
                                     "stream=width,height,nb_read_frames", "-of", "csv=p=0",
                                     f"rtsp://127.0.0.1:{receiver.port}/live"],
                                    capture_output=True, text=True, timeout=20)
            publisher.wait(20)
            width, height, frames = player.stdout.strip().split(",")
            self.assertEqual((width, height), ("320", "240"), player.stderr)
            self.assertGreaterEqual(int(frames), 8, player.stderr)
        finally:
            receiver.close()


if __name__ == "__main__":
    unittest.main()
