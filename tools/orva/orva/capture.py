"""Reading link captures (ORVAPY_CAPTURE=FILE, orva capture -o FILE) in pure
Python: ``for record in orva.capture.read("link.pcapng")``.

Each record is a typed, frozen value: RadioExchange, CableWrite, CableRead,
ControlRequest, WorkerStarted, WorkerStopped, WorkerFailed, RecordsDropped,
and the emulated bench's DeviceRadioExchange, DeviceCableWrite,
DeviceCableRead and DevicePlug; all share the fields of Record. Records of a
type this reader does not know are skipped, as the format asks; a file cut
short (a killed program) gives every record up to the cut.
"""
from __future__ import annotations

import enum
import struct
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO, Callable, Dict, Iterator, List, Optional, Tuple, Union

FORMAT_VERSION = 1
LINK_TYPE = 147  # DLT_USER0
SECTION_HEADER = 0x0A0D0D0A
INTERFACE_BLOCK = 0x00000001
ENHANCED_PACKET = 0x00000006
BYTE_ORDER_MAGIC = 0x1A2B3C4D
OPTION_NAME = 2
OPTION_TIMESTAMP_RESOLUTION = 9


class CaptureFormatError(ValueError):
    """The file is no capture of this format, or of a version this reader
    does not know."""


class RecordType(enum.IntEnum):
    RADIO_EXCHANGE = 1
    CABLE_WRITE = 2
    CABLE_READ = 3
    CONTROL_REQUEST = 4
    WORKER_STARTED = 5
    WORKER_STOPPED = 6
    WORKER_FAILED = 7
    RECORDS_DROPPED = 8
    DEVICE_RADIO_EXCHANGE = 9
    DEVICE_CABLE_WRITE = 10
    DEVICE_CABLE_READ = 11
    DEVICE_PLUG = 12


class DeviceKind(enum.IntEnum):
    LIBRARY = 0
    DONGLE = 1
    CABLE_ROBOT = 2


class ExchangeKind(enum.IntEnum):
    """What a radio exchange sent."""
    PACKET = 0
    PING = 1
    HANDSHAKE = 2
    RESEND = 3


@dataclass(frozen=True)
class Record:
    """What every record has: when (microseconds since the epoch), on which
    interface (such as "dongle 0 EMU0"), from which device kind, the error
    flag and the connection's URI (None when it belongs to none)."""
    time_us: int
    interface: str
    device: DeviceKind
    error: bool
    uri: Optional[str]

    @property
    def time(self) -> float:
        """Seconds since the epoch."""
        return self.time_us / 1e6

    @property
    def type(self) -> RecordType:
        """The record type's number in the file."""
        return TYPES[type(self).__name__]


@dataclass(frozen=True)
class RadioExchange(Record):
    """One packet to the dongle and its answer; bytes start with the header."""
    kind: ExchangeKind
    seq: int
    sent: bytes
    status: int
    reply: bytes

    @property
    def acknowledged(self) -> bool:
        return bool(self.status & 1)


@dataclass(frozen=True)
class CableWrite(Record):
    taken: bool
    seq: int
    data: bytes


@dataclass(frozen=True)
class CableRead(Record):
    data: bytes


@dataclass(frozen=True)
class ControlRequest(Record):
    """A vendor request; ``result`` is the bytes transferred or, below 0,
    the libusb error code."""
    request: int
    value: int
    index: int
    result: int
    data: bytes


@dataclass(frozen=True)
class WorkerStarted(Record):
    pass


@dataclass(frozen=True)
class WorkerStopped(Record):
    pass


@dataclass(frozen=True)
class WorkerFailed(Record):
    text: str


@dataclass(frozen=True)
class RecordsDropped(Record):
    count: int


@dataclass(frozen=True)
class DeviceRadioExchange(Record):
    """What an emulated dongle got and the answer it queued."""
    received: bytes
    answered: bool
    status: int
    reply: bytes


