"""Where everything of a link server lives in Zenoh's key space.

Every key of a server named NODE starts with ``orva/NODE/``:

    orva/NODE/server                 liveliness token of the server
    orva/NODE/clients/CLIENT         liveliness token of each client link
    orva/NODE/open                   query: attach CLIENT to a link, opening it if needed
    orva/NODE/devices                query: the server's devices
    orva/NODE/scan                   query: the robots that answer (?address=HEX)
    orva/NODE/link/LINK/rx           the link's received packets, to every client
    orva/NODE/link/LINK/tx/CLIENT    packets to send, from CLIENT
    orva/NODE/link/LINK/stats        query: the link's counters
    orva/NODE/link/LINK/error        the link's failure, to every client
    orva/NODE/link/LINK/error/CLIENT what CLIENT alone did wrong

LINK is the local URI as key chunks: usb://0 is ``usb/0``;
radio://0/80/2M/E7E7E7E7E7?safelink=0 is ``radio/0/80/2M/E7E7E7E7E7/safelink=0``,
and a dongle or address ``*`` (any) is ``any``. Only characters that are never wildcards
or separators in key expressions are accepted, so that nothing a client sends
can name a key outside the server's own.
"""
from __future__ import annotations

import re
from dataclasses import dataclass

from ._contract import InvalidURIError

PREFIX = "orva"
SCHEME = "zenoh://"
NODE_PATTERN = re.compile(r"[A-Za-z0-9_.-]{1,64}")
CLIENT_PATTERN = re.compile(r"[0-9a-f]{32}")
# The URI grammar's characters, with bounded lengths: what they let through,
# the server's library judges with its own texts.
_USB = re.compile(r"usb://([0-9]{1,20})")
_RADIO = re.compile(r"radio://([0-9]{1,20}|\*)/([0-9]{1,20})/([0-9A-Za-z]{1,8})/([0-9A-Fa-f]{1,20}|\*)"
                    r"(?:\?([A-Za-z0-9_=&]{1,256}))?")


def node_prefix(node: str) -> str:
    return f"{PREFIX}/{node}"


def _chunk(part: str) -> str:
    """A '*' (any) is a wildcard in key expressions: it is spelled ``any``."""
    return "any" if part == "*" else part


def link_key(uri: str) -> str:
    """The LINK chunks of a local URI; InvalidURIError when it is neither a
    usb:// nor a radio:// URI made of plain characters."""
    usb = _USB.fullmatch(uri)
    if usb:
        return f"usb/{usb.group(1)}"
    radio = _RADIO.fullmatch(uri)
    if radio is None:
        raise InvalidURIError(f"Invalid uri ({uri})!")
    dongle, channel, rate, address, options = radio.groups()
    key = f"radio/{_chunk(dongle)}/{channel}/{rate}/{_chunk(address)}"
    return f"{key}/{options}" if options else key


@dataclass(frozen=True)
class RemoteURI:
    """zenoh://NODE/KIND/... split into the server's name and the local URI it serves."""
    node: str
    local_uri: str


def parse(uri: str) -> RemoteURI:
    """zenoh://NODE/radio/0/80/2M/E7E7E7E7E7[?options] or zenoh://NODE/usb/0."""
    if not uri.startswith(SCHEME):
        raise InvalidURIError(f"Invalid uri ({uri})! A remote link is zenoh://NODE/radio/... "
                              "or zenoh://NODE/usb/N.")
    node, _, rest = uri[len(SCHEME):].partition("/")
    kind, _, path = rest.partition("/")
    if not NODE_PATTERN.fullmatch(node) or kind not in ("radio", "usb") or not path:
        raise InvalidURIError(f"Invalid uri ({uri})! A remote link is zenoh://NODE/radio/... "
                              "or zenoh://NODE/usb/N.")
    local = f"{kind}://{path}"
    link_key(local)
    return RemoteURI(node, local)


class Keys:
    """The keys of one server."""

    def __init__(self, node: str) -> None:
        if not NODE_PATTERN.fullmatch(node):
            raise ValueError(f"{node!r} is not a server name: letters, digits, '_', '.' "
                             "and '-', at most 64")
        self.node = node
        base = node_prefix(node)
        self.server = f"{base}/server"
        self.clients = f"{base}/clients"
        self.open = f"{base}/open"
        self.devices = f"{base}/devices"
        self.scan = f"{base}/scan"
        self.links = f"{base}/link"

    def client(self, client: str) -> str:
        return f"{self.clients}/{client}"

    def link(self, link: str) -> "LinkKeys":
        return LinkKeys(f"{self.links}/{link}")


class LinkKeys:
    def __init__(self, base: str) -> None:
        self.base = base
        self.rx = f"{base}/rx"
        self.tx = f"{base}/tx"
        self.stats = f"{base}/stats"
        self.error = f"{base}/error"

    def tx_from(self, client: str) -> str:
        return f"{self.tx}/{client}"

    def error_to(self, client: str) -> str:
        return f"{self.error}/{client}"
