"""Zenoh configurations of the server and of clients.

Both take Zenoh's own configuration (a JSON5 file: endpoints, TLS, access
control, leases) and fill in only what it leaves at Zenoh's defaults, so that
a server listens on loopback alone and nothing scouts the network unless
configured to.
"""
from __future__ import annotations

import json
import os
from typing import Any, Optional, Sequence

import zenoh

DEFAULT_PORT = 7447
LOOPBACK_ENDPOINT = f"tcp/127.0.0.1:{DEFAULT_PORT}"
# A client's configuration file, and endpoints to connect to (comma-separated).
CONFIG_VARIABLE = "ORVA_ZENOH_CONFIG"
CONNECT_VARIABLE = "ORVA_ZENOH_CONNECT"


def _set(config: zenoh.Config, key: str, value: Any) -> None:
    config.insert_json5(key, json.dumps(value))


def _left_default(config: zenoh.Config, key: str) -> bool:
    return bool(config.get_json(key) == zenoh.Config().get_json(key))


def _load(path: Optional[str]) -> zenoh.Config:
    return zenoh.Config.from_file(path) if path else zenoh.Config()


def server_config(path: Optional[str] = None, listen: Sequence[str] = (),
                  connect: Sequence[str] = ()) -> zenoh.Config:
    """A router: other servers and clients connect to it."""
    config = _load(path)
    if _left_default(config, "mode"):
        _set(config, "mode", "router")
    if listen:
        _set(config, "listen/endpoints", list(listen))
    elif _left_default(config, "listen/endpoints"):
        _set(config, "listen/endpoints", [LOOPBACK_ENDPOINT])
    if connect:
        _set(config, "connect/endpoints", list(connect))
    _quiet_scouting(config)
    return config


def client_config(path: Optional[str] = None, connect: Sequence[str] = ()) -> zenoh.Config:
    """A client of the routers at ``connect``, from the arguments or else the
    environment, else the local server."""
    path = path or os.environ.get(CONFIG_VARIABLE) or None
    if not connect:
        connect = [e for e in os.environ.get(CONNECT_VARIABLE, "").split(",") if e.strip()]
    config = _load(path)
    if _left_default(config, "mode"):
        _set(config, "mode", "client")
    if connect:
        _set(config, "connect/endpoints", [e.strip() for e in connect])
    elif _left_default(config, "connect/endpoints"):
        _set(config, "connect/endpoints", [LOOPBACK_ENDPOINT])
    _quiet_scouting(config)
    return config


def _quiet_scouting(config: zenoh.Config) -> None:
    """No multicast announcements or discovery unless the file asks for them."""
    if _left_default(config, "scouting/multicast/enabled"):
        _set(config, "scouting/multicast/enabled", False)
