"""The dongles and cable robots attached, read from sysfs, with the ids a
fresh orvapy process gives them.

orvapy numbers each kind of device from 0 in the order libusb lists them
when the process first needs its devices: newest first, which for a fresh
process is the reverse of the udev order, that is of the sysfs paths sorted
as text. A device it cannot open, whose interface another program holds, or
that has no serial gets no id, and does not take up a number. Reading sysfs
opens no device, so listing never disturbs a program that uses one.

A process keeps the ids it gave for its whole life (by serial, also across
unplugging), so a long-running program that saw devices come and go may use
other ids than those listed here; a new program uses these.
"""
from __future__ import annotations

import os
import dataclasses
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Tuple

SYSFS_DEVICES = Path("/sys/bus/usb/devices")
DEV_ROOT = Path("/dev/bus/usb")

# Vendor and product ids, as src/usb/USBIds.hpp defines them (a test keeps
# the two in step).
KINDS: Dict[Tuple[int, int], str] = {(0x1915, 0x7777): "dongle", (0x0483, 0x5740): "robot"}
KIND_ORDER = ("dongle", "robot")


@dataclass(frozen=True)
class Device:
    """One attached dongle or robot on a cable.

    ``id`` is the N of radio://N/... or usb://N, None when orvapy cannot use
    the device (``accessible`` False: this user may not open it; ``busy``:
    another program holds it). ``ports`` runs from the root hub down."""
    kind: str
    id: Optional[int]
    serial: str
    bcd_device: int
    bus: int
    ports: Tuple[int, ...]
    address: int
    accessible: bool
    busy: bool = False
    sysfs_path: str = field(default="", compare=False)

    @property
    def firmware(self) -> str:
        """The firmware version from bcdDevice: 0x0123 is "1.23"."""
        return f"{self.bcd_device >> 8:x}.{self.bcd_device & 0xFF:02x}"

    @property
    def position(self) -> str:
        """Where it sits: bus-port.port as in /sys, or the bus and device number."""
        if self.ports:
            return f"{self.bus}-{'.'.join(str(port) for port in self.ports)}"
        return f"bus {self.bus} device {self.address}"

    @property
    def uri(self) -> Optional[str]:
        """usb://N for a robot, radio://N for a dongle (add /CHANNEL/RATE/ADDRESS)."""
        if self.id is None:
            return None
        return f"usb://{self.id}" if self.kind == "robot" else f"radio://{self.id}"

    @property
    def usable(self) -> bool:
        return self.id is not None


def attribute(folder: Path, name: str) -> Optional[str]:
    try:
        return (folder / name).read_text(errors="replace").rstrip("\n")
    except OSError:
        return None


def ports_of(name: str) -> Tuple[int, ...]:
    """The port path from a sysfs name such as "1-4.2" (bus 1, port 4, then 2)."""
    _, _, path = name.partition("-")
    try:
        return tuple(int(port) for port in path.split(".")) if path else ()
    except ValueError:
        return ()


def node_of(bus: int, address: int) -> Path:
    return DEV_ROOT / f"{bus:03d}" / f"{address:03d}"


def interface_held(folder: Path, name: str) -> bool:
    """Whether a driver (a kernel driver, or usbfs for another program) holds
    interface 0, which orvapy claims."""
    configuration = attribute(folder, "bConfigurationValue") or "1"
    return (folder / f"{name}:{configuration}.0" / "driver").exists()


def read_device(folder: Path) -> Optional[Device]:
    try:
        kind = KINDS.get((int(attribute(folder, "idVendor") or "", 16),
                          int(attribute(folder, "idProduct") or "", 16)))
        if kind is None:
            return None
        bus = int(attribute(folder, "busnum") or "")
        address = int(attribute(folder, "devnum") or "")
        bcd_device = int(attribute(folder, "bcdDevice") or "0", 16)
    except ValueError:
        return None
    name = folder.name
    return Device(kind=kind, id=None, serial=attribute(folder, "serial") or "",
                  bcd_device=bcd_device, bus=bus, ports=ports_of(name), address=address,
                  accessible=os.access(node_of(bus, address), os.R_OK | os.W_OK),
                  busy=interface_held(folder, name), sysfs_path=str(folder.resolve()))


def attached() -> List[Device]:
    """Every dongle and cable robot in sysfs, in the order libusb lists them."""
    try:
        names = os.listdir(SYSFS_DEVICES)
    except OSError:
        return []
    found = []
    for name in names:
        if ":" in name:
            continue  # an interface, not a device
        device = read_device(SYSFS_DEVICES / name)
        if device is not None:
            found.append(device)
    found.sort(key=lambda device: device.sysfs_path, reverse=True)
    return found


def devices() -> List[Device]:
    """Every dongle and every robot on a USB cable: dongles first, each kind
    by id, then those orvapy cannot use (id None)."""
    next_id = {kind: 0 for kind in KIND_ORDER}
    numbered = []
    for device in attached():
        if device.accessible and not device.busy and device.serial:
            device = dataclasses.replace(device, id=next_id[device.kind])
            next_id[device.kind] += 1
        numbered.append(device)

    def order(device: Device) -> Tuple[bool, int, int, str]:
        return (device.id is None, KIND_ORDER.index(device.kind),
                -1 if device.id is None else device.id, device.sysfs_path)
    return sorted(numbered, key=order)
