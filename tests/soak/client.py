"""The program the soak runs against a launcher's bench (two dongles, a cable
robot, three robots in the air): traffic lanes and scans in several threads
while the chaos thread injects faults, with checkpoints at which everything
is healed, replugged and scanned once, and must serve again.

Prints progress lines and, last, one "REPORT {json}" line; then ends with a
receiver still waiting in the library, as robot scripts do.
"""

import argparse
import json
import os
import random
import sys
import threading
import time

import orvapy

from checks import Calls, cpu_seconds, known_scan_line, resources
from faults import Chaos
from lanes import Lane, lane_thread

EXPECTED_SCAN = ["usb://0", "radio://*/10/250K/E7E7E7E7E7", "radio://*/40/1M/E7E7E7E7E7",
                 "radio://*/80/2M/E7E7E7E7E7"]
# One URI per device, for the checkpoints: each must serve at once.
DEVICE_URIS = {"EMU0": "radio://0/80/2M/E7E7E7E7E7", "EMU1": "radio://1/40/1M/E7E7E7E7E7",
               "EMUR0": "usb://0"}
LANES = [("dongle0-safelink", "radio://0/80/2M/E7E7E7E7E7", True),
         ("dongle1-safelink", "radio://1/40/1M/E7E7E7E7E7?autoping=0", True),
         ("any-plain", "radio://*/10/250K/E7E7E7E7E7?safelink=0", False),
         ("cable", "usb://0", True)]


class Output:
    """Scan lines go to stdout from the library itself: marks around a
    checkpoint's scan let the supervisor tell them apart."""

    @staticmethod
    def mark(text):
        sys.stdout.write(f"MARK {text}\n")
        sys.stdout.flush()


