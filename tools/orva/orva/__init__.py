"""orva: links to Korvane robots for Python programs, and the ``orva`` command.

    import orva

    with orva.open("radio://0/80/2M/E7E7E7E7E7") as link:
        link.send(1, 0, b"hello")
        packet = link.recv(timeout=1.0)

Errors are LinkError subclasses (each also the built-in class orvapy raises);
orva.devices() lists the dongles and cable robots; orva.Notifier calls
listeners; orva.aio is for asyncio; orva.capture reads capture files. Run
``orva --help`` for the command line.
"""
from importlib import metadata as _metadata

from . import aio, capture
from .errors import (AccessDeniedError, DeviceGoneError, InvalidURIError, LinkClosedError,
                     LinkError, LinkFailedError, NoSuchDeviceError, ServerGoneError,
                     SettingsConflictError, from_orvapy)
from .hardware import Device, devices
from .link import Link, Packet, Statistics, Transport, open
from .notifier import Listener, Notifier

try:
    __version__ = _metadata.version("orva")
except _metadata.PackageNotFoundError:  # run from the source tree
    __version__ = "unknown"

__all__ = [
    "AccessDeniedError", "Device", "DeviceGoneError", "InvalidURIError", "Link",
    "LinkClosedError", "LinkError", "LinkFailedError", "Listener", "NoSuchDeviceError",
    "Notifier", "Packet", "ServerGoneError", "SettingsConflictError", "Statistics",
    "Transport", "aio", "capture", "devices", "from_orvapy", "open",
]