@dataclass(frozen=True)
class DeviceCableWrite(Record):
    taken: bool
    data: bytes


@dataclass(frozen=True)
class DeviceCableRead(Record):
    data: bytes


@dataclass(frozen=True)
class DevicePlug(Record):
    plugged: bool


AnyRecord = Union[RadioExchange, CableWrite, CableRead, ControlRequest, WorkerStarted,
                  WorkerStopped, WorkerFailed, RecordsDropped, DeviceRadioExchange,
                  DeviceCableWrite, DeviceCableRead, DevicePlug]


TYPES: Dict[str, RecordType] = {
    "RadioExchange": RecordType.RADIO_EXCHANGE, "CableWrite": RecordType.CABLE_WRITE,
    "CableRead": RecordType.CABLE_READ, "ControlRequest": RecordType.CONTROL_REQUEST,
    "WorkerStarted": RecordType.WORKER_STARTED, "WorkerStopped": RecordType.WORKER_STOPPED,
    "WorkerFailed": RecordType.WORKER_FAILED, "RecordsDropped": RecordType.RECORDS_DROPPED,
    "DeviceRadioExchange": RecordType.DEVICE_RADIO_EXCHANGE,
    "DeviceCableWrite": RecordType.DEVICE_CABLE_WRITE,
    "DeviceCableRead": RecordType.DEVICE_CABLE_READ, "DevicePlug": RecordType.DEVICE_PLUG,
}


class Body:
    """Reads a record's body field by field; running out raises CaptureFormatError."""

    def __init__(self, data: bytes, offset: int) -> None:
        self.data = data
        self.offset = offset

    def take(self, size: int) -> bytes:
        if self.offset + size > len(self.data):
            raise CaptureFormatError("a record ends in the middle of a field")
        part = self.data[self.offset:self.offset + size]
        self.offset += size
        return part

    def number(self, code: str) -> int:
        value: int = struct.unpack("<" + code, self.take(struct.calcsize(code)))[0]
        return value

    def counted(self) -> bytes:
        return self.take(self.number("B"))


Decoder = Callable[[Tuple[int, str, DeviceKind, bool, Optional[str]], Body], AnyRecord]

DECODERS: Dict[int, Decoder] = {
    RecordType.RADIO_EXCHANGE: lambda head, body: RadioExchange(
        *head, ExchangeKind(body.number("B")), body.number("Q"), body.counted(),
        body.number("B"), body.counted()),
    RecordType.CABLE_WRITE: lambda head, body: CableWrite(
        *head, body.number("B") == 1, body.number("Q"), body.counted()),
    RecordType.CABLE_READ: lambda head, body: CableRead(*head, body.counted()),
    RecordType.CONTROL_REQUEST: lambda head, body: ControlRequest(
        *head, body.number("B"), body.number("H"), body.number("H"), body.number("i"),
        body.counted()),
    RecordType.WORKER_STARTED: lambda head, body: WorkerStarted(*head),
    RecordType.WORKER_STOPPED: lambda head, body: WorkerStopped(*head),
    RecordType.WORKER_FAILED: lambda head, body: WorkerFailed(
        *head, body.counted().decode("utf-8", "replace")),
    RecordType.RECORDS_DROPPED: lambda head, body: RecordsDropped(*head, body.number("Q")),
    RecordType.DEVICE_RADIO_EXCHANGE: lambda head, body: DeviceRadioExchange(
        *head, body.counted(), body.number("B") == 1, body.number("B"), body.counted()),
    RecordType.DEVICE_CABLE_WRITE: lambda head, body: DeviceCableWrite(
        *head, body.number("B") == 1, body.counted()),
    RecordType.DEVICE_CABLE_READ: lambda head, body: DeviceCableRead(*head, body.counted()),
    RecordType.DEVICE_PLUG: lambda head, body: DevicePlug(*head, body.number("B") == 1),
}


