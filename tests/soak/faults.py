"""The chaos thread: every fault the bench has, at random moments, through the
launcher's control socket."""

import collections
import threading

from orvaemu import control

DONGLES = ("EMU0", "EMU1")
CABLE = "EMUR0"
DEVICES = DONGLES + (CABLE,)
ROBOTS = ("80/2M/E7E7E7E7E7", "40/1M/E7E7E7E7E7", "10/250K/E7E7E7E7E7")


class Chaos:
    """Injects faults until paused; heals everything on request."""

    def __init__(self, random):
        self.random = random
        self.injected = collections.Counter()
        self._unplugged = {}  # serial -> when to plug it back in
        self._now = 0.0
        self._lock = threading.Lock()

    def _send(self, command, name):
        control.send(command)
        self.injected[name] += 1

    def inject_one(self, now):
        """One random fault; devices unplugged earlier come back when due."""
        with self._lock:
            self._now = now
            for serial, due in list(self._unplugged.items()):
                if now >= due:
                    self._send(f"replug {serial}", "replug")
                    del self._unplugged[serial]
            r = self.random
            device = r.choice(DEVICES)
            robot = r.choice(ROBOTS)
            faults = [
                ("unplug", lambda: self._unplug(device, now + r.uniform(0.1, 3.0))),
                # A stalled endpoint stays stalled until a replug.
                ("stall", lambda: (self._send(f"stall {device} {r.choice(['0x01', '0x81'])}", "stall"),
                                   self._unplug(device, now + r.uniform(0.5, 3.0)))),
                ("short-write", lambda: self._send(f"short-write {device} {r.randrange(0, 4)}",
                                                   "short-write")),
                ("hang-next-write", lambda: self._send(
                    f"hang-next-write {device} {r.randrange(0, 4)}", "hang-next-write")),
                ("fail-next-control", lambda: self._send(f"fail-next-control {device}",
                                                         "fail-next-control")),
                ("time-out-next-control", lambda: self._send(f"time-out-next-control {device}",
                                                             "time-out-next-control")),
                ("stop-answering", lambda: self._send(
                    f"stop-answering {r.choice(DONGLES)} {r.choice(['on', 'off', 'off'])}",
                    "stop-answering")),
                ("refuse", lambda: self._send(f"refuse {CABLE} {r.randrange(0, 3)}", "refuse")),
                ("loss", lambda: self._send(f"loss {robot} {r.choice([0.0, 0.0, 0.1, 0.3, 0.7])}",
                                            "loss")),
                ("silent", lambda: self._send(f"silent {robot} {r.choice(['on', 'off', 'off'])}",
                                              "silent")),
            ]
            # Radio trouble is cheap and common; losing a device is rarer.
            weights = [2, 1, 2, 2, 2, 2, 3, 1, 4, 3]
            name, action = r.choices(faults, weights)[0]
            action()

    def _unplug(self, serial, due):
        if serial not in self._unplugged:
            self._send(f"unplug {serial}", "unplug")
        self._unplugged[serial] = due

    def heal(self):
        """Radio and answers back to normal, every device plugged in. One-shot
        faults already armed stay armed: the caller exercises the devices."""
        with self._lock:
            for serial in DONGLES:
                self._send(f"stop-answering {serial} off", "stop-answering")
            self._send(f"refuse {CABLE} 0", "refuse")
            for robot in ROBOTS:
                self._send(f"loss {robot} 0", "loss")
                self._send(f"silent {robot} off", "silent")
            for serial in list(self._unplugged):
                self._send(f"replug {serial}", "replug")
            self._unplugged.clear()

    def replug_all(self):
        with self._lock:
            for serial in DEVICES:
                self._send(f"unplug {serial}", "unplug")
                self._send(f"replug {serial}", "replug")
