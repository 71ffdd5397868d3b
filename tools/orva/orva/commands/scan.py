"""Find the robots orvapy can reach: every robot on a USB cable, then every
radio channel (0 to 124) and data rate on which a robot answers at the radio
address. A progress line goes to standard error while it scans."""
from __future__ import annotations

import argparse
import json
import os
import sys
import threading
import time
from contextlib import contextmanager
from typing import Any, Dict, Iterator, List

import orvapy

from .. import _registry
from ..advice import NO_ROBOT_ANSWERED, explain_absence, say
from ..exitcodes import FAILED, OK
from ..table import render

NAME = "scan"
SUMMARY = "list the robots that answer, by cable and by radio"
DEFAULT_ADDRESS = 0xE7E7E7E7E7
# How often the progress line is redrawn on a terminal.
PROGRESS_PERIOD_S = 0.2


def address(text: str) -> int:
    """A 40-bit radio address in hexadecimal, as in radio URIs (0x optional)."""
    try:
        value = int(text, 16)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a hexadecimal address") from None
    if not 0 <= value < 1 << 40:
        raise argparse.ArgumentTypeError(f"{text!r}: a radio address has 40 bits (10 hex digits)")
    return value


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--address", type=address, default=DEFAULT_ADDRESS, metavar="HEX",
                        help="radio address to scan, 10 hex digits (default E7E7E7E7E7)")
    parser.add_argument("--json", action="store_true", help="print JSON for scripts")
    parser.add_argument("--remote", action="store_true",
                        help="scan through the orva servers reached over Zenoh instead")


def describe(uri: str) -> Dict[str, Any]:
    """radio://*/80/2M/E7E7E7E7E7 or usb://0 as its parts."""
    if uri.startswith("usb://"):
        return {"uri": uri, "link": "usb", "channel": None, "datarate": None, "address": None}
    _, channel, datarate, radio_address = uri[len("radio://"):].split("/")
    return {"uri": uri, "link": "radio", "channel": int(channel), "datarate": datarate,
            "address": radio_address}


@contextmanager
def library_output_to_stderr() -> Iterator[None]:
    """The library reports failed probes on standard output; keep them off
    the table and the JSON."""
    sys.stdout.flush()
    saved = os.dup(1)
    os.dup2(2, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def scan_with_progress(radio_address: int) -> List[str]:
    result: List[str] = []
    failure: List[BaseException] = []

    def work() -> None:
        try:
            result.extend(orvapy.Connection.scan(address=radio_address))
        except Exception as error:  # reported by the caller
            failure.append(error)

    # A daemon thread: Ctrl-C ends the tool without waiting for the scan.
    worker = threading.Thread(target=work, name="orva-scan", daemon=True)
    started = time.monotonic()
    live = sys.stderr.isatty()
    text = f"scanning cables and 375 radio channels at address {radio_address:010X}"
    print(text + ("" if live else " ..."), file=sys.stderr, flush=True)
    with library_output_to_stderr():
        worker.start()
        while worker.is_alive():
            worker.join(PROGRESS_PERIOD_S)
            if live:
                print(f"\r{text} ... {time.monotonic() - started:.1f} s", end="",
                      file=sys.stderr, flush=True)
    if live:
        print(file=sys.stderr)
    if failure:
        raise failure[0]
    return result


def run(options: argparse.Namespace) -> int:
    if options.remote:
        from ..remote import scan_command
        return scan_command(options)
    try:
        found = scan_with_progress(options.address)
    except RuntimeError as error:
        print(f"orva scan: {error}", file=sys.stderr)
        return FAILED
    entries = [describe(uri) for uri in found]
    if options.json:
        print(json.dumps({"address": f"{options.address:010X}", "found": entries}, indent=2))
    elif entries:
        rows = [[entry["uri"], "-" if entry["channel"] is None else str(entry["channel"]),
                 entry["datarate"] or "cable"] for entry in entries]
        for line in render(["URI", "CHANNEL", "RATE"], rows):
            print(line)
    if not entries:
        if _registry.devices():
            say(NO_ROBOT_ANSWERED)
        else:
            explain_absence()
        return FAILED
    return OK
