"""asyncio for links::

    async with orva.aio.open("radio://0/80/2M/E7E7E7E7E7") as link:
        link.send(1, 0, b"hi")
        packet = await link.recv(timeout=1.0)
        async for packet in link:
            ...

One reading thread per link waits for packets without holding the
interpreter lock and hands each to the event loop; nothing polls. Cancelling
an ``await link.recv()`` loses no packet. Leaving the ``async with`` block
(also by cancellation, or when asyncio.run() ends) closes the link and ends
its thread. A link dropped without closing is closed when it is collected,
or when its thread finds its event loop closed.
"""
from __future__ import annotations

import asyncio
import threading
import weakref
from types import TracebackType
from typing import AsyncIterator, Generator, Optional, Type, Union

from .errors import LinkClosedError
from .link import BytesLike, Link, Packet, Statistics
from .link import open as open_link

# How long closing waits for the reading thread, which the close wakes.
JOIN_BOUND_S = 5.0

Item = Union[Packet, BaseException]


def deliver(loop: asyncio.AbstractEventLoop, queue: asyncio.Queue[Item], item: Item) -> bool:
    """Hands an item to the loop; False once the loop is closed."""
    try:
        loop.call_soon_threadsafe(queue.put_nowait, item)
        return True
    except RuntimeError:
        return False


def read(link: Link, loop: asyncio.AbstractEventLoop, queue: asyncio.Queue[Item]) -> None:
    """The reading thread: every packet to the loop, then what ended the link."""
    while True:
        try:
            packet = link.recv(None)
        except BaseException as error:  # closed or failed: the loop's side raises it
            deliver(loop, queue, error)
            return
        if packet is not None and not deliver(loop, queue, packet):
            link.close()
            return


def shut(link: Link, reader: threading.Thread) -> None:
    """Closes the link, which wakes its reading thread, and waits for that
    thread to end (unless it is the one asking)."""
    link.close()
    if reader is not threading.current_thread():
        reader.join(JOIN_BOUND_S)


class AsyncLink:
    """A Link for asyncio: ``await recv()``, ``async for``, ``async with``."""

    def __init__(self, link: Link, loop: Optional[asyncio.AbstractEventLoop] = None) -> None:
        self.link = link
        self._loop = loop or asyncio.get_running_loop()
        self._queue: asyncio.Queue[Item] = asyncio.Queue()
        self._ended: Optional[BaseException] = None
        self._reader = threading.Thread(target=read, args=(link, self._loop, self._queue),
                                        name=f"orva-aio {link.uri}", daemon=True)
        self._reader.start()
        self._finalizer = weakref.finalize(self, shut, link, self._reader)

    @property
    def uri(self) -> str:
        return self.link.uri

    @property
    def closed(self) -> bool:
        return self.link.closed

    @property
    def statistics(self) -> Statistics:
        return self.link.statistics

    @property
    def connection(self) -> object:
        """The orvapy.Connection of a local link; None for a remote one."""
        return self.link.connection

    def send(self, port: int, channel: int, payload: BytesLike = b"") -> None:
        """Queues a packet and returns at once (as Link.send)."""
        self.link.send(port, channel, payload)

    async def recv(self, timeout: Optional[float] = None) -> Optional[Packet]:
        """The next packet; None when ``timeout`` seconds passed first.
        Raises LinkClosedError once the link is closed, and the link's error
        once it failed."""
        if self._ended is not None and self._queue.empty():
            raise self._ended
        try:
            item = await asyncio.wait_for(self._queue.get(), timeout)
        except asyncio.TimeoutError:
            return None
        if isinstance(item, BaseException):
            self._ended = item
            raise item
        return item

    def __aiter__(self) -> AsyncIterator[Packet]:
        return self

    async def __anext__(self) -> Packet:
        try:
            packet = await self.recv()
        except LinkClosedError:
            raise StopAsyncIteration from None
        assert packet is not None  # no timeout was given
        return packet

    def close(self) -> None:
        """Closes the link and ends its reading thread; a second call does nothing."""
        self._finalizer()

    async def aclose(self) -> None:
        self.close()

    async def __aenter__(self) -> AsyncLink:
        return self

    async def __aexit__(self, kind: Optional[Type[BaseException]],
                        value: Optional[BaseException],
                        traceback: Optional[TracebackType]) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<orva.aio.AsyncLink {self.uri}{' closed' if self.closed else ''}>"


class Opening:
    """What open() gives: ``await`` it, or use it in ``async with``."""

    def __init__(self, uri: str) -> None:
        self.uri = uri
        self._link: Optional[AsyncLink] = None

    def __await__(self) -> Generator[None, None, AsyncLink]:
        return self._open().__await__()

    async def _open(self) -> AsyncLink:
        return AsyncLink(open_link(self.uri))

    async def __aenter__(self) -> AsyncLink:
        self._link = await self._open()
        return self._link

    async def __aexit__(self, kind: Optional[Type[BaseException]],
                        value: Optional[BaseException],
                        traceback: Optional[TracebackType]) -> None:
        if self._link is not None:
            self._link.close()


def open(uri: str) -> Opening:  # noqa: A001 (as orva.open)
    """Opens a link for asyncio: ``async with orva.aio.open(uri) as link`` or
    ``link = await orva.aio.open(uri)`` (then ``await link.aclose()``)."""
    return Opening(uri)


def wrap(link: Link) -> AsyncLink:
    """An AsyncLink over a Link already open (local or remote); call it
    inside the running event loop. Closing the AsyncLink closes the Link."""
    return AsyncLink(link)
