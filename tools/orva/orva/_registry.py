"""The devices in the shape the commands written before orva.hardware take
them (the dictionaries of the former compiled registry)."""
from typing import List, TypedDict

from .hardware import devices as every_device


class Device(TypedDict):
    kind: str  # "dongle" or "robot"
    id: int
    serial: str
    bcd_device: int
    bus: int
    ports: List[int]
    address: int


class RefusedDevice(TypedDict):
    kind: str
    bus: int
    address: int
    ports: List[int]


def devices() -> List[Device]:
    """Every dongle and cable robot with the id orvapy gives it, dongles first, each kind by id."""
    return [Device(kind=device.kind, id=device.id, serial=device.serial,
                   bcd_device=device.bcd_device, bus=device.bus, ports=list(device.ports),
                   address=device.address)
            for device in every_device() if device.id is not None]


def inaccessible() -> List[RefusedDevice]:
    """Attached dongles and robots that this user may not open."""
    return [RefusedDevice(kind=device.kind, bus=device.bus, address=device.address,
                          ports=list(device.ports))
            for device in every_device() if not device.accessible]
