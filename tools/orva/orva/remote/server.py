"""A link server: this machine's devices, served to clients on Zenoh.

One ServedLink per open local link. It is opened when its first client
attaches (query ``open``) and closed when its last client has gone: a client
leaves by dropping its liveliness token, which Zenoh also drops for a client
that died or whose connection was lost. Packets to send go straight to the
connection's queue in the order they arrive; a reader thread publishes every
received packet once, and Zenoh delivers it to every client.

Whatever a client sends is checked before it reaches a device; a malformed
message earns that client an error on its own key and changes nothing else.
"""
from __future__ import annotations

import dataclasses
import json
import threading
from typing import Any, Callable, Dict, List, Optional, Set

import orvapy
import zenoh

from ._contract import LinkError, LinkFailedError, from_orvapy, statistics_of
from .keys import CLIENT_PATTERN, Keys, LinkKeys, link_key
from .wire import MalformedError, decode_packet, decode_request, encode_error

# How long the reader waits in one recv before looking whether it should stop.
READ_SLICE_MS = 50
# A link serves at most this many clients; more are refused with an error.
MAX_CLIENTS_PER_LINK = 32
# Clients announced at once, links or not (a bound against floods of tokens).
MAX_CLIENTS = 1024

BLOCK = zenoh.CongestionControl.BLOCK


def _payload(data: Optional[zenoh.ZBytes]) -> Optional[bytes]:
    return None if data is None else data.to_bytes()


def local_devices() -> List[Dict[str, Any]]:
    """This machine's devices as `orva devices --json` lists them."""
    from ..commands.devices import as_json
    from ..hardware import devices
    return [as_json(device) for device in devices()]


class ServedLink:
    """One local connection and the Zenoh entities that serve it."""

    def __init__(self, session: zenoh.Session, keys: LinkKeys, uri: str,
                 connection: orvapy.Connection, log: Callable[[str], None]) -> None:
        self.uri = uri
        self._log = log
        self.keys = keys
        self.clients: Set[str] = set()
        self._session = session
        self._connection = connection
        self._failure: Optional[BaseException] = None
        self._failing = threading.Lock()  # the reader and Zenoh's threads may both fail it
        self._stop = threading.Event()
        # Held around every use of the connection by Zenoh's threads, so that
        # none comes after close().
        self._use = threading.Lock()
        self._closed = False
        self._rx = session.declare_publisher(keys.rx, congestion_control=BLOCK, express=True)
        self._tx = session.declare_subscriber(f"{keys.tx}/*", self._on_tx)
        self._stats = session.declare_queryable(keys.stats, self._on_stats)
        self._reader = threading.Thread(target=self._read, name=f"orva-serve {uri}")
        self._reader.start()

    @property
    def failure(self) -> Optional[BaseException]:
        return self._failure

    def _fail(self, error: BaseException) -> None:
        """The link is done for: every client hears it once."""
        with self._failing:
            if self._failure is not None:
                return
            self._failure = error
        self._session.put(self.keys.error, encode_error(error), congestion_control=BLOCK)

    def _read(self) -> None:
        try:
            while not self._stop.is_set():
                received = self._connection.recv(READ_SLICE_MS)
                if received.valid:
                    header = received.port << 4 | received.channel
                    self._rx.put(bytes([header]) + bytes(received))
        except RuntimeError as error:
            self._fail(from_orvapy(error))
        except Exception as error:  # a worker thread never lets one escape
            self._fail(LinkFailedError(f"the server's reader stopped: {error}"))

    def _on_tx(self, sample: zenoh.Sample) -> None:
        client = str(sample.key_expr).rsplit("/", 1)[-1]
        if client not in self.clients:
            # A sender that is no client of this link is told so, on its own
            # error key when its name follows the layout.
            if CLIENT_PATTERN.fullmatch(client):
                self._tell(client, LinkError(f"client {client} has not opened {self.uri}; "
                                             "open the link first"))
            return
        if self._failure is not None:
            self._tell(client, self._failure)
            return
        try:
            packet = decode_packet(sample.payload.to_bytes())
        except MalformedError as error:
            self._tell(client, LinkError(f"malformed packet for {self.uri}: {error}"))
            return
        outgoing = orvapy.Packet()
        outgoing.port = packet.port
        outgoing.channel = packet.channel
        outgoing.payload = packet.payload
        with self._use:
            if self._closed:
                return
            try:
                self._connection.send(outgoing)
            except RuntimeError as error:
                self._fail(from_orvapy(error))

    def _tell(self, client: str, error: BaseException) -> None:
        self._session.put(self.keys.error_to(client), encode_error(error),
                          congestion_control=BLOCK)

    def _on_stats(self, query: zenoh.Query) -> None:
        if self._failure is not None:
            query.reply_err(encode_error(self._failure))
            return
        try:
            with self._use:
                if self._closed:
                    query.reply_err(encode_error(LinkError(f"{self.uri} was closed")))
                    return
                counters = self._connection.statistics
        except RuntimeError as error:
            self._fail(from_orvapy(error))
            query.reply_err(encode_error(from_orvapy(error)))
            return
        query.reply(self.keys.stats, json.dumps(dataclasses.asdict(statistics_of(counters))))

    def close(self) -> None:
        """Stops the reader, withdraws the keys and closes the connection."""
        self._stop.set()
        self._reader.join()
        for entity in (self._tx, self._stats, self._rx):
            entity.undeclare()  # type: ignore[no-untyped-call]
        with self._use:
            self._closed = True
            try:
                self._connection.close()
            except RuntimeError as error:
                self._log(f"closing {self.uri}: {error}")


