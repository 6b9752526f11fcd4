#!/usr/bin/env python3
"""Process-level tests: displayformat-sim through its pipes, in real time.

Every report line of every test is validated against docs/schema/report.schema.json.
"""
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import jsonschema

SIM = os.environ.get("DF_SIM", "build/displayformat-sim")
ROOT = os.environ.get("DF_ROOT", os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))))
with open(os.path.join(ROOT, "docs/schema/report.schema.json")) as f:
    REPORT_SCHEMA = json.load(f)
VALIDATOR = jsonschema.Draft202012Validator(REPORT_SCHEMA)
with open(os.path.join(ROOT, "scenarios/studio-tv.json")) as f:
    STUDIO = json.load(f)
TV = "5C9D1E2F-7A38-4B46-8C05-E1F2A3B4C5D6"
# The signals that end the service as SIGTERM does.
ENDING_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)


def command(fmt, revision=1, assign=True, enabled=True, apply=True):
    c = {"format": fmt, "control": 1, "enabled": enabled, "apply": apply, "revision": revision}
    if assign:
        c.update({"assign": True, "id": 2})
    return json.dumps(c)


class Sim:
    """One displayformat-sim process on a scenario, with its action log in a temp file."""

    def __init__(self, test, scenario=None, path=None, args=(), preexec_fn=None):
        self.test = test
        self.dir = tempfile.TemporaryDirectory()
        if path is None:
            path = os.path.join(self.dir.name, "scenario.json")
            with open(path, "w") as f:
                json.dump(scenario if scenario is not None else STUDIO, f)
        self.log = os.path.join(self.dir.name, "actions.jsonl")
        self.proc = subprocess.Popen([SIM, "--action-log", self.log, *args, path],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, preexec_fn=preexec_fn)
        self.buffer = b""
        self.reports = []

    def wait_ready(self, timeout=10.0):
        """Waits until main has begun and blocked or caught SIGTERM, so that a signal cannot
        kill it outright (before main, the dynamic loader runs with the default action)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                with open(f"/proc/{self.proc.pid}/status") as f:
                    masks = {line.split()[0]: int(line.split()[1], 16) for line in f
                             if line.startswith(("SigBlk:", "SigCgt:"))}
                if (masks.get("SigBlk:", 0) | masks.get("SigCgt:", 0)) & (1 << (signal.SIGTERM - 1)):
                    return
            except (FileNotFoundError, ProcessLookupError):
                pass
            time.sleep(0.01)
        self.test.fail("the process never started watching SIGTERM")

    def send(self, *lines, raw=False):
        for line in lines:
            data = line if raw else (line + "\n").encode()
            self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def close_input(self):
        self.proc.stdin.close()
        self.proc.stdin = None  # communicate() must not flush it again

    def read_report(self, timeout=5.0):
        """The next report line, or None when none comes within the timeout."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if not ready:
                return None
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return self._check(line)

    def _check(self, line):
        report = json.loads(line)
        VALIDATOR.validate(report)
        self.test.assertEqual(line.decode(), json.dumps(report, separators=(",", ":"),
                                                        ensure_ascii=False),
                              "not one compact JSON object per line")
        self.reports.append(report)
        return report

    def exits_by_itself(self, timeout=5.0):
        """Waits for the exit with the input still open, so the end of input cannot be what
        ended it."""
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.test.fail(f"still running {timeout} s after the signal")

    def finish(self, timeout=10.0):
        """Waits for the exit; returns (status, the remaining reports, stderr)."""
        if self.proc.stdin is not None and self.proc.stdin.closed:
            self.proc.stdin = None
        out, err = self.proc.communicate(timeout=timeout)
        rest = [self._check(line) for line in (self.buffer + out).split(b"\n") if line]
        self.buffer = b""
        return self.proc.returncode, rest, err.decode(errors="replace")

    def actions(self):
        with open(self.log) as f:
            return [json.loads(line) for line in f if line.strip()]

    def configured(self):
        return [(a["display"], a["modeId"]) for a in self.actions()
                if a["call"] == "configureDisplayWithMode"]

    def violations(self):
        return [a for a in self.actions() if a["call"] == "violation"]

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if stream is None:
                continue
            try:
                stream.close()
            except (BrokenPipeError, OSError):
                pass
        self.dir.cleanup()


