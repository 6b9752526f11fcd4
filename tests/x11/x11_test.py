#!/usr/bin/env python3
"""displayformatd on a real X server: a private Xorg with the dummy driver per case.

DUMMY0 is the primary output and the control display; DUMMY1 carries a real television's EDID
and its timings. Every report line is validated as in the end-to-end tests, and no case may
touch DUMMY0.
"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
import process_test as e2e  # noqa: E402  the harness: report validation, reading, exit
import xserver  # noqa: E402

DAEMON = os.environ.get("DF_DAEMON", "build/displayformatd")
P1080_60 = (1920, 1080, 148500000, 2200, False)
P1080_50 = (1920, 1080, 148500000, 2640, False)
P720_50 = (1280, 720, 74250000, 1980, False)
I1080_5994 = (1920, 1080, 74176000, 2200, True)
P576_50 = (720, 576, 27000000, 864, False)
TV_FORMATS = ["480i59.94", "480i60.00", "480p59.94", "480p60.00", "576i50", "576p50", "720p50",
              "720p59.94", "720p60.00", "1080i50", "1080i59.94", "1080i60.00", "1080p23.976",
              "1080p24", "1080p25", "1080p29.97", "1080p30", "1080p50", "1080p59.94",
              "1080p60.00"]


class Daemon(e2e.Sim):
    """displayformatd on the test's server, read through the end-to-end harness."""

    def __init__(self, test, env, args=()):
        self.test = test
        self.dir = tempfile.TemporaryDirectory()
        self.proc = subprocess.Popen([DAEMON, *args], env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.buffer = b""
        self.reports = []

    def violations(self):
        return []  # a real server keeps no action log; the cases read the server instead


class X11Test(e2e.ProcessTest):
    def setUp(self):
        self.x = xserver.XServer()
        self.x.start()
        self.addCleanup(self.x.stop)
        self.x.make_television()
        self.ids = self.x.ids()
        self.control = self.x.current("DUMMY0")
        # The control display is never touched, whatever the case does.
        self.addCleanup(lambda: self.assertEqual(self.x.current("DUMMY0"), self.control))

    def daemon(self, *args, **env):
        d = Daemon(self, dict(self.x.env(), **env), args)
        self.addCleanup(d.close)
        return d

    def command(self, fmt, revision=1, **keys):
        c = {"format": fmt, "control": self.ids["DUMMY0"], "assign": True,
             "id": self.ids["DUMMY1"], "enabled": True, "apply": True, "revision": revision}
        c.update(keys)
        return json.dumps(c)

    def report(self, d, phase, timeout=5.0):
        """Reads reports until one has the phase; fails when none comes in time."""
        deadline = time.monotonic() + timeout
        seen = []
        while time.monotonic() < deadline:
            r = d.read_report(deadline - time.monotonic())
            if r is None:
                break
            seen.append(r["phase"])
            if r["phase"] == phase:
                return r
        self.fail(f"no {phase!r} report; phases seen: {seen}")

    def switched(self, d, fmt, expected, revision=1):
        d.send(self.command(fmt, revision))
        r = self.report(d, "matched")
        self.assertEqual(self.x.current("DUMMY1"), expected)
        return r

    def native(self, report, key):
        """The native key of the television's mode named like '1920x1080p:50000000'."""
        found = [k for k in report["nativeModes"] if k.endswith(key)]
        self.assertEqual(len(found), 1, key)
        return found[0]

    def catalogue(self, d):
        d.send(self.command("current"))
        return self.report(d, "current")

    # --- the cases ---

    def test_list_displays(self):
        runs = [subprocess.run([DAEMON, "--list-displays"], env=self.x.env(),
                               capture_output=True, text=True, timeout=10) for _ in range(2)]
        for run in runs:
            self.assertEqual((run.returncode, run.stderr), (0, ""))
        lines = [json.loads(line) for line in runs[0].stdout.splitlines()]
        self.assertEqual([(d["name"], d["id"], d["primary"], d["builtin"]) for d in lines],
                         [("DUMMY0", self.ids["DUMMY0"], True, False),
                          ("DUMMY1", self.ids["DUMMY1"], False, False)])
        self.assertEqual(runs[0].stdout, runs[1].stdout)  # UUIDs are stable across runs
        self.assertEqual(len({d["uuid"] for d in lines}), 2)
        self.assertEqual(lines[1]["mode"]["width"], 1920)

    def test_catalogue_switch_and_restoration_at_exit(self):
        self.x.set_connector("DUMMY1", "HDMI")  # the CRTC timing becomes the link's signal
        d = self.daemon()
        current = self.catalogue(d)
        self.assertEqual(current["id"], str(self.ids["DUMMY1"]))
        # The EDID's CTA timings, the 1000/1001 ones recognised with their kHz-rounded clocks.
        self.assertEqual(current["formats"], TV_FORMATS)
        self.assertIs(current["actual"]["interlaced"], False)  # the signal's, not the mode's 0
        keys = [k.split(":", 2)[2].split(":", 1)[1] for k in current["nativeModes"]]
        self.assertEqual(keys.count("1920x1080p:60000000"), 1)  # equal timings are one mode
        r = self.switched(d, "1080i59.94", I1080_5994, revision=2)
        self.assertEqual(r["actual"]["format"], "1080i59.94")
        self.assertAlmostEqual(r["actual"]["hz"], 60000 / 1001, delta=2 ** -16)
        self.switched(d, self.native(current, "1920x1080p:50000000"), P1080_50, revision=3)
        d.close_input()
        self.assertCleanExit(d)
        self.assertEqual(self.x.current("DUMMY1"), P1080_60)

    def test_connection_modes_from_colour_properties(self):
        self.x.set_connector("DUMMY1", "HDMI")
        original = self.x.add_colour_properties("DUMMY1")
        names = list(original)

        def values():
            return {n: self.x.property("DUMMY1", n) for n in names}

        d = self.daemon()
        # Connection modes share the signal's rate: the connection offers no other format.
        self.assertEqual(self.catalogue(d)["formats"], TV_FORMATS)
        self.switched(d, "1080p50", P1080_50, revision=2)
        d.close_input()
        rest = self.assertCleanExit(d)
        self.assertFalse(any(r["restoreFailed"] for r in rest))
        self.assertEqual(self.x.current("DUMMY1"), P1080_60)
        self.assertEqual(values(), original)
        # The colour properties are part of the link's state: another client's change to them
        # is somebody else's change, left alone at exit like a mode set with xrandr.
        d = self.daemon()
        self.catalogue(d)
        self.switched(d, "1080p50", P1080_50, revision=2)
        self.x.xrandr("--output", "DUMMY1", "--set", "Broadcast RGB", "Limited 16:235")
        time.sleep(0.5)  # its event arrives before the end of input
        d.close_input()
        self.assertCleanExit(d)
        self.assertEqual(self.x.current("DUMMY1"), P1080_50)
        self.assertNotEqual(values(), original)

    def test_current_changes_nothing(self):
        d = self.daemon()
        r = self.catalogue(d)
        self.assertTrue(r["canPresent"])
        self.assertEqual(r["actual"]["hz"], 60.0)
        d.close_input()
        self.assertCleanExit(d)
        self.assertEqual(self.x.current("DUMMY1"), P1080_60)

    def test_unavailable(self):
        d = self.daemon()
        d.send(self.command("2160p60.00"))
        self.assertFalse(self.report(d, "unavailable")["canPresent"])
        self.assertEqual(self.x.current("DUMMY1"), P1080_60)
        # The EDID declares 576p50 only as its 16:9 VIC, which shares the 4:3 one's timing.
        self.switched(d, "576p50", P576_50, revision=2)

    def test_restoration_at_disable_and_signals(self):
        for sig in (None, signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=sig):
                d = self.daemon()
                self.catalogue(d)
                key = "1080p50"
                self.switched(d, key, P1080_50, revision=2)
                if sig is None:
                    d.send(self.command(key, revision=3, assign=False, enabled=False))
                    self.report(d, "idle")
                    self.assertEqual(self.x.current("DUMMY1"), P1080_60)
                    d.close_input()
                else:
                    d.proc.send_signal(sig)
                self.assertCleanExit(d)
                self.assertEqual(self.x.current("DUMMY1"), P1080_60)

    def test_another_client_changes_the_mode(self):
        d = self.daemon()
        self.catalogue(d)
        key = "1080p50"
        self.switched(d, key, P1080_50, revision=2)
        self.x.xrandr("--output", "DUMMY1", "--mode", "720p50")
        r = self.report(d, "mismatch")  # the debounce sees it; the rechecks put it back
        self.assertEqual(r["actual"]["width"], 1280)
        self.report(d, "matched")
        self.assertEqual(self.x.current("DUMMY1"), P1080_50)
        # Control off, then somebody else's mode: nothing is restored over it at exit.
        d.send(self.command("current", revision=3, assign=False))
        self.report(d, "current")
        self.x.xrandr("--output", "DUMMY1", "--mode", "720p50")
        d.close_input()
        self.assertCleanExit(d)
        self.assertEqual(self.x.current("DUMMY1"), P720_50)

    def test_output_off_and_on_as_hotplug(self):
        d = self.daemon()
        self.catalogue(d)
        key = "1080p50"
        self.switched(d, key, P1080_50, revision=2)
        self.x.xrandr("--output", "DUMMY1", "--off")
        self.report(d, "protected")  # connected but dark: inactive
        self.x.xrandr("--output", "DUMMY1", "--auto", "--right-of", "DUMMY0")
        self.report(d, "matched")  # the debounce or a recheck brings the chosen mode back
        self.assertEqual(self.x.current("DUMMY1"), P1080_50)
        # The dummy's stand-in for an unplug: the output reports itself disconnected.
        self.x.set_connected("DUMMY1", False)
        self.report(d, "missing")
        self.x.set_connected("DUMMY1", True)
        self.report(d, "matched")
        d.close_input()
        self.assertCleanExit(d)
        self.assertEqual(self.x.current("DUMMY1"), P1080_60)

    def test_edid_rewritten_while_lit(self):
        # A sink may rewrite its EDID while it shows a picture. The lit connector stays the
        # target it was, and the service's mode on it is put back at the end.
        d = self.daemon()
        uuid = self.catalogue(d)["uuid"]
        self.switched(d, "1080p50", P1080_50, revision=2)
        self.x.delete_property("DUMMY1", "EDID")
        with open(os.path.join(e2e.EDIDS, "dell-dela020-0ec4a9f2.bin"), "rb") as f:
            self.x.set_property("DUMMY1", "EDID", list(f.read()))  # a monitor's, not a TV's
        d.send(self.command("1080p50", revision=3, assign=False))
        r = self.report(d, "matched")
        self.assertEqual((r["uuid"], r["formats"]), (uuid, TV_FORMATS))
        d.close_input()
        self.assertCleanExit(d)
        self.assertEqual(self.x.current("DUMMY1"), P1080_60)

    def test_control_display_is_never_a_target(self):
        # With developer diagnostics appended to a file that the environment names.
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        path = os.path.join(tmp.name, "diagnostics.jsonl")
        with open(path, "w") as f:
            f.write('{"event":"earlier"}\n')
        d = self.daemon(DISPLAYFORMAT_DIAGNOSTICS=path)
        d.send(self.command("current", id=self.ids["DUMMY0"]))
        self.assertEqual(self.report(d, "protected")["nativeModes"], {})
        d.close_input()
        self.assertCleanExit(d)
        with open(path) as f:
            events = [json.loads(line)["event"] for line in f]
        self.assertEqual(events[:2], ["earlier", "assign"])

    def test_lost_connection(self):
        d = self.daemon()
        self.catalogue(d)
        key = "1080p50"
        self.switched(d, key, P1080_50, revision=2)
        # Commands queued behind the loss get no "missing" of their own: one, then the exit.
        d.send(*[self.command(("720p50", key)[i % 2], revision=3 + i, assign=False)
                 for i in range(10)])
        self.x.stop()
        code, rest, err = d.finish()
        phases = [r["phase"] for r in rest]
        self.assertEqual((phases.count("missing"), phases[-1]), (1, "missing"), phases)
        self.assertEqual(code, 1)
        self.assertEqual(err, "")
        self.control = None  # the server is gone
        self.x.current = lambda output: None



SIM = os.environ.get("DF_SIM", "build/displayformat-sim")
MODELINES = os.environ.get("DF_MODELINES", "build/tests/x11/df_edid_modelines")
EDIDS = os.path.join(xserver.ROOT, "tests/data/edid")
MODE_FLAGS = {"+HSync": 1, "-HSync": 2, "+VSync": 4, "-VSync": 8, "Interlace": 16}


class EdidCorpus(e2e.ProcessTest):
    """Every EDID of the corpus on DUMMY1 in turn, with the modes a driver would publish for it:
    the X11 catalogue is the simulator's for the same EDID."""

    daemon, command, report, catalogue = (X11Test.daemon, X11Test.command, X11Test.report,
                                          X11Test.catalogue)

    def setUp(self):
        self.x = xserver.XServer()
        self.x.start()
        self.addCleanup(self.x.stop)
        self.ids = self.x.ids()
        self.control = self.x.current("DUMMY0")

    def attach(self, path):
        """Sets the EDID and adds its modes to DUMMY1; returns the created mode IDs."""
        from Xlib.ext import randr
        with open(path, "rb") as f:
            self.x.set_property("DUMMY1", "EDID", list(f.read()))
        lines = subprocess.run([MODELINES, path], capture_output=True, text=True, check=True,
                               timeout=10).stdout.splitlines()
        d = self.x.connection()
        root = d.screen().root
        made = []
        for i, line in enumerate(lines):
            clock, *numbers = line.split()[:9]
            flags = sum(MODE_FLAGS[f] for f in line.split()[9:])
            w, hss, hse, ht, h, vss, vse, vt = map(int, numbers)
            name = f"corpus{i}"
            info = dict(id=0, width=w, height=h, dot_clock=int(clock), h_sync_start=hss,
                        h_sync_end=hse, h_total=ht, h_skew=0, v_sync_start=vss, v_sync_end=vse,
                        v_total=vt, name_length=len(name), flags=flags)
            mode = root.xrandr_create_mode(info, name).mode
            d.xrandr_add_output_mode(self.ids["DUMMY1"], mode)
            made.append(mode)
        d.sync()
        return made

    def detach(self, made):
        d = self.x.connection()
        for mode in made:
            d.xrandr_delete_output_mode(self.ids["DUMMY1"], mode)
            d.xrandr_destroy_mode(mode)
        d.sync()

    def standing_for(self, made):
        """The IDs that the daemon lists the made modes under: of equal timings on the output
        (the driver's own modes first), the first stands for them all."""
        d = self.x.connection()
        res = d.screen().root.xrandr_get_screen_resources()
        info = {m.id: m for m in res.modes}
        listed = d.xrandr_get_output_info(self.ids["DUMMY1"], res.config_timestamp).modes

        def timing(m):
            return (m.width, m.height, m.h_sync_start, m.h_sync_end, m.h_total, m.h_skew,
                    m.v_sync_start, m.v_sync_end, m.v_total, m.flags, m.dot_clock // 1000)

        first = {}
        for mode in listed:
            first.setdefault(timing(info[mode]), mode)
        return {first[timing(info[mode])] for mode in made}

    @staticmethod
    def native(modes, ids=None):
        """The native keys' size, scan and rate, of the modes whose ID is in ids (all: None)."""
        out = []
        for key in modes:
            _, _, mode, raster, rate = key.split(":")
            if ids is None or int(mode, 16) in ids:
                out.append(f"{raster}:{rate}")
        return sorted(out)

    def test_every_edid_as_the_simulator_lists_it(self):
        names = sorted(n for n in os.listdir(EDIDS) if n.endswith(".bin"))
        self.assertEqual(len(names), 32)
        for name in names:
            with self.subTest(edid=name):
                path = os.path.join(EDIDS, name)
                sim = json.loads(subprocess.run([SIM, "--edid", path, "--list-formats"],
                                                capture_output=True, check=True,
                                                timeout=20).stdout)
                made = self.attach(path)
                try:
                    d = self.daemon()
                    r = self.catalogue(d)
                    d.close_input()
                    self.assertCleanExit(d)
                    self.assertEqual(r["formats"], sim["formats"])
                    # The dummy's own modes are on every output; only the EDID's are compared.
                    self.assertEqual(self.native(r["nativeModes"], self.standing_for(made)),
                                     self.native(sim["nativeModes"]))
                finally:
                    self.detach(made)

if __name__ == "__main__":
    unittest.main()
