#!/usr/bin/python3
"""The real window under a real X server with CPU load beside it: closing it as a window manager
does ends the program, every time, within a second; and once the display has ended, SIGTERM still
ends it within three seconds.

  window_close_under_load.py PROGRAM [--runs N] [--busy N] [--limit SECONDS]
                                     [--disconnect-at-once]

Xvfb serves the display; N busy loops of normal priority run beside it; a camera on 127.0.0.1
serves a small JPEG. Each run starts a fresh copy of PROGRAM beside its own settings file (an
interval of 1 s), clicks Start through XTEST, waits for the first picture and then sends the
window what a window manager sends for its close button: a WM_PROTOCOLS client message carrying
WM_DELETE_WINDOW, to the window's own X window, with an empty event mask (ICCCM 4.2.8.1). The
program must end with status 0 within the limit, its settings saved. A last row starts a series,
ends the display (its Xvfb ends) and then sends the program SIGTERM.

The sender keeps its connection and makes a round trip after the message. A client that
disconnects right after flushing its request (--disconnect-at-once: a one-shot sender on a
connection of its own, closed as soon as the request is flushed) loses the request whenever the
server sees the hang-up before it has read the request: the X server then closes the client with
the request unread, which happens often on a busy machine and never reaches the program.

Needs Debian's python3 with python3-xlib, and xvfb (scripts/setup.sh peers).
"""
import argparse
import ctypes
import http.server
import os
import shutil
import signal
import socketserver
import subprocess
import sys
import tempfile
import threading
import time

try:
    from Xlib import X, Xatom, display, error, protocol
    from Xlib.ext import xtest
except ImportError:
    sys.exit("window_close_under_load: python3-xlib is missing (scripts/setup.sh peers)")