def decode(data: bytes, time_us: int, interface: str) -> Optional[AnyRecord]:
    """One record from an enhanced packet block's data; None for a type
    this reader does not know."""
    body = Body(data, 0)
    version, kind, device, flags = (body.number("B") for _ in range(4))
    if version != FORMAT_VERSION:
        raise CaptureFormatError(f"record format version {version}; this reader knows "
                                 f"version {FORMAT_VERSION}")
    uri = body.counted()
    decoder = DECODERS.get(kind)
    if decoder is None:
        return None
    head = (time_us, interface, DeviceKind(device), bool(flags & 1),
            uri.decode("utf-8", "replace") if uri else None)
    return decoder(head, body)


@dataclass
class Interface:
    name: str
    units_per_second: int


def interface_of(body: bytes, order: str) -> Interface:
    """An interface description block: its name and timestamp resolution."""
    (link_type,) = struct.unpack(order + "H", body[:2])
    if link_type != LINK_TYPE:
        raise CaptureFormatError(f"interface of link type {link_type}, not {LINK_TYPE}")
    name, resolution, offset = "", 6, 8
    while offset + 4 <= len(body):
        code, length = struct.unpack(order + "HH", body[offset:offset + 4])
        value = body[offset + 4:offset + 4 + length]
        if code == 0:
            break
        if code == OPTION_NAME:
            name = value.decode("utf-8", "replace")
        elif code == OPTION_TIMESTAMP_RESOLUTION and value:
            resolution = value[0]
        offset += 4 + (length + 3) // 4 * 4
    if resolution & 0x80:
        return Interface(name, 2 ** (resolution & 0x7F))
    return Interface(name, 10 ** resolution)


def blocks(stream: BinaryIO) -> Iterator[Tuple[int, bytes, str]]:
    """(type, body, byte order) of every complete block; a cut last block ends it."""
    order = "<"
    first = True
    while True:
        head = stream.read(8)
        if len(head) < 8:
            return
        (kind,) = struct.unpack("<I", head[:4])
        if kind == SECTION_HEADER:
            magic = stream.read(4)
            if len(magic) < 4:
                return
            order = "<" if struct.unpack("<I", magic)[0] == BYTE_ORDER_MAGIC else ">"
            if struct.unpack(order + "I", magic)[0] != BYTE_ORDER_MAGIC:
                raise CaptureFormatError("not a pcapng file: bad byte-order magic")
            head += magic
        elif first:
            raise CaptureFormatError("not a pcapng file: it starts with no section header")
        first = False
        (total,) = struct.unpack(order + "I", head[4:8])
        if total < 12 or total % 4:
            raise CaptureFormatError(f"a block of {total} bytes")
        rest = stream.read(total - len(head))
        if len(rest) < total - len(head):
            return
        whole = head + rest
        yield struct.unpack(order + "I", whole[:4])[0], whole[8:total - 4], order


def records(stream: BinaryIO) -> Iterator[AnyRecord]:
    """The records of a capture being read from ``stream``."""
    interfaces: List[Interface] = []
    for kind, body, order in blocks(stream):
        if kind == SECTION_HEADER:
            interfaces = []
        elif kind == INTERFACE_BLOCK:
            interfaces.append(interface_of(body, order))
        elif kind == ENHANCED_PACKET:
            number, high, low, captured = struct.unpack(order + "IIII", body[:16])
            if number >= len(interfaces):
                raise CaptureFormatError(f"a record on interface {number}, never described")
            interface = interfaces[number]
            time_us = ((high << 32) | low) * 1_000_000 // interface.units_per_second
            record = decode(body[20:20 + captured], time_us, interface.name)
            if record is not None:
                yield record


def read(path: Union[str, Path]) -> List[AnyRecord]:
    """Every record of the capture file at ``path``, in file order."""
    with Path(path).open("rb") as stream:
        return list(records(stream))
