"""What a process that drives emulated devices starts under.

    LD_PRELOAD="$(python3.9 -m orvaemu.preloads)" COMMAND
    python3.9 -m orvaemu.preloads --wait     (the wait preload and a colon, or nothing)

umockdev's preload puts the emulated devices in the process's view; the wait
preload beside this package (liborvaemu-wait.so, where it was installed) makes
waits on their nodes behave as on usbfs, ready only while a transfer can be
reaped, instead of always ready. ORVAEMU_WAIT=0 leaves it out, to compare.
"""

import os
import sys

UMOCKDEV_PRELOAD = "libumockdev-preload.so.0"
WAIT_PRELOAD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "liborvaemu-wait.so")


def preload() -> str:
    """The value for LD_PRELOAD. The wait preload comes first: it sees a node
    closed before umockdev does, and umockdev's functions call the C
    library's directly."""
    libraries = [UMOCKDEV_PRELOAD]
    if os.path.exists(WAIT_PRELOAD) and os.environ.get("ORVAEMU_WAIT") != "0":
        libraries.insert(0, WAIT_PRELOAD)
    return ":".join(libraries)


def wait_prefix() -> str:
    """The wait preload and a colon, for a value of LD_PRELOAD that goes on
    with umockdev's; empty without it."""
    libraries = preload().split(":")
    return libraries[0] + ":" if len(libraries) > 1 else ""


if __name__ == "__main__":
    print(wait_prefix() if sys.argv[1:] == ["--wait"] else preload())
