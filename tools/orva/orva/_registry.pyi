"""The library's device registry, as the tool sees it (compiled part of orva)."""
from typing import List, TypedDict


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


def inaccessible() -> List[RefusedDevice]:
    """Attached dongles and robots that this user may not open (LIBUSB_ERROR_ACCESS)."""
