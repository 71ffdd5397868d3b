"""Serve this machine's dongles and cable robots to other programs and
machines over Zenoh, until interrupted. Clients open
zenoh://NODE/radio/... or zenoh://NODE/usb/N; each link is opened when its
first client asks for it and closed when the last one has gone. By default
the server listens on loopback only (tcp/127.0.0.1:7447): give --listen, or a
Zenoh configuration file with --config, to serve other machines."""
from __future__ import annotations

import argparse
import json
import signal
import socket
import sys
import threading
from types import FrameType
from typing import Optional

from ..exitcodes import FAILED, OK
from ..remote.keys import NODE_PATTERN

NAME = "serve"
SUMMARY = "serve the devices to other programs and machines over Zenoh"


def default_node() -> str:
    """The host name, as far as it is a valid server name."""
    name = "".join(c for c in socket.gethostname().split(".")[0]
                   if c.isalnum() or c in "_-")
    return name[:64] or "orva"


def node_name(text: str) -> str:
    """A server name that is one chunk of a Zenoh key (the keys' own rule)."""
    if not NODE_PATTERN.fullmatch(text):
        raise argparse.ArgumentTypeError(f"{text!r} is not a server name: letters, digits, "
                                         "'_', '.' and '-', at most 64")
    return text


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--name", type=node_name, default=None, metavar="NODE",
                        help="the server's name in zenoh://NODE/... (default: the host name)")
    parser.add_argument("--config", metavar="FILE",
                        help="Zenoh configuration file (JSON5): endpoints, TLS, access control")
    parser.add_argument("--listen", action="append", default=[], metavar="ENDPOINT",
                        help="Zenoh endpoint to listen on, such as tcp/192.0.2.1:7447 "
                             "(repeatable; default tcp/127.0.0.1:7447)")
    parser.add_argument("--connect", action="append", default=[], metavar="ENDPOINT",
                        help="Zenoh endpoint of another router to connect to (repeatable)")
    parser.add_argument("--json", action="store_true",
                        help="once serving, print the server's name and endpoints as one "
                             "JSON line on standard output")


def run(options: argparse.Namespace) -> int:
    try:
        import zenoh

        from ..remote.config import server_config
        from ..remote.server import LinkServer
    except ImportError as error:
        from ..remote import INSTALL_HINT
        print(f"orva serve: {INSTALL_HINT} ({error})", file=sys.stderr)
        return FAILED
    node: str = options.name or default_node()
    try:
        config = server_config(options.config, options.listen, options.connect)
        session = zenoh.open(config)
    except (zenoh.ZError, OSError) as error:
        print(f"orva serve: {error}", file=sys.stderr)
        return FAILED
    stop = threading.Event()

    def on_signal(number: int, frame: Optional[FrameType]) -> None:
        stop.set()

    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, on_signal)
    server = LinkServer(session, node, log=lambda line: print(f"orva serve: {line}",
                                                              file=sys.stderr, flush=True))
    endpoints = config.get_json('listen/endpoints')
    print(f"orva serve: serving {node} on {endpoints}", file=sys.stderr, flush=True)
    if options.json:
        print(json.dumps({"node": node, "listen": json.loads(endpoints)}), flush=True)
    try:
        while not stop.wait(0.5):
            pass
    finally:
        server.close()
        session.close()  # type: ignore[no-untyped-call]
    return OK