class LinkServer:
    """Serves this process's devices under orva/NODE on an open session."""

    def __init__(self, session: zenoh.Session, node: str,
                 log: Callable[[str], None] = lambda line: None) -> None:
        self.keys = Keys(node)
        self._session = session
        self._log = log
        self._lock = threading.Lock()
        self._links: Dict[str, ServedLink] = {}
        self._link_of: Dict[str, str] = {}   # client -> link key
        self._announced: Set[str] = set()     # clients whose token is alive
        self._scanning = threading.Lock()
        liveliness = session.liveliness()
        # Clients first, so that no token is missed once the server is seen.
        self._watch = liveliness.declare_subscriber(f"{self.keys.clients}/*", self._on_client,
                                                    history=True)
        self._queries = [
            session.declare_queryable(self.keys.open, self._on_open),
            session.declare_queryable(self.keys.devices, self._on_devices),
            session.declare_queryable(self.keys.scan, self._on_scan),
        ]
        self._token = liveliness.declare_token(self.keys.server)

    def _on_client(self, sample: zenoh.Sample) -> None:
        client = str(sample.key_expr).rsplit("/", 1)[-1]
        with self._lock:
            if sample.kind == zenoh.SampleKind.PUT:
                if len(self._announced) < MAX_CLIENTS:
                    self._announced.add(client)
                return
            self._announced.discard(client)
            self._detach(client)

    def _detach(self, client: str) -> None:
        """Under the lock: the client leaves its link, the last one closes it."""
        key = self._link_of.pop(client, None)
        if key is None:
            return
        link = self._links[key]
        link.clients.discard(client)
        if not link.clients:
            del self._links[key]
            link.close()
            self._log(f"closed {link.uri}")

    def _on_open(self, query: zenoh.Query) -> None:
        try:
            request = decode_request(_payload(query.payload))
            uri, client = request.get("uri"), request.get("client")
            if not isinstance(client, str) or not CLIENT_PATTERN.fullmatch(client):
                raise MalformedError("the request's client is 32 hexadecimal digits")
            if not isinstance(uri, str):
                raise MalformedError("the request's uri is a text")
            key = link_key(uri)
            with self._lock:
                self._attach(client, uri, key)
        except MalformedError as error:
            query.reply_err(encode_error(LinkError(f"malformed open request: {error}")))
        except LinkError as error:
            query.reply_err(encode_error(error))
        except Exception as error:  # every request is answered, whatever went wrong
            query.reply_err(encode_error(LinkError(f"the server could not open it: {error}")))
        else:
            query.reply(self.keys.open, json.dumps({"link": key}))

    def _attach(self, client: str, uri: str, key: str) -> None:
        """Under the lock."""
        if client not in self._announced:
            raise LinkError(f"client {client} has no liveliness token under "
                            f"{self.keys.clients}; declare it before opening")
        if client in self._link_of:
            if self._link_of[client] == key:
                return
            raise LinkError(f"client {client} already holds another link")
        link = self._links.get(key)
        if link is not None and link.failure is not None:
            # A failed link is renewed for whoever asks next; its clients got the error.
            for holder in list(link.clients):
                self._link_of.pop(holder, None)
            del self._links[key]
            link.close()
            link = None
        if link is None:
            try:
                connection = orvapy.Connection(uri)
            except (RuntimeError, IndexError, ValueError) as error:
                converted = from_orvapy(error)
                raise converted if isinstance(converted, LinkError) else LinkError(str(error))
            link = ServedLink(self._session, self.keys.link(key), uri, connection, self._log)
            self._links[key] = link
            self._log(f"opened {uri}")
        elif link.uri != uri:
            raise LinkError(f"{uri} and the open {link.uri} name the same link differently")
        if len(link.clients) >= MAX_CLIENTS_PER_LINK:
            raise LinkError(f"{uri} already has {MAX_CLIENTS_PER_LINK} clients")
        link.clients.add(client)
        self._link_of[client] = key

    def _on_devices(self, query: zenoh.Query) -> None:
        try:
            listed = local_devices()
        except RuntimeError as error:
            query.reply_err(encode_error(from_orvapy(error)))
            return
        query.reply(self.keys.devices, json.dumps({"node": self.keys.node, "devices": listed}))

    def _on_scan(self, query: zenoh.Query) -> None:
        text = query.parameters.get("address") or "E7E7E7E7E7"
        try:
            address = int(text, 16)
            if not 0 <= address < 1 << 40:
                raise ValueError(text)
        except ValueError:
            query.reply_err(encode_error(LinkError(
                f"{text[:40]!r} is not a radio address (10 hexadecimal digits)")))
            return
        if not self._scanning.acquire(blocking=False):
            query.reply_err(encode_error(LinkError(f"{self.keys.node} is already scanning")))
            return
        # A scan takes seconds: its own thread, so that Zenoh's threads go on.
        threading.Thread(target=self._scan, args=(query, address), name="orva-serve scan").start()

    def _scan(self, query: zenoh.Query, address: int) -> None:
        try:
            found = orvapy.Connection.scan(address=address)
            query.reply(self.keys.scan, json.dumps({"node": self.keys.node, "found": found}))
        except RuntimeError as error:
            query.reply_err(encode_error(from_orvapy(error)))
        except Exception as error:  # a worker thread never lets one escape
            query.reply_err(encode_error(LinkError(f"scan failed: {error}")))
        finally:
            query.drop()  # type: ignore[no-untyped-call]
            self._scanning.release()

    def close(self) -> None:
        """Withdraws the server and closes every link."""
        self._token.undeclare()  # type: ignore[no-untyped-call]
        for queryable in self._queries:
            queryable.undeclare()  # type: ignore[no-untyped-call]
        self._watch.undeclare()  # type: ignore[no-untyped-call]
        with self._lock:
            for link in self._links.values():
                link.close()
            self._links.clear()
            self._link_of.clear()
