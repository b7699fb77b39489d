"""Is what a viewer decodes the screen? Grabs the X screen once and decodes pictures from the RTSP
stream with ffmpeg, then compares them in RGB with ffmpeg's psnr filter. Meant for a still screen,
where the screen grab and every decoded picture show the same thing: the PSNR is then the codec's
loss plus anything a server gets wrong (colour matrix, range, size, stale or torn content).

  check(display, size, url, fps, stem) -> {"psnr_first_db", "psnr_last_db", ...}

"first" is the first picture ffmpeg outputs (its decoder starts at a key frame), "last" the one
two seconds of frames later, so that a server whose pictures drift away from a still screen, or
that never refines its first key frame, shows it. 100 dB stands for identical pictures.
"""
import re
import subprocess

PSNR_RE = re.compile(r"PSNR .*?average:(inf|[0-9.]+)")
IDENTICAL_DB = 100.0


def parse_psnr(text):
    """The average PSNR (dB) of ffmpeg's psnr filter log, IDENTICAL_DB for "inf", None if absent."""
    m = PSNR_RE.findall(text)
    if not m:
        return None
    return IDENTICAL_DB if m[-1] == "inf" else float(m[-1])


def _ffmpeg(args, timeout):
    p = subprocess.run(["ffmpeg", "-hide_banner", "-nostdin", "-y"] + args, capture_output=True,
                       text=True, timeout=timeout)
    if p.returncode != 0:
        raise RuntimeError("ffmpeg %s: %s" % (" ".join(args[:6]), p.stderr.strip()[-300:]))
    return p.stderr


def psnr(a_png, b_png):
    err = _ffmpeg(["-i", a_png, "-i", b_png, "-lavfi",
                   "[0:v]format=gbrp[a];[1:v]format=gbrp[b];[a][b]psnr", "-f", "null", "-"], 60)
    v = parse_psnr(err)
    if v is None:
        raise RuntimeError("no PSNR from ffmpeg comparing %s and %s" % (a_png, b_png))
    return v


def check(display, size, url, fps, stem):
    screen, first, last = stem + ".screen.png", stem + ".first.png", stem + ".last.png"
    _ffmpeg(["-loglevel", "error", "-f", "x11grab", "-video_size", size, "-i", display,
             "-frames:v", "1", screen], 30)
    n = max(2, 2 * int(fps))
    _ffmpeg(["-loglevel", "error", "-rtsp_transport", "tcp", "-i", url,
             "-map", "0:v:0", "-frames:v", "1", "-update", "1", first,
             "-map", "0:v:0", "-vf", r"select=eq(n\,%d)" % (n - 1), "-frames:v", "1", "-update", "1",
             last], 60)
    return {"psnr_first_db": round(psnr(screen, first), 2), "psnr_last_db": round(psnr(screen, last), 2),
            "picture_frames": n, "picture_files": [screen, first, last]}
