"""List every Skelder dongle and every Korvane robot on a USB cable that orvapy
finds, with the id orvapy gives it (the N of radio://N/... and usb://N), its
serial, its firmware version and where it sits on the USB bus."""
from __future__ import annotations

import argparse
import json
from typing import Any, Dict, List

from .. import _registry
from ..advice import access_lines, explain_absence, position, refused_devices, say
from ..exitcodes import FAILED, OK
from ..table import render

NAME = "devices"
SUMMARY = "list the dongles and cable robots with their orvapy ids"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--json", action="store_true", help="print JSON for scripts")
    parser.add_argument("--remote", action="store_true",
                        help="list the devices of the orva servers reached over Zenoh instead")


def firmware(bcd_device: int) -> str:
    """bcdDevice as major.minor: 0x0123 is 1.23."""
    return f"{bcd_device >> 8:x}.{bcd_device & 0xFF:02x}"


def uri(device: _registry.Device) -> str:
    if device["kind"] == "robot":
        return f"usb://{device['id']}"
    return f"radio://{device['id']}/CHANNEL/RATE/ADDRESS"


def as_json(device: _registry.Device) -> Dict[str, Any]:
    return {**device, "firmware": firmware(device["bcd_device"]),
            "position": position(device["bus"], device["ports"], device["address"])}


def run(options: argparse.Namespace) -> int:
    if options.remote:
        from ..remote import devices_command
        return devices_command(options)
    found = _registry.devices()
    refused = refused_devices()
    if options.json:
        print(json.dumps({"devices": [as_json(device) for device in found],
                          "inaccessible": [dict(device) for device in refused]}, indent=2))
    elif found:
        rows: List[List[str]] = [
            [device["kind"], str(device["id"]), device["serial"], firmware(device["bcd_device"]),
             position(device["bus"], device["ports"], device["address"]), uri(device)]
            for device in found]
        for line in render(["KIND", "ID", "SERIAL", "FIRMWARE", "BUS", "URI"], rows):
            print(line)
    if refused:
        say(access_lines(refused))
    elif not found:
        explain_absence()
    return OK if found else FAILED
