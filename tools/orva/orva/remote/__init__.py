"""Links served over Zenoh: ``orva serve`` on the machine with the devices,
``zenoh://NODE/radio/...`` or ``zenoh://NODE/usb/N`` on any machine that
reaches it. The key layout is in orva.remote.keys.

Zenoh is an optional dependency (``orva[remote]``): this package imports it
only when a remote link or command is used, and says what to install when it
is missing.
"""
from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING

from ..exitcodes import FAILED
from ._contract import LinkError

if TYPE_CHECKING:
    from .client import RemoteTransport

INSTALL_HINT = "zenoh:// links and orva serve need Zenoh: pip install 'orva[remote]'"


def open_transport(uri: str) -> "RemoteTransport":
    """The transport of a zenoh://NODE/... URI."""
    try:
        from .client import RemoteTransport
    except ImportError:
        raise LinkError(INSTALL_HINT) from None
    return RemoteTransport(uri)


def devices_command(options: argparse.Namespace) -> int:
    try:
        from .listing import devices_command as run
    except ImportError:
        print(f"orva devices: {INSTALL_HINT}", file=sys.stderr)
        return FAILED
    return run(options)


def scan_command(options: argparse.Namespace) -> int:
    try:
        from .listing import scan_command as run
    except ImportError:
        print(f"orva scan: {INSTALL_HINT}", file=sys.stderr)
        return FAILED
    return run(options)


__all__ = ["open_transport", "devices_command", "scan_command", "INSTALL_HINT"]
