"""What orvapy and the emulated bench cost, as ratios that hold from run to run.

    make bench PYTHON=...    (or: LD_PRELOAD=libumockdev-preload.so.0 \\
                               python3.9 bench/performance.py build/release/bench [GROUP ...])

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
ECHOES = 100


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
    library.cpp_echoes_cpu.restype = ctypes.c_double
    library.cpp_echoes_cpu.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int,
                                       ctypes.POINTER(ctypes.c_double)]
    library.cpp_captured_echoes.restype = ctypes.c_double
    library.cpp_captured_echoes.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int,
                                            ctypes.c_char_p, ctypes.POINTER(ctypes.c_uint64)]
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

    def prepare(self, loop, channel, safelink, warmup):
        """Tunes the dongle (a channel of None: a cable robot), makes the
        safelink handshake when asked, then runs `warmup` echoes of `loop`."""
        if channel is not None:
            self.call("bare_control", 0x01, channel)
        if safelink and self.library.bare_safelink(self.handle) != 0:
            raise RuntimeError("safelink handshake failed")
        self.call(loop, warmup)


def packet(number):
    import orvapy
    p = orvapy.Packet()
    p.port = 1
    p.channel = 0
    p.payload = bytes([1, 2, 3, number & 0xFF])
    return p


def orvapy_echoes(connection, count, warmup=5):
    """Seconds for `count` echoes through orvapy, after a few unmeasured ones."""
    started = time.perf_counter()
    for i in range(warmup + count):
        if i == warmup:
            started = time.perf_counter()
        sent = packet(i)
        expected = sent.payload
        connection.send(sent)
        # Only this packet's echo counts: a robot may still hold replies of
        # an earlier session.
        while connection.recv(1000).payload != expected:
            pass
    return time.perf_counter() - started


def ops(devices):
    """USB exchanges (bulk OUT transfers) and vendor control requests so far."""
    return (sum(len(d.bulk_out_log) for d in devices), sum(len(d.control_log) for d in devices))


# ---------------------------------------------------------------- groups
# Each returns a dict of figures; run in a process of its own.

def new_bench(pace):
    import orvaemu
    bench = orvaemu.Bench()
    bench.pace = pace
    return bench


def group_exchange(library, pace):
    """The bench itself: a bare radio exchange and a control request."""
    bench = new_bench(pace)
    bench.add_dongle("BENCH0")
    figures = {}
    rates = ("2M", "1M", "250K") if pace == "hardware" else ("2M",)
    for rate in rates:
        channel = 10 + len(figures)
        bench.add_radio_robot(channel, rate)
        exchange, control = [], []
        with BareDevice(library, "BENCH0") as dongle:
            dongle.call("bare_control", 0x03, ("250K", "1M", "2M").index(rate))
            dongle.call("bare_control", 0x01, channel)
            for _ in range(ROUNDS):
                exchange.append(dongle.call("bare_radio_exchanges", 300) / 300)
                started = time.perf_counter()
                for _ in range(100):
                    dongle.call("bare_control", 0x01, channel)
                control.append((time.perf_counter() - started) / 100)
        figures[rate] = {"exchange": exchange, "control": control}
    return figures


def group_slack(library, pace):
    """The timer slack lever: exchanges with the default slack and with 1 ns."""
    bench = new_bench(pace)
    bench.add_dongle("BENCH0")
    bench.add_radio_robot(80, "2M")
    figures = {"50000": [], "1": []}
    with BareDevice(library, "BENCH0") as dongle:
        dongle.call("bare_control", 0x01, 80)
        for _ in range(ROUNDS):
            for slack in figures:
                library.bare_timer_slack(int(slack))
                figures[slack].append(dongle.call("bare_radio_exchanges", 300) / 300)
    return figures


def group_placement(library, pace):
    """The core lever: the testbed's thread and the client on the one core the
    bench chose, against every thread free to move (what the scheduler did
    before the bench chose)."""
    bench = new_bench(pace)
    bench.add_dongle("BENCH0")
    bench.add_radio_robot(80, "2M")
    chosen = os.sched_getaffinity(0)
    everywhere = set(range(os.cpu_count() or 1))
    other = (everywhere - chosen) or chosen
    # (this thread's cores, the other threads' cores): the testbed's thread is
    # one of the others.
    placements = {"on one core": (chosen, chosen), "free to move": (everywhere, everywhere),
                  "on two cores": (chosen, other)}
    figures = {name: [] for name in placements}
    with BareDevice(library, "BENCH0") as dongle:
        dongle.call("bare_control", 0x01, 80)
        for _ in range(ROUNDS):
            for name, (mine, theirs) in placements.items():
                for thread in os.listdir("/proc/self/task"):
                    os.sched_setaffinity(int(thread), theirs)
                os.sched_setaffinity(0, mine)
                figures[name].append(dongle.call("bare_radio_exchanges", 300) / 300)
    return figures


ECHO_KINDS = {
    # kind: (orvapy URI, device serial, bare loop, radio channel, safelink); a
    # robot of its own for each radio kind, which keeps its safelink state.
    "radio plain": ("radio://0/80/2M/E7E7E7E7E7?safelink=0", "BENCH0", "bare_radio_echoes", 80,
                    False),
    "radio safelink": ("radio://0/84/2M/E7E7E7E7E7", "BENCH0", "bare_radio_echoes", 84, True),
    "cable": ("usb://0", "BENCHR0", "bare_cable_echoes", None, False),
}


def group_echo(library, pace):
    """orvapy echoes against the bare loop and the C++ path, interleaved."""
    import orvapy
    bench = new_bench(pace)
    devices = {"BENCH0": bench.add_dongle("BENCH0"), "BENCHR0": bench.add_usb_robot("BENCHR0")}
    bench.add_radio_robot(80, "2M")
    bench.add_radio_robot(84, "2M")
    figures = {}
    for kind, (uri, serial, loop, channel, safelink) in ECHO_KINDS.items():
        sides = {"orvapy": [], "bare": [], "cpp": []}
        exchanges = {"orvapy": [], "bare": []}
        log = devices[serial]
        for _ in range(ROUNDS):
            connection = orvapy.Connection(uri)
            orvapy_echoes(connection, 0, warmup=5)
            before = len(log.bulk_out_log)
            sides["orvapy"].append(orvapy_echoes(connection, ECHOES, warmup=0))
            exchanges["orvapy"].append((len(log.bulk_out_log) - before) / ECHOES)
            connection.close()
            with BareDevice(library, serial) as device:
                device.prepare(loop, channel, safelink, warmup=5)
                before = library.bare_exchanges(device.handle)
                sides["bare"].append(device.call(loop, ECHOES))
                exchanges["bare"].append((library.bare_exchanges(device.handle) - before) / ECHOES)
            elapsed = library.cpp_echoes(uri.encode(), ECHOES, 5)
            if elapsed < 0:
                raise RuntimeError(f"C++ echoes failed on {uri}")
            sides["cpp"].append(elapsed)
        figures[kind] = {"seconds": sides, "exchanges": exchanges}
    # Opening and closing alone, each kind.
    for kind, (uri, *_) in ECHO_KINDS.items():
        rounds = []
        for _ in range(ROUNDS):
            started = time.perf_counter()
            for _ in range(10):
                orvapy.Connection(uri).close()
            rounds.append((time.perf_counter() - started) / 10)
        figures[kind]["open_close"] = rounds
    return figures


ROBOT_CHANNELS = (10, 20, 30, 40, 50, 60, 70, 90)


def echo_for(connection, seconds, counts, index, start):
    start.wait()
    deadline = time.perf_counter() + seconds
    count = 0
    while time.perf_counter() < deadline:
        connection.send(packet(count))
        while connection.recv(1000).payload != packet(count).payload:
            pass
        count += 1
    counts[index] = count / seconds


def group_robots(library, pace):
    """Echoes per second with several robots on one dongle and over two."""
    import orvapy
    bench = new_bench(pace)
    bench.add_dongle("BENCH0")
    bench.add_dongle("BENCH1")
    for channel in ROBOT_CHANNELS:
        bench.add_radio_robot(channel, "2M")
    figures = {}
    for robots in (1, 2, 4, 8):
        for dongles in (1, 2):
            rounds = []
            for _ in range(3):
                connections = [orvapy.Connection(
                    f"radio://{i % dongles}/{channel}/2M/E7E7E7E7E7?safelink=0")
                    for i, channel in enumerate(ROBOT_CHANNELS[:robots])]
                for connection in connections:
                    orvapy_echoes(connection, 0, warmup=3)
                counts = [0.0] * robots
                start = threading.Barrier(robots)
                threads = [threading.Thread(target=echo_for,
                                            args=(connection, 1.0, counts, i, start))
                           for i, connection in enumerate(connections)]
                for thread in threads:
                    thread.start()
                for thread in threads:
                    thread.join()
                for connection in connections:
                    connection.close()
                rounds.append(counts)
            figures[f"{robots}/{dongles}"] = rounds
    return figures


def scan_with(dongle_count, pace):
    """Two full scans on a bench of `dongle_count` dongles; the faster one."""
    import orvapy
    bench = new_bench(pace)
    dongles = [bench.add_dongle(f"BENCH{i}") for i in range(dongle_count)]
    bench.add_radio_robot(80, "2M")
    bench.add_radio_robot(40, "250K")
    scans = []
    for _ in range(2):
        before = ops(dongles)
        started = time.perf_counter()
        found = orvapy.Connection.scan()
        elapsed = time.perf_counter() - started
        after = ops(dongles)
        scans.append({"seconds": elapsed, "found": found, "exchanges": after[0] - before[0],
                      "controls": after[1] - before[1]})
    return min(scans, key=lambda scan: scan["seconds"])


def group_scan1(library, pace):
    """A scan with one dongle."""
    return scan_with(1, pace)


def group_scan2(library, pace):
    """A scan with two dongles."""
    return scan_with(2, pace)


# The groups below run under the launcher (run_launched): the devices answer
# from its process, so that the CPU seconds counted here are the library's
# and the client's alone, and no thread of either is pinned.
LAUNCHED_DEVICES = ("--dongle", "BENCH0", "--usb-robot", "BENCHR0",
                    "--radio-robot", "80/2M", "--radio-robot", "84/2M")

IDLE_KINDS = {
    "radio, no autoping": "radio://0/80/2M/E7E7E7E7E7?safelink=0&autoping=0",
    "radio plain": "radio://0/80/2M/E7E7E7E7E7?safelink=0",
    "radio safelink": "radio://0/84/2M/E7E7E7E7E7",
    "cable": "usb://0",
}


def switches():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_nvcsw + usage.ru_nivcsw


def group_idle(library, pace):
    """CPU and context switches of the library's process while a connection
    has nothing to do (autoping's pings are the protocol's own traffic)."""
    import orvapy
    figures = {}
    for kind, uri in IDLE_KINDS.items():
        connection = orvapy.Connection(uri)
        connection.send(packet(0))
        time.sleep(0.3)
        cpu, wall, switched = time.process_time(), time.perf_counter(), switches()
        time.sleep(2.0)
        seconds = time.perf_counter() - wall
        figures[kind] = {"cpu": (time.process_time() - cpu) / seconds,
                         "switches": (switches() - switched) / seconds}
        connection.close()
    return figures


def group_cpu(library, pace):
    """Wall and CPU seconds of the library's process for the same echoes
    through orvapy, the C++ path and the bare loop, interleaved round by round."""
    import orvapy
    figures = {}
    for kind, (uri, serial, loop, channel, safelink) in ECHO_KINDS.items():
        sides = {"orvapy": [], "cpp": [], "bare": []}
        for _ in range(ROUNDS):
            connection = orvapy.Connection(uri)
            orvapy_echoes(connection, 0, warmup=5)
            cpu = time.process_time()
            wall = orvapy_echoes(connection, ECHOES, warmup=0)
            sides["orvapy"].append((wall, time.process_time() - cpu))
            connection.close()
            with BareDevice(library, serial) as device:
                device.prepare(loop, channel, safelink, warmup=5)
                cpu = time.process_time()
                wall = device.call(loop, ECHOES)
                sides["bare"].append((wall, time.process_time() - cpu))
            cpu_seconds = ctypes.c_double(0)
            wall = library.cpp_echoes_cpu(uri.encode(), ECHOES, 5, ctypes.byref(cpu_seconds))
            if wall < 0:
                raise RuntimeError(f"C++ echoes failed on {uri}")
            sides["cpp"].append((wall, cpu_seconds.value))
        figures[kind] = sides
    return figures


# Capture on against off is a difference of a few percent, less than one
# round's noise on a loaded machine: many short rounds, so that each side
# surely meets a few quiet ones.
CAPTURE_ECHOES = ECHOES
CAPTURE_ROUNDS = 4 * ROUNDS


def group_capture(library, pace):
    """The C++ echo with its registry recording a capture against the same without, interleaved.

    ORVAPY_CAPTURE is read once per process, so orvapy in one process has
    capture on or off for good; the C++ side gives its own registry a capture
    file, which puts both sides in one process against one bench.
    """
    import tempfile
    bench = new_bench(pace)
    bench.add_dongle("BENCH0")
    bench.add_usb_robot("BENCHR0")
    bench.add_radio_robot(80, "2M")
    bench.add_radio_robot(84, "2M")
    figures = {}
    with tempfile.TemporaryDirectory(prefix="orvapy-bench-") as folder:
        path = os.path.join(folder, "echo.pcapng")
        for kind, (uri, *_) in ECHO_KINDS.items():
            sides = {"off": [], "on": []}
            dropped, written = 0, []
            for _ in range(CAPTURE_ROUNDS):
                elapsed = library.cpp_echoes(uri.encode(), CAPTURE_ECHOES, 5)
                count = ctypes.c_uint64(0)
                captured = library.cpp_captured_echoes(uri.encode(), CAPTURE_ECHOES, 5, path.encode(),
                                                       ctypes.byref(count))
                if elapsed < 0 or captured < 0:
                    raise RuntimeError(f"C++ echoes failed on {uri}")
                sides["off"].append(elapsed)
                sides["on"].append(captured)
                dropped += count.value
                written.append(os.path.getsize(path))
            figures[kind] = {"seconds": sides, "dropped": dropped, "bytes": min(written)}
    return figures


GROUPS = {name[len("group_"):]: function for name, function in globals().items()
          if name.startswith("group_")}


def run_group(name, library_path, pace="fast", rounds=ROUNDS):
    """Runs one group in a fresh process; its figures."""
    output = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--group", name, "--pace", pace,
         "--rounds", str(rounds), library_path],
        check=True, stdout=subprocess.PIPE, text=True).stdout
    return json.loads(output.splitlines()[-1])


def run_launched(name, library_path, pace="fast", rounds=ROUNDS, devices=LAUNCHED_DEVICES):
    """Runs one group under the launcher, the devices in the launcher's
    process; no thread of either process pinned (ORVAEMU_PIN=0), as on a
    user's machine."""
    env = dict(os.environ, ORVAEMU_PIN="0")
    output = subprocess.run(
        [sys.executable, "-m", "orvaemu", "--pace", pace, *devices, "--",
         sys.executable, os.path.abspath(__file__), "--group", name, "--pace", pace,
         "--rounds", str(rounds), library_path],
        check=True, stdout=subprocess.PIPE, text=True, env=env).stdout
    return json.loads(output.splitlines()[-1])


