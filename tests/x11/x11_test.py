#!/usr/bin/env python3
"""displayformatd on a real X server: a private Xorg with the dummy driver per case, driven
through X11 RandR, or through GNOME's Mutter composited on the same server (and one case on a
headless Wayland Mutter).

DUMMY0 is the primary output and the control display; DUMMY1 carries a real television's EDID
and its timings. Every report line is validated as in the end-to-end tests, and no case may
change DUMMY0's mode.
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


# On GNOME the television's formats are RandR's less those Mutter does not list (modes smaller
# than 800x480: 480p), and with 2160p60.00: Mutter gives a mode's size and rate but no timing,
# so the dummy driver's own 3840x2160 at 59.98 Hz counts as the EDID's 2160p60.
GNOME_FORMATS = [f for f in TV_FORMATS if not f.startswith("480p")] + ["2160p60.00"]


def display_id(connector):
    """The GNOME backend's display ID: FNV-1a of the connector's name, 31 bits, never 0."""
    h = 2166136261
    for b in connector.encode():
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return (h & 0x7FFFFFFF) or 1


def field_rate(mode):
    """The rate of an (width, height, clock, htotal, interlaced) mode of the 1125-line rasters
    and 750-line 720p the cases switch to."""
    w, h, clock, htotal, interlaced = mode
    vtotal = {1080: 1125, 720: 750, 576: 625}[h]
    return clock / (htotal * vtotal) * (2 if interlaced else 1)


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
    BACKEND = "x11"
    FORMATS = TV_FORMATS
    UNAVAILABLE = "2160p60.00"

    def setUp(self):
        gnome = self.BACKEND == "gnome"
        self.x = xserver.XServer(glx=gnome)
        self.x.start()
        self.addCleanup(self.x.stop)
        self.x.make_television(skip=xserver.MUTTER_TWINS if gnome else ())
        self.gnome = None
        if gnome:
            self.gnome = xserver.Mutter(self.x)
            self.gnome.start()
            self.addCleanup(self.gnome.stop)
            self.ids = {name: display_id(name) for name in ("DUMMY0", "DUMMY1")}
        else:
            self.ids = self.x.ids()
        self.control = self.x.current("DUMMY0")
        # The control display's mode is never touched, whatever the case does.
        self.addCleanup(lambda: self.assertEqual(self.x.current("DUMMY0"), self.control))

    def env(self):
        return self.gnome.env() if self.gnome else self.x.env()

    def daemon(self, *args, **env):
        d = Daemon(self, dict(self.env(), **env), ("--backend", self.BACKEND, *args))
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
        if self.gnome:  # Mutter reports it too, at the float32 of the kHz clock's rate
            w, h, hz, interlaced = self.gnome.current("DUMMY1")
            self.assertEqual((w, h, interlaced), (expected[0], expected[1], expected[4]))
            self.assertAlmostEqual(hz, field_rate(expected), delta=1e-4)
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
        runs = [subprocess.run([DAEMON, "--list-displays", *args], env=self.env(),
                               capture_output=True, text=True, timeout=10)
                for args in ((), ("--backend", self.BACKEND))]
        for run in runs:
            self.assertEqual((run.returncode, run.stderr), (0, ""))
        lines = [json.loads(line) for line in runs[0].stdout.splitlines()]
        self.assertEqual([(d["name"], d["id"], d["primary"], d["builtin"]) for d in lines],
                         [("DUMMY0", self.ids["DUMMY0"], True, False),
                          ("DUMMY1", self.ids["DUMMY1"], False, False)])
        self.assertEqual(runs[0].stdout, runs[1].stdout)  # UUIDs are stable across runs
        self.assertEqual(len({d["uuid"] for d in lines}), 2)
        self.assertEqual(lines[1]["mode"]["width"], 1920)
        if self.gnome:
            # The television's UUID is the one RandR gives it, from its EDID.
            x11 = subprocess.run([DAEMON, "--backend", "x11", "--list-displays"],
                                 env=self.env(), capture_output=True, text=True, timeout=10)
            self.assertEqual(json.loads(x11.stdout.splitlines()[1])["uuid"], lines[1]["uuid"])

    def test_catalogue_switch_and_restoration_at_exit(self):
        self.x.set_connector("DUMMY1", "HDMI")  # the CRTC timing becomes the link's signal
        d = self.daemon()
        current = self.catalogue(d)
        self.assertEqual(current["id"], str(self.ids["DUMMY1"]))
        # The EDID's CTA timings, the 1000/1001 ones recognised with their kHz-rounded clocks.
        self.assertEqual(current["formats"], self.FORMATS)
        # With a link the signal's, without one (GNOME) the mode's.
        self.assertIs(current["actual"]["interlaced"], 0 if self.gnome else False)
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
        if self.gnome:
            self.skipTest("Mutter 43 has no colour or HDR modes: no HDMI link")
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
        d.send(self.command(self.UNAVAILABLE))
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
        changes = [lambda: self.x.xrandr("--output", "DUMMY1", "--mode", "720p50")]
        if self.gnome:  # as GNOME Settings would, through Mutter
            changes.append(lambda: self.gnome.apply({"DUMMY1": "1280x720@50.000"}))
        for change in changes:
            change()
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
        if self.gnome:
            self.skipTest("Mutter takes another EDID for another monitor")
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
        # GNOME loses Mutter, or the session bus under it; X11 the server.
        for lose in ((self.gnome.stop_mutter, self.gnome.stop_bus) if self.gnome else
                     (self.x.stop,)):
            with self.subTest(lost=lose.__name__):
                if self.gnome and self.gnome.proc is None:
                    self.gnome.stop()
                    self.gnome.start()
                d = self.daemon()
                self.catalogue(d)
                key = "1080p50"
                self.switched(d, key, P1080_50, revision=2)
                # Commands queued behind the loss get no "missing" of their own: one, then the
                # exit.
                d.send(*[self.command(("720p50", key)[i % 2], revision=3 + i, assign=False)
                         for i in range(10)])
                lose()
                code, rest, err = d.finish()
                phases = [r["phase"] for r in rest]
                self.assertEqual((phases.count("missing"), phases[-1]), (1, "missing"), phases)
                self.assertEqual(code, 1)
                self.assertEqual(err, "")
        if not self.gnome:
            self.control = None  # the server is gone
            self.x.current = lambda output: None

    def test_stale_serial(self):
        # Another client's change whose notice has not reached the service yet: Mutter refuses
        # the configuration made on the old serial, and the service reads again and succeeds.
        if not self.gnome:
            self.skipTest("RandR has no serial to quote")
        hold = xserver.SignalHold(self.gnome.address)
        self.addCleanup(hold.close)
        d = Daemon(self, dict(self.env(), DBUS_SESSION_BUS_ADDRESS=hold.address),
                   ("--backend", "gnome"))
        self.addCleanup(d.close)
        self.catalogue(d)
        hold.hold()
        self.gnome.apply({"DUMMY1": "1280x720@50.000"})
        errors = hold.errors
        self.switched(d, "1080p50", P1080_50, revision=2)
        self.assertEqual(hold.errors - errors, 1)  # the one refusal
        hold.release()
        d.close_input()
        self.assertCleanExit(d)

    def test_arrangement_follows_the_television(self):
        # The television left of the control display: Mutter refuses gaps, so the control
        # display moves along with the television's width, and back.
        if not self.gnome:
            self.skipTest("RandR leaves gaps as they are")
        self.gnome.apply({}, positions={"DUMMY1": (0, 0), "DUMMY0": (1920, 0)})

        def x_of(connector):
            return next(l[0] for l in self.gnome.state()[2] if l[5][0][0] == connector)

        d = self.daemon()
        self.catalogue(d)
        self.switched(d, "720p50", P720_50, revision=2)
        self.assertEqual(x_of("DUMMY0"), 1280)
        d.close_input()
        self.assertCleanExit(d)
        self.assertEqual((x_of("DUMMY0"), self.x.current("DUMMY1")), (1920, P1080_60))


class GnomeTest(X11Test):
    """The same cases through GNOME: Mutter as the compositor of the private Xorg."""

    BACKEND = "gnome"
    FORMATS = GNOME_FORMATS
    UNAVAILABLE = "2160p50"


class HeadlessGnome(e2e.ProcessTest):
    """Mutter's Wayland side: a headless Mutter with virtual monitors of one mode each and no
    EDID, so the television formats come from each mode's size and rate alone."""

    command, report = X11Test.command, X11Test.report

    def test_discovery_and_unavailable(self):
        with xserver.Mutter(virtual=["1920x1080", "1280x720@59.94"]) as g:
            run = subprocess.run([DAEMON, "--list-displays"], env=g.env(), capture_output=True,
                                 text=True, timeout=10)
            self.assertEqual((run.returncode, run.stderr), (0, ""))
            lines = [json.loads(line) for line in run.stdout.splitlines()]
            self.assertEqual([(d["name"], d["id"], d["primary"], d["builtin"]) for d in lines],
                             [("Meta-0", display_id("Meta-0"), True, False),
                              ("Meta-1", display_id("Meta-1"), False, False)])
            self.ids = {"DUMMY0": lines[0]["id"], "DUMMY1": lines[1]["id"]}
            d = Daemon(self, g.env())
            self.addCleanup(d.close)
            d.send(self.command("current"))
            r = self.report(d, "current")
            self.assertEqual((r["formats"], r["actual"]["hz"]), (["720p59.94"], 60000 / 1001))
            d.send(self.command("1080p50", revision=2))
            self.assertFalse(self.report(d, "unavailable")["canPresent"])
            d.close_input()
            self.assertCleanExit(d)


