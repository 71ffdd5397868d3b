"""Links to robots: Packet and Statistics as plain values, the Transport a
Link drives, and Link itself, a context manager over one transport.

A local URI (radio://... or usb://...) is served by orvapy in this process;
a URI starting "zenoh://" by orva.remote.
"""
from __future__ import annotations

import importlib
import math
import re
import time
from dataclasses import dataclass
from types import TracebackType
from typing import Iterator, Optional, Protocol, Type, Union

import orvapy

from .errors import LinkClosedError, LinkError, NoSuchDeviceError, access_denied, from_orvapy
from .hardware import devices

BytesLike = Union[bytes, bytearray, memoryview]

MAX_PORT = 15
MAX_CHANNEL = 3
MAX_PAYLOAD = 31
REMOTE_SCHEME = "zenoh://"


@dataclass(frozen=True)
class Packet:
    """One packet: a port (0 to 15), a channel (0 to 3) and up to 31 bytes."""
    port: int
    channel: int
    payload: bytes

    def __post_init__(self) -> None:
        if not 0 <= self.port <= MAX_PORT:
            raise ValueError(f"port {self.port}: a port is 0 to {MAX_PORT}")
        if not 0 <= self.channel <= MAX_CHANNEL:
            raise ValueError(f"channel {self.channel}: a channel is 0 to {MAX_CHANNEL}")
        payload = bytes(self.payload)
        if len(payload) > MAX_PAYLOAD:
            raise ValueError(f"a payload of {len(payload)} bytes: a packet carries at most "
                             f"{MAX_PAYLOAD}")
        object.__setattr__(self, "payload", payload)


@dataclass(frozen=True)
class Statistics:
    """A link's counters at one moment: transmissions handed to the device,
    acknowledged radio exchanges (0 over a cable), packets received and
    packets queued by send."""
    sent_count: int
    ack_count: int
    receive_count: int
    enqueued_count: int


class Transport(Protocol):
    """What a Link drives: a local orvapy connection or a remote link.

    ``recv`` waits ``timeout`` seconds (None: without limit) without holding
    the interpreter lock and returns None when the time ran out; ``close``
    from another thread wakes it, and it then raises LinkClosedError.
    ``close`` is idempotent and never raises."""
    uri: str

    def send(self, packet: Packet) -> None: ...

    def recv(self, timeout: Optional[float]) -> Optional[Packet]: ...

    def statistics(self) -> Statistics: ...

    def close(self) -> None: ...


COUNTER = re.compile(r"(\w+)=(\d+)")
# orvapy's timed recv does not end when another thread closes the
# connection; waiting in slices this long bounds how late it notices.
CLOSE_NOTICE_S = 0.1


def statistics_of(snapshot: orvapy.ConnectionStatistics) -> Statistics:
    """All four counters; two of them orvapy shows only in the text form."""
    counts = {name: int(value) for name, value in COUNTER.findall(repr(snapshot))}
    return Statistics(sent_count=snapshot.sent_count, ack_count=snapshot.ack_count,
                      receive_count=counts["receive_count"],
                      enqueued_count=counts["enqueued_count"])


def refused(uri: str) -> bool:
    """Whether a device of the URI's kind is attached that this user may not
    open: orvapy does not count such a device, and says it found none."""
    kind = "robot" if uri.startswith("usb://") else "dongle"
    return any(device.kind == kind and not device.accessible for device in devices())