def spread(values):
    return max(values) / min(values)


class Table:
    def __init__(self):
        self.rows = []

    def add(self, what, value, note=""):
        self.rows.append((what, value, note))

    def print(self):
        width = max(len(row[0]) for row in self.rows)
        value_width = max(len(row[1]) for row in self.rows)
        for what, value, note in self.rows:
            print(f"{what:<{width}}  {value:>{value_width}}  {note}".rstrip())


def us(seconds):
    return f"{seconds * 1e6:.0f} us"


def add_echo_ratio(table, what, ours, theirs, echoes, more=""):
    """A row of best-round time against best-round time, each round `echoes` echoes."""
    table.add(what, f"{min(ours) / min(theirs):.2f}",
              f"best of {len(ours)} interleaved rounds of {echoes} echoes: "
              f"{us(min(ours) / echoes)} / {us(min(theirs) / echoes)}{more}")


def report_exchange(table, figures, pace):
    for rate, values in figures.items():
        exchange = values["exchange"]
        table.add(f"bench ({pace}): radio exchange at {rate}", us(min(exchange)),
                  f"worst/best of {len(exchange)} rounds {spread(exchange):.2f}")
    control = figures["2M"]["control"]
    table.add(f"bench ({pace}): control request", us(min(control)),
              f"worst/best of {len(control)} rounds {spread(control):.2f}")


