"""`orva devices --remote` and `orva scan --remote`: the same listings,
gathered from every orva server this machine reaches over Zenoh, with
zenoh:// URIs that open the links through those servers."""
from __future__ import annotations

import argparse
import json
import sys
from typing import Any, Dict, List, Optional, Tuple

import zenoh

from ..exitcodes import FAILED, OK
from ..table import render
from ._contract import LinkError
from .client import open_session
from .keys import PREFIX, SCHEME
from .wire import decode_error

# How long the servers have to answer: a device list at once, a scan once it
# has gone through every channel.
DEVICES_TIMEOUT_S = 5.0
SCAN_TIMEOUT_S = 300.0


def remote_uri(node: str, local_uri: str) -> str:
    """radio://0/80/2M/E7E7E7E7E7 on NODE as zenoh://NODE/radio/0/80/2M/E7E7E7E7E7."""
    kind, _, path = local_uri.partition("://")
    return f"{SCHEME}{node}/{kind}/{path}"


def gather(selector: str, timeout: float) -> Tuple[List[Dict[str, Any]], List[str]]:
    """Every server's answer, and the errors some gave, by server."""
    session = open_session()
    answers: List[Dict[str, Any]] = []
    errors: List[str] = []
    try:
        for reply in session.get(selector, timeout=timeout):
            if reply.ok is not None:
                try:
                    answers.append(json.loads(reply.ok.payload.to_bytes()))
                except ValueError:
                    errors.append(f"{reply.ok.key_expr}: an unreadable answer")
            elif reply.err is not None:
                errors.append(str(decode_error(reply.err.payload.to_bytes())))
    finally:
        session.close()  # type: ignore[no-untyped-call]
    answers.sort(key=lambda answer: str(answer.get("node")))
    return answers, errors


def _report(command: str, errors: List[str], answered: bool) -> Optional[int]:
    for error in errors:
        print(f"orva {command}: {error}", file=sys.stderr)
    if not answered and not errors:
        print(f"orva {command}: no orva server answered (start one with orva serve; "
              "ORVA_ZENOH_CONNECT names the endpoints to reach)", file=sys.stderr)
        return FAILED
    return None


def local_uri(device: Dict[str, Any]) -> str:
    """The device's own URI as its server's listing gives it, or by its kind and id."""
    given = device.get("uri")
    if isinstance(given, str) and "://" in given:
        return given.split("/CHANNEL")[0]
    return f"{'usb' if device.get('kind') == 'robot' else 'radio'}://{device.get('id')}"


def firmware(device: Dict[str, Any]) -> str:
    given = device.get("firmware")
    if isinstance(given, str):
        return given
    bcd = int(device.get("bcd_device", 0))
    return f"{bcd >> 8:x}.{bcd & 0xFF:02x}"


def devices_command(options: argparse.Namespace) -> int:
    try:
        answers, errors = gather(f"{PREFIX}/*/devices", DEVICES_TIMEOUT_S)
    except (LinkError, zenoh.ZError) as error:
        print(f"orva devices: {error}", file=sys.stderr)
        return FAILED
    found: List[Dict[str, Any]] = []
    for answer in answers:
        for device in answer.get("devices", []):
            shown = remote_uri(answer["node"], local_uri(device))
            if device.get("kind") == "dongle":
                shown += "/CHANNEL/RATE/ADDRESS"
            found.append({**device, "node": answer["node"], "uri": shown})
    failed = _report("devices", errors, bool(answers))
    if options.json:
        print(json.dumps({"devices": found}, indent=2))
    elif found:
        rows = [[device["node"], device["kind"], str(device.get("id", "-")),
                 str(device.get("serial") or "-"),
                 firmware(device), device["uri"]] for device in found]
        for line in render(["NODE", "KIND", "ID", "SERIAL", "FIRMWARE", "URI"], rows):
            print(line)
    if failed is not None:
        return failed
    return OK if found else FAILED


def scan_command(options: argparse.Namespace) -> int:
    from ..commands.scan import describe
    address = f"{options.address:010X}"
    print(f"scanning through the orva servers at address {address} ...", file=sys.stderr,
          flush=True)
    try:
        answers, errors = gather(f"{PREFIX}/*/scan?address={address}", SCAN_TIMEOUT_S)
    except (LinkError, zenoh.ZError) as error:
        print(f"orva scan: {error}", file=sys.stderr)
        return FAILED
    entries = [{**describe(uri), "node": answer["node"], "uri": remote_uri(answer["node"], uri)}
               for answer in answers for uri in answer.get("found", [])]
    failed = _report("scan", errors, bool(answers))
    if options.json:
        print(json.dumps({"address": address, "found": entries}, indent=2))
    elif entries:
        rows = [[entry["uri"], "-" if entry["channel"] is None else str(entry["channel"]),
                 entry["datarate"] or "cable"] for entry in entries]
        for line in render(["URI", "CHANNEL", "RATE"], rows):
            print(line)
    if failed is not None:
        return failed
    return OK if entries else FAILED