SIM = os.environ.get("DF_SIM", "build/displayformat-sim")
MODELINES = os.environ.get("DF_MODELINES", "build/tests/x11/df_edid_modelines")
EDIDS = os.path.join(xserver.ROOT, "tests/data/edid")
MODE_FLAGS = {"+HSync": 1, "-HSync": 2, "+VSync": 4, "-VSync": 8, "Interlace": 16}


class EdidCorpus(e2e.ProcessTest):
    """Every EDID of the corpus on DUMMY1 in turn, with the modes a driver would publish for it:
    the catalogue is the simulator's for the same EDID."""

    BACKEND = "x11"
    daemon, env, command, report, catalogue = (X11Test.daemon, X11Test.env, X11Test.command,
                                               X11Test.report, X11Test.catalogue)

    def setUp(self):
        self.x = xserver.XServer(glx=self.BACKEND == "gnome")
        self.x.start()
        self.addCleanup(self.x.stop)
        self.xids = self.ids = self.x.ids()
        self.gnome = None
        if self.BACKEND == "gnome":
            self.gnome = xserver.Mutter(self.x)
            self.gnome.start()
            self.addCleanup(self.gnome.stop)
            self.ids = {name: display_id(name) for name in ("DUMMY0", "DUMMY1")}

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
        # Mutter cannot tell two modes of one name apart: a mode named like one added before or
        # like the driver's own 1920x1080 (the CTA timing of 1080p60) is left out.
        names = {"1920x1080@60.000"} if self.gnome else set()
        for i, line in enumerate(lines):
            clock, *numbers = line.split()[:9]
            flags = sum(MODE_FLAGS[f] for f in line.split()[9:])
            w, hss, hse, ht, h, vss, vse, vt = map(int, numbers)
            scan = "i" if flags & 16 else ""
            mutter_name = f"{w}x{h}{scan}@{int(clock) / (ht * vt) * (2 if scan else 1):.3f}"
            if self.gnome and mutter_name in names:
                continue
            names.add(mutter_name)
            name = f"corpus{i}"
            info = dict(id=0, width=w, height=h, dot_clock=int(clock), h_sync_start=hss,
                        h_sync_end=hse, h_total=ht, h_skew=0, v_sync_start=vss, v_sync_end=vse,
                        v_total=vt, name_length=len(name), flags=flags)
            mode = root.xrandr_create_mode(info, name).mode
            d.xrandr_add_output_mode(self.xids["DUMMY1"], mode)
            made.append(mode)
        d.sync()
        if self.gnome:
            # Mutter reads the output again, its EDID too, when a mode is added (not when one
            # is deleted or the EDID changes).
            try:
                self.gnome.settle()
            except RuntimeError:
                self.detach(made)
                raise
        return made

    def detach(self, made):
        d = self.x.connection()
        for mode in made:
            d.xrandr_delete_output_mode(self.xids["DUMMY1"], mode)
            d.xrandr_destroy_mode(mode)
        d.sync()

    def standing_for(self, made):
        """The IDs that the daemon lists the made modes under: of equal timings on the output
        (the driver's own modes first), the first stands for them all."""
        d = self.x.connection()
        res = d.screen().root.xrandr_get_screen_resources()
        info = {m.id: m for m in res.modes}
        listed = d.xrandr_get_output_info(self.xids["DUMMY1"], res.config_timestamp).modes

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
                    if self.gnome:
                        self.assertGnomeCatalogue(r, sim)
                        continue
                    self.assertEqual(r["formats"], sim["formats"])
                    # The dummy's own modes are on every output; only the EDID's are compared.
                    self.assertEqual(self.native(r["nativeModes"], self.standing_for(made)),
                                     self.native(sim["nativeModes"]))
                finally:
                    self.detach(made)

    def assertGnomeCatalogue(self, r, sim):
        """The simulator's catalogue, less what Mutter does not list (modes smaller than
        800x480 in area), within GNOME's: the dummy driver's own modes come on top, and are
        told from the EDID's by no ID."""
        def listed(raster):
            w, h = raster[:-1].split("x")
            return int(w) * int(h) >= 800 * 480

        rasters = {"480p": "720x480p", "480i": "1440x480i", "576p": "720x576p",
                   "576i": "1440x576i", "720p": "1280x720p", "1080": "1920x1080p",
                   "2160": "3840x2160p"}
        formats = [f for f in sim["formats"] if listed(rasters[f[:4]])]
        self.assertEqual(r["formats"], formats)
        natives = [k for k in self.native(sim["nativeModes"]) if listed(k.split(":")[0])]
        self.assertEqual(sorted(set(natives) - set(self.native(r["nativeModes"]))), [])


class GnomeEdidCorpus(EdidCorpus):
    BACKEND = "gnome"


if __name__ == "__main__":
    unittest.main()
