#!/usr/bin/env python3
"""displayformat.so in the real mpv: clips made by ffmpeg, played with no audio or video output
against displayformat-sim on the studio television, and once on a private Xorg with
displayformatd. Checked through the simulator's action log, the plugin's lines in mpv's log
and, on X11, RandR.
"""
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.environ.get("DF_ROOT", os.path.dirname(os.path.dirname(HERE)))
PLUGIN = os.environ.get("DF_PLUGIN", "build/displayformat.so")
SIM = os.environ.get("DF_SIM", "build/displayformat-sim")
DAEMON = os.environ.get("DF_DAEMON", "")
STUDIO = os.path.join(ROOT, "scenarios/studio-tv.json")
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "x11"))
import xserver  # noqa: E402  the private Xorg, and alive()
TV_ONLY = "machine: the television alone"  # a row's option that drops the laptop panel

# The studio television's mode IDs (display 2); it starts in mode 1, 1080p60.00.
P1080 = {"23.976": 8, "24": 7, "25": 6, "29.97": 5, "50": 3, "60.00": 1}
P720_50 = 18


class Clips:
    """Short clips at broadcast rates, made once for the module in a temporary directory."""

    def __init__(self):
        self.dir = tempfile.TemporaryDirectory(prefix="df-mpv-")

    def path(self, rate, size="320x180", seconds=1):
        # Matroska: mpv knows the picture size before decoding (from MP4 only later)
        name = os.path.join(self.dir.name, f"{rate.replace('/', '_')}-{size}-{seconds}.mkv")
        if not os.path.exists(name):
            subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                            f"testsrc2=size={size}:rate={rate}", "-t", str(seconds),
                            "-c:v", "mpeg4", "-q:v", "31", name], check=True)
        return name

    def still(self):
        name = os.path.join(self.dir.name, "still.png")
        if not os.path.exists(name):
            subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                            "testsrc2=size=320x180", "-frames:v", "1", name], check=True)
        return name

    def audio(self):
        name = os.path.join(self.dir.name, "tone.ogg")
        if not os.path.exists(name):
            subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=d=1",
                            name], check=True)
        return name


CLIPS = None


def setUpModule():
    global CLIPS
    CLIPS = Clips()


def tearDownModule():
    CLIPS.dir.cleanup()


