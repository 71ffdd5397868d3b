"""Runs a program against an emulated bench.

    python3.9 -m orvaemu --dongle EMU0 --radio-robot 80/2M/E7E7E7E7E7 \\
        --usb-robot EMUR0 -- python3.9 app.py

The launcher owns the bench (the emulated devices answer from its process)
and starts the program under the umockdev preload, pointed at the bench. It
returns the program's exit code.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
from typing import Dict, List, NoReturn, Tuple, Union

from .commands import Commands, ControlServer
from .control import ENVIRONMENT as CONTROL_ENVIRONMENT
from .devices import parse_radio_robot
from .preloads import UMOCKDEV_PRELOAD as PRELOAD
from .preloads import WAIT_PRELOAD, preload
# Set on the re-executed launcher, so that a preload that does not load is
# reported instead of re-executing forever.
REEXEC_MARK = "ORVAEMU_LAUNCHER_REEXEC"


def radio_robot(text: str) -> Tuple[int, str, int]:
    try:
        return parse_radio_robot(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error))


def parser() -> argparse.ArgumentParser:
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
    result.add_argument("--pace", choices=("fast", "hardware"), default="fast",
                        help="fast (the default) answers as fast as the bench can; hardware "
                        "takes the air time of each radio exchange and a frame per control "
                        "request, device by device, as real ones do")
    result.add_argument("--capture", metavar="FILE",
                        help="record what the devices see and answer to this pcapng file, in "
                        "the format of orvapy's link capture (ORVAPY_CAPTURE): one interface "
                        "per dongle or robot on a cable, named by its serial; each radio "
                        "exchange, cable write and read, vendor control request, plug and unplug")
    result.add_argument("--control", metavar="PATH",
                        help="where to put the socket for orvaemu.control commands (by default "
                        "a private one, named to the program in $ORVAEMU_CONTROL)")
    result.add_argument("command", nargs=argparse.REMAINDER,
                        help="-- followed by the program and its arguments")
    return result


def reexecute_under_preload(argv: List[str]) -> NoReturn:
    env = dict(os.environ)
    env["LD_PRELOAD"] = ":".join(filter(None, [preload(), env.get("LD_PRELOAD", "")]))
    env[REEXEC_MARK] = "1"
    os.execve(sys.executable, [sys.executable, "-m", "orvaemu", *argv], env)


def run_child(command: List[str], env: Dict[str, str]) -> int:
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


def main(argv: List[str]) -> int:
    options = parser().parse_args(argv)
    command = options.command[1:] if options.command[:1] == ["--"] else options.command
    if not command:
        parser().error("no command given: put it after --")
    if not 0.0 <= options.loss <= 1.0:
        parser().error("--loss is a probability, 0.0 to 1.0")

    from . import Bench, Dongle, RadioRobot, USBRobot, preloaded

    if not preloaded():
        if os.environ.get(REEXEC_MARK):
            print(f"orvaemu: {PRELOAD} did not load; is umockdev installed?", file=sys.stderr)
            return 2
        reexecute_under_preload(argv)

    try:
        bench = Bench()
        bench.pace = options.pace
        if options.capture:
            bench.capture = options.capture
        usb_devices: Dict[str, Union[Dongle, USBRobot]] = {}
        for serial in options.dongle:
            usb_devices[serial] = bench.add_dongle(serial)
        for serial in options.usb_robot:
            usb_devices[serial] = bench.add_usb_robot(serial)
        radio_robots: Dict[Tuple[int, str, int], RadioRobot] = {}
        for channel, datarate, address in options.radio_robot:
            robot = bench.add_radio_robot(channel, datarate, address)
            robot.loss = options.loss
            robot.seed = options.seed
            radio_robots[(channel, datarate, address)] = robot
    except (RuntimeError, ValueError) as error:
        print(f"orvaemu: {error}", file=sys.stderr)
        return 2

    private_dir = None if options.control else tempfile.mkdtemp(prefix="orvaemu-")
    control_path: str = options.control or os.path.join(str(private_dir), "control")
    env = dict(os.environ)
    env.pop(REEXEC_MARK, None)
    env["UMOCKDEV_DIR"] = bench.root_dir
    env[CONTROL_ENVIRONMENT] = control_path
    if PRELOAD not in env.get("LD_PRELOAD", ""):
        env["LD_PRELOAD"] = ":".join(filter(None, [preload(), env.get("LD_PRELOAD", "")]))
    elif WAIT_PRELOAD not in env["LD_PRELOAD"] and preload() != PRELOAD:
        env["LD_PRELOAD"] = env["LD_PRELOAD"].replace(PRELOAD, preload(), 1)
    try:
        server = ControlServer(control_path, Commands(usb_devices, radio_robots))
    except OSError as error:
        print(f"orvaemu: cannot listen on {control_path}: {error}", file=sys.stderr)
        return 2
    try:
        with server:
            return run_child(command, env)
    except OSError as error:
        print(f"orvaemu: cannot start {command[0]}: {error}", file=sys.stderr)
        return 127
    finally:
        # The capture is complete once the program is done with the devices.
        bench.capture = None
        if private_dir:
            shutil.rmtree(private_dir, ignore_errors=True)
        else:
            os.unlink(control_path)