class ProcessTest(unittest.TestCase):
    def sim(self, **kwargs):
        s = Sim(self, **kwargs)
        self.addCleanup(s.close)
        return s

    def assertCleanExit(self, sim, status=0):
        code, rest, err = sim.finish()
        self.assertEqual(code, status)
        self.assertEqual(err, "")
        self.assertEqual(sim.violations(), [])
        return rest


class Startup(ProcessTest):
    def test_end_of_input_before_any_command(self):
        s = self.sim()
        s.close_input()
        self.assertEqual(self.assertCleanExit(s), [])
        self.assertEqual(s.actions(), [])

    def test_ending_signal_before_any_command(self):
        for sig in ENDING_SIGNALS:
            with self.subTest(signal=sig.name):
                s = self.sim()
                s.wait_ready()
                s.proc.send_signal(sig)
                s.exits_by_itself()
                self.assertEqual(self.assertCleanExit(s), [])
                self.assertEqual(s.actions(), [])

    def test_sigterm_during_start_up_is_not_lost(self):
        # The scenario comes through a FIFO, so the signal lands while the process is still
        # loading it, before any handling could have been installed; then start-up goes on.
        with tempfile.TemporaryDirectory() as d:
            fifo = os.path.join(d, "scenario.json")
            os.mkfifo(fifo)
            s = self.sim(path=fifo)
            s.wait_ready()
            s.proc.send_signal(signal.SIGTERM)
            deadline = time.monotonic() + 10
            while True:
                try:
                    fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                    break
                except OSError:  # no reader yet
                    self.assertIsNone(s.proc.poll(), "the signal ended the process")
                    self.assertLess(time.monotonic(), deadline, "the scenario was never read")
                    time.sleep(0.01)
            os.set_blocking(fd, True)
            with os.fdopen(fd, "w") as f:
                json.dump(STUDIO, f)
            s.exits_by_itself(timeout=2.0)
            self.assertEqual(self.assertCleanExit(s), [])
            self.assertEqual(s.actions(), [])

    def test_sigterm_right_after_exec_when_the_parent_blocks_it(self):
        # Before main the default action applies; a parent that may stop the service at once
        # starts it with the signals blocked, and the mask survives exec.
        s = self.sim(preexec_fn=lambda: signal.pthread_sigmask(signal.SIG_BLOCK, ENDING_SIGNALS))
        s.proc.send_signal(signal.SIGTERM)
        s.exits_by_itself(timeout=2.0)
        self.assertEqual(self.assertCleanExit(s), [])
        self.assertEqual(s.actions(), [])

    def test_failed_registration_exits_one_without_reading(self):
        scenario = dict(STUDIO, faults=[{"call": "registerReconfigurationCallback", "error": 1000}])
        s = self.sim(scenario=scenario)
        # Input stays open: the process must not wait for it.
        code = s.proc.wait(timeout=5)
        self.assertEqual(code, 1)
        self.assertEqual(s.proc.stdout.read(), b"")
        self.assertEqual(s.proc.stderr.read(), b"")

    def test_garbage_writes_nothing(self):
        diagnostics = tempfile.NamedTemporaryFile(suffix=".jsonl")
        self.addCleanup(diagnostics.close)
        s = self.sim(args=("--diagnostics", diagnostics.name))
        garbage = [b"\n", b"   \n", b"hello\n", b"[1,2]\n", b"42\n", b"null\n", b"{}\n",
                   b'{"format":null}\n', b'{"format":7}\n', b'{"format":["auto"]}\n',
                   b'{"format":"auto"}{"format":"auto"}\n', b'{"format":"auto"} x\n',
                   b'{"format":"\xff"}\n', b'{"format":"auto","revision":1e99999}\n',
                   b'{"format":"auto","x":' + b"[" * 100000 + b"\n",
                   # A command but for its length: skipped as it streams in, never held whole.
                   b'{"format":"current","x":"' + b"a" * (100 << 20) + b'"}\n']
        s.send(*garbage, raw=True)
        # Nothing on stdout for the garbage, and the next command is still answered.
        s.send(command("current"))
        self.assertEqual(s.read_report()["phase"], "current")
        s.close_input()
        self.assertEqual(self.assertCleanExit(s), [])
        self.assertEqual(s.actions(), [])
        # One short line each in the diagnostics.
        dropped = [json.loads(line) for line in diagnostics][:len(garbage)]
        self.assertEqual([d["line"] for d in dropped], list(range(1, len(garbage) + 1)))
        self.assertTrue(all(len(d["why"]) < 300 for d in dropped), dropped)
        self.assertEqual(dropped[-1]["why"], "longer than 1048576 bytes")

    def test_last_line_without_newline_is_a_command(self):
        s = self.sim()
        s.send(command("current").encode(), raw=True)
        s.close_input()
        rest = self.assertCleanExit(s)
        self.assertEqual([r["phase"] for r in rest], ["current"])

    def test_options_and_bad_files(self):
        usage = subprocess.run([SIM, "--help"], capture_output=True, timeout=10).stdout.decode()
        usage = usage[:usage.index("\n\n") + 1]
        with tempfile.TemporaryDirectory() as d:
            broken = os.path.join(d, "broken.json")
            with open(broken, "w") as f:
                f.write('{"displays": [\n  {"id": 1,}]}')
            wrong = os.path.join(d, "wrong.json")
            with open(wrong, "w") as f:
                json.dump({"displays": [{"id": "two", "uuid": None}]}, f)
            studio = os.path.join(ROOT, "scenarios/studio-tv.json")
            unwritable = os.path.join(d, "no-such-dir", "actions.jsonl")
            # (arguments, exit status, what the one line of stderr or the first of stdout says,
            # whether the usage follows it)
            cases = [
                ([os.path.join(d, "missing.json")], 2, "missing.json: not found", False),
                (["--edid", os.path.join(d, "missing.bin")], 2, "missing.bin: not found", False),
                ([d], 2, "cannot be read (Is a directory)", False),
                ([broken], 2, "not valid JSON at line 2, column 12", False),
                ([wrong], 2, "displays[0].id", False),
                ([], 2, "no SCENARIO.json given", True),
                (["--frobnicate", studio], 2, "unknown option --frobnicate", True),
                (["--list-displays", "--edid", broken, "--list-formats"], 2,
                 "one of --list-displays, --list-formats and --write-scenario", True),
                (["--action-log", unwritable, studio], 2, "--action-log " + unwritable +
                 ": cannot be written", False),
                (["--diagnostics", d, studio], 2, "--diagnostics " + d + ": cannot be written",
                 False),
                (["--help"], 0, "usage: displayformat-sim", False),
                (["--version"], 0, "displayformat-sim ", False),
            ]
            for args, status, says, with_usage in cases:
                with self.subTest(args=args):
                    p = subprocess.run([SIM, *args], input=b"", capture_output=True, timeout=10)
                    self.assertEqual(p.returncode, status)
                    out, err = p.stdout.decode(), p.stderr.decode()
                    if status == 0:
                        self.assertEqual(err, "")
                        self.assertIn(says, out.splitlines()[0])
                    else:
                        self.assertEqual(out, "")
                        first, _, rest = err.partition("\n")
                        self.assertIn(says, first)
                        self.assertEqual(rest, usage if with_usage else "")
                        self.assertNotIn(d + ": " + d, err, "the path said twice")

    def test_list_displays(self):
        # In front of the arguments that start the service; the action log is not written.
        with tempfile.TemporaryDirectory() as d:
            log = os.path.join(d, "actions.jsonl")
            runs = [
                (["--list-displays", "--action-log", log, os.path.join(ROOT,
                                                                       "scenarios/studio-tv.json")],
                 [(1, "eDP-1", True, True, 3024), (2, "HDMI-1", False, False, 1920)], TV),
                (["--list-displays", "--edid", os.path.join(EDIDS, "samsung-sam0ff9-9e7f033f.bin")],
                 [(1, "eDP-1", True, True, 3024), (2, "HDMI-1", False, False, 3840)], None),
            ]
            for args, displays, tv_uuid in runs:
                with self.subTest(args=args):
                    p = subprocess.run([SIM, *args], capture_output=True, timeout=10)
                    self.assertEqual((p.returncode, p.stderr), (0, b""))
                    lines = [json.loads(line) for line in p.stdout.decode().splitlines()]
                    self.assertEqual([list(x) for x in lines], [["id", "name", "uuid", "builtin",
                                                                 "primary", "mode"]] * 2)
                    self.assertEqual([(x["id"], x["name"], x["builtin"], x["primary"],
                                       x["mode"]["width"]) for x in lines], displays)
                    if tv_uuid:
                        self.assertEqual(lines[1]["uuid"], tv_uuid)
                    self.assertFalse(os.path.exists(log))

    def test_diagnostics_say_why(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "diagnostics.jsonl")
            s = self.sim(args=("--diagnostics", path))
            s.send("hello", "", "[1]", '{"x":1}', '{"format":7}',
                   command("auto", revision=1).replace('"id": 2', '"id": 7'),
                   json.dumps({"format": "auto", "assign": True, "id": 2, "revision": 2}),
                   command("auto", revision=3).replace('"control": 1', '"control": 2'),
                   command("1080p50", revision=4))
            s.close_input()
            self.assertEqual([r["phase"] for r in self.assertCleanExit(s)],
                             ["missing", "protected", "protected", "matched"])
            with open(path) as f:
                lines = [json.loads(line) for line in f]
        self.assertEqual([(e["event"], e.get("line"), e["why"].split(":")[0]) for e in lines[:5]],
                         [("dropped", 1, "not JSON"), ("dropped", 2, "blank line"),
                          ("dropped", 3, "not a JSON object but a list"),
                          ("dropped", 4, 'no "format"'),
                          ("dropped", 5, '"format" is a number, not a string')])
        self.assertEqual([(e["event"], e["revision"], e.get("outcome"), e["why"]) for e in lines[5:]],
                         [("assign", 1, None, "no target: display 7 is not online"),
                          ("guard", 1, "missing",
                           "no target: no command has assigned a display that was online"),
                          ("assign", 2, None, "target: display 2, UUID " + TV),
                          ("guard", 2, "protected", 'no control display ("control" absent or 0)'),
                          ("assign", 3, None, "target: display 2, UUID " + TV),
                          ("guard", 3, "protected", "display 2 is the control display"),
                          ("assign", 4, None, "target: display 2, UUID " + TV),
                          ("guard", 4, "eligible", "display 2 is eligible")])


