"""A private Xorg with the dummy video driver, for tests and benchmarks, and GNOME's Mutter on
it (or headless) on a private session bus.

Two outputs are lit: DUMMY0 (primary, the control display) and DUMMY1 right of it, which
becomes a television: it gets a real television's EDID and that EDID's CTA-861 timings as modes.
Needs Debian's python3 (python3-xlib, python3-dbus).
"""
import os
import select
import socket
import struct
import signal
import subprocess
import tempfile
import threading
import time

from Xlib import X, display as xdisplay
from Xlib.ext import randr

CONFIG = """\
Section "ServerFlags"
    Option "AutoAddDevices" "false"
    Option "AutoEnableDevices" "false"
    Option "AutoAddGPU" "false"
    Option "DontVTSwitch" "true"
EndSection
Section "Module"
    Disable "glx"
EndSection
Section "Device"
    Identifier "dummy"
    Driver "dummy"
    VideoRam 262144
    DacSpeed 1200
    Option "Monitor-DUMMY0" "out0"
    Option "Monitor-DUMMY1" "out1"
EndSection
Section "Monitor"
    Identifier "pool"
    HorizSync 5.0 - 1000.0
    VertRefresh 5.0 - 200.0
    Modeline "1920x1080" 148.5 1920 2008 2052 2200 1080 1084 1089 1125 +hsync +vsync
EndSection
Section "Monitor"
    Identifier "out0"
    Option "PreferredMode" "1920x1080"
    Option "Primary" "true"
EndSection
Section "Monitor"
    Identifier "out1"
    Option "PreferredMode" "1920x1080"
    Option "Enable" "true"
    Option "RightOf" "DUMMY0"
EndSection
Section "Screen"
    Identifier "screen"
    Device "dummy"
    Monitor "pool"
    DefaultDepth 24
    SubSection "Display"
        Depth 24
        Virtual 3840 2160
        Modes "1920x1080"
    EndSubSection
EndSection
"""

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TV_EDID = os.path.join(ROOT, "tests/data/edid/panasonic-meia296-a2df10ab.bin")

# The CTA-861 timings that TV_EDID declares (1080p 24-60, 1080i 50/60, 720p 50/60, and 480p,
# 480i, 576p, 576i as their 16:9 VICs), with the 1000/1001 variants that a real driver adds,
# their clocks rounded to whole kHz as the kernel does. Interlaced vertical values are per
# frame, as X wants them.
TV_MODES = [
    ("1080p60", "148.5 1920 2008 2052 2200 1080 1084 1089 1125 +HSync +VSync"),
    ("1080p59.94", "148.352 1920 2008 2052 2200 1080 1084 1089 1125 +HSync +VSync"),
    ("1080p50", "148.5 1920 2448 2492 2640 1080 1084 1089 1125 +HSync +VSync"),
    ("1080p30", "74.25 1920 2008 2052 2200 1080 1084 1089 1125 +HSync +VSync"),
    ("1080p29.97", "74.176 1920 2008 2052 2200 1080 1084 1089 1125 +HSync +VSync"),
    ("1080p25", "74.25 1920 2448 2492 2640 1080 1084 1089 1125 +HSync +VSync"),
    ("1080p24", "74.25 1920 2558 2602 2750 1080 1084 1089 1125 +HSync +VSync"),
    ("1080p23.976", "74.176 1920 2558 2602 2750 1080 1084 1089 1125 +HSync +VSync"),
    ("1080i60", "74.25 1920 2008 2052 2200 1080 1084 1094 1125 Interlace +HSync +VSync"),
    ("1080i59.94", "74.176 1920 2008 2052 2200 1080 1084 1094 1125 Interlace +HSync +VSync"),
    ("1080i50", "74.25 1920 2448 2492 2640 1080 1084 1094 1125 Interlace +HSync +VSync"),
    ("720p60", "74.25 1280 1390 1430 1650 720 725 730 750 +HSync +VSync"),
    ("720p59.94", "74.176 1280 1390 1430 1650 720 725 730 750 +HSync +VSync"),
    ("720p50", "74.25 1280 1720 1760 1980 720 725 730 750 +HSync +VSync"),
    ("576p50", "27 720 732 796 864 576 581 586 625 -HSync -VSync"),
    ("576i50", "27 1440 1464 1590 1728 576 580 586 625 Interlace -HSync -VSync"),
    ("480p60", "27.027 720 736 798 858 480 489 495 525 -HSync -VSync"),
    ("480p59.94", "27 720 736 798 858 480 489 495 525 -HSync -VSync"),
    ("480i60", "27.027 1440 1478 1602 1716 480 488 494 525 Interlace -HSync -VSync"),
    ("480i59.94", "27 1440 1478 1602 1716 480 488 494 525 Interlace -HSync -VSync"),
]