class Soak:
    def __init__(self, seed, duration, checkpoint_every):
        self.random = random.Random(seed)
        self.duration = duration
        self.checkpoint_every = checkpoint_every
        self.calls = Calls()
        self.chaos = Chaos(random.Random(seed + 1))
        self.stop = threading.Event()
        self.pause = threading.Event()
        self.resume = threading.Event()
        self.lanes = [Lane(name, uri, exact, self.calls, random.Random(seed + 10 + i))
                      for i, (name, uri, exact) in enumerate(LANES)]
        self.checkpoints = []
        self.scan_failures = 0
        self.machinery = []  # failures of the soak itself, not of the library
        self.scanning = threading.Lock()

    # -- the threads besides the lanes ---------------------------------------

    def recover(self, lane):
        """After a device error: one refresh, as a user would do."""
        self.scan()

    def scan(self):
        # One scan at a time, as a program scans from one place: several at
        # once share the dongles and each takes as long as all of them.
        with self.scanning:
            try:
                return self.calls.call("scan", orvapy.Connection.scan)
            except Exception:
                self.scan_failures += 1
                return None

    def scanner(self, parked):
        r = random.Random(self.random.random())
        while not self.stop.is_set():
            if self.pause.is_set():
                parked.set()
                self.resume.wait()
                continue
            if self.pause.wait(r.uniform(1.0, 6.0)):
                continue
            if r.random() < 0.5:
                self.scan()
            else:
                uris = r.sample(list(DEVICE_URIS.values()) + [uri for _, uri, _ in LANES], 3)
                with self.scanning:
                    try:
                        self.calls.call("scan_selected", orvapy.Connection.scan_selected, uris)
                    except Exception:
                        self.scan_failures += 1
        parked.set()

    def injector(self, parked):
        start = time.monotonic()
        while not self.stop.is_set():
            if self.pause.is_set():
                parked.set()
                self.resume.wait()
                continue
            if self.pause.wait(self.chaos.random.uniform(0.05, 1.5)):
                continue
            try:
                self.chaos.inject_one(time.monotonic() - start)
            except (OSError, RuntimeError) as error:  # the control socket's
                self.machinery.append(f"fault injection: {error}")
        parked.set()

    # -- checkpoints ----------------------------------------------------------

    def exchange_once(self, uri):
        """Opens, gets one echo back, closes. Returns None or what went wrong."""
        call = self.calls.call
        try:
            connection = call("open", orvapy.Connection, uri)
        except Exception as error:
            return f"open: {type(error).__name__}: {error}"
        try:
            p = orvapy.Packet()
            p.port = 2
            p.payload = b"checkpoint"
            call("send", connection.send, p)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                reply = call("recv", connection.recv, 100, allowance=0.1)
                if reply.valid and reply.port == 2 and reply.payload == b"checkpoint":
                    return None
            return "no echo within 10 s"
        except Exception as error:
            return f"{type(error).__name__}: {error}"
        finally:
            try:
                call("close", connection.close)
            except Exception as error:
                return f"close raised {type(error).__name__}: {error}"

    def exercise(self):
        """Fires one-shot faults that are still armed (a write or control
        fault waits for the next transfer): a device is clean once an exchange
        on it succeeds. Each failure consumes a fault; refreshes in between."""
        for uri in DEVICE_URIS.values():
            for _ in range(8):
                if self.exchange_once(uri) is None:
                    break
                self.scan()
                self.scan()

    def checkpoint(self, number):
        """Everything healed, every device unplugged and plugged back in, then
        one scan: it must list every device without an error line, and each
        device must serve at once."""
        self.chaos.heal()
        self.exercise()
        self.chaos.replug_all()
        Output.mark(f"scan-begin {number}")
        found = self.scan()
        Output.mark(f"scan-end {number}")
        problems = {}
        if found != EXPECTED_SCAN:
            problems["scan"] = found
        for serial, uri in DEVICE_URIS.items():
            problem = self.exchange_once(uri)
            if problem:
                problems[serial] = problem
        self.checkpoints.append(dict(number=number, problems=problems, **resources()))
        print(f"checkpoint {number}: {'ok' if not problems else problems}", flush=True)

    def park_all(self, parked):
        self.resume.clear()
        for event in parked:
            event.clear()
        self.pause.set()
        for event in parked:
            event.wait()

    def run(self):
        watching = threading.Event()
        watcher = threading.Thread(target=self.calls.watch, args=(watching,), name="watchdog")
        watcher.start()
        # Warm-up: the registry, libusb and each device's worker exist once
        # before the baseline is taken.
        self.checkpoint(0)
        baseline = resources()
        threads = []
        parked = []
        for lane in self.lanes:
            thread, event = lane_thread(lane, self.stop, self.pause, self.resume, self.recover)
            threads.append(thread)
            parked.append(event)
        for target, name in ((self.scanner, "scanner"), (self.injector, "chaos")):
            event = threading.Event()
            threads.append(threading.Thread(target=target, args=(event,), name=name))
            parked.append(event)
        for thread in threads:
            thread.start()

        start = time.monotonic()
        number = 0
        while time.monotonic() - start < self.duration:
            left = self.duration - (time.monotonic() - start)
            self.stop.wait(min(self.checkpoint_every, max(left, 0)))
            number += 1
            self.park_all(parked)
            self.checkpoint(number)
            if time.monotonic() - start < self.duration:
                self.pause.clear()
                self.resume.set()
        self.stop.set()
        self.resume.set()
        for thread in threads:
            thread.join()

        settled = self.settle(baseline)
        idle_cpu = self.idle_cpu()
        watching.set()
        watcher.join()
        return dict(
            baseline=baseline, final=settled, idle_cpu=idle_cpu,
            checkpoints=self.checkpoints, injected=dict(self.chaos.injected),
            machinery=self.machinery[:20],
            calls=dict(self.calls.counts),
            slowest={kind: round(seconds, 3) for kind, seconds in self.calls.slowest.items()},
            late=self.calls.late,
            errors=[list(key) + [count] for key, count in self.calls.errors.most_common()],
            unknown_errors=[list(key) + [count]
                            for key, count in self.calls.unknown_errors.most_common()],
            lanes=[dict(name=lane.name, uri=lane.uri, exact=lane.exact, sessions=lane.sessions,
                        failed_sessions=lane.failed_sessions, sent=lane.sent, echoes=lane.echoes,
                        stale=lane.stale,
                        violations=lane.violations[:20], close_raised=lane.close_raised[:20],
                        close_raised_count=len(lane.close_raised))
                   for lane in self.lanes])

    def settle(self, baseline, bound=30.0):
        """Resources once everything is closed: worker threads end on their
        own after the last close, so wait (bounded) for the counts to come
        back before reading them."""
        deadline = time.monotonic() + bound
        now = resources()
        while time.monotonic() < deadline and (now["threads"] > baseline["threads"] or
                                               now["fds"] > baseline["fds"]):
            self.stop.wait(0.1)
            now = resources()
        return now

    def idle_cpu(self, window=2.0):
        """CPU seconds the process burns over a window with nothing open."""
        before = cpu_seconds()
        threading.Event().wait(window)
        return dict(window=window, cpu=round(cpu_seconds() - before, 3))


def exit_with_receiver_waiting():
    """Robot scripts keep a receiver thread: the process must still end
    cleanly when the main thread ends while it waits in the library."""
    connection = orvapy.Connection(DEVICE_URIS["EMU0"])

    def receive():
        while True:
            connection.recv(0)

    threading.Thread(target=receive, daemon=True, name="receiver").start()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--duration", type=float, default=60)
    parser.add_argument("--checkpoint-every", type=float, default=30)
    options = parser.parse_args()
    report = Soak(options.seed, options.duration, options.checkpoint_every).run()
    exit_with_receiver_waiting()
    print("REPORT " + json.dumps(report), flush=True)


if __name__ == "__main__":
    main()
