"""Run COMMAND with its orvapy link recorded: orvapy in the program writes
every radio exchange, cable transfer, control request and worker event to
FILE, a pcapng file (a child of the program that uses orvapy too warns and
runs without capture, leaving the file to its parent). Read it with
Wireshark or tshark and the dissector tools/wireshark/orvapy.lua
(docs/capture.md). orva returns the program's exit status."""
import argparse
import os
import signal
import subprocess
import sys
from typing import List

from ..exitcodes import USAGE

NAME = "capture"
SUMMARY = "run a program with its link recorded to a pcapng file"
ENVIRONMENT = "ORVAPY_CAPTURE"
# The shell's status for a program that cannot be run.
CANNOT_RUN = 127


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-o", "--output", required=True, metavar="FILE",
                        help="the capture file to write (pcapng)")
    parser.add_argument("command", nargs=argparse.REMAINDER, metavar="-- COMMAND ...",
                        help="the program to run and its arguments")


def run(options: argparse.Namespace) -> int:
    command: List[str] = options.command
    if command[:1] == ["--"]:
        command = command[1:]
    if not command:
        print("usage: orva capture -o FILE -- COMMAND ...", file=sys.stderr)
        print("orva capture: no command given: put it after --", file=sys.stderr)
        return USAGE
    env = dict(os.environ)
    env[ENVIRONMENT] = os.path.abspath(options.output)
    try:
        child = subprocess.Popen(command, env=env)
    except OSError as error:
        print(f"orva capture: cannot run {command[0]}: {error.strerror}", file=sys.stderr)
        return CANNOT_RUN
    # Ctrl-C reaches the program through the terminal; orva waits for it to
    # end, so that the program can finish its capture.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        code = child.wait()
    finally:
        signal.signal(signal.SIGINT, previous)
    return code if code >= 0 else 128 - code
