"""bench/peers/lib/first_frame.py: which RTP packet ends the first picture a new client can decode.
python3 -m unittest discover -s bench/tests"""
import base64
import os
import sys
import unittest

BENCH = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(BENCH, "peers", "lib"))
import first_frame  # noqa: E402

SPS = bytes([0x67, 0x42, 0xC0, 0x28, 0xDA])
PPS = bytes([0x68, 0xCE, 0x3C, 0x80])
SEI = bytes([0x06, 0x05, 0x01, 0x00, 0x80])
AUD = bytes([0x09, 0xF0])
# Slices whose first data bit is 1: first_mb_in_slice == 0, they start a picture. Every IDR byte
# has its top bit set, so a fragment from its middle would pass that test too: only the FU-A start
# bit can tell it is not the beginning.
IDR = bytes([0x65, 0x88, 0x84]) + bytes(0x80 | (i % 0x7F) for i in range(200))
P = bytes([0x41, 0x9A, 0x02]) + bytes(range(1, 100))
# A later slice of a picture: first_mb_in_slice != 0 (first bits 010 = ue(v) 1).
IDR_2ND = bytes([0x65, 0x41, 0x22, 0x33])


class Stream:
    """RTP packets with consecutive sequence numbers, as one server would send them."""

    def __init__(self, seq=65530):
        self.seq = seq

    def pkt(self, payload, ts, marker=False, skip=0, csrc=0, ext=b"", pad=0):
        self.seq = (self.seq + 1 + skip) & 0xFFFF
        b0 = 0x80 | csrc | (0x10 if ext else 0) | (0x20 if pad else 0)
        head = bytes([b0, (0x80 if marker else 0) | 96]) + self.seq.to_bytes(2, "big") \
            + ts.to_bytes(4, "big") + (0x1234).to_bytes(4, "big") + bytes(4 * csrc)
        if ext:
            head += b"\xbe\xde" + (len(ext) // 4).to_bytes(2, "big") + ext
        return head + payload + (bytes(pad - 1) + bytes([pad]) if pad else b"")


def stap_a(*nals):
    return bytes([0x18]) + b"".join(len(n).to_bytes(2, "big") + n for n in nals)


def fu_a(nal, size):
    """nal cut into FU-A payloads of at most size bytes of NAL data each."""
    body, out = nal[1:], []
    for off in range(0, len(body), size):
        fu = nal[0] & 0x1F
        if off == 0:
            fu |= 0x80
        if off + size >= len(body):
            fu |= 0x40
        out.append(bytes([(nal[0] & 0xE0) | 28, fu]) + body[off:off + size])
    return out


def first_done(packets, **kw):
    """Index of the packet at which the tracker says done, or None."""
    t = first_frame.FirstIdr(**kw)
    for i, p in enumerate(packets):
        if t.feed(p):
            return i, t
    return None, t


class FirstIdrPicture(unittest.TestCase):
    def test_pictures_before_the_first_idr_do_not_count(self):
        s = Stream()
        pkts = [s.pkt(P, 100, True), s.pkt(P, 200, True),
                s.pkt(SPS, 300), s.pkt(PPS, 300), s.pkt(IDR, 300, True),
                s.pkt(P, 400, True)]
        i, t = first_done(pkts)
        self.assertEqual(i, 4)
        self.assertEqual(t.non_idr_frames, 2)
        self.assertEqual(t.first_nal_type, 1)
        self.assertEqual(t.in_band, {7, 8})

    def test_idr_inside_fu_a_is_done_at_the_marker_not_at_its_first_piece(self):
        s = Stream()
        pieces = fu_a(IDR, 50)
        self.assertGreater(len(pieces), 3)
        pkts = [s.pkt(stap_a(SPS, PPS), 10)] + [s.pkt(p, 10, k == len(pieces) - 1)
                                               for k, p in enumerate(pieces)]
        i, t = first_done(pkts)
        self.assertEqual(i, len(pkts) - 1)
        self.assertEqual(t.first_nal_type, 7)  # the unit inside the STAP-A, not the wrapper

    def test_idr_inside_stap_a(self):
        s = Stream()
        pkts = [s.pkt(P, 1, True), s.pkt(stap_a(AUD, SPS, PPS, IDR), 2, True)]
        i, t = first_done(pkts)
        self.assertEqual(i, 1)
        self.assertEqual(t.non_idr_frames, 1)

    def test_a_marker_on_each_parameter_set_does_not_end_the_search(self):
        # A server may mark the end of every NAL unit; the picture is the one holding the slice.
        s = Stream()
        pkts = [s.pkt(SPS, 5, True), s.pkt(PPS, 5, True)] + [
            s.pkt(p, 5, k == 4) for k, p in enumerate(fu_a(IDR, 45))]
        self.assertEqual(len(pkts), 7)
        i, _ = first_done(pkts)
        self.assertEqual(i, 6)

    def test_no_marker_no_done(self):
        # The whole IDR came, but nothing marked its end: a new timestamp ends it as incomplete.
        s = Stream()
        pkts = [s.pkt(SPS, 7), s.pkt(PPS, 7), s.pkt(IDR, 7), s.pkt(P, 8, True),
                s.pkt(SPS, 9), s.pkt(PPS, 9), s.pkt(IDR, 9, True)]
        i, t = first_done(pkts)
        self.assertEqual(i, 6)
        self.assertEqual(t.broken_idr_frames, 1)

    def test_joining_inside_an_idr_waits_for_the_next_whole_one(self):
        s = Stream()
        pieces = fu_a(IDR, 40)
        # The client's first packet is the IDR's second fragment.
        pkts = [s.pkt(p, 50, k == len(pieces) - 1) for k, p in enumerate(pieces)][1:]
        pkts += [s.pkt(P, 51, True)]
        pkts += [s.pkt(SPS, 52), s.pkt(PPS, 52)] + [s.pkt(p, 52, k == len(pieces) - 1)
                                                    for k, p in enumerate(pieces)]
        i, t = first_done(pkts, sps=True, pps=True)
        self.assertEqual(i, len(pkts) - 1)
        self.assertEqual(t.broken_idr_frames, 1)
        self.assertEqual(t.non_idr_frames, 1)

    def test_joining_at_the_second_slice_of_an_idr_is_not_whole(self):
        s = Stream()
        pkts = [s.pkt(IDR_2ND, 60, True), s.pkt(IDR, 61), s.pkt(IDR_2ND, 61, True)]
        i, t = first_done(pkts, sps=True, pps=True)
        self.assertEqual(i, 2)
        self.assertEqual(t.broken_idr_frames, 1)

    def test_a_lost_packet_spoils_the_picture_it_falls_in(self):
        s = Stream()
        pieces = fu_a(IDR, 50)
        pkts = [s.pkt(p, 70, k == len(pieces) - 1, skip=1 if k == 2 else 0)
                for k, p in enumerate(pieces)]
        pkts += [s.pkt(p, 71, k == len(pieces) - 1) for k, p in enumerate(pieces)]
        i, t = first_done(pkts, sps=True, pps=True)
        self.assertEqual(i, len(pkts) - 1)
        self.assertEqual(t.broken_idr_frames, 1)

    def test_parameter_sets_from_neither_sdp_nor_stream_make_no_decodable_picture(self):
        s = Stream()
        pkts = [s.pkt(IDR, 80, True), s.pkt(PPS, 81), s.pkt(IDR, 81, True),
                s.pkt(SPS, 82), s.pkt(IDR, 82, True)]
        i, t = first_done(pkts)
        self.assertEqual(i, 4)
        self.assertEqual(t.idr_without_params, 2)
        # Known from the SDP, the first one does.
        self.assertEqual(first_done(pkts, sps=True, pps=True)[0], 0)

    def test_csrc_extension_and_padding_are_skipped(self):
        s = Stream()
        pkts = [s.pkt(SEI, 90, True, csrc=2, ext=b"\x00" * 8, pad=3),
                s.pkt(stap_a(SPS, PPS), 91, csrc=1, pad=1),
                s.pkt(IDR, 91, True, ext=b"\x01\x02\x03\x04")]
        self.assertEqual(first_frame.rtp_fields(pkts[0]), (True, s.seq - 2, 90, SEI))
        self.assertEqual(first_frame.rtp_fields(pkts[1])[3], stap_a(SPS, PPS))
        self.assertEqual(first_frame.rtp_fields(pkts[2])[3], IDR)
        i, t = first_done(pkts)
        self.assertEqual(i, 2)
        self.assertEqual(t.first_nal_type, 6)
        self.assertEqual(t.malformed, 0)


class SdpAndUrls(unittest.TestCase):
    SDP = ("v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=live\r\na=control:*\r\nt=0 0\r\n"
           "m=audio 0 RTP/AVP 97\r\na=control:track=audio\r\n"
           "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
           "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=%s,%s;profile-level-id=42c028\r\n"
           "a=control:stream=0\r\n"
           % (base64.b64encode(SPS).decode().rstrip("="), base64.b64encode(PPS).decode()))

    def test_video_track_control_and_parameter_sets(self):
        session, video, fmtp = first_frame.sdp_video(self.SDP)
        self.assertEqual((session, video), ("*", "stream=0"))
        self.assertEqual(first_frame.sprop_types(fmtp), {7, 8})
        base = "rtsp://127.0.0.1:8554/live"
        self.assertEqual(first_frame.join_control(base, video), base + "/stream=0")
        self.assertEqual(first_frame.join_control(base + "/", video), base + "/stream=0")
        self.assertEqual(first_frame.join_control(base, session), base)
        self.assertEqual(first_frame.join_control(base, "rtsp://h/x/y"), "rtsp://h/x/y")


if __name__ == "__main__":
    unittest.main()
