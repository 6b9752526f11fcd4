#!/usr/bin/python3
"""The GNOME figures of bench/run: displayformatd on a real Mutter, the compositor of a private
Xorg with the dummy driver, on a private session bus. Debian's python3 (python3-xlib,
python3-dbus). Prints one JSON list of rows: [figure, measured, budget, holds or null].

    bench/gnome.py DISPLAYFORMATD GNOME_INSPECT [--quick]
"""
import json
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests/x11"))
import xserver  # noqa: E402
from x11 import log, switches_and_idle  # noqa: E402


def main():
    daemon_binary, cycle_binary = sys.argv[1], sys.argv[2]
    quick = "--quick" in sys.argv
    rows = []
    with xserver.XServer(glx=True) as x:
        x.make_television(skip=xserver.MUTTER_TWINS)
        with xserver.Mutter(x) as mutter:
            env = mutter.env()
            ids = {line["name"]: line["id"] for line in map(json.loads, subprocess.run(
                [daemon_binary, "--backend", "gnome", "--list-displays"], env=env, check=True,
                capture_output=True, text=True).stdout.splitlines())}

            def command(fmt, revision):
                c = {"format": fmt, "control": ids["DUMMY0"], "enabled": True, "apply": True,
                     "revision": revision}
                if revision == 1:
                    c.update({"assign": True, "id": ids["DUMMY1"]})
                return c

            runs = 10 if quick else 40
            idle = 3 if quick else 10
            # GNOME: its DisplayConfig is on the bus.
            median, ticks, switches = switches_and_idle(daemon_binary, env, command, runs, idle,
                                                        "gnome")

            tool = []
            for i in range(runs):
                start = time.perf_counter()
                mutter.apply({"DUMMY1": "1920x1080@50.000" if i % 2 == 0 else
                              "1920x1080@60.000"})
                tool.append(time.perf_counter() - start)
            rows.append(["GNOME: command to verified switch, 1080p50/60 alternating (median)",
                         # A goal, not a budget: Mutter's own answer to an apply takes 1.5 to 2 ms.
                         f"{median * 1e3:.1f} ms", "goal <= 51 ms (floor 50)", None])
            rows.append(["  ApplyMonitorsConfig from another client, same Mutter (median)",
                         f"{statistics.median(tool) * 1e3:.1f} ms", "reported", None])

            log("gnome: inspection cost")
            out = subprocess.run([cycle_binary, "200" if quick else "2000"], env=env,
                                 check=True, capture_output=True, text=True).stdout
            cost = json.loads(out)
            for key, label, budget in (
                    ("unchanged", "GNOME: inspection, nothing changed since the last read", 0),
                    ("fresh", "GNOME: inspection after MonitorsChanged", 1)):
                c = cost[key]
                rows.append([label, f"{c['seconds'] * 1e6:.0f} µs", "reported", None])
                rows.append(["  D-Bus calls", f"{c['calls']:.0f}", str(budget),
                             c["calls"] == budget])
            rows.append([f"GNOME: idle wake-ups over {idle} s (context switches, CPU ticks)",
                         f"{switches}, {ticks}", "0, 0", switches == 0 and ticks == 0])
    print(json.dumps(rows))


if __name__ == "__main__":
    main()
