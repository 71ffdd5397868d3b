"""The client side of a remote link: a Transport over a Zenoh session.

Each transport has a session of its own and a liveliness token that holds
its place on the server's link; closing the transport (or the process
dying) drops the token, and the server closes the link after its last
client. The server's own token going away (stopped, killed, unreachable
beyond Zenoh's lease) ends the transport with ServerGoneError.
"""
from __future__ import annotations

import atexit
import json
import threading
import time
import uuid
import weakref
from collections import deque
from typing import Deque, Optional

import zenoh

from ._contract import (LinkClosedError, LinkError, Packet, ServerGoneError, Statistics)
from .config import client_config
from .keys import Keys, link_key, parse
from .wire import MalformedError, decode_error, decode_packet, encode_packet

# How long a server has to answer an open or a statistics query.
QUERY_TIMEOUT_S = 10.0
# A token is seen by the server a moment after it is declared; an open that
# comes first is retried this many times, this far apart.
ANNOUNCE_RETRIES = 40
ANNOUNCE_PAUSE_S = 0.05

_open_transports: "weakref.WeakSet[RemoteTransport]" = weakref.WeakSet()


def _close_all() -> None:
    """A session left open keeps the interpreter from exiting."""
    for transport in list(_open_transports):
        transport.close()


atexit.register(_close_all)


def open_session(config: Optional[zenoh.Config] = None) -> zenoh.Session:
    if config is None:
        try:
            config = client_config()
        except (zenoh.ZError, OSError, ValueError) as error:
            raise LinkError(f"the Zenoh configuration of this client: {error}") from None
    try:
        return zenoh.open(config)
    except zenoh.ZError as error:
        raise ServerGoneError(f"no orva server reachable: {error}") from None


class RemoteTransport:
    """A link served by ``orva serve`` on another process or machine."""

    def __init__(self, uri: str, config: Optional[zenoh.Config] = None) -> None:
        target = parse(uri)
        self.uri = uri
        self._keys = Keys(target.node)
        self._link = self._keys.link(link_key(target.local_uri))
        self._client = uuid.uuid4().hex
        self._ready = threading.Condition()
        self._packets: Deque[Packet] = deque()
        self._ending: Optional[BaseException] = None   # ends the link for good
        self._pending: Optional[BaseException] = None  # raised once, by the next call
        self._closed = False
        self._session = open_session(config)
        _open_transports.add(self)
        try:
            session = self._session
            self._subscribers = [
                session.declare_subscriber(self._link.rx, self._on_packet),
                session.declare_subscriber(self._link.error, self._on_link_error),
                session.declare_subscriber(self._link.error_to(self._client), self._on_my_error),
            ]
            liveliness = session.liveliness()
            self._tx = session.declare_publisher(
                self._link.tx_from(self._client),
                congestion_control=zenoh.CongestionControl.BLOCK, express=True)
            self._server_watch = liveliness.declare_subscriber(self._keys.server,
                                                               self._on_server, history=True)
            self._token = liveliness.declare_token(self._keys.client(self._client))
            self._attach(target.local_uri)
        except BaseException:
            self.close()
            raise

    def _attach(self, local_uri: str) -> None:
        request = json.dumps({"uri": local_uri, "client": self._client})
        for _ in range(ANNOUNCE_RETRIES):
            reply = self._query(self._keys.open, request)
            if reply is None:
                raise ServerGoneError(f"no orva server named {self._keys.node} answered "
                                      f"within {QUERY_TIMEOUT_S:g} s")
            if isinstance(reply, LinkError):
                if "no liveliness token" in str(reply):
                    time.sleep(ANNOUNCE_PAUSE_S)
                    continue
                raise reply
            if json.loads(reply).get("link") != self._link.base.split("/link/", 1)[1]:
                raise LinkError(f"the server serves {self.uri} under another key")
            return
        raise LinkError(f"the server did not see this client's token: {self.uri}")

    def _query(self, selector: str, payload: Optional[str] = None,
               timeout: float = QUERY_TIMEOUT_S) -> "Optional[bytes | LinkError]":
        """The first reply's payload, its error, or None when none came in time."""
        for reply in self._session.get(selector, payload=payload, timeout=timeout):
            if reply.ok is not None:
                return bytes(reply.ok.payload.to_bytes())
            if reply.err is not None:
                return decode_error(reply.err.payload.to_bytes())
        return None

    # Zenoh's threads call these.
    def _on_packet(self, sample: zenoh.Sample) -> None:
        try:
            packet = decode_packet(sample.payload.to_bytes())
        except MalformedError as error:
            self._end(LinkError(f"the server sent a malformed packet: {error}"), pending=True)
            return
        with self._ready:
            self._packets.append(packet)
            self._ready.notify()

    def _on_link_error(self, sample: zenoh.Sample) -> None:
        self._end(decode_error(sample.payload.to_bytes()))

    def _on_my_error(self, sample: zenoh.Sample) -> None:
        self._end(decode_error(sample.payload.to_bytes()), pending=True)

    def _on_server(self, sample: zenoh.Sample) -> None:
        if sample.kind == zenoh.SampleKind.DELETE:
            self._end(ServerGoneError(f"the orva server {self._keys.node} went away "
                                      f"from {self.uri}"))

    def _end(self, error: BaseException, pending: bool = False) -> None:
        with self._ready:
            if pending:
                self._pending = self._pending or error
            else:
                self._ending = self._ending or error
            self._ready.notify_all()

    def _check(self) -> None:
        """Under the condition's lock: raise what ends or disturbs the link."""
        if self._closed:
            raise LinkClosedError(f"{self.uri} is closed")
        if self._pending is not None:
            error, self._pending = self._pending, None
            raise error
        if self._ending is not None:
            raise self._ending

    # The Transport.
    def send(self, packet: Packet) -> None:
        data = encode_packet(packet)
        with self._ready:
            self._check()
        self._tx.put(data)

    def recv(self, timeout: Optional[float]) -> Optional[Packet]:
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._ready:
            while True:
                if self._closed:
                    raise LinkClosedError(f"{self.uri} is closed")
                if self._packets:
                    return self._packets.popleft()
                self._check()
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    return None
                self._ready.wait(left)

    def statistics(self) -> Statistics:
        with self._ready:
            self._check()
        reply = self._query(self._link.stats)
        if reply is None:
            raise ServerGoneError(f"the orva server {self._keys.node} did not answer within "
                                  f"{QUERY_TIMEOUT_S:g} s")
        if isinstance(reply, LinkError):
            raise reply
        fields = json.loads(reply)
        return Statistics(int(fields["sent_count"]), int(fields["ack_count"]),
                          int(fields["receive_count"]), int(fields["enqueued_count"]))

    def close(self) -> None:
        with self._ready:
            if self._closed:
                return
            self._closed = True
            self._ready.notify_all()
        _open_transports.discard(self)
        try:
            self._session.close()  # type: ignore[no-untyped-call]
        except zenoh.ZError:
            pass