def report_echo(table, figures):
    for kind, values in figures.items():
        seconds = values["seconds"]
        add_echo_ratio(table, f"echo {kind}: orvapy / bare libusb loop",
                       seconds["orvapy"], seconds["bare"], ECHOES)
    for kind, values in figures.items():
        exchanges = values["exchanges"]
        table.add(f"echo {kind}: USB exchanges per delivered packet",
                  f"{min(exchanges['orvapy']):.2f}",
                  f"bare loop {min(exchanges['bare']):.2f}; most in a round "
                  f"{max(exchanges['orvapy']):.2f}")
    for kind, values in figures.items():
        seconds = values["seconds"]
        extra = (min(seconds["orvapy"]) - min(seconds["cpp"])) / ECHOES
        table.add(f"echo {kind}: Python send+recv over the C++ path",
                  f"{min(seconds['orvapy']) / min(seconds['cpp']):.2f}",
                  f"{extra * 1e6:+.0f} us per packet")
    for kind, values in figures.items():
        table.add(f"open+close {kind}", us(min(values["open_close"])), f"best of {ROUNDS}")


def report_robots(table, figures):
    for config, rounds in figures.items():
        robots, dongles = config.split("/")
        best = max(rounds, key=sum)
        table.add(f"{robots} robot(s) over {dongles} dongle(s): echoes/s", f"{sum(best):.0f}",
                  f"slowest/fastest connection {min(best):.0f}/{max(best):.0f} per s "
                  f"(best of {len(rounds)} rounds of 1 s)")


