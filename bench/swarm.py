"""How the library's cost grows with dongles and robots: a lab's swarm.

    make bench-swarm PYTHON=...   (or: python3.9 bench/swarm.py BUILD/bench
                                   [--pace fast|hardware] [--dongles 1,2,4,8]
                                   [--robots 1,8,16,32] [--seconds 2])

Each configuration runs under the launcher, the devices in its process and no
thread of either pinned: D dongles, R robots per dongle, each robot a
connection of the C++ link library echoing from a thread of its own (the
library's process is the launcher's child, bench/SwarmLoop.cpp). The robots
of one dongle share its channel and differ by address, so that going from one
robot to the next takes one retune. Reported per configuration: echoes per
second in all, the slowest and fastest connection, CPU per echo of the
library's process and of the devices' (the launcher's), the library's
threads (the echoing ones not counted), open files and resident memory with
all connections open, and the time to open and to close them all. Under --pace hardware, the rate per dongle is set against what the
dongle's paced operations allow: per echo two exchanges (the packet, then a
ping that brings the echo back) and, with more than one robot, one retune;
and the CPU that 0.9 of that rate on every dongle would take, in cores, at
the CPU per echo measured (both processes): where it passes the machine's
cores, the bench cannot show that rate, whatever the library does.
"""

import argparse
import ctypes
import json
import os
import subprocess
import sys

# Pacing.hpp's hardware times at 2M: an exchange and a control request.
PACED_EXCHANGE = 590e-6
PACED_CONTROL = 1000e-6


def channel_of(dongle):
    return 4 + 8 * dongle


def address_of(robot):
    return 0xE7E7E70000 + robot


def child(library_path, dongles, robots, seconds, pace=None):
    """Runs the swarm in this process; with `pace`, the devices too (a bench
    of its own), so that their operations can be counted."""
    logs = []
    if pace:
        import orvaemu
        bench = orvaemu.Bench()
        bench.pace = pace
        logs = [bench.add_dongle(f"SWARM{d}") for d in range(dongles)]
        for d in range(dongles):
            for r in range(robots):
                bench.add_radio_robot(channel_of(d), "2M", address_of(r))
    library = ctypes.CDLL(library_path)
    library.swarm_run.restype = ctypes.c_int
    library.swarm_run.argtypes = [ctypes.POINTER(ctypes.c_char_p), ctypes.c_int, ctypes.c_double,
                                  ctypes.POINTER(ctypes.c_long), ctypes.POINTER(ctypes.c_double)]
    uris = [f"radio://{d}/{channel_of(d)}/2M/{address_of(r):010X}?safelink=0".encode()
            for d in range(dongles) for r in range(robots)]
    count = len(uris)
    echoes = (ctypes.c_long * count)()
    figures = (ctypes.c_double * 7)()
    if library.swarm_run((ctypes.c_char_p * count)(*uris), count, seconds, echoes, figures) != 0:
        raise SystemExit("swarm: could not open every connection")
    result = {"echoes": list(echoes), "figures": list(figures)}
    if logs:
        result["exchanges"] = sum(len(dongle.bulk_out_log) for dongle in logs)
        result["controls"] = sum(len(dongle.control_log) for dongle in logs)
    print(json.dumps(result), flush=True)


def count_operations(library_path, pace, dongles, robots, seconds):
    """The swarm with the devices in its process: USB exchanges and control
    requests per echo, the opening included."""
    import orvaemu
    env = dict(os.environ, ORVAEMU_PIN="0", LD_PRELOAD=orvaemu.preload())
    output = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", library_path, str(dongles),
         str(robots), str(seconds), pace],
        check=True, stdout=subprocess.PIPE, text=True, env=env, timeout=600).stdout
    result = json.loads(output.splitlines()[-1])
    echoes = sum(result["echoes"]) + dongles * robots
    return result["exchanges"] / echoes, result["controls"] / echoes


