"""The devices as the commands written before orva.hardware ask for them."""
from typing import List

from .hardware import Device
from .hardware import devices as every_device


def devices() -> List[Device]:
    """The dongles and cable robots orvapy can use, with their ids."""
    return [device for device in every_device() if device.usable]


def inaccessible() -> List[Device]:
    """Attached dongles and robots that this user may not open."""
    return [device for device in every_device() if not device.accessible]
