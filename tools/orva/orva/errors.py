"""The errors of orva, by type, and the one mapping from orvapy's texts to them.

orvapy raises RuntimeError (and, for some URIs, IndexError or ValueError)
told apart only by a fixed text. orva raises the same failures as subclasses
of LinkError; every error made from an orvapy exception is also an instance
of the built-in class orvapy raised, so ``except RuntimeError`` and
``except IndexError`` written for orvapy go on catching them. ``args[0]`` is
always the library's text unchanged.
"""
from __future__ import annotations

import re
from typing import Dict, Optional, Pattern, Tuple, Type

UDEV_HINT = ("this user may not open the device: install the udev rules with "
             "'sudo orva udev --install', then unplug and replug it")


class LinkError(Exception):
    """Base of every orva error."""


class LinkFailedError(LinkError, RuntimeError):
    """A device or link failure: the libusb error's name (such as
    "LIBUSB_ERROR_TIMEOUT") is in ``libusb_error``, None for the library's
    other failure texts. Once a link failed, every send, receive and
    statistics read fails the same way."""

    def __init__(self, message: str, libusb_error: Optional[str] = None) -> None:
        super().__init__(message)
        self.libusb_error = libusb_error


class DeviceGoneError(LinkFailedError):
    """The dongle or the robot's cable was unplugged (LIBUSB_ERROR_NO_DEVICE)."""


class AccessDeniedError(LinkFailedError):
    """This user may not open the device (LIBUSB_ERROR_ACCESS); the message
    says how to install the udev rules."""

    def __str__(self) -> str:
        return f"{self.args[0]} ({UDEV_HINT})"


class NoSuchDeviceError(LinkError, RuntimeError):
    """No dongle or cable robot with the URI's id, or no dongle at all."""


class SettingsConflictError(LinkError, RuntimeError):
    """Another open connection already uses these radio settings, a channel
    another dongle serves, or the robot on this cable."""


class InvalidURIError(LinkError, RuntimeError):
    """A URI the grammar or its options refuse. A number too large for the
    library is also an IndexError, and the address "*" also a ValueError,
    as orvapy raises them."""


class LinkClosedError(LinkError, ValueError):
    """A Link used after close(), like I/O on a closed file."""


class ServerGoneError(LinkError, RuntimeError):
    """The server of a remote link went away."""


LIBUSB_NAME = re.compile(r"LIBUSB_ERROR_[A-Z_]+")

# orvapy's texts, each with the class it becomes; the first match wins.
# Texts not listed (short transfers, oversized packets from a robot, ...)
# become LinkFailedError.
TEXTS: Tuple[Tuple[Pattern[str], Type[LinkError]], ...] = tuple(
    (re.compile(pattern, re.DOTALL), kind) for pattern, kind in (
        (r"Invalid uri \(.*\)!( Unknown .*\.)?", InvalidURIError),
        (r"stoi argument out of range", InvalidURIError),
        (r"invalid stoull argument", InvalidURIError),
        (r"No Skelder dongle found!", NoSuchDeviceError),
        (r"No Skelder with id=-?\d+ found\.There are \d+ Skelders connected\.", NoSuchDeviceError),
        (r"No Korvane with id=-?\d+ found\. There are \d+ Korvanes connected\.", NoSuchDeviceError),
        (r"Connection .* is using the same settings as an existing connection!",
         SettingsConflictError),
        (r"Channel \d+ is already served by Skelder \d+\. "
         r"Cannot be served by Skelder -?\d+ simultaneously\..*", SettingsConflictError),
        (r"Channels \d+ and \d+ are already served by Skelder \d+ \(2M mode\)\. "
         r"Cannot be served by Skelder -?\d+ simultaneously\.", SettingsConflictError),
        (r"Channel \d+ is already served by Skelder \d+\. "
         r"Cannot be served by Skelder -?\d+ \(2M mode\) simultaneously\.", SettingsConflictError),
        (r"Cannot operate more than one connection over USB!", SettingsConflictError),
        (r"LIBUSB_ERROR_NO_DEVICE", DeviceGoneError),
        (r"LIBUSB_ERROR_ACCESS", AccessDeniedError),
    ))

# What orvapy raises for the library's failures; other exceptions (TypeError
# for a wrong argument, MemoryError, ...) are not link failures.
LIBRARY_BUILTINS = (RuntimeError, IndexError, ValueError)


def classify(text: str) -> Type[LinkError]:
    for pattern, kind in TEXTS:
        if pattern.fullmatch(text):
            return kind
    return LinkFailedError


MIXED: Dict[Tuple[Type[LinkError], Type[BaseException]], Type[LinkError]] = {}


def with_builtin(kind: Type[LinkError], builtin: Type[BaseException]) -> Type[LinkError]:
    """``kind``, made a subclass of ``builtin`` too when it is not already
    (one class per pair, made once)."""
    if issubclass(kind, builtin):
        return kind
    if (kind, builtin) not in MIXED:
        MIXED[kind, builtin] = type(kind.__name__, (kind, builtin),
                                    {"__module__": kind.__module__,
                                     "__qualname__": kind.__qualname__})
    return MIXED[kind, builtin]


def access_denied(refusal: NoSuchDeviceError) -> LinkError:
    """The refusal of a URI whose device is attached but may not be opened
    by this user (the library then knows no such device): an
    AccessDeniedError that is still the NoSuchDeviceError it was."""
    builtin = next(base for base in LIBRARY_BUILTINS if isinstance(refusal, base))
    kind = with_builtin(with_builtin(AccessDeniedError, NoSuchDeviceError), builtin)
    return kind(refusal.args[0], "LIBUSB_ERROR_ACCESS")


def from_orvapy(exc: BaseException) -> BaseException:
    """The orva error for an exception orvapy raised; any other exception,
    and a Packet's refusal of an index or a byte value (no text), comes back
    as it was."""
    text = str(exc.args[0]) if exc.args else ""
    if isinstance(exc, LinkError) or not isinstance(exc, LIBRARY_BUILTINS) or not text:
        return exc
    builtin = next(base for base in LIBRARY_BUILTINS if isinstance(exc, base))
    kind = with_builtin(classify(text), builtin)
    if issubclass(kind, LinkFailedError):
        name = text if LIBUSB_NAME.fullmatch(text) else None
        mapped: LinkError = kind(text, name)
    else:
        mapped = kind(text)
    return mapped
