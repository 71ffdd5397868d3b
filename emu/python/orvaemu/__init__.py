"""Emulated Skelder dongles and Korvane robots, found and driven by the real libusb.

The process must run under the umockdev preload library
(LD_PRELOAD=libumockdev-preload.so.0); ``python3.9 -m orvaemu ... -- COMMAND``
starts any program against an emulated bench.
"""

from ._orvaemu import Bench, Dongle, RadioRobot, USBDevice, USBRobot, preloaded

__all__ = ["Bench", "Dongle", "RadioRobot", "USBDevice", "USBRobot", "preloaded"]
