"""List every Skelder dongle and every Korvane robot on a USB cable, with the
id orvapy gives it (the N of radio://N/... and usb://N), its serial, its
firmware version, where it sits on the USB bus and whether this user may
open it. Devices orvapy cannot use (no permission, or held by another
program) are listed without an id."""
from __future__ import annotations

import argparse
import json
from typing import Any, Dict, List

from ..advice import access_lines, explain_absence, refused_devices, say
from ..exitcodes import FAILED, OK
from ..hardware import Device, devices
from ..table import render

NAME = "devices"
SUMMARY = "list the dongles and cable robots with their orvapy ids"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--json", action="store_true", help="print JSON for scripts")
    parser.add_argument("--remote", action="store_true",
                        help="list the devices of the orva servers reached over Zenoh instead")


def shown_uri(device: Device) -> str:
    if not device.accessible:
        return "(this user may not open it)"
    if device.uri is None:
        return "(in use by another program)"
    return device.uri + ("/CHANNEL/RATE/ADDRESS" if device.kind == "dongle" else "")


def as_json(device: Device) -> Dict[str, Any]:
    return {"kind": device.kind, "id": device.id, "serial": device.serial,
            "bcd_device": device.bcd_device, "firmware": device.firmware, "bus": device.bus,
            "ports": list(device.ports), "address": device.address,
            "position": device.position, "uri": device.uri, "accessible": device.accessible,
            "busy": device.busy}


def run(options: argparse.Namespace) -> int:
    if options.remote:
        from ..remote import devices_command
        return devices_command(options)
    found = devices()
    usable = [device for device in found if device.usable]
    refused = [device for device in found if not device.accessible]
    if options.json:
        print(json.dumps({"devices": [as_json(device) for device in usable],
                          "inaccessible": [as_json(device) for device in refused],
                          "unusable": [as_json(device) for device in found
                                       if not device.usable]}, indent=2))
    elif found:
        rows: List[List[str]] = [
            [device.kind, "-" if device.id is None else str(device.id), device.serial or "-",
             device.firmware, device.position, shown_uri(device)]
            for device in found]
        for line in render(["KIND", "ID", "SERIAL", "FIRMWARE", "BUS", "URI"], rows):
            print(line)
    if refused:
        say(access_lines(refused_devices()))
    elif not usable:
        explain_absence()
    return OK if usable else FAILED