def alive(pid):
    """Whether the process runs: not gone, not a zombie."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


class XServer:
    """Xorg on a free display number, with -noreset; stop() (or leaving the with block) always
    ends it."""

    def __init__(self, xorg="/usr/bin/Xorg", glx=False):
        self.xorg = xorg
        self.glx = glx  # Mutter composites with GLX (Mesa's software rendering)
        self.proc = None
        self.dir = None
        self.number = None
        self._display = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    @property
    def name(self):
        return f":{self.number}"

    def env(self):
        # No session bus: a program under test must not find the desktop's GNOME instead.
        return dict(os.environ, DISPLAY=self.name, DBUS_SESSION_BUS_ADDRESS="disabled:")

    def start(self, timeout=10.0):
        self.dir = tempfile.TemporaryDirectory(prefix="df-xorg-")
        d = self.dir.name
        with open(os.path.join(d, "xorg.conf"), "w") as f:
            f.write(CONFIG.replace('Disable "glx"', 'Load "glx"') if self.glx else CONFIG)
        os.mkdir(os.path.join(d, "conf.d"))
        with open(os.path.join(d, "conf.d", "empty.conf"), "w") as f:
            f.write("# nothing from the system's configuration\n")
        for number in range(50, 150):
            if os.path.exists(f"/tmp/.X11-unix/X{number}"):
                continue
            if self._try(number, timeout):
                self.number = number
                return
        raise RuntimeError("no free display number for Xorg")

    def _try(self, number, timeout):
        d = self.dir.name
        ready = os.path.join(d, "displayfd")
        open(ready, "w").close()
        fd = os.open(ready, os.O_WRONLY)
        with open(os.path.join(d, "Xorg.out"), "w") as out:
            self.proc = subprocess.Popen(
                [self.xorg, f":{number}", "-config", os.path.join(d, "xorg.conf"),
                 "-configdir", os.path.join(d, "conf.d"), "-logfile", os.path.join(d, "Xorg.log"),
                 "-noreset", "-nolisten", "tcp", "-displayfd", str(fd)],
                stdin=subprocess.DEVNULL, stdout=out, stderr=out, pass_fds=(fd,))
        os.close(fd)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with open(ready) as f:
                if f.read().strip() == str(number):
                    return True
            if self.proc.poll() is not None:
                self.proc = None
                return False  # lost a race for the number: try the next
            time.sleep(0.01)
        self.stop()
        raise RuntimeError("Xorg did not become ready")

    def stop(self):
        if self._display is not None:
            try:
                self._display.close()
            except Exception:  # the server may be gone already
                pass
            self._display = None
        if self.proc is not None:
            pid = self.proc.pid
            try:
                self.proc.send_signal(signal.SIGTERM)
            except ProcessLookupError:
                pass
            deadline = time.monotonic() + 5
            while alive(pid) and time.monotonic() < deadline:
                time.sleep(0.01)
            if alive(pid):
                self.proc.kill()
            self.proc.wait()
            self.proc = None
            if self.number is not None:
                sock = f"/tmp/.X11-unix/X{self.number}"
                if os.path.exists(sock) and not self._bound(sock):
                    os.unlink(sock)
        if self.dir is not None:
            self.dir.cleanup()
            self.dir = None

    @staticmethod
    def _bound(path):
        with open("/proc/net/unix") as f:
            return any(line.rstrip().endswith(" " + path) for line in f)

    # --- changing the server, as a desktop or another program would ---

    def xrandr(self, *args):
        subprocess.run(["xrandr", "-display", self.name, *args], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def connection(self):
        if self._display is None:
            self._display = xdisplay.Display(self.name)
        return self._display

    def output(self, name):
        d = self.connection()
        root = d.screen().root
        res = root.xrandr_get_screen_resources()
        for o in res.outputs:
            if d.xrandr_get_output_info(o, res.config_timestamp).name == name:
                return o
        raise KeyError(name)

    def set_property(self, output, name, data, type_name="INTEGER", fmt=8):
        d = self.connection()
        d.xrandr_change_output_property(self.output(output), d.intern_atom(name),
                                        d.intern_atom(type_name), X.PropModeReplace,
                                        (fmt, data))
        d.sync()

    def delete_property(self, output, name):
        d = self.connection()
        d.xrandr_delete_output_property(self.output(output), d.intern_atom(name))
        d.sync()

    def set_connected(self, output, connected):
        """The dummy's stand-in for a plug: the server's own non-desktop property."""
        self.set_property(output, "non-desktop", [0 if connected else 1], fmt=32)

    def set_connector(self, output, kind):
        """The ConnectorType property that real drivers publish ("HDMI", "Panel", ...)."""
        d = self.connection()
        self.set_property(output, "ConnectorType", [d.intern_atom(kind)], "ATOM", 32)

    def add_colour_properties(self, output="DUMMY1"):
        """The colour properties a KMS driver publishes, created as a client can: "max bpc" 8-12
        (pending, as drivers that apply it at the next mode set), "Colorspace" and
        "Broadcast RGB" atom lists. Returns the values set: name -> (type, value)."""
        d = self.connection()
        out = self.output(output)
        atoms = {n: d.intern_atom(n) for n in ("Default", "BT709_YCC", "BT2020_RGB", "Automatic",
                                               "Full", "Limited 16:235")}
        made = {"max bpc": ("INTEGER", True, True, [8, 12], 10),
                "Colorspace": ("ATOM", False, False,
                               [atoms[n] for n in ("Default", "BT709_YCC", "BT2020_RGB")],
                               atoms["Default"]),
                "Broadcast RGB": ("ATOM", False, False,
                                  [atoms[n] for n in ("Automatic", "Full", "Limited 16:235")],
                                  atoms["Full"])}
        def configure(name, pending, is_range, valid):
            randr.ConfigureOutputProperty(display=d.display,
                                          opcode=d.display.get_extension_major(randr.extname),
                                          output=out, property=d.intern_atom(name),
                                          pending=pending, range=is_range, valid_values=valid)

        for name, (kind, pending, is_range, valid, value) in made.items():
            # A pending property gets its first value while it is not pending yet: a driver's
            # has one from the start.
            configure(name, False, is_range, valid)
            self.set_property(output, name, [value], kind, 32)
            configure(name, pending, is_range, valid)
        return {name: (kind, value) for name, (kind, _, _, _, value) in made.items()}

    def property(self, output, name):
        """(type name, first value) of an output property, or None."""
        d = self.connection()
        r = d.xrandr_get_output_property(self.output(output), d.intern_atom(name), X.AnyPropertyType,
                                         0, 1)
        return (d.get_atom_name(r.property_type), r.value[0]) if r.property_type else None

    def make_television(self, output="DUMMY1", edid_path=TV_EDID, skip=()):
        with open(edid_path, "rb") as f:
            self.set_property(output, "EDID", list(f.read()))
        for name, line in TV_MODES:
            if name in skip:
                continue
            self.xrandr("--newmode", name, *line.split())
            self.xrandr("--addmode", output, name)

    def ids(self):
        """Output name -> XID."""
        d = self.connection()
        res = d.screen().root.xrandr_get_screen_resources()
        return {d.xrandr_get_output_info(o, res.config_timestamp).name: o for o in res.outputs}

    def current(self, output):
        """(width, height, dot clock, htotal, interlaced) of the output's CRTC mode, or None when
        it is off."""
        d = self.connection()
        root = d.screen().root
        res = root.xrandr_get_screen_resources()
        info = d.xrandr_get_output_info(self.output(output), res.config_timestamp)
        if not info.crtc:
            return None
        crtc = d.xrandr_get_crtc_info(info.crtc, res.config_timestamp)
        for m in res.modes:
            if m.id == crtc.mode:
                return (m.width, m.height, m.dot_clock, m.h_total, bool(m.flags & 0x10))
        return None


# The television's modes that duplicate the driver's own 1920x1080 in timing and in Mutter's name
# for it ("1920x1080@60.000"): with both listed, Mutter cannot tell which one is current.
MUTTER_TWINS = ("1080p60",)

DISPLAY_CONFIG = "org.gnome.Mutter.DisplayConfig"


class Mutter:
    """Mutter on a private session bus (its own runtime and configuration directories, so that
    no stored monitors.xml applies): the compositor of an XServer, or with x=None a headless
    Wayland Mutter with the given virtual monitors. stop() (or leaving the with block) ends it
    and the bus."""

    def __init__(self, x=None, virtual=()):
        self.x = x
        self.virtual = virtual
        self.dir = None
        self.bus_pid = None
        self.address = None
        self.proc = None
        self._bus = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def env(self):
        d = self.dir.name
        env = dict(os.environ, XDG_RUNTIME_DIR=os.path.join(d, "run"),
                   XDG_CONFIG_HOME=os.path.join(d, "config"), DBUS_SESSION_BUS_ADDRESS=self.address)
        env.pop("WAYLAND_DISPLAY", None)  # the test's own session is none of this
        if self.x is not None:
            env["DISPLAY"] = self.x.name
        else:
            env.pop("DISPLAY", None)
        return env

    def start(self, timeout=20.0):
        self.dir = tempfile.TemporaryDirectory(prefix="df-gnome-")
        d = self.dir.name
        os.mkdir(os.path.join(d, "run"), 0o700)
        os.mkdir(os.path.join(d, "config"))
        if self.address is None:
            self.start_bus()
        args = (["--x11", "--replace"] if self.x is not None else
                ["--headless", "--wayland", "--no-x11",
                 *[a for v in self.virtual for a in ("--virtual-monitor", v)]])
        with open(os.path.join(d, "mutter.log"), "w") as out:
            self.proc = subprocess.Popen(["mutter", *args, "--sm-disable"], env=self.env(),
                                         stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                break
            try:
                if self.bus().name_has_owner(DISPLAY_CONFIG):
                    # Mutter applies its own configuration as it starts: each monitor lit.
                    monitors, logical = self.state()[1:3]
                    if len(logical) > 0 and all(self.current(m[0][0]) for m in monitors):
                        return
            except Exception:  # the bus or Mutter still starting
                pass
            time.sleep(0.05)
        with open(os.path.join(d, "mutter.log")) as f:
            log = f.read()
        self.stop()
        raise RuntimeError(f"Mutter did not start:\n{log}")

    def start_bus(self):
        """A session bus of its own, its socket in the fixture's directory."""
        path = os.path.join(self.dir.name, "bus")
        out = subprocess.run(["dbus-daemon", "--session", f"--address=unix:path={path}",
                              "--fork", "--print-address=1", "--print-pid=1"],
                             stdin=subprocess.DEVNULL, capture_output=True, text=True,
                             check=True).stdout.split()
        self.address, self.bus_pid = out[0], int(out[1])

    def stop_mutter(self):
        if self.proc is not None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.proc = None

    def stop_bus(self):
        self._bus = None
        if self.bus_pid is not None:
            try:
                os.kill(self.bus_pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            deadline = time.monotonic() + 5
            while alive(self.bus_pid) and time.monotonic() < deadline:
                time.sleep(0.01)
            self.bus_pid = None

    def stop(self):
        self.stop_mutter()
        self.stop_bus()
        self.address = None
        if self.dir is not None:
            self.dir.cleanup()
            self.dir = None

    def settle(self, done=None, quiet=0.3, timeout=10.0):
        """Waits until Mutter's serial has stayed the same for quiet seconds (Mutter follows
        RandR changes as their events arrive) with done() true; by default, once DUMMY1
        shows a mode."""
        done = done or (lambda: self.current("DUMMY1") is not None)
        deadline = time.monotonic() + timeout
        serial, since = None, time.monotonic()
        while time.monotonic() < deadline:
            now = self.state()[0]
            if now != serial:
                serial, since = now, time.monotonic()
            elif time.monotonic() - since >= quiet and done():
                return
            time.sleep(0.05)
        with open(os.path.join(self.dir.name, "mutter.log")) as f:
            log = f.read()[-2000:]
        raise RuntimeError(f"Mutter did not settle (DUMMY1 shows {self.current('DUMMY1')}):\n"
                           f"{log}")

    # --- DisplayConfig, as another client (GNOME Settings, gnome-randr) uses it ---

    def bus(self):
        import dbus
        if self._bus is None:
            self._bus = dbus.bus.BusConnection(self.address)
        return self._bus

    def config(self):
        return self.bus().get_object(DISPLAY_CONFIG, "/org/gnome/Mutter/DisplayConfig")

    def state(self):
        """GetCurrentState: (serial, monitors, logical monitors, properties)."""
        return self.config().GetCurrentState(dbus_interface=DISPLAY_CONFIG)

    def current(self, connector):
        """(width, height, refresh, interlaced) of the monitor's current mode, or None."""
        for (ident, modes, _) in self.state()[1]:
            if ident[0] == connector:
                for (_, w, h, hz, _, _, props) in modes:
                    if props.get("is-current"):
                        return (int(w), int(h), float(hz), bool(props.get("is-interlaced")))
        return None

    def apply(self, modes, positions=None):
        """Shows each connector's mode named in modes, the others as they are; positions moves
        logical monitors by their first connector: {connector: (x, y)}."""
        serial, monitors, logical, _ = self.state()
        current = {ident[0]: next(m[0] for m in ms if m[6].get("is-current"))
                   for (ident, ms, _) in monitors if any(m[6].get("is-current") for m in ms)}
        config = []
        for (x, y, scale, transform, primary, members, _) in logical:
            x, y = (positions or {}).get(members[0][0], (x, y))
            config.append((x, y, scale, transform, primary,
                           [(s[0], modes.get(s[0], current[s[0]]), {}) for s in members]))
        self.config().ApplyMonitorsConfig(serial, 1, config, {}, dbus_interface=DISPLAY_CONFIG)


class SignalHold:
    """A relay between the clients that connect to it and a bus. hold() keeps back the signals
    the bus sends them while replies pass, so that a client acts on what it read before;
    release() lets them go in order. errors counts the error replies that passed."""

    def __init__(self, address):
        self.dir = tempfile.TemporaryDirectory(prefix="df-relay-")
        self.path = os.path.join(self.dir.name, "bus")
        self.upstream = address.split("unix:path=", 1)[1].split(",", 1)[0]
        self.listener = socket.socket(socket.AF_UNIX)
        self.listener.bind(self.path)
        self.listener.listen()
        self.holding = False
        self.errors = 0
        self.done = False
        threading.Thread(target=self._accept, daemon=True).start()

    @property
    def address(self):
        return f"unix:path={self.path}"

    def hold(self):
        self.holding = True

    def release(self):
        self.holding = False

    def close(self):
        self.done = True
        self.listener.close()
        self.dir.cleanup()

    def _accept(self):
        while not self.done:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.socket(socket.AF_UNIX)
            server.connect(self.upstream)
            threading.Thread(target=self._pump, args=(client, server), daemon=True).start()

    def _pump(self, client, server):
        pending, held = b"", []
        while not self.done:
            if held and not self.holding:
                client.sendall(b"".join(held))
                held = []
            ready = select.select([client, server], [], [], 0.02)[0]
            if server in ready:
                data = server.recv(65536)
                if not data:
                    break
                pending += data
                while pending:
                    if pending[:1] not in (b"l", b"B"):  # the authentication's text lines
                        end = pending.find(b"\r\n")
                        if end < 0:
                            break
                        size = end + 2
                    else:
                        if len(pending) < 16:
                            break
                        order = "<" if pending[:1] == b"l" else ">"
                        body, _, fields = struct.unpack(order + "III", pending[4:16])
                        size = ((16 + fields + 7) & ~7) + body
                        if len(pending) < size:
                            break
                    message, pending = pending[:size], pending[size:]
                    kind = message[1] if size > 1 and message[:1] in (b"l", b"B") else 0
                    if kind == 4 and self.holding:
                        held.append(message)
                        continue
                    self.errors += kind == 3
                    client.sendall(message)
            if client in ready:
                data = client.recv(65536)
                if not data:
                    break
                server.sendall(data)
        client.close()
        server.close()
