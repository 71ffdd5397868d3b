"""What orva tells a user who sees nothing, in one or two lines and no traceback."""
from __future__ import annotations

import sys
from typing import List, Sequence

from . import _registry

ACCESS_ERROR = "LIBUSB_ERROR_ACCESS"
# Errors that mean the library knows no device of the kind a URI asks for.
NO_DEVICE_ERRORS = ("No Skelder dongle found!", "No Skelder with id=", "No Korvane with id=")


def position(bus: int, ports: Sequence[int], address: int) -> str:
    """Where a device sits: bus-port.port as in /sys, or bus and device number."""
    if ports:
        return f"{bus}-{'.'.join(str(port) for port in ports)}"
    return f"bus {bus} device {address}"


def refused_devices() -> List[_registry.RefusedDevice]:
    return _registry.inaccessible()


def access_lines(refused: Sequence[_registry.RefusedDevice]) -> List[str]:
    names = ", ".join(f"{device['kind']} at {position(device['bus'], device['ports'], device['address'])}"
                      for device in refused) or "a device"
    return [f"orva: this user may not open the {names} ({ACCESS_ERROR}).",
            "Install the udev rules with 'sudo orva udev --install', then unplug and replug it."]


NOTHING_ATTACHED = [
    "orva: no Skelder dongle and no Korvane on a USB cable found.",
    "Plug in the dongle, or connect the robot with a USB data cable and switch it on."]

NO_ROBOT_ANSWERED = [
    "orva: no robot answered.",
    "Switch the robot on and check its radio address (--address), or connect it with a USB cable."]


def say(lines: Sequence[str]) -> None:
    for line in lines:
        print(line, file=sys.stderr)


def explain_absence() -> None:
    """Says why nothing was found: devices this user may not open, or none at all."""
    refused = refused_devices()
    say(access_lines(refused) if refused else NOTHING_ATTACHED)