# Start's centre in the window, from its geometry in app/mainwindow.cpp (352, 56, 75 x 25).
START_BUTTON = (352 + 75 // 2, 56 + 25 // 2)
PICTURE = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00" + \
    bytes(range(256)) + b"\xff\xd9"
FIRST_PICTURE = "camera_00000001.jpg"
APPEAR_LIMIT = 30.0  # seconds for a program to show its window and store its first picture

libc = ctypes.CDLL(None, use_errno=True)


def die_with_parent():
    # Whatever this script leaves running (busy loops above all) ends with it, however it ends.
    PR_SET_PDEATHSIG = 1
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class Camera(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "image/jpeg")
        self.send_header("Content-Length", str(len(PICTURE)))
        self.end_headers()
        self.wfile.write(PICTURE)

    def log_message(self, *args):
        pass


class Display:
    """An Xvfb of its own and this script's connection to it."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten",
             "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)
        os.close(write_end)
        number = b""
        while not number.endswith(b"\n"):
            byte = os.read(read_end, 1)
            if not byte:
                raise RuntimeError("Xvfb did not start")
            number += byte
        os.close(read_end)
        self.name = ":" + number.decode().strip()
        self.x = display.Display(self.name)
        self.root = self.x.screen().root
        self.atom = self.x.intern_atom

    def end(self):
        # Asked to end, the server closes every client and removes its socket and lock file.
        if self.server.poll() is None:
            self.server.terminate()
        try:
            self.server.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()

    def program_window(self, pid):
        """The viewable top-level window whose _NET_WM_PID is pid and that takes
        WM_DELETE_WINDOW, or None."""
        for window in self.root.query_tree().children:
            try:
                owner = window.get_full_property(self.atom("_NET_WM_PID"), Xatom.CARDINAL)
                if not owner or owner.value[0] != pid:
                    continue
                if window.get_attributes().map_state != X.IsViewable:
                    continue
                if self.atom("WM_DELETE_WINDOW") in (window.get_wm_protocols() or []):
                    return window
            except error.BadWindow:
                pass
        return None

    def click(self, window, at):
        origin = window.translate_coords(self.root, 0, 0)
        xtest.fake_input(self.x, X.MotionNotify, x=at[0] - origin.x, y=at[1] - origin.y)
        xtest.fake_input(self.x, X.ButtonPress, 1)
        xtest.fake_input(self.x, X.ButtonRelease, 1)
        self.x.sync()

    def ask_to_close(self, window, at_once=False):
        message = protocol.event.ClientMessage(
            window=window, client_type=self.atom("WM_PROTOCOLS"),
            data=(32, [self.atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0]))
        if not at_once:
            window.send_event(message, event_mask=X.NoEventMask)
            # The reply proves that the server has read and carried out the request.
            self.x.sync()
            return
        # The faulty way, kept to show the fault: a connection of its own, closed at once.
        sender = display.Display(self.name)
        target = sender.create_resource_object("window", window.id)
        target.send_event(message, event_mask=X.NoEventMask)
        sender.close()


class Run:
    """One program copy beside its own settings file, on a series against the camera."""

    def __init__(self, program, screen, camera_port, scratch):
        self.home = tempfile.mkdtemp(prefix="run-", dir=scratch)
        self.pictures = os.path.join(self.home, "pictures")
        os.mkdir(self.pictures)
        runtime = os.path.join(self.home, "runtime")
        os.mkdir(runtime, 0o700)
        shutil.copy(program, os.path.join(self.home, "tessaly"))
        self.ini = os.path.join(self.home, "tessaly.ini")
        # Address, interval, unit (seconds), bell off, directory, counter.
        with open(self.ini, "wb") as ini:
            ini.write(("http://127.0.0.1:%d/camera.jpg\r\n1\r\n0\r\n0\r\n%s/\r\n1\r\n"
                       % (camera_port, self.pictures)).encode())
        self.ini_before = os.stat(self.ini)
        self.log_path = os.path.join(self.home, "log")
        env = dict(os.environ, DISPLAY=screen.name, QT_QPA_PLATFORM="xcb",
                   XDG_RUNTIME_DIR=runtime, XDG_STATE_HOME=os.path.join(self.home, "state"))
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen([os.path.join(self.home, "tessaly")], env=env,
                                            cwd=self.home, stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=log, preexec_fn=die_with_parent)
        self.screen = screen

    def start_series(self):
        """Shows the window, clicks Start and waits for the first picture; the window or an
        error text."""
        end = time.monotonic() + APPEAR_LIMIT
        window = None
        while window is None:
            if self.process.poll() is not None:
                return None, "ended before its window showed: %s" % self.log()
            if time.monotonic() > end:
                return None, "no window within %.0f s" % APPEAR_LIMIT
            window = self.screen.program_window(self.process.pid)
            if window is None:
                time.sleep(0.02)
        first = os.path.join(self.pictures, FIRST_PICTURE)
        while not os.path.exists(first):
            if self.process.poll() is not None:
                return None, "ended before its first picture: %s" % self.log()
            if time.monotonic() > end:
                return None, "no first picture within %.0f s" % APPEAR_LIMIT
            # A click that came before the window took input is clicked again; once the series
            # runs, Start is disabled and a click does nothing.
            self.screen.click(window, START_BUTTON)
            for _ in range(25):
                if os.path.exists(first):
                    break
                time.sleep(0.02)
        return window, None

    def ended_within(self, seconds):
        try:
            self.process.wait(timeout=seconds)
            return True
        except subprocess.TimeoutExpired:
            return False

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()

    def settings_saved(self):
        now = os.stat(self.ini)
        return (now.st_ino, now.st_mtime_ns) != (self.ini_before.st_ino,
                                                  self.ini_before.st_mtime_ns)

    def log(self):
        with open(self.log_path, "rb") as log:
            return " | ".join(log.read().decode(errors="replace").splitlines()) or "(no output)"


def ask_to_close(run, screen, window, args):
    screen.ask_to_close(window, at_once=args.disconnect_at_once)


def end_display_then_sigterm(run, screen, window, args):
    screen.end()
    if run.process.poll() is None:
        run.process.send_signal(signal.SIGTERM)


def run_row(args, row, screen, port, scratch):
    """One program run of a row: a problem's text, or None."""
    name, ask, limit, orderly = row
    run = Run(args.program, screen, port, scratch)
    try:
        window, problem = run.start_series()
        if problem:
            return problem
        asked = time.monotonic()
        ask(run, screen, window, args)
        ended = run.ended_within(limit)
        took = time.monotonic() - asked
        if not ended:
            return "still running %.1f s after it was asked, %d pictures stored" % (
                took, len(os.listdir(run.pictures)))
        if orderly and run.process.returncode != 0:
            return "ended with status %d: %s" % (run.process.returncode, run.log())
        if orderly and not run.settings_saved():
            return "ended without saving its settings"
        print("%s: ended in %.3f s, status %d" % (name, took, run.process.returncode),
              flush=True)
        return None
    finally:
        run.kill()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program")
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--busy", type=int, default=2, help="busy loops beside the program")
    parser.add_argument("--limit", type=float, default=1.0, help="seconds a close may take")
    parser.add_argument("--disconnect-at-once", action="store_true",
                        help="send each request the faulty way: a one-shot connection")
    args = parser.parse_args()
    if shutil.which("Xvfb") is None:
        sys.exit("window_close_under_load: Xvfb is missing (scripts/setup.sh peers)")
    # Name, program runs, a display of its own (ended by the row), how the program is asked to
    # end once its first picture is stored, seconds it may take, and whether it must end in order
    # (status 0, settings saved).
    rows = [
        ("close request", args.runs, False, ask_to_close, args.limit, True),
        ("SIGTERM after the display ended", 1, True, end_display_then_sigterm, 3.0, False),
    ]

    camera = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Camera)
    camera.daemon_threads = True
    threading.Thread(target=camera.serve_forever, daemon=True).start()
    port = camera.server_address[1]

    scratch = tempfile.mkdtemp(prefix="tessaly-close-")
    busy = []
    shared = None
    failures = []
    total = 0
    try:
        shared = Display()
        busy = [subprocess.Popen(["/bin/sh", "-c", "while :; do :; done"],
                                 preexec_fn=die_with_parent) for _ in range(args.busy)]
        print("%d busy loops beside the program" % args.busy)
        for name, runs, own_display, ask, limit, orderly in rows:
            for number in range(1, runs + 1):
                total += 1
                screen = Display() if own_display else shared
                try:
                    problem = run_row(args, (name, ask, limit, orderly), screen, port, scratch)
                finally:
                    if own_display:
                        screen.end()
                if problem:
                    failures.append("%s, run %d: %s" % (name, number, problem))
                    print("%s: %s" % (name, problem), flush=True)
    finally:
        for loop in busy:
            loop.kill()
            loop.wait()
        if shared:
            shared.end()
        shutil.rmtree(scratch, ignore_errors=True)
    print("%d passed, %d failed" % (total - len(failures), len(failures)))
    for failure in failures:
        print("FAILED " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