class Player:
    """One mpv process with the plugin; its log and, when asked, its IPC socket."""

    def __init__(self, files, opts, args=(), env=None, ipc=False):
        self.dir = tempfile.TemporaryDirectory(prefix="df-mpv-run-")
        self.log = os.path.join(self.dir.name, "mpv.log")
        self.ipc = os.path.join(self.dir.name, "ipc") if ipc else None
        cmd = ["mpv", "--no-config", "--really-quiet", f"--script={PLUGIN}",
               f"--log-file={self.log}", "--script-opts=" + ",".join(opts), *args]
        if self.ipc:
            cmd.append(f"--input-ipc-server={self.ipc}")
        self.proc = subprocess.Popen(cmd + ["--", *files], env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def request(self, *command, timeout=10.0):
        deadline = time.monotonic() + timeout
        while not os.path.exists(self.ipc):
            if time.monotonic() > deadline:
                raise AssertionError("mpv opened no IPC socket")
            time.sleep(0.02)
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(self.ipc)
            s.sendall(json.dumps({"command": list(command)}).encode() + b"\n")
            data = b""
            while b"\n" not in data:
                data += s.recv(4096)
        return json.loads(data.split(b"\n")[0])

    def wait_playing(self, timeout=10.0):
        """Until playback has gone past its start, that is the plugin has let it go."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            r = self.request("get_property", "time-pos")
            if r.get("error") == "success" and r["data"] > 0.2:
                return
            time.sleep(0.05)
        raise AssertionError("mpv did not start playing")

    def finish(self, timeout=30.0):
        out, err = self.proc.communicate(timeout=timeout)
        with open(self.log) as f:
            self.lines = f.read().splitlines()
        self.stdout = out.decode() + err.decode()
        return self.proc.returncode

    def plugin(self):
        return [line.split("[displayformat] ", 1)[1] for line in self.lines
                if "[displayformat] " in line]

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.dir.cleanup()


class MpvTest(unittest.TestCase):
    def play(self, files, opts=(), args=(), env=None, ipc=False):
        p = Player(files, list(opts), args, env, ipc)
        self.addCleanup(p.close)
        return p

    def assertReaped(self, player):
        """The service the plugin started is gone once mpv has quit."""
        for line in player.plugin():
            if line.startswith("started "):
                pid = int(line.rsplit("(pid ", 1)[1].rstrip(")"))
                self.assertFalse(xserver.alive(pid), "the service outlived mpv")


class Simulated(MpvTest):
    # clips (rate, size), script-opts, how mpv ends, the modes set on the television in order
    # (the last one the restoration), a line the plugin must log. The television and the control
    # display are the plugin's own choice from --list-displays.
    CASES = [
        ("23.976 is not 24", [("24000/1001", None)], [], "eof", [P1080["23.976"], 1],
         "1080p23.976 shown"),
        ("25", [("25", None)], [], "eof", [P1080["25"], 1], "1080p25 shown"),
        ("29.97", [("30000/1001", None)], [], "eof", [P1080["29.97"], 1], "1080p29.97 shown"),
        ("already shown", [("60", None)], [], "eof", [], "1080p60.00 already shown"),
        ("match: the content's raster", [("50", "1280x720")], ["displayformat-resolution=match"],
         "eof", [P720_50, 1], "720p50 shown"),
        ("a still image", ["still"], [], "eof", [], "a still image"),
        ("no video", ["audio"], [], "eof", [], "no video"),
        ("fullscreen only", [("25", None)], ["displayformat-fullscreen-only=yes"], "eof", [],
         "not fullscreen"),
        ("one rate, one switch", [("24000/1001", None), ("24000/1001", None)], [], "eof",
         [P1080["23.976"], 1], "1080p23.976 already shown"),
        ("another rate: switched directly", [("24000/1001", None), ("25", None)], [], "eof",
         [P1080["23.976"], P1080["25"], 1], "1080p25 shown"),
        ("q during playback", [("24", "320x180", 20)], [], "q", [P1080["24"], 1],
         "1080p24 shown"),
        ("SIGTERM during playback", [("24", "320x180", 20)], [], "sigterm", [P1080["24"], 1],
         "1080p24 shown"),
        ("the television is the only display", [("25", None)], [TV_ONLY], "eof",
         [P1080["25"], 1], "target HDMI-1 (2), control 4294967295"),
        ("no service: plays all the same", [("25", None)], ["displayformat-service=/nonexistent"],
         "eof", None, "cannot start /nonexistent"),
    ]

    def test_clips(self):
        for what, clips, opts, end, modes, line in self.CASES:
            with self.subTest(what), tempfile.TemporaryDirectory() as d:
                actions = os.path.join(d, "actions.jsonl")
                files = []
                for clip in clips:
                    if clip == "still":
                        files.append(CLIPS.still())
                    elif clip == "audio":
                        files.append(CLIPS.audio())
                    else:
                        rate, size, *seconds = clip
                        files.append(CLIPS.path(rate, size or "320x180", *seconds))
                scenario = STUDIO
                if TV_ONLY in opts:
                    with open(STUDIO) as f:
                        machine = json.load(f)
                    machine["displays"] = [m for m in machine["displays"] if m["id"] == 2]
                    scenario = os.path.join(d, "tv-only.json")
                    with open(scenario, "w") as f:
                        json.dump(machine, f)
                    opts = [o for o in opts if o != TV_ONLY]
                base = [f"displayformat-service={SIM}",
                        f"displayformat-args=--action-log {actions} {scenario}"]
                p = self.play(files, base + opts, ["--vo=null", "--ao=null"], ipc=end != "eof")
                if end != "eof":
                    p.wait_playing()
                    if end == "q":
                        p.request("keypress", "q")
                    else:
                        p.proc.send_signal(signal.SIGTERM)
                # mpv's own status for a quit by signal is 4
                self.assertEqual(p.finish(), 4 if end == "sigterm" else 0, p.stdout)
                self.assertEqual(p.stdout, "", "nothing on the terminal")
                log = p.plugin()
                self.assertTrue(any(line in entry for entry in log), log)
                self.assertReaped(p)
                if modes is None:
                    continue
                calls = []
                if os.path.exists(actions):  # written by a simulator that ran
                    with open(actions) as f:
                        calls = [json.loads(a) for a in f]
                self.assertEqual([a["modeId"] for a in calls
                                  if a["call"] == "configureDisplayWithMode"], modes, log)
                self.assertFalse([a for a in calls if a["call"] == "violation"])
                if modes:
                    # The hook held playback until the switch was verified.
                    shown = next(i for i, entry in enumerate(p.lines) if " shown" in entry
                                 and "[displayformat]" in entry)
                    first = next(i for i, entry in enumerate(p.lines)
                                 if "first video frame" in entry)
                    self.assertLess(shown, first)


@unittest.skipUnless(DAEMON, "displayformatd is not built")
class OnXorg(MpvTest):
    def test_fullscreen_on_the_television(self):
        x = xserver.XServer()
        x.start()
        self.addCleanup(x.stop)
        x.make_television()
        before = {o: x.current(o) for o in ("DUMMY0", "DUMMY1")}
        # displayformatd is found beside the plugin; the television is the one non-primary
        # output and the primary one is the control display.
        p = self.play([CLIPS.path("24000/1001", "320x180", 20)], [],
                      ["--vo=x11", "--fs", "--fs-screen-name=DUMMY1", "--ao=null"],
                      env=x.env(), ipc=True)
        p.wait_playing()
        self.assertEqual(x.current("DUMMY1"), (1920, 1080, 74176000, 2750, False))
        p.request("quit")
        self.assertEqual(p.finish(), 0, p.stdout)
        self.assertEqual({o: x.current(o) for o in ("DUMMY0", "DUMMY1")}, before)
        self.assertReaped(p)


if __name__ == "__main__":
    unittest.main()
