"""Emulated Skelder dongles and Korvane robots, found and driven by the real libusb.

The process must run under the umockdev preload library
(LD_PRELOAD=libumockdev-preload.so.0), and waits on the emulated device nodes
behave as on usbfs when it also preloads liborvaemu-wait.so (``preload()`` gives
both); ``python3.9 -m orvaemu ... -- COMMAND`` starts any program against an
emulated bench so.
"""

from ._orvaemu import Bench, Dongle, RadioRobot, USBDevice, USBRobot, preloaded


def preload() -> str:
    """The value for LD_PRELOAD of a process that drives emulated devices
    (see orvaemu.preloads)."""
    # Imported here, so that ``python -m orvaemu.preloads`` runs it fresh.
    from .preloads import preload as libraries
    return libraries()

__all__ = ["Bench", "Dongle", "RadioRobot", "USBDevice", "USBRobot", "preload", "preloaded"]
