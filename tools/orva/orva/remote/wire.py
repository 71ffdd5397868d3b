"""What travels on the keys: packets as bytes, errors and replies as JSON.

A packet is one header byte, the port in the high four bits and the channel
in the low two (bits 2 and 3 zero), then its payload of 0 to 31 bytes.
An error is {"error": TYPE, "message": TEXT, "libusb_error": TEXT or null}
with TYPE one of the orva error class names.
"""
from __future__ import annotations

import json
from typing import Any, Dict, Optional, Type

from . import _contract
from ._contract import LinkError, LinkFailedError, Packet

MAX_PAYLOAD = 31
# The largest JSON request a server reads; anything longer is refused unread.
MAX_REQUEST = 4096

ERROR_TYPES: Dict[str, Type[LinkError]] = {
    cls.__name__: cls for cls in (
        _contract.LinkError, _contract.NoSuchDeviceError, _contract.DeviceGoneError,
        _contract.AccessDeniedError, _contract.SettingsConflictError,
        _contract.InvalidURIError, _contract.LinkFailedError, _contract.LinkClosedError,
        _contract.ServerGoneError)}


class MalformedError(ValueError):
    """A message that does not follow this module's formats."""


def encode_packet(packet: Packet) -> bytes:
    if not 0 <= packet.port <= 15 or not 0 <= packet.channel <= 3:
        raise ValueError(f"port {packet.port} channel {packet.channel}: "
                         "a port is 0 to 15 and a channel 0 to 3")
    if len(packet.payload) > MAX_PAYLOAD:
        raise ValueError(f"a payload has at most {MAX_PAYLOAD} bytes, not {len(packet.payload)}")
    return bytes([packet.port << 4 | packet.channel]) + bytes(packet.payload)


def decode_packet(data: bytes) -> Packet:
    if not 1 <= len(data) <= 1 + MAX_PAYLOAD:
        raise MalformedError(f"a packet is a header byte and at most {MAX_PAYLOAD} payload "
                             f"bytes; {len(data)} bytes came")
    header = data[0]
    if header & 0x0C:
        raise MalformedError(f"header byte {header:#04x} has bits 2 and 3 set")
    return Packet(header >> 4, header & 0x03, bytes(data[1:]))


def encode_error(error: BaseException) -> bytes:
    name = type(error).__name__ if type(error).__name__ in ERROR_TYPES else "LinkError"
    return json.dumps({"error": name, "message": str(error),
                       "libusb_error": getattr(error, "libusb_error", None)}).encode()


def decode_error(data: bytes) -> LinkError:
    """The error a server sent; a message that is no error becomes a LinkError saying so."""
    try:
        fields = json.loads(data.decode())
        name, message = fields["error"], fields["message"]
        libusb_error = fields.get("libusb_error")
        if not isinstance(name, str) or not isinstance(message, str):
            raise TypeError(name)
    except (ValueError, TypeError, KeyError, AttributeError):
        return LinkError(f"the server answered with an unreadable error: {data[:200]!r}")
    cls = ERROR_TYPES.get(name, LinkError)
    if cls is LinkFailedError:
        return LinkFailedError(message, libusb_error if isinstance(libusb_error, str) else None)
    return cls(message)


def decode_request(data: Optional[bytes]) -> Dict[str, Any]:
    """A JSON object of at most MAX_REQUEST bytes."""
    if data is None or len(data) > MAX_REQUEST:
        raise MalformedError(f"a request is a JSON object of at most {MAX_REQUEST} bytes")
    try:
        fields = json.loads(data.decode())
    except (ValueError, UnicodeDecodeError):
        raise MalformedError("a request is a JSON object; this is not JSON") from None
    if not isinstance(fields, dict):
        raise MalformedError("a request is a JSON object")
    return fields
