"""What orvapy and the emulated bench cost, as ratios that hold from run to run.

    make bench PYTHON=...        (or: LD_PRELOAD=libumockdev-preload.so.0 \\
                                   python3.9 bench/performance.py build/release/bench/liborvabench.so)

Absolute times on a shared machine swing several-fold from one run to the
next, so every comparison here is made in one process against one emulated
bench, the two sides interleaved round by round, and the best round of each
side taken. What does not swing (USB exchanges, control requests, CPU
seconds) is counted. Each group of figures runs in a process of its own,
because orvapy's link registry only sees the devices of a bench that existed
before its first use.
"""

import ctypes
import json
import os
import resource
import subprocess
import sys
import threading
import time

ROUNDS = 5
ECHOES = 200
HERE = os.path.dirname(os.path.abspath(__file__))


def bare_library(path):
    library = ctypes.CDLL(path)
    library.bare_open.restype = ctypes.c_void_p
    library.bare_open.argtypes = [ctypes.c_char_p]
    library.bare_close.argtypes = [ctypes.c_void_p]
    library.bare_exchanges.restype = ctypes.c_long
    library.bare_exchanges.argtypes = [ctypes.c_void_p]
    library.bare_control.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
    library.bare_timer_slack.argtypes = [ctypes.c_ulong]
    library.bare_safelink.argtypes = [ctypes.c_void_p]
    for name in ("bare_radio_exchanges", "bare_radio_echoes", "bare_cable_echoes"):
        function = getattr(library, name)
        function.restype = ctypes.c_double
        function.argtypes = [ctypes.c_void_p, ctypes.c_int]
    library.cpp_echoes.restype = ctypes.c_double
    library.cpp_echoes.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
    # ctypes lets the GIL go around every foreign call.
    return library


class BareDevice:
    """A device opened by the bare libusb loop, for a `with` block."""

    def __init__(self, library, serial):
        self.library = library
        self.serial = serial

    def __enter__(self):
        self.handle = self.library.bare_open(self.serial.encode())
        if not self.handle:
            raise RuntimeError(f"bare loop cannot open {self.serial}")
        return self

    def __exit__(self, *exc):
        self.library.bare_close(self.handle)

    def call(self, name, *args):
        result = getattr(self.library, name)(self.handle, *args)
        if isinstance(result, float) and result < 0:
            raise RuntimeError(f"{name} failed on {self.serial}")
        return result


def packet(number):
    import orvapy
    p = orvapy.Packet()
    p.port = 1
    p.channel = 0
    p.payload = bytes([1, 2, 3, number & 0xFF])
    return p


def orvapy_echoes(connection, count, warmup=5):
    """Seconds for `count` echoes through orvapy, after a few unmeasured ones."""
    for i in range(warmup + count):
        if i == warmup:
            started = time.perf_counter()
        connection.send(packet(i))
        while not connection.recv(1000).valid:
            pass
    return time.perf_counter() - started


def ops(devices):
    """USB exchanges (bulk OUT transfers) and vendor control requests so far."""
    return (sum(len(d.bulk_out_log) for d in devices), sum(len(d.control_log) for d in devices))


# ---------------------------------------------------------------- groups
# Each returns a dict of figures; run in a process of its own.

def group_exchange(library, pace):
    """The bench itself: a bare radio exchange and a control request."""
    import orvaemu
    bench = orvaemu.Bench()
    if pace != "fast":
        bench.pace = pace
    bench.add_dongle("BENCH0")
    figures = {}
    for rate, channel in (("2M", 80), ("1M", 40), ("250K", 20)):
        if pace != "hardware" and rate != "2M":
            continue
        bench.add_radio_robot(channel, rate)
        exchange, control = [], []
        with BareDevice(library, "BENCH0") as dongle:
            dongle.call("bare_control", 0x03, ("250K", "1M", "2M").index(rate))
            dongle.call("bare_control", 0x01, channel)
            for _ in range(ROUNDS):
                exchange.append(dongle.call("bare_radio_exchanges", 500) / 500)
                started = time.perf_counter()
                for _ in range(100):
                    dongle.call("bare_control", 0x01, channel)
                control.append((time.perf_counter() - started) / 100)
        figures[rate] = {"exchange": exchange, "control": control}
    return figures


def group_slack(library, pace):
    """The timer slack lever: exchanges with the default slack and with 1 ns."""
    import orvaemu
    bench = orvaemu.Bench()
    bench.add_dongle("BENCH0")
    bench.add_radio_robot(80, "2M")
    figures = {"50000": [], "1": []}
    with BareDevice(library, "BENCH0") as dongle:
        dongle.call("bare_control", 0x01, 80)
        for _ in range(ROUNDS):
            for slack in figures:
                library.bare_timer_slack(int(slack))
                figures[slack].append(dongle.call("bare_radio_exchanges", 500) / 500)
    return figures


GROUPS = {"exchange": group_exchange, "slack": group_slack}


def run_group(name, library_path, pace="fast"):
    """Runs one group in a fresh process; its figures."""
    output = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--group", name, "--pace", pace,
         library_path], check=True, stdout=subprocess.PIPE, text=True).stdout
    return json.loads(output.splitlines()[-1])


def main(argv):
    if argv[:1] == ["--group"]:
        name, pace, library_path = argv[1], argv[3], argv[4]
        figures = GROUPS[name](bare_library(library_path), pace)
        print(json.dumps(figures), flush=True)
        return 0
    library_path = os.path.abspath(argv[0])
    for name in argv[1:] or ["exchange"]:
        print(json.dumps(run_group(name, library_path)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