class Commands(ProcessTest):
    def test_switch_then_restore_at_end_of_input(self):
        s = self.sim()
        s.send(command("1080p50"))
        report = s.read_report()
        self.assertEqual(report["phase"], "matched")
        self.assertEqual(report["chosen"], "1080p50")
        self.assertEqual(report["actual"]["format"], "1080p50")
        self.assertTrue(report["canPresent"])
        s.close_input()
        self.assertEqual(self.assertCleanExit(s), [])
        self.assertEqual(s.configured(), [(2, 3), (2, 1)])

    def test_closed_output_restores_and_exits_3(self):
        # The parent stops reading while the television shows the service's mode: the next
        # report cannot be written, which ends the conversation as the end of input would,
        # with its own status. Input stays open, so its end cannot be what ended it.
        s = self.sim()
        s.send(command("1080p50"))
        self.assertEqual(s.read_report()["phase"], "matched")
        s.proc.stdout.close()
        s.send(command("720p50", revision=2, assign=False))
        self.assertEqual(s.proc.wait(timeout=10), 3)
        self.assertEqual(s.proc.stderr.read(), b"")
        self.assertEqual(s.configured(), [(2, 3), (2, 18), (2, 1)])

    def test_burst_then_end_of_input(self):
        s = self.sim()
        formats = ["1080p50", "720p50", "1080p25", "current", "2160p50"]
        s.send(*[command(f, revision=i + 1, assign=(i == 0)) for i, f in enumerate(formats)])
        s.close_input()
        rest = self.assertCleanExit(s, 0)
        self.assertEqual([r["revision"] for r in rest], [1, 2, 3, 4, 5])
        self.assertEqual([r["phase"] for r in rest],
                         ["matched", "matched", "matched", "current", "matched"])
        # Each change in order, then the original 1080p60.00 mode back.
        self.assertEqual(s.configured(), [(2, 3), (2, 18), (2, 6), (2, 34), (2, 1)])

    def test_disable_waits_for_the_signal_to_follow(self):
        # The television's signal follows a desktop change 250 ms later; the restoration waits
        # for it instead of judging the old signal.
        s = self.sim()
        s.send(command("720p59.94"))
        self.assertEqual(s.read_report()["phase"], "matched")
        s.send(command("720p59.94", revision=2, assign=False, enabled=False, apply=False))
        report = s.read_report()
        self.assertEqual((report["phase"], report["restoreFailed"]), ("idle", False))
        self.assertEqual(report["actual"]["format"], "1080p60.00")
        s.close_input()
        self.assertCleanExit(s)
        self.assertEqual(s.configured(), [(2, 17), (2, 1)])
        self.assertEqual([a for a in s.actions() if a["call"] == "setCurrentMode"], [])

    def test_format_reached_through_the_connection(self):
        # The desktop stays in its 1080p60.00 mode; "1080p59.94" needs the 59.94 Hz connection
        # mode. A link that retrains within the verification is matched, owned and switched
        # back at the end of input; a slower one fails, and the switch is taken back.
        for settle, matched in ((0, True), (250, True), (1200, False)):
            with self.subTest(linkSettleMs=settle):
                scenario = json.loads(json.dumps(STUDIO))
                scenario["externalDisplay"]["linkSettleMs"] = settle
                s = self.sim(scenario=scenario)
                s.send(command("1080p59.94"))
                report = s.read_report()
                self.assertEqual(report["phase"], "matched" if matched else "failed")
                self.assertEqual(report["canPresent"], matched)
                if matched:
                    self.assertEqual(report["actual"]["format"], "1080p59.94")
                else:
                    # The switch lands after the verification gave up, and then the switch
                    # back asked for at once: the signal shows 59.94, then 60.00 again.
                    seen = [report["actual"]["format"]]
                    while seen[-2:] != ["1080p59.94", "1080p60.00"]:
                        report = s.read_report(timeout=5)
                        self.assertIsNotNone(report, f"the connection never came back: {seen}")
                        self.assertEqual(report["phase"], "failed")
                        seen.append(report["actual"]["format"])
                s.close_input()
                self.assertCleanExit(s)
                self.assertEqual(s.configured(), [])
                self.assertEqual([a["index"] for a in s.actions()
                                  if a["call"] == "setCurrentMode"], [1, 0])

    def test_ending_signal_during_verification_waits_and_restores(self):
        # SIGINT and SIGHUP too: a service stopped by a terminal's Ctrl-C, or by its terminal
        # closing, must not leave the television in a changed mode.
        scenario = json.loads(json.dumps(STUDIO))
        scenario["displays"][1]["settleMs"] = 400
        for sig in ENDING_SIGNALS:
            with self.subTest(signal=sig.name):
                s = self.sim(scenario=scenario)
                s.wait_ready()
                s.send(command("1080p50"))
                time.sleep(0.3)  # well inside the verification, which needs at least 650 ms
                s.proc.send_signal(sig)
                s.exits_by_itself()
                rest = self.assertCleanExit(s)
                self.assertEqual([r["phase"] for r in rest], ["matched"])
                self.assertEqual(s.configured(), [(2, 3), (2, 1)])

    def test_hot_plug_in_real_time(self):
        scenario = json.loads(json.dumps(STUDIO))
        # The television comes back in its own default mode, with the signal to match.
        registry = json.loads(json.dumps(STUDIO["registry"]))
        registry[1]["properties"]["DPTimingModeId"] = 101
        # Late enough that the first command is verified first, even on a loaded machine.
        scenario["events"] = [{"at": 1500, "unplug": 2},
                              {"at": 1700, "update": {"display": 2, "current": 1}},
                              {"at": 1700, "registry": registry},
                              {"at": 2000, "plug": 2}]
        s = self.sim(scenario=scenario)
        s.send(command("1080p50"))
        phases = []
        while not phases or phases[-1] != "matched" or "missing" not in phases:
            report = s.read_report(timeout=8)
            self.assertIsNotNone(report, f"stalled after {phases}")
            phases.append(report["phase"])
        self.assertEqual(phases[0], "matched")
        self.assertIn("missing", phases)
        self.assertEqual(s.reports[-1]["actual"]["format"], "1080p50")
        s.close_input()
        self.assertCleanExit(s)
        self.assertEqual(s.configured()[:2], [(2, 3), (2, 3)])


