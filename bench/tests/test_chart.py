"""bench/chart.py: how the figures of a side-by-side run are pooled, and what it does with input it
cannot use.  python3 -m unittest discover -s bench/tests"""
import json
import os
import subprocess
import sys
import tempfile
import unittest

BENCH = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, BENCH)
import chart  # noqa: E402


def thr(label, fps, ms, ok=True, run=1):
    return {"label": label, "fps": fps, "ok": ok, "server_ms_per_frame": ms, "run": run}


class Pooling(unittest.TestCase):
    def test_cpu_is_median_min_max_of_the_good_runs_only(self):
        rows = [thr("vistrel", 30, 11.0), thr("vistrel", 30, 10.0, run=2),
                thr("vistrel", 30, 14.0, run=3),
                # A failed run may still carry a number; it must not count.
                thr("vistrel", 30, 99.0, ok=False, run=4),
                thr("gst", 30, 13.0)]
        f = chart.run_figures(rows, None)
        self.assertEqual(f[("vistrel", 30)]["cpu"], (11.0, 10.0, 14.0))
        self.assertEqual(f[("vistrel", 30)]["runs"], 3)
        self.assertEqual(f[("gst", 30)]["cpu"], (13.0, 13.0, 13.0))
        self.assertIsNone(f[("vistrel", 30)]["lat"])

    def test_latency_pools_flips_over_runs_and_drops_missed_ones(self):
        lat = [{"label": "vistrel", "fps": 8, "latencies_ms": [40.0, None, 100.0]},
               {"label": "vistrel", "fps": 8, "latencies_ms": [20.0, 60.0]},
               {"label": "vistrel", "fps": 30, "latencies_ms": [None]},
               {"label": "gst", "fps": 8, "latencies_ms": None}]
        f = chart.run_figures([thr("vistrel", 8, 12.0)], lat)
        # Median of the pooled flips (20, 40, 60, 100), not a median of per-run medians.
        self.assertEqual(f[("vistrel", 8)]["lat"], (50.0, 20.0, 100.0))
        self.assertEqual(f[("vistrel", 8)]["flips"], 4)
        self.assertIsNone(f[("vistrel", 30)]["lat"])
        self.assertIsNone(f[("gst", 8)]["lat"])
        self.assertIsNone(f[("gst", 8)]["cpu"])

    def test_checked_in_contenders_read_back(self):
        rows = chart.read_contenders(chart.DEFAULT_CSV)
        vlc = {r["fps"]: r for r in rows if r["contender"] == "vlc"}
        self.assertEqual((vlc[8]["cpu"], vlc[8]["lat"]), (27.1, 784.0))
        self.assertEqual((vlc[30]["cpu"], vlc[30]["lat"]), (23.8, 654.0))
        null = [r for r in rows if r["contender"] == "ffmpeg-x11grab-null"]
        self.assertTrue(null and all(r["lat"] is None for r in null))


class BadInput(unittest.TestCase):
    def run_chart(self, *args):
        return subprocess.run([sys.executable, os.path.join(BENCH, "chart.py")] + list(args),
                              capture_output=True, text=True, timeout=60)

    def assert_refused(self, p, what):
        self.assertEqual(p.returncode, 2, p.stderr)
        self.assertIn(what, p.stderr)
        self.assertNotIn("Traceback", p.stderr)

    def test_unusable_result_folders_exit_2_with_a_message(self):
        with tempfile.TemporaryDirectory() as d:
            out = os.path.join(d, "x.png")
            self.assert_refused(self.run_chart(os.path.join(d, "nope"), "--out", out),
                                "no result folder")
            self.assert_refused(self.run_chart(d, "--out", out), "no throughput.jsonl")
            path = os.path.join(d, "throughput.jsonl")
            open(path, "w").close()
            self.assert_refused(self.run_chart(d, "--out", out), "is empty")
            with open(path, "w") as f:
                f.write('{"label": "vistrel", "fps": 8\n')
            self.assert_refused(self.run_chart(d, "--out", out), "not JSON")
            with open(path, "w") as f:
                f.write(json.dumps(thr("vistrel", 8, 12.0, ok=False)) + "\n")
            self.assert_refused(self.run_chart(d, "--out", out), "no successful run")
            self.assertFalse(os.path.exists(out))

    def test_unusable_contenders_file_exits_2(self):
        with tempfile.TemporaryDirectory() as d:
            with open(os.path.join(d, "throughput.jsonl"), "w") as f:
                f.write(json.dumps(thr("vistrel", 8, 12.0)) + "\n")
            csv = os.path.join(d, "c.csv")
            with open(csv, "w") as f:
                f.write("contender,fps,ms_cpu_per_frame,latency_ms,source\nvlc,eight,1,,x\n")
            self.assert_refused(self.run_chart(d, "--contenders", csv, "--out",
                                               os.path.join(d, "x.png")), "line 2")


if __name__ == "__main__":
    unittest.main()
