"""Runs a program against an emulated bench.

    python3.9 -m orvaemu --dongle EMU0 --radio-robot 80/2M/E7E7E7E7E7 \\
        --usb-robot EMUR0 -- python3.9 app.py

The launcher owns the bench (the emulated devices answer from its process)
and starts the program under the umockdev preload, pointed at the bench. It
returns the program's exit code.
"""

import argparse
import os
import signal
import subprocess
import sys

PRELOAD = "libumockdev-preload.so.0"
# Set on the re-executed launcher, so that a preload that does not load is
# reported instead of re-executing forever.
REEXEC_MARK = "ORVAEMU_LAUNCHER_REEXEC"
DATARATES = ("250K", "1M", "2M")


def radio_robot(text):
    """Parses CHANNEL/DATARATE[/ADDRESS], the address in hex as in radio URIs."""
    parts = text.split("/")
    if len(parts) not in (2, 3):
        raise argparse.ArgumentTypeError(
            f"{text!r}: expected CHANNEL/DATARATE[/ADDRESS], e.g. 80/2M/E7E7E7E7E7")
    try:
        channel = int(parts[0])
        address = int(parts[2], 16) if len(parts) == 3 else 0xE7E7E7E7E7
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r}: channel is decimal, address hex")
    if parts[1] not in DATARATES:
        raise argparse.ArgumentTypeError(f"{text!r}: data rate is one of {', '.join(DATARATES)}")
    return channel, parts[1], address


def parser():
    result = argparse.ArgumentParser(
        prog="python3.9 -m orvaemu",
        description="Run COMMAND against emulated Skelder dongles and Korvane robots.")
    result.add_argument("--dongle", action="append", default=[], metavar="SERIAL",
                        help="a radio dongle with this serial (repeatable)")
    result.add_argument("--usb-robot", action="append", default=[], metavar="SERIAL",
                        help="a robot on a USB cable with this serial (repeatable)")
    result.add_argument("--radio-robot", action="append", default=[], type=radio_robot,
                        metavar="CH/RATE[/ADDR]",
                        help="a robot in the air, e.g. 80/2M/E7E7E7E7E7 (repeatable)")
    result.add_argument("--loss", type=float, default=0.0,
                        help="probability that a radio packet, or its acknowledgement, is lost")
    result.add_argument("--seed", type=int, default=1, help="seed of the radio loss")
    result.add_argument("command", nargs=argparse.REMAINDER,
                        help="-- followed by the program and its arguments")
    return result


def reexecute_under_preload(argv):
    env = dict(os.environ)
    env["LD_PRELOAD"] = ":".join(filter(None, [PRELOAD, env.get("LD_PRELOAD")]))
    env[REEXEC_MARK] = "1"
    os.execve(sys.executable, [sys.executable, "-m", "orvaemu", *argv], env)


def run_child(command, env):
    child = subprocess.Popen(command, env=env)
    # Ctrl-C reaches the child through the terminal; the launcher waits for it
    # to end instead of dying first and taking the devices away.
    previous_int = signal.signal(signal.SIGINT, signal.SIG_IGN)
    previous_term = signal.signal(signal.SIGTERM, lambda number, frame: child.terminate())
    try:
        code = child.wait()
    finally:
        signal.signal(signal.SIGINT, previous_int)
        signal.signal(signal.SIGTERM, previous_term)
    return code if code >= 0 else 128 - code


def main(argv):
    options = parser().parse_args(argv)
    command = options.command[1:] if options.command[:1] == ["--"] else options.command
    if not command:
        parser().error("no command given: put it after --")
    if not 0.0 <= options.loss <= 1.0:
        parser().error("--loss is a probability, 0.0 to 1.0")

    from . import Bench, preloaded

    if not preloaded():
        if os.environ.get(REEXEC_MARK):
            print(f"orvaemu: {PRELOAD} did not load; is umockdev installed?", file=sys.stderr)
            return 2
        reexecute_under_preload(argv)

    try:
        bench = Bench()
        for serial in options.dongle:
            bench.add_dongle(serial)
        for serial in options.usb_robot:
            bench.add_usb_robot(serial)
        for channel, datarate, address in options.radio_robot:
            robot = bench.add_radio_robot(channel, datarate, address)
            robot.loss = options.loss
            robot.seed = options.seed
    except (RuntimeError, ValueError) as error:
        print(f"orvaemu: {error}", file=sys.stderr)
        return 2

    env = dict(os.environ)
    env.pop(REEXEC_MARK, None)
    env["UMOCKDEV_DIR"] = bench.root_dir
    if PRELOAD not in env.get("LD_PRELOAD", ""):
        env["LD_PRELOAD"] = ":".join(filter(None, [PRELOAD, env.get("LD_PRELOAD")]))
    try:
        return run_child(command, env)
    except OSError as error:
        print(f"orvaemu: cannot start {command[0]}: {error}", file=sys.stderr)
        return 127