def report_scan(table, figures, pace):
    best = {count: min(rounds, key=lambda r: r["seconds"]) for count, rounds in figures.items()}
    for count, scan in best.items():
        table.add(f"scan ({pace}), {count} dongle(s)", f"{scan['seconds']:.2f} s",
                  f"{scan['exchanges']} exchanges + {scan['controls']} control requests "
                  f"(fewest for 375 probes: 375 + 374 retunes); found {len(scan['found'])}")
    table.add(f"scan ({pace}): two dongles / one", f"{best['2']['seconds'] / best['1']['seconds']:.2f}",
              f"best of {len(figures['1'])} interleaved rounds")


def report_idle(table, figures, pace):
    for kind, values in figures.items():
        table.add(f"idle CPU ({pace}), {kind}", f"{values['cpu'] * 100:.1f} %",
                  f"of one core, library's process, 2 s; {values['switches']:.0f} context "
                  "switches/s")


CPU_ROUNDS = 15


def report_cpu(table, figures):
    for kind, sides in figures.items():
        wall = {side: min(w for w, _ in rounds) for side, rounds in sides.items()}
        table.add(f"echo {kind}: orvapy / bare, threads unpinned",
                  f"{wall['orvapy'] / wall['bare']:.2f}",
                  f"best of {len(sides['bare'])} interleaved rounds of {ECHOES} echoes: "
                  f"{us(wall['orvapy'] / ECHOES)} / {us(wall['bare'] / ECHOES)}")
        table.add(f"echo {kind}: C++ path / bare, threads unpinned",
                  f"{wall['cpp'] / wall['bare']:.2f}",
                  f"{us(wall['cpp'] / ECHOES)} / {us(wall['bare'] / ECHOES)}")
    for kind, sides in figures.items():
        cpu = {side: min(c for _, c in rounds) for side, rounds in sides.items()}
        table.add(f"CPU per echo {kind}: orvapy / bare", f"{cpu['orvapy'] / cpu['bare']:.2f}",
                  f"{us(cpu['orvapy'] / ECHOES)} / {us(cpu['bare'] / ECHOES)} of CPU, "
                  f"library's process, best of {len(sides['bare'])} interleaved rounds")
        table.add(f"CPU per echo {kind}: C++ path / bare", f"{cpu['cpp'] / cpu['bare']:.2f}",
                  f"{us(cpu['cpp'] / ECHOES)} / {us(cpu['bare'] / ECHOES)} of CPU")


