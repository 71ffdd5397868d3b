"""The names of the orva link layer that remote links are built against:
Packet, Statistics, the Transport protocol and the error types.

Until the local layer (orva.link, orva.errors) exists, this module defines
them itself with the same names and shapes; once it exists, this module only
re-exports it, so that a remote link and a local one raise the same classes.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Optional, Protocol


@dataclass(frozen=True)
class Packet:
    port: int
    channel: int
    payload: bytes


@dataclass(frozen=True)
class Statistics:
    sent_count: int
    ack_count: int
    receive_count: int
    enqueued_count: int


class Transport(Protocol):
    uri: str

    def send(self, packet: Packet) -> None: ...

    def recv(self, timeout: Optional[float]) -> Optional[Packet]: ...

    def statistics(self) -> Statistics: ...

    def close(self) -> None: ...


class LinkError(Exception):
    """Base of every orva error."""


class NoSuchDeviceError(LinkError, RuntimeError):
    pass


class DeviceGoneError(LinkError, RuntimeError):
    pass


class AccessDeniedError(LinkError, RuntimeError):
    pass


class SettingsConflictError(LinkError, RuntimeError):
    pass


class InvalidURIError(LinkError, RuntimeError):
    pass


class LinkFailedError(LinkError, RuntimeError):
    def __init__(self, message: str, libusb_error: Optional[str] = None) -> None:
        super().__init__(message)
        self.libusb_error = libusb_error


class LinkClosedError(LinkError, ValueError):
    pass


class ServerGoneError(LinkError, RuntimeError):
    pass


def from_orvapy(exc: BaseException) -> BaseException:
    """orvapy's error texts as orva's types."""
    text = str(exc)
    if (isinstance(exc, IndexError) or text.startswith("Invalid uri")
            or text == "invalid stoull argument"):
        return InvalidURIError(text)
    if text.startswith("No ") and " found" in text:
        return NoSuchDeviceError(text)
    if "LIBUSB_ERROR_NO_DEVICE" in text:
        return DeviceGoneError(text)
    if "LIBUSB_ERROR_ACCESS" in text:
        return AccessDeniedError(text)
    if ("same settings" in text or "already served" in text
            or "more than one connection" in text):
        return SettingsConflictError(text)
    if text.startswith("LIBUSB_ERROR_"):
        return LinkFailedError(text, text.split()[0])
    return LinkFailedError(text)
