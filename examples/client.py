#!/usr/bin/env python3
"""A complete displayformat client, standard library only.

Starts the service as a child process, lists the formats of a display, switches it to a format,
waits until the service reports "matched" with "canPresent": true, and shuts the service down,
which puts the display back. docs/client.md explains each step.

    examples/client.py [--format NAME] [--display ID] [--control ID] [--timeout S] -- SERVICE...

    examples/client.py -- build/release/displayformat-sim scenarios/studio-tv.json
    examples/client.py --format 720p50 -- displayformatd

Exit status: 0 when the display showed the format, 1 when it did not within the timeout, 2 when
the service could not be started or ended on its own.
"""
import argparse
import json
import queue
import subprocess
import sys
import threading
import time


class Service:
    """The service as a child process: commands in, reports out, one JSON object per line."""

    def __init__(self, argv):
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, encoding="utf-8", bufsize=1)
        self.reports = queue.Queue()
        self.revision = 0
        # A thread reads the reports, so that waiting for one can time out.
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.reports.put(json.loads(line))
        self.reports.put(None)  # the service has ended

    def send(self, **command):
        """Sends one command with a new revision; returns that revision."""
        self.revision += 1
        command["revision"] = self.revision
        self.proc.stdin.write(json.dumps(command) + "\n")
        self.proc.stdin.flush()
        return self.revision

    def wait(self, done, timeout):
        """The first report of the latest revision for which done(report) is true, or None.

        Reports of an older revision answer commands that were overtaken: they are skipped."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            try:
                report = self.reports.get(timeout=left)
            except queue.Empty:
                return None
            if report is None:
                raise RuntimeError("the service ended on its own")
            if report["revision"] == self.revision and done(report):
                return report

    def stop(self, timeout=5.0):
        """Closes the service's input: it restores the display and exits with status 0."""
        self.proc.stdin.close()
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.terminate()  # SIGTERM restores the display too
            return self.proc.wait(timeout=timeout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--format", default="1080p50", help="format to show (default 1080p50)")
    parser.add_argument("--display", type=int, default=2, help="display ID of the target")
    parser.add_argument("--control", type=int, default=1,
                        help="display ID the application itself shows on (never touched)")
    # The worst case of the service's own timing for one answer (docs/client.md).
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds to wait for a match")
    parser.add_argument("service", nargs="+", help="the service's command line")
    args = parser.parse_args()

    try:
        service = Service(args.service)
    except OSError as e:
        print(f"client: cannot start {args.service[0]}: {e}", file=sys.stderr)
        return 2
    try:
        # 1. Assign the target with control off: nothing changes, and the report lists what the
        #    display can show.
        service.send(format="current", control=args.control, assign=True, id=args.display)
        report = service.wait(lambda r: True, args.timeout)
        if report is None or report["phase"] in ("missing", "protected"):
            print(f"client: display {args.display} cannot be used: "
                  f"{report['phase'] if report else 'no report'}", file=sys.stderr)
            return 1
        print("formats:", " ".join(report["formats"]))
        for key, label in sorted(report["nativeModes"].items()):
            print(f"native:  {label}  ({key})")

        # 2. Ask for the format with control on and "apply"; the first report of this command
        #    settles it ("matched", "failed" or "unavailable"). Present only on "matched" with
        #    "canPresent".
        service.send(format=args.format, control=args.control, enabled=True, apply=True)
        report = service.wait(lambda r: r["phase"] in ("matched", "failed", "unavailable"),
                              args.timeout)
        matched = report if report and report["phase"] == "matched" and report["canPresent"] else None
        if matched is None:
            print(f"client: {args.format} was not shown within {args.timeout} s"
                  f" (last phase: {report['phase'] if report else 'none'})", file=sys.stderr)
            return 1
        actual = matched["actual"]
        print(f"showing {matched['chosen']}: {actual['width']}x{actual['height']} "
              f"at {actual['hz']:.3f} Hz; present now")
        return 0
    except RuntimeError as e:
        print(f"client: {e}", file=sys.stderr)
        return 2
    finally:
        # 3. Always let go: the end of input restores the display.
        status = service.stop()
        if status != 0:
            print(f"client: the service exited with status {status}", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