def report_allocations(table, build):
    output = subprocess.run([os.path.join(build, "queue_bench")], stdout=subprocess.PIPE,
                            text=True).stdout
    for line in output.splitlines():
        if line.startswith("allocations in steady state"):
            table.add("allocations per packet, queues (steady state)", line.split(":")[1].strip())
    # Under the launcher, so that the devices' own allocations are not counted.
    output = subprocess.run(
        [sys.executable, "-m", "orvaemu", "--dongle", "BENCH0", "--usb-robot", "BENCHR0",
         "--radio-robot", "80/2M", "--", os.path.join(build, "round_trip_bench")],
        stdout=subprocess.PIPE, text=True).stdout
    for line in output.splitlines():
        if line.startswith("allocations per echo"):
            what, value = line.split(":")
            table.add(what.replace("allocations per echo", "allocations per packet"),
                      value.strip().split()[0], " ".join(value.split()[1:]))


def report_capture(table, figures):
    for kind, values in figures.items():
        seconds = values["seconds"]
        add_echo_ratio(table, f"echo {kind}: C++ path, capture on / off",
                       seconds["on"], seconds["off"], CAPTURE_ECHOES,
                       f"; {values['dropped']} records dropped, {values['bytes'] // 1024} KiB a round")


def main(argv):
    global ROUNDS
    if argv[:1] == ["--group"]:
        name, pace, ROUNDS, library_path = argv[1], argv[3], int(argv[5]), argv[6]
        figures = GROUPS[name](bare_library(library_path), pace)
        print(json.dumps(figures), flush=True)
        return 0
    build = os.path.abspath(argv[0])
    library_path = os.path.join(build, "liborvabench.so")
    only = argv[1:]
    table = Table()
    started = time.perf_counter()

    def wanted(name):
        return not only or name in only

    if wanted("exchange"):
        report_exchange(table, run_group("exchange", library_path), "fast")
        report_exchange(table, run_group("exchange", library_path, "hardware"), "hardware")
    if wanted("echo"):
        report_echo(table, run_group("echo", library_path))
    if wanted("robots"):
        report_robots(table, run_group("robots", library_path))
    if wanted("scan"):
        for pace in ("fast", "hardware"):
            # A registry sees the dongles of its process's start: one process
            # per scan, the two kinds alternating.
            figures = {"1": [], "2": []}
            for _ in range(3):
                for count in figures:
                    figures[count].append(run_group("scan" + count, library_path, pace))
            report_scan(table, figures, pace)
    if wanted("capture"):
        report_capture(table, run_group("capture", library_path))
    if wanted("cpu"):
        report_cpu(table, run_launched("cpu", library_path, rounds=CPU_ROUNDS))
    if wanted("idle"):
        report_idle(table, run_launched("idle", library_path), "fast")
        report_idle(table, run_launched("idle", library_path, "hardware"), "hardware")
    if wanted("allocations"):
        report_allocations(table, build)
    if wanted("slack"):
        figures = run_group("slack", library_path, rounds=10)
        for slack, rounds in figures.items():
            table.add(f"lever: bare exchange, timer slack {slack} ns", us(min(rounds)),
                      f"worst/best {spread(rounds):.2f}")
    if wanted("placement"):
        figures = run_group("placement", library_path, rounds=10)
        for name, rounds in figures.items():
            table.add(f"lever: bare exchange, client and testbed {name}", us(min(rounds)),
                      f"worst/best {spread(rounds):.2f}")
    table.print()
    # The library's own probes, where this tree has them.
    for program in ("worker_cost_bench",):
        path = os.path.join(build, program)
        # It takes minutes: only when asked for by name.
        if "probes" in only and os.path.exists(path):
            print(f"\n{program}:")
            sys.stdout.flush()
            subprocess.run([path], timeout=300)
    print(f"({time.perf_counter() - started:.0f} s; machine: {os.cpu_count()} cores, "
          f"{platform_summary()})")
    return 0


def platform_summary():
    import platform
    model = ""
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            model = next(line.split(":", 1)[1].strip() for line in cpuinfo
                         if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{model}, Linux {platform.release()}"


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