EDIDS = os.path.join(ROOT, "tests/data/edid")
SD_HD = ["480i59.94", "480i60.00", "480p59.94", "480p60.00", "576i50", "576p50", "720p50",
         "720p59.94", "720p60.00", "1080i50", "1080i59.94", "1080i60.00", "1080p23.976",
         "1080p24", "1080p25", "1080p29.97", "1080p30", "1080p50", "1080p59.94", "1080p60.00"]
UHD = ["2160p23.976", "2160p24", "2160p25", "2160p29.97", "2160p30", "2160p50", "2160p59.94",
       "2160p60.00"]


class EdidTelevision(ProcessTest):
    # Worked out by hand from each EDID's Video Data Block, HDMI VICs and DTDs (edid-decode):
    # file, formats, number of native modes, one native label, a part of stderr.
    LISTS = [
        # 50 Hz-region 1080p television: 1080p50 only as a DTD; VIC 1 and three DMT timings.
        ("philips-phl0000-f54e1e1d.bin", SD_HD, 26, "1920×1080p · 50.000000 Hz · #4",
         "reserved code 0"),
        # 4K television: HDMI VICs 1-4, 2160p50/60 also in 4:2:0, 4096-wide and 100/120 Hz VICs.
        ("samsung-sam0ff9-9e7f033f.bin", SD_HD + UHD, 66, "4096×2160p · 23.976024 Hz · #31", ""),
        # DVI monitor: DMT timings only, desktop modes at their own rates.
        ("dell-dela020-0ec4a9f2.bin", [], 11, "1600×1200p · 60.000000 Hz · #1", ""),
        # Faulty 4K television: half-read extension; what is sound is still listed.
        ("sony-sny4b04-bc247732.bin",
         ["720p50", "1080i50", "1080i59.94", "1080i60.00", "1080p50", "1080p59.94",
          "1080p60.00"] + UHD, 25, "3840×2160p · 60.000000 Hz · #1", "checksum 0xff"),
    ]

    def test_list_formats(self):
        for name, formats, count, label, err in self.LISTS:
            with self.subTest(name=name):
                p = subprocess.run([SIM, "--edid", os.path.join(EDIDS, name), "--list-formats"],
                                   capture_output=True, timeout=20)
                self.assertEqual(p.returncode, 0, p.stderr)
                lines = p.stdout.decode().splitlines()
                self.assertEqual(len(lines), 1)
                out = json.loads(lines[0])
                self.assertEqual(sorted(out), ["formats", "nativeModes"])
                self.assertEqual(out["formats"], formats)
                self.assertEqual(len(out["nativeModes"]), count)
                self.assertIn(label, out["nativeModes"].values())
                self.assertIn(err, p.stderr.decode())
                self.assertEqual(p.stderr == b"", err == "")

    def test_not_an_edid(self):
        for path in [os.path.join(ROOT, "README.md"), os.path.join(EDIDS, "missing.bin")]:
            with self.subTest(path=path):
                p = subprocess.run([SIM, "--edid", path, "--list-formats"], capture_output=True,
                                   timeout=10)
                self.assertEqual(p.returncode, 2)
                self.assertEqual(p.stdout, b"")
                self.assertEqual(len(p.stderr.decode().strip().splitlines()), 1)

    def test_written_scenario_switches_to_a_dtd_only_format(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "tv.json")
            p = subprocess.run([SIM, "--edid", os.path.join(EDIDS, "philips-phl0000-f54e1e1d.bin"),
                                "--write-scenario", path], capture_output=True, timeout=10)
            self.assertEqual(p.returncode, 0, p.stderr)
            s = self.sim(path=path)
            s.send(command("1080p50"))
            report = s.read_report(timeout=8)
            while report is not None and report["phase"] != "matched":
                report = s.read_report(timeout=8)
            self.assertIsNotNone(report)
            self.assertEqual(report["actual"]["format"], "1080p50")
            self.assertEqual(report["formats"], SD_HD)
            s.close_input()
            self.assertCleanExit(s)


