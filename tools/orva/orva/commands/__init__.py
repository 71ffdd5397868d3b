"""orva's commands, one module each.

A command module has NAME, SUMMARY, a docstring (its --help text),
``add_arguments(parser)`` and ``run(options) -> int`` (the exit status). To
add a command, write such a module and list it in COMMANDS.
"""
import argparse
from typing import Optional, Protocol, Tuple

from . import capture, devices, ping, scan, serve, udev

class Command(Protocol):
    NAME: str
    SUMMARY: str
    __doc__: Optional[str]

    def add_arguments(self, parser: argparse.ArgumentParser) -> None: ...

    def run(self, options: argparse.Namespace) -> int: ...

COMMANDS: Tuple[Command, ...] = (devices, scan, ping, udev, capture, serve)
