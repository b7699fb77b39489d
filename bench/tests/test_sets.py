"""The still, fanout and load sets of side_by_side.sh: reading the tools' output and the
Vistrel/GStreamer ratios of summary.py.  python3 -m unittest discover -s bench/tests"""
import os
import sys
import unittest

BENCH = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(BENCH, "peers", "lib"))
import fanout  # noqa: E402
import picture  # noqa: E402
import summary  # noqa: E402


class Reading(unittest.TestCase):
    def test_psnr_takes_the_last_average_and_inf_as_identical(self):
        cases = [("[Parsed_psnr_2 @ 0x1] PSNR r:40.1 g:41.0 b:39.9 average:40.33 min:40.3 max:40.3", 40.33),
                 ("PSNR r:inf g:inf b:inf average:inf min:inf max:inf", picture.IDENTICAL_DB),
                 ("PSNR average:30.5 min:1\nPSNR r:1 average:35.25 min:2", 35.25),
                 ("Output #0, null, to 'pipe:'", None)]
        for text, want in cases:
            self.assertEqual(picture.parse_psnr(text), want, text)

    def test_load_client_summary_and_cost_per_viewer(self):
        text = ("   1 tcp  32 0 1.000\nsummary viewers=50 tcp=50 udp=0 setup_s=0.26 min=31 "
                "min_fraction=0.9688 all_playing=1 server_cpu_ms_per_s=190.0 rss_kb=1,2\n")
        s = fanout.parse_summary(text)
        self.assertEqual((s["min"], s["min_fraction"], s["server_cpu_ms_per_s"]), ("31", "0.9688", "190.0"))
        self.assertIsNone(fanout.parse_summary("rtsp_load_client: --url must start with rtsp://\n"))
        self.assertAlmostEqual(fanout.per_viewer_cores(0.1, 0.198, 50), 0.002)
        with self.assertRaises(ValueError):
            fanout.per_viewer_cores(0.1, 0.2, 1)


def run(label, fps, ms, ok=True, note="quiet"):
    return {"label": label, "fps": fps, "ok": ok, "note": note, "server_ms_per_frame": ms,
            "fps_delivered": fps, "frames_min": 10 * fps, "window_real_s": 10.0, "run": 1}


class Ratios(unittest.TestCase):
    def test_ratio_is_of_the_medians_of_good_runs_in_numeric_fps_order(self):
        rows = [run("vistrel", 30, 5.0), run("vistrel", 30, 7.0), run("vistrel", 30, 6.0),
                run("vistrel", 30, 90.0, ok=False),  # a failed run's number must not count
                run("gst", 30, 10.0), run("gst", 30, 14.0), run("gst", 30, 12.0),
                run("vistrel", 8, 4.0), run("gst", 8, 0.0)]
        _, title, split, cols = summary.SETS[2]
        out = summary.set_table(rows, title, split, cols[:2])
        ratios = [ln for ln in out if "vistrel/gst" in ln]
        self.assertEqual(len(ratios), 2)
        self.assertTrue(ratios[0].startswith("| 8 fps"), ratios)
        # GStreamer's 0 ms gives no ratio rather than a division by zero.
        self.assertIn("| 1.00 | - |", ratios[0])
        self.assertIn("| 1.00 | 0.50 |", ratios[1])
        self.assertIn("| 3/4 |", "".join(out))

    def test_a_viewer_short_of_frames_is_named(self):
        short = dict(run("gst", 8, 10.0), frames_min=70)
        out = summary.set_table([run("vistrel", 8, 5.0), short], "t", lambda r: "%d fps" % r["fps"],
                                summary.SETS[0][3][:1])
        self.assertEqual([ln for ln in out if "less than 99 %" in ln], ["- 8 fps gst run 1: a viewer got less than 99 % of the frames"])


if __name__ == "__main__":
    unittest.main()