def run(library_path, pace, dongles, robots, seconds):
    devices = []
    for d in range(dongles):
        devices += ["--dongle", f"SWARM{d}"]
        for r in range(robots):
            devices += ["--radio-robot", f"{channel_of(d)}/2M/{address_of(r):010X}"]
    env = dict(os.environ, ORVAEMU_PIN="0")
    output = subprocess.run(
        [sys.executable, "-m", "orvaemu", "--pace", pace, *devices, "--", sys.executable,
         os.path.abspath(__file__), "--child", library_path, str(dongles), str(robots),
         str(seconds)],
        check=True, stdout=subprocess.PIPE, text=True, env=env, timeout=600).stdout
    return json.loads(output.splitlines()[-1])


def paced_rate(robots):
    """Echoes per second one dongle's paced operations allow."""
    per_echo = 2 * PACED_EXCHANGE + (PACED_CONTROL if robots > 1 else 0.0)
    return 1.0 / per_echo


def main(argv):
    if argv[:1] == ["--child"]:
        child(argv[1], int(argv[2]), int(argv[3]), float(argv[4]), *argv[5:6])
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", help="the release tree's bench folder")
    parser.add_argument("--pace", choices=("fast", "hardware"), default="fast")
    parser.add_argument("--dongles", default="1,2,4,8")
    parser.add_argument("--robots", default="1,8,16,32")
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--count", action="store_true",
                        help="instead: USB exchanges and control requests per echo, the devices "
                        "in the library's process where they can be counted")
    options = parser.parse_args(argv)
    library_path = os.path.join(os.path.abspath(options.build), "liborvabench.so")
    if options.count:
        print(f"swarm ({options.pace}): operations per echo (fewest: 2 exchanges, and 1 retune "
              "with more than one robot per dongle)")
        for dongles in (int(d) for d in options.dongles.split(",")):
            for robots in (int(r) for r in options.robots.split(",")):
                exchanges, controls = count_operations(library_path, options.pace, dongles,
                                                       robots, options.seconds)
                print(f"{dongles:>7} x {robots:<6} {exchanges:.2f} exchanges, "
                      f"{controls:.2f} control requests per echo", flush=True)
        return 0
    print(f"swarm ({options.pace}), {options.seconds:g} s of echoes per configuration; "
          "threads exclude the echoing ones")
    print(f"{'dongles x robots':>16} {'echoes/s':>9} {'per dongle':>10} {'slow/fast':>9} "
          f"{'CPU/echo':>9} {'devices':>8} {'threads':>7} {'fds':>5} {'RSS MiB':>7} "
          f"{'open s':>7} {'close s':>7}"
          + ("  of paced rate  CPU at 0.9 of it" if options.pace == "hardware" else ""),
          flush=True)
    for dongles in (int(d) for d in options.dongles.split(",")):
        for robots in (int(r) for r in options.robots.split(",")):
            try:
                result = run(library_path, options.pace, dongles, robots, options.seconds)
            except (subprocess.CalledProcessError, subprocess.TimeoutExpired) as error:
                print(f"{dongles:>7} x {robots:<6} stopped: {error}", flush=True)
                continue
            echoes = result["echoes"]
            opened, closed, cpu, threads, fds, rss, devices_cpu = result["figures"]
            total = sum(echoes)
            rate = total / options.seconds
            per_dongle = rate / dongles
            fairness = min(echoes) / max(echoes) if max(echoes) else 0.0
            per_echo = cpu / max(total, 1)
            devices_per_echo = devices_cpu / max(total, 1) if devices_cpu >= 0 else None
            devices_text = f"{devices_per_echo * 1e6:>6.0f}us" if devices_per_echo else f"{'?':>8}"
            line = (f"{dongles:>7} x {robots:<6} {rate:>9.0f} {per_dongle:>10.0f} "
                    f"{fairness:>9.2f} {per_echo * 1e6:>7.0f}us {devices_text} "
                    f"{threads:>7.0f} {fds:>5.0f} {rss / 1024:>7.1f} "
                    f"{opened:>7.3f} {closed:>7.3f}")
            if options.pace == "hardware":
                paced = paced_rate(robots)
                line += f"  {per_dongle / paced:.2f} of {paced:.0f}/s"
                if devices_per_echo:
                    needed = 0.9 * paced * dongles * (per_echo + devices_per_echo)
                    line += f"  {needed:.1f} of {os.cpu_count()} cores"
            print(line, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
