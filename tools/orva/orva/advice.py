"""What orva tells a user who sees nothing, in one or two lines and no traceback."""
from __future__ import annotations

import sys
from typing import List, Sequence

from .hardware import Device
from .hardware import devices as every_device

ACCESS_ERROR = "LIBUSB_ERROR_ACCESS"
# Errors that mean the library knows no device of the kind a URI asks for.
NO_DEVICE_ERRORS = ("No Skelder dongle found!", "No Skelder with id=", "No Korvane with id=")


def refused_devices() -> List[Device]:
    """The attached dongles and robots that this user may not open."""
    return [device for device in every_device() if not device.accessible]


def access_lines(refused: Sequence[Device]) -> List[str]:
    names = ", ".join(f"{device.kind} at {device.position}" for device in refused) or "a device"
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