class ExampleClient(unittest.TestCase):
    """examples/client.py against the simulator, so that the example stays true."""

    def test_switches_waits_for_matched_and_restores(self):
        client = os.path.join(ROOT, "examples/client.py")
        studio = os.path.join(ROOT, "scenarios/studio-tv.json")
        # 1080p50 is a desktop mode; "auto" gives 1080p59.94, reached by a connection switch.
        for fmt, shown, status in (("1080p50", "1080p50", 0), ("auto", "1080p59.94", 0),
                                   ("1080i50", None, 1)):
            with self.subTest(format=fmt), tempfile.TemporaryDirectory() as d:
                log = os.path.join(d, "actions.jsonl")
                p = subprocess.run([sys.executable, client, "--format", fmt, "--timeout", "10",
                                    "--", SIM, "--action-log", log, studio],
                                   capture_output=True, timeout=30, stdin=subprocess.DEVNULL)
                out = p.stdout.decode()
                self.assertEqual(p.returncode, status, p.stderr.decode())
                self.assertTrue(out.startswith("formats: 480p59.94 "), out)
                with open(log) as f:
                    actions = [(a["call"], a.get("modeId", a.get("index"))) for a in
                               map(json.loads, f)]
                if shown:
                    self.assertIn(f"showing {shown}: 1920x1080", out)
                    self.assertEqual(p.stderr, b"")
                else:
                    self.assertIn("last phase: unavailable", p.stderr.decode())
                # The client let go: the desktop mode went back to 1080p60.00 (mode 1), or the
                # connection mode to its first one.
                self.assertEqual([a for a in actions if a[0] != "beginConfiguration" and
                                  a[0] != "completeConfiguration"],
                                 {"1080p50": [("configureDisplayWithMode", 3),
                                              ("configureDisplayWithMode", 1)],
                                  "auto": [("setCurrentMode", 1), ("setCurrentMode", 0)],
                                  "1080i50": []}[fmt])

if __name__ == "__main__":
    unittest.main(verbosity=2)
