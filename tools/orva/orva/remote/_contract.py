"""The names of the orva link layer that remote links are built on, in one
place: the packets, counters and Transport protocol of orva.link and the
error types of orva.errors, so that a remote link raises the very classes a
local one raises."""
from ..errors import (AccessDeniedError, DeviceGoneError, InvalidURIError, LinkClosedError,
                      LinkError, LinkFailedError, NoSuchDeviceError, ServerGoneError,
                      SettingsConflictError, from_orvapy)
from ..link import Packet, Statistics, Transport, statistics_of

__all__ = ["AccessDeniedError", "DeviceGoneError", "InvalidURIError", "LinkClosedError",
           "LinkError", "LinkFailedError", "NoSuchDeviceError", "ServerGoneError",
           "SettingsConflictError", "from_orvapy", "Packet", "Statistics", "Transport",
           "statistics_of"]
