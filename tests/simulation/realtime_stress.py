#!/usr/bin/env python3
"""displayformat-sim under load in real time, for the ThreadSanitizer build.

Commands arrive at random moments while the simulated machine's timeline thread sends
notices (hot-plug, foreign mode changes, a television that settles slowly and a link that
follows late), so the stdin reader thread, the timeline thread and the main queue all run at
once. Each round ends with the end of input or with SIGTERM. Every line must be a valid
report, the process must exit with 0 (or 4: the display could not be put back, which a foreign
change racing the restoration may cause) and write nothing on stderr, and no change may reach a
display that could not take it.

usage: realtime_stress.py SIM ROOT [SECONDS] [SEED]
"""
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time

import jsonschema


def scenario(root, rng, seconds):
    with open(os.path.join(root, "scenarios/studio-tv.json")) as f:
        s = json.load(f)
    s["displays"][1]["settleMs"] = 30
    s["externalDisplay"]["linkSettleMs"] = 40
    modes = [m["modeId"] for m in s["displays"][1]["modes"]]
    events, at = [], 0.0
    while at < seconds * 1000:
        at += rng.uniform(20, 150)
        kind = rng.random()
        if kind < 0.2:
            events.append({"at": at, "unplug": 2})
        elif kind < 0.45:
            events.append({"at": at, "plug": 2})
        else:
            events.append({"at": at, "setMode": {"display": 2, "modeId": rng.choice(modes)}})
    s["events"] = events
    return s


def command(rng, revision):
    formats = ["auto", "current", "1080p50", "1080p59.94", "1080p60.00", "720p50", "2160p60.00"]
    c = {"format": rng.choice(formats), "control": 1, "enabled": rng.random() < 0.9,
         "apply": rng.random() < 0.7, "revision": revision}
    if rng.random() < 0.15:
        c.update({"assign": True, "id": 2})
    return json.dumps(c, separators=(",", ":")) + "\n"


def round_(sim, root, validator, rng, seconds, sigterm):
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "scenario.json")
        with open(path, "w") as f:
            json.dump(scenario(root, rng, seconds), f)
        log = os.path.join(d, "actions.jsonl")
        p = subprocess.Popen([sim, "--action-log", log, path], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        lines, problems = [], []

        def read():
            for raw in p.stdout:
                try:
                    validator.validate(json.loads(raw))
                    lines.append(raw)
                except (ValueError, jsonschema.ValidationError) as e:
                    problems.append("bad line %r: %s" % (raw[:200], e))

        reader = threading.Thread(target=read)
        reader.start()
        end = time.monotonic() + seconds
        revision = 0
        while time.monotonic() < end:
            revision += 1
            p.stdin.write((command(rng, revision)).encode())
            p.stdin.flush()
            time.sleep(rng.uniform(0, 0.08))
        if sigterm:
            p.send_signal(signal.SIGTERM)
        p.stdin.close()
        code = p.wait(timeout=60)
        reader.join()
        err = p.stderr.read().decode(errors="replace")
        p.stderr.close()
        p.stdout.close()
        if code not in (0, 4):
            problems.append("exit status %d" % code)
        if err:
            problems.append("stderr: " + err[:2000])
        with open(log) as f:
            for a in f:
                if '"call":"violation"' in a:
                    problems.append("unsafe change: " + a.strip())
        return revision, len(lines), problems


def main():
    sim, root = sys.argv[1], sys.argv[2]
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 8
    seed = int(sys.argv[4]) if len(sys.argv) > 4 else random.randrange(1 << 32)
    with open(os.path.join(root, "docs/schema/report.schema.json")) as f:
        validator = jsonschema.Draft202012Validator(json.load(f))
    rng = random.Random(seed)
    failed = False
    for sigterm in (False, True):
        commands, reports, problems = round_(sim, root, validator, rng, seconds / 2, sigterm)
        how = "SIGTERM" if sigterm else "end of input"
        print("stress (%s, seed %d): %d commands, %d reports" % (how, seed, commands, reports))
        for problem in problems:
            print("  " + problem)
        failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