class LocalTransport:
    """A link served by orvapy in this process."""

    def __init__(self, uri: str) -> None:
        try:
            self.connection = orvapy.Connection(uri)
        except Exception as error:
            mapped = from_orvapy(error)
            if isinstance(mapped, NoSuchDeviceError) and refused(uri):
                raise access_denied(mapped) from None
            raise mapped from None
        self.uri = uri
        self._closed = False

    def _check_open(self) -> None:
        if self._closed:
            raise LinkClosedError(f"{self.uri} is closed")

    def send(self, packet: Packet) -> None:
        self._check_open()
        raw = orvapy.Packet()
        raw.port = packet.port
        raw.channel = packet.channel
        raw.payload = packet.payload
        try:
            self.connection.send(raw)
        except Exception as error:
            raise from_orvapy(error) from None

    def recv(self, timeout: Optional[float]) -> Optional[Packet]:
        self._check_open()
        try:
            if timeout is None:
                # Waits without limit; close() ends the wait with an empty packet.
                raw = self.connection.recv(0)
                if not raw.valid:
                    raise LinkClosedError(f"{self.uri} was closed while waiting")
                return Packet(raw.port, raw.channel, raw.payload)
            deadline = time.monotonic() + max(timeout, 0.0)
            while True:
                remaining = deadline - time.monotonic()
                wait_ms = max(1, math.ceil(min(remaining, CLOSE_NOTICE_S) * 1000))
                raw = self.connection.recv(wait_ms)
                if raw.valid:
                    return Packet(raw.port, raw.channel, raw.payload)
                if remaining <= CLOSE_NOTICE_S:
                    return None
                self._check_open()
        except LinkError:
            raise
        except Exception as error:
            raise from_orvapy(error) from None

    def statistics(self) -> Statistics:
        try:
            return statistics_of(self.connection.statistics)
        except Exception as error:
            raise from_orvapy(error) from None

    def close(self) -> None:
        self._closed = True
        try:
            self.connection.close()
        except Exception:  # noqa: BLE001 (a renewed robot record: nothing is left to undo)
            pass


class Link:
    """One link to one robot; use it in a ``with`` block or close() it."""

    def __init__(self, transport: Transport) -> None:
        self._transport = transport
        self._closed = False

    @property
    def uri(self) -> str:
        return self._transport.uri

    @property
    def transport(self) -> Transport:
        return self._transport

    @property
    def connection(self) -> Optional[orvapy.Connection]:
        """The orvapy.Connection of a local link; None for a remote one."""
        return self._transport.connection if isinstance(self._transport, LocalTransport) else None

    @property
    def closed(self) -> bool:
        return self._closed

    def _check_open(self) -> None:
        if self._closed:
            raise LinkClosedError(f"{self.uri} is closed")

    def send(self, port: int, channel: int, payload: BytesLike = b"") -> None:
        """Queues one packet and returns at once. A port outside 0 to 15, a
        channel outside 0 to 3 or more than 31 bytes raise ValueError."""
        self._check_open()
        self._transport.send(Packet(port, channel, bytes(payload)))

    def recv(self, timeout: Optional[float] = None) -> Optional[Packet]:
        """The next packet, lowest port first; None when ``timeout`` seconds
        passed first. Without a timeout it waits as long as it takes (Ctrl-C
        still interrupts it) and raises LinkClosedError when another thread
        closes the link meanwhile."""
        self._check_open()
        return self._transport.recv(timeout)

    def __iter__(self) -> Iterator[Packet]:
        """The packets as they come, until the link is closed."""
        while not self._closed:
            try:
                packet = self._transport.recv(None)
            except LinkClosedError:
                return
            if packet is not None:
                yield packet

    @property
    def statistics(self) -> Statistics:
        """The link's counters now (still readable after close)."""
        return self._transport.statistics()

    def close(self) -> None:
        """Closes the link; packets still queued are not sent. A second call
        does nothing."""
        self._closed = True
        self._transport.close()

    def __enter__(self) -> Link:
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<orva.Link {self.uri}{' closed' if self._closed else ''}>"


def open_transport(uri: str) -> Transport:
    if not uri.startswith(REMOTE_SCHEME):
        return LocalTransport(uri)
    try:
        remote = importlib.import_module(f"{__package__}.remote")
    except ImportError as error:
        missing = getattr(error, "name", None) or "orva.remote"
        raise LinkError(f"{uri}: remote links need the zenoh Python package and orva.remote "
                        f"({missing} is missing): pip install eclipse-zenoh") from None
    transport: Transport = remote.open_transport(uri)
    return transport


def open(uri: str) -> Link:  # noqa: A001 (the module's verb, like io.open)
    """Opens a link: ``with orva.open("radio://0/80/2M/E7E7E7E7E7") as link:``.

    Raises InvalidURIError, NoSuchDeviceError, SettingsConflictError or
    another LinkError when the link cannot be opened."""
    return Link(open_transport(uri))
