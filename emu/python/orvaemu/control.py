"""Fault commands for the bench of a running launcher.

A program started by ``python3.9 -m orvaemu`` finds the launcher's control
socket in the environment variable ORVAEMU_CONTROL; from elsewhere, name it
with the launcher's ``--control PATH``. Each command is one line and is done
when ``send`` returns:

    unplug SERIAL | replug SERIAL
    stall SERIAL ENDPOINT | short-write SERIAL BYTES | hang-next-write SERIAL BYTES
    fail-next-control SERIAL | time-out-next-control SERIAL
    deny-access SERIAL on|off             (opening fails: LIBUSB_ERROR_ACCESS)
    stop-answering SERIAL on|off          (dongles)
    refuse SERIAL ATTEMPTS                (USB robots)
    loss CH/RATE[/ADDR] P | silent CH/RATE[/ADDR] on|off   (radio robots)

    python3.9 -m orvaemu.control [--socket PATH] unplug EMU0
"""

import argparse
import os
import socket
import sys
from typing import List, Optional

ENVIRONMENT = "ORVAEMU_CONTROL"


def send(command: str, path: Optional[str] = None) -> None:
    """Sends one command and waits until it is done; RuntimeError if it failed."""
    path = path or os.environ.get(ENVIRONMENT)
    if not path:
        raise RuntimeError(f"no control socket: {ENVIRONMENT} is not set "
                           "(run the program through python3.9 -m orvaemu)")
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
        connection.connect(path)
        connection.sendall(command.strip().encode() + b"\n")
        reply = connection.makefile("r").readline().strip()
    if reply != "ok":
        raise RuntimeError(reply or "the launcher closed the connection")


def parser() -> argparse.ArgumentParser:
    result = argparse.ArgumentParser(
        prog="python3.9 -m orvaemu.control",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Send one fault command to the bench of a running launcher.",
        # The command list of this module's docstring.
        epilog="commands:" + (__doc__ or "").split("returns:\n", 1)[-1].split("\n\n")[0])
    result.add_argument("--socket", metavar="PATH",
                        help=f"the launcher's control socket (default: ${ENVIRONMENT}, set for "
                        "the program it runs)")
    result.add_argument("command", nargs=argparse.REMAINDER, metavar="COMMAND ...",
                        help="the command and its arguments, e.g. unplug EMU0")
    return result


def main(argv: List[str]) -> int:
    options = parser().parse_args(argv)
    if not options.command:
        parser().error("no command given")
    try:
        send(" ".join(options.command), options.socket)
    except (OSError, RuntimeError) as error:
        print(f"orvaemu.control: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
