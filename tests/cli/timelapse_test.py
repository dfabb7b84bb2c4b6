#!/usr/bin/env python3
"""Films made by the real tessaly-capture timelapse, read back with ffprobe and ffmpeg.

Each test picture carries its number as 8 black or white columns (bit k in column k), which
survive JPEG and H.264; the film's frames are read back as grey and the columns' centres
sampled, so a row checks the order of the frames, not only their count.

Usage: timelapse_test.py PROGRAM CASE   (CASE one of the table's names, or "all")
"""
import os
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

PROGRAM = sys.argv[1]
URL = "http://127.0.0.1/snap.jpg"
T0 = 1_700_000_000  # the first picture's time


def pgm(number, width, height):
    row = bytes(255 if (number >> (x * 8 // width)) & 1 else 0 for x in range(width))
    return b"P5 %d %d 255\n" % (width, height) + row * height


def jpegs(pictures):
    """pictures: [(path, number, (width, height))] as JPEGs, one ffmpeg per size."""
    for size in {p[2] for p in pictures}:
        group = [p for p in pictures if p[2] == size]
        data = b"".join(pgm(n, *size) for _, n, _ in group)
        with tempfile.TemporaryDirectory() as tmp:
            subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "image2pipe", "-c:v", "pgm",
                            "-i", "-", "-q:v", "3", tmp + "/%d.jpg"], input=data, check=True,
                           timeout=60)
            for i, (path, _, _) in enumerate(group):
                os.replace("%s/%d.jpg" % (tmp, i + 1), path)


def film_numbers(path):
    probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                            "stream=width,height", "-of", "csv=p=0", path],
                           capture_output=True, text=True, check=True, timeout=60).stdout
    width, height = (int(v) for v in probe.split(",")[:2])
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-vsync", "passthrough", "-f",
                          "rawvideo", "-pix_fmt", "gray", "-"],
                         capture_output=True, check=True, timeout=60).stdout
    frame = width * height
    numbers = []
    for at in range(0, len(raw), frame):
        centre = raw[at + frame // 2 - frame // 2 % width:][:width]
        numbers.append(sum(1 << k for k in range(8)
                           if centre[(2 * k + 1) * width // 16] > 128))
    return (width, height), numbers


def durations(path):
    """When the first frame shows, then how long each shows: to the next frame's time, the last
    to the stream's end."""
    def probe(entries):
        return subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v",
                               "-show_entries", entries, "-of", "csv=p=0", path],
                              capture_output=True, text=True, check=True, timeout=60).stdout
    times = sorted(float(line.split(",")[0]) for line in probe("frame=pts_time").split())
    start, length = (float(v) for v in probe("stream=start_time,duration").split(",")[:2])
    ends = times[1:] + [start + length]
    return [round(times[0], 3)] + [round(end - at, 3) for at, end in zip(times, ends)]


# One row per case: the pictures (file name, number, size, seconds after T0 as the catalog
# has it), what is done to them after the catalog took them, the command's options, and what
# the film must hold. Catalog times, names and file times disagree on purpose in "order".
def seq(n, size=(160, 90), step=10):
    return [("snap_%08d.jpg" % (i + 1), i + 1, size, i * step) for i in range(n)]


CASES = {
    # Names say 1,1[1],2,2[1],3; file times say the reverse; the catalog says 5,3,1,4,2.
    "order": dict(pictures=[("snap_00000001.jpg", 1, (160, 90), 20),
                            ("snap_00000001[1].jpg", 2, (160, 90), 40),
                            ("snap_00000002.jpg", 3, (160, 90), 10),
                            ("snap_00000002[1].jpg", 4, (160, 90), 30),
                            ("snap_00000003.jpg", 5, (160, 90), 0)],
                  touch=True, args=[], numbers=[5, 3, 1, 4, 2]),
    "skips": dict(pictures=seq(8), remove=["snap_00000002.jpg"],
                  garble={"snap_00000004.jpg": b"<html>not found</html>",
                          "snap_00000006.jpg": b"\xff\xd8\xff\xe0broken" + b"\0" * 64},
                  args=[], numbers=[1, 3, 5, 7, 8],
                  line="5 frames of 8 pictures (skipped 3: 1 gone, 1 unreadable, 1 not pictures)"),
    "sizes": dict(pictures=[("snap_00000001.jpg", 1, (161, 91), 0),
                            ("snap_00000002.jpg", 2, (320, 180), 10),
                            ("snap_00000003.jpg", 3, (97, 55), 20)],
                  args=[], numbers=[1, 2, 3], size=(162, 92)),
    "portrait": dict(pictures=[("snap_%08d.jpg" % n, n, (91, 161), n) for n in (1, 2)],
                     args=[], numbers=[1, 2], size=(92, 162)),
    "range": dict(pictures=seq(10), args=["--from", "@%d" % (T0 + 30), "--to", "@%d" % (T0 + 70)],
                  numbers=[4, 5, 6, 7]),
    # 0, 60, 180, 3780 s ... at 60 times real time, pauses cut to 600 s: from 0 (not after
    # the encoder's reordering delay), 1, 2, 10 s ..., the last as the one before.
    "real-time": dict(pictures=[("snap_%08d.jpg" % (i + 1), i + 1, (160, 90), t)
                                for i, t in enumerate([0, 60, 180, 3780, 3840, 3960, 4020, 4080])],
                      args=["--real-time", "60", "--max-gap", "600", "--preset", "medium"],
                      numbers=list(range(1, 9)),
                      durations=[0.0, 1.0, 2.0, 10.0, 1.0, 2.0, 1.0, 1.0, 1.0]),
    # A day is made once: the second run passes it and leaves the film as it was.
    "day-once": dict(pictures=seq(3), args=["--day", time.strftime("%Y-%m-%d", time.localtime(T0))],
                     numbers=[1, 2, 3], twice=True),
    "empty": dict(pictures=seq(3), args=["--from", "@%d" % (T0 + 1000)], status=1,
                  error="has no picture in that time"),
    "stop": dict(pictures=seq(150, (640, 360)), args=["--preset", "veryslow"], stop=True),
}


def run_case(name, case, work):
    env = dict(os.environ, XDG_STATE_HOME=work + "/state")
    env.pop("INVOCATION_ID", None)
    env.pop("STATE_DIRECTORY", None)
    pics = work + "/pics"
    os.mkdir(pics)
    jpegs([(pics + "/" + f, n, size) for f, n, size, _ in case["pictures"]])
    subprocess.run([PROGRAM, "--adopt", pics, URL], env=env, check=True, capture_output=True,
                   timeout=60)
    # The catalog's word on when each was stored, unlike the names' and the files' order.
    db = sqlite3.connect(work + "/state/tessaly/catalog.sqlite")
    for f, _, _, t in case["pictures"]:
        db.execute("UPDATE picture SET stored = ? WHERE file = ?", (T0 + t, f))
    db.commit()
    db.close()
    for i, (f, _, _, _) in enumerate(case["pictures"]):
        if case.get("touch"):
            os.utime(pics + "/" + f, (T0 + 10000 - i, T0 + 10000 - i))
    for f in case.get("remove", []):
        os.unlink(pics + "/" + f)
    for f, data in case.get("garble", {}).items():
        with open(pics + "/" + f, "wb") as out:
            out.write(data)
    film = work + "/film.mp4"
    command = [PROGRAM, "timelapse", "--quiet", "--preset", "ultrafast", "--out", film,
               *case["args"], pics, URL]
    if case.get("stop"):
        child = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 30
        while not any(e.startswith(".film.mp4.") for e in os.listdir(work)):
            assert child.poll() is None and time.monotonic() < deadline, "no film under way"
            time.sleep(0.005)
        child.send_signal(signal.SIGTERM)
        _, err = child.communicate(timeout=30)
        left = [e for e in os.listdir(work) if "film" in e]
        assert child.returncode == 1 and left == [], (child.returncode, left, err)
        return
    result = subprocess.run(command, env=env, capture_output=True, text=True, timeout=120)
    if case.get("status", 0) != 0:
        assert result.returncode == case["status"], (result.returncode, result.stderr)
        assert case["error"] in result.stderr, result.stderr
        assert not any("film" in e for e in os.listdir(work)), os.listdir(work)
        return
    assert result.returncode == 0, result.stderr
    assert case.get("line", "") in result.stdout, result.stdout
    size, numbers = film_numbers(film)
    assert numbers == case["numbers"], (numbers, case["numbers"])
    if "size" in case:
        assert size == case["size"], size
    if "durations" in case:
        assert durations(film) == case["durations"], durations(film)
    if case.get("twice"):
        before = os.stat(film)
        again = subprocess.run(command, env=env, capture_output=True, text=True, timeout=60)
        after = os.stat(film)
        assert again.returncode == 0 and "already made " + film in again.stdout, again
        assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)


def main():
    wanted = sys.argv[2]
    names = list(CASES) if wanted == "all" else [wanted]
    for name in names:
        with tempfile.TemporaryDirectory() as work:
            run_case(name, CASES[name], work)
        print("ok", name)


if __name__ == "__main__":
    main()
